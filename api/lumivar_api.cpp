// Lumivar in process: the program's own pipeline steps (lumivar.h), with
// what the program would write to files handed back in memory. The map is
// taken before the search overwrites it, exactly as -v writes it.
#include <sendral/lumivar.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "fail.h"
#include "files.h"
#include "imgconv.h"
#include "lumivar.h"
#include "owners.h"

namespace lumivar {

namespace {

// The messages of a step, kept with their streams.
struct Kept {
    std::vector<std::pair<int, std::string>> parts;

    // Runs f with this thread's messages kept here.
    template <class F>
    auto run(F f) {
        MessageCapture capture(
            [this](int stream, const std::string &text) { parts.emplace_back(stream, text); });
        return f();
    }
    // Hands them on to this thread's own destination.
    void pass_on() const {
        for (const auto &p : parts) lib_puts(p.first, p.second.c_str());
    }
    // Why a step gave up: its standard-error lines, without the program's
    // "; skipped" (nothing is skipped in process), or `fallback`.
    std::string reason(const std::string &fallback) const {
        std::string text, out;
        for (const auto &p : parts)
            if (p.first == 2) text += p.second;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            const std::string tail = "; skipped";
            if (line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                line.erase(line.size() - tail.size());
            if (!line.empty() && out.find(line) == std::string::npos)
                out += (out.empty() ? "" : "\n") + line;
            start = end + 1;
        }
        return out.empty() ? fallback : out;
    }
};

matrix *crop_of(const GreyView &v, int depth, const std::string &name) {
    if (!v.samples || v.rows <= 0 || v.cols <= 0)
        throw Error("Image " + name + " holds no samples", 1);
    const int mod = 1 << (depth - 1);
    const int H = v.rows - v.rows % mod, W = v.cols - v.cols % mod;
    if (H == 0 || W == 0)
        throw Error("Image " + name + " is " + std::to_string(v.cols) + " x " +
                        std::to_string(v.rows) + ", smaller than " + std::to_string(mod) +
                        " pixels in a direction",
                    1);
    const long stride = v.row_stride > 0 ? v.row_stride : v.cols;
    MatrixPtr m(alloc_mtx(H, W));
    for (int r = 0; r < H; r++)
        memcpy(m->pix[r], v.samples + r * stride, (size_t)W * sizeof(double));
    return m.release();
}

}  // namespace

struct Model::Impl {
    LumivarSettings set;
    LumivarModel model;

    Result run(matrix *crop, const DetectOptions &opt) const;
};

GreyImage read_image(const std::string &path, int depth) {
    if (depth < 1 || depth > 30)
        throw Error("No pyramid depth between 1 and 30: " + std::to_string(depth), 1);
    img_init();
    Kept kept;
    bool too_small = false;
    MatrixPtr m(kept.run([&] { return read_query(path.c_str(), depth, &too_small); }));
    if (!m) throw Error(kept.reason("Cannot read image " + path), 1);
    GreyImage g;
    g.rows = m->nrows;
    g.cols = m->ncols;
    g.samples.assign(m->pix[0], m->pix[0] + (size_t)g.rows * g.cols);
    return g;
}

Model::Model(const std::string &result_dir, int class_index, const ModelOptions &options)
    : Model(result_dir, class_index, options, MapOptions()) {}

Model::Model(const std::string &result_dir, int class_index, const ModelOptions &options,
             const MapOptions &map)
    : impl_(new Impl) {
    if (!std::isfinite(map.smooth))
        throw Error("smooth must be a number of pixels, not " + std::to_string(map.smooth), 1);
    if (!find_map_kind(options.map_kind))
        throw Error(
            "map_kind must be " + map_kind_numbers() + ", not " + std::to_string(options.map_kind),
            1);
    if (options.features < 1)
        throw Error("features must be at least 1, not " + std::to_string(options.features), 1);
    LumivarSettings &set = impl_->set;
    set.SFPath = result_dir;
    set.qclassidx = class_index;
    set.ftnum4smap = options.features;
    set.mapnum = options.map_kind;
    set.isenforce = options.enforce ? 1 : 0;
    set.learned = map.learned;
    set.smooth = map.smooth < 0 ? -1.0 : map.smooth;
    load_model(&set, &impl_->model);
    img_init();
}

Model::~Model() = default;
Model::Model(Model &&) noexcept = default;
Model &Model::operator=(Model &&) noexcept = default;

int Model::depth() const { return impl_->model.pyddepth; }
int Model::features() const { return impl_->model.ftnum4smap; }

Result Model::Impl::run(matrix *crop, const DetectOptions &opt) const {
    std::vector<unsigned char> levels;
    Kept kept;
    MatrixPtr SM(kept.run([&] { return saliency_map(crop, set, model, &levels); }));
    kept.pass_on();
    if (!SM) throw Error(kept.reason("Cannot compute the saliency map"), 1);
    Result r;
    r.rows = SM->nrows;
    r.cols = SM->ncols;
    const size_t n = (size_t)r.rows * r.cols;
    r.map.assign(SM->pix[0], SM->pix[0] + n);
    bool cut = false;
    MatrixPtr SPs(search_locations(SM.get(), levels.data(), opt.nowta, &cut, false));
    r.locations.reserve(SPs->nrows);
    for (int i = 0; i < SPs->nrows; i++) {
        const double *p = SPs->pix[i];
        r.locations.push_back({(int)p[0], (int)p[1], scale_radius((int)p[2]), p[3]});
    }
    if (cut)
        lib_printf(2,
                   "Notice: the image has more than %d salient locations; the list is cut there\n",
                   kMaxSalPts);
    if (opt.scale_map) {
        MatrixPtr scales(calloc_mtx(r.rows, r.cols));
        scale_map_from_levels(scales.get(), levels.data());
        r.scale_map.assign(scales->pix[0], scales->pix[0] + n);
    }
    return r;
}

Result Model::detect(const std::string &image_path, const DetectOptions &options) const {
    Kept kept;
    bool too_small = false;
    matrix *crop =
        kept.run([&] { return read_query(image_path.c_str(), impl_->model.pyddepth, &too_small); });
    if (!crop) throw Error(kept.reason("Cannot read image " + image_path), 1);
    return impl_->run(crop, options);
}

Result Model::detect(const GreyView &image, const DetectOptions &options) const {
    return impl_->run(crop_of(image, impl_->model.pyddepth, "in memory"), options);
}

std::vector<unsigned char> Model::picture(const Result &result, int circles) const {
    if (result.rows <= 0 || result.cols <= 0 ||
        result.map.size() != (size_t)result.rows * result.cols)
        throw Error("The result holds no map to draw", 1);
    MatrixPtr norm(calloc_mtx(result.rows, result.cols));
    const double mx = *std::max_element(result.map.begin(), result.map.end());
    if (mx > 0.0 && std::isfinite(mx))
        for (size_t i = 0; i < result.map.size(); i++) norm->pix[0][i] = result.map[i] / mx;
    ImagePtr image(matrix2Image(norm.get()));
    if (!image) throw Error("ImageMagick cannot make an image of the map", 1);
    const int n = std::min<int>(std::max(circles, 0), (int)result.locations.size());
    if (n > 0) {
        // The circles are drawn from levels; a radius 2^(l+2) gives its level back.
        MatrixPtr SPs(calloc_mtx(n, 4));
        for (int i = 0; i < n; i++) {
            const Location &l = result.locations[i];
            int level = 0;
            while (scale_radius(level) < l.radius && level < 30) level++;
            SPs->pix[i][0] = l.row;
            SPs->pix[i][1] = l.col;
            SPs->pix[i][2] = level;
            SPs->pix[i][3] = l.saliency;
        }
        // A grey image takes no colour: draw on an RGB copy.
        SetImageColorspace(image.get(), sRGBColorspace);
        DrawSPs_img(image.get(), SPs.get(), n, "white");
    }
    ImageInfoPtr info(CloneImageInfo(nullptr));
    strcpy(info->magick, "PNG");
    strcpy(image->magick, "PNG");
    MagickException e;
    size_t length = 0;
    unsigned char *blob = ImageToBlob(info.get(), image.get(), &length, e.get());
    if (!blob) throw Error("ImageMagick cannot encode the map as PNG", 1);
    std::vector<unsigned char> png(blob, blob + length);
    RelinquishMagickMemory(blob);
    return png;
}

}  // namespace lumivar
