// Lumivar's run as a pipeline of named steps, which the program, the tests
// and the benchmark all call: load and check the model, read and crop an
// image, make and combine its channel maps, search and write the outputs.
//
// Every input of the start-up is checked before the first image is
// processed, so that a broken result directory ends the run with a message
// naming the file instead of a crash or a run over garbage. A query image
// that cannot be read, cannot be processed (too big for memory) or whose
// outputs cannot be written is reported and skipped; the run then ends with
// status 1 after the time report.
//
// Memory does not grow with the feature count: the channels are made,
// enlarged and added a map row at a time (every feature's row, in feature
// order, before the next row), and only the level of the dominant channel
// of every pixel (all the search and the scale map need) is kept beside the
// map. Every pixel sees the same operations in the same order as when whole
// channel maps were added one after the other, so the map is the same to
// the last bit. Images run side by side on -j threads; each image's
// messages are kept and printed in list order, so logs and output files are
// the same for every -j.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "dat.h"
#include "enlarge.h"
#include "files.h"
#include "imgconv.h"
#include "learned.h"
#include "lumivar.h"
#include "mres.h"
#include "ordered.h"
#include "owners.h"
#include "resultdir.h"
#include "resultschema.h"
#include "record.h"
#include "safewrite.h"
#include "tempfiles.h"
#include "fail.h"

namespace {

// The deepest pyramid whose crop step 2^(depth-1) still fits an int.
constexpr int kMaxDepth = 30;

// Every integer of the file, in order, up to the first thing that is not one.
std::vector<int> read_ints(const std::string &path) {
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp) die("Cannot open " + path);
    std::vector<int> v;
    int x;
    while (fscanf(fp, "%d", &x) == 1) v.push_back(x);
    fclose(fp);
    return v;
}

// A GGD parameter matrix of the trained features must describe this depth
// and these classes; its shape is checked before anything is allocated (a
// small header over a sparse data file can claim gigabytes).
matrix *load_model_matrix(const std::string &path, int pyddepth, const std::string &depthfile,
                          int classnum, const std::string &numfile) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) die("Cannot open " + path);
    int rows = 0, cols = 0;
    matrix *m = dat2mtx_shape(path.c_str(), 64 * pyddepth, classnum, &rows, &cols);
    if (m) return m;
    const std::string dims = std::to_string(rows) + " x " + std::to_string(cols);
    if (rows != 64 * pyddepth)
        die(path + " holds " + dims + " values: " + std::to_string(rows) +
            " feature rows, but the depth " + std::to_string(pyddepth) + " of " + depthfile +
            " needs " + std::to_string(64 * pyddepth));
    die(path + " holds " + dims + " values: " + std::to_string(cols) + " class columns, but " +
        numfile + " counts " + std::to_string(classnum) + " classes");
}

void make_output_dir(const std::string &dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) die("Cannot create output directory " + dir);
}

// Every output is a new file renamed into place: a folder that takes no new
// file or no rename (read-only, full of inodes) is told once, with the
// reason, before the batch's work instead of at every image after it.
void check_output_dir(const std::string &dir) {
    const std::string made = temp_entry_name(dir), moved = temp_entry_name(dir);
    const int fd = open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int err = errno;
    const bool renamed = fd >= 0 && close(fd) == 0 && rename(made.c_str(), moved.c_str()) == 0;
    if (fd >= 0 && !renamed) err = errno;
    unlink(renamed ? moved.c_str() : made.c_str());
    forget_temp_entry(made);
    forget_temp_entry(moved);
    errno = err;
    if (fd < 0) die_errno("Cannot create files in output directory", dir);
    if (!renamed) die_errno("Cannot rename files in output directory", dir);
}

// The two classes compared must have usable values: a NaN, an infinity or a
// negative value would give empty maps silently. So would zero scales
// (`scale_rows` not null: the rows of the salient features used), refused
// in those rows and wherever a whole column is zero (an emptied file). A
// training gives a zero scale only to a feature without variance in a
// class, and the selection's shape rule never ranks such a feature salient;
// the extra features -enforce takes past the trained count may be such fits
// and are left out of the check, so those runs go on as before.
void check_parameters(const matrix *m, const std::string &name, int qclassidx,
                      const std::vector<int> *scale_rows) {
    for (int f = 0; f < m->nrows; f++)
        for (int c : {0, qclassidx}) {
            const double v = m->pix[f][c];
            if (!std::isfinite(v) || v < 0.0) {
                char num[64];
                snprintf(num, sizeof num, "%g", v);
                die(name + " holds " + num + " in row " + std::to_string(f) + ", column " +
                    std::to_string(c) + ": not a finite non-negative number");
            }
        }
    if (!scale_rows) return;
    for (int c : {0, qclassidx}) {
        int f = 0;
        while (f < m->nrows && m->pix[f][c] == 0.0) f++;
        if (f == m->nrows)
            die(name + " holds 0 in every row of column " + std::to_string(c) +
                ": no feature of class " + std::to_string(c) + " has a GGD scale");
    }
    for (int f : *scale_rows)
        for (int c : {0, qclassidx})
            if (m->pix[f][c] == 0.0)
                die(name + " holds 0 in row " + std::to_string(f) + ", column " +
                    std::to_string(c) + ": a salient feature of class " +
                    std::to_string(qclassidx) + " needs a positive GGD scale there");
}

// The map divided by its maximum as a grey image; a map without a positive
// value is written black, not divided by 0. Where ImageMagick's rounding of
// imported doubles is known, the samples are rounded here and handed over as
// 16-bit values (the same image, without a second full-size matrix).
bool write_map_image(matrix *SM, const std::string &path) {
    const double mx = mtx_max(SM);
    const bool scaled = mx > 0.0 && std::isfinite(mx);
    const int H = SM->nrows, W = SM->ncols;
    if (magick_rounding_checked()) {
        std::vector<unsigned short> q((size_t)H * W, 0);
        if (scaled) quantize_ratio(SM->pix[0], (long)H * W, mx, q.data());
        return gray16_to_im(q.data(), W, H, path.c_str());
    }
    MatrixPtr norm(calloc_mtx(H, W));
    if (scaled) inp_mtxsc_bmathd(SM, mx, norm.get(), '/');
    return mtx2im(norm.get(), path.c_str());
}

// A datfile output: written under a temporary name and renamed into place.
bool write_datfile(matrix *m, const std::string &path) {
    const std::string tmp = temp_name_beside(path);
    if (mtx2dat_try(m, tmp.c_str()) && replace_entry(tmp, path)) return true;
    remove_tree(tmp);
    return false;
}

}  // namespace

// ---- the model ------------------------------------------------------------------

LumivarModel::~LumivarModel() {
    for (matrix *m : dctmtx)
        if (m) free_mtx(m);
    for (matrix *m : {allalpha, allbeta, gaufilt})
        if (m) free_mtx(m);
}

void make_dct_filters(matrix **dctmtx) {
    MatrixPtr basis(mkDCTBasis(8));
    MatrixPtr bt(mtx_fun(basis.get(), 'T'));
    for (int k = 0; k < 64; k++) dctmtx[k] = array2mtx(bt->pix[k], 8, 8);
}

// One reading of the model's files; load_model makes it one whole model's,
// of a format this version reads.
static void read_model_files(LumivarSettings *set, LumivarModel *model) {
    // The query class's trained feature count.
    const std::string numfile = result_path(set->SFPath, ResultFile::salientfeaturenum);
    if (set->qclassidx < 0)
        die("Query class index " + std::to_string(set->qclassidx) + " is negative");
    const std::vector<int> counts = read_ints(numfile);
    const int classnum = (int)counts.size();
    if (set->qclassidx >= classnum)
        die("Query class index " + std::to_string(set->qclassidx) + " is not below the " +
            std::to_string(classnum) + " classes of " + numfile);
    const int trained = counts[set->qclassidx];
    if (trained < 0) die("Negative feature count for the query class in " + numfile);

    if (trained < set->ftnum4smap && !set->isenforce) {
        lib_notice(1, "The maximum number of salient features is %d!\nfeaturenum is set to %d!\n",
                   trained, trained);
        set->ftnum4smap = trained;
    }
    if (set->ftnum4smap == 0) {
        lib_fatal(1, "", "No salient feature for the query class!!!\n\n");
    }

    // The feature arrays are sized after the class file is counted: a
    // count beyond what the file holds (a huge -f with -enforce) is
    // refused here instead of being allocated.
    const std::string classfile = result_path(set->SFPath, ResultFile::qor_class, set->qclassidx);
    std::vector<ClassFileLine> lines;
    if (!read_class_file(classfile.c_str(), set->ftnum4smap, &lines))
        die("Cannot open class file " + classfile);
    if ((int)lines.size() < set->ftnum4smap)
        die("Class file " + classfile + " holds " + std::to_string(lines.size()) +
            " readable lines; " + std::to_string(set->ftnum4smap) + " are needed");

    const std::string depthfile = result_path(set->SFPath, ResultFile::pyddepth);
    const std::vector<int> depth = read_ints(depthfile);
    if (depth.empty() || depth[0] < 1 || depth[0] > kMaxDepth)
        die("No pyramid depth between 1 and " + std::to_string(kMaxDepth) + " in " + depthfile);
    model->pyddepth = depth[0];

    const int n = set->ftnum4smap;
    model->ftnum4smap = n;
    model->ftcost.resize(n);
    model->ftmd.resize(n);
    model->ftpydlevel.resize(n);
    model->ftsubidx.resize(n);
    for (int i = 0; i < n; i++) {
        model->ftcost[i] = lines[i].cost;
        model->ftmd[i] = lines[i].md;
        model->ftpydlevel[i] = lines[i].level;
        model->ftsubidx[i] = lines[i].index;
    }
    for (int i = 0; i < n; i++) {
        const int l = model->ftpydlevel[i], k = model->ftsubidx[i];
        if (k < 0 || k >= 64)
            die("Line " + std::to_string(i + 1) + " of " + classfile + " names zig-zag index " +
                std::to_string(k) + ", which has no DCT filter");
        if (l < 0 || l >= model->pyddepth)
            die("Line " + std::to_string(i + 1) + " of " + classfile + " names pyramid level " +
                std::to_string(l) + ", outside the depth " + std::to_string(model->pyddepth));
    }

    const std::string alphafile = result_path(set->SFPath, ResultFile::allalpha);
    const std::string betafile = result_path(set->SFPath, ResultFile::allbeta);
    model->allalpha = load_model_matrix(alphafile, model->pyddepth, depthfile, classnum, numfile);
    model->allbeta = load_model_matrix(betafile, model->pyddepth, depthfile, classnum, numfile);
    std::vector<int> salient_rows;
    for (int i = 0; i < std::min(n, trained); i++)
        salient_rows.push_back(64 * model->ftpydlevel[i] + model->ftsubidx[i]);
    check_parameters(model->allalpha, alphafile, set->qclassidx, &salient_rows);
    check_parameters(model->allbeta, betafile, set->qclassidx, nullptr);

    if (set->isenforce) {
        // A last MD that is not a positive number cannot scale the others;
        // the raw MDs then weight the channels (same map up to a factor).
        const double last = model->ftmd[n - 1];
        if (std::isfinite(last) && last > 0.0)
            for (double &md : model->ftmd) md /= last;
    }
    const bool weighted = set->isenforce || map_kind(set->mapnum).weighted;
    for (int i = 0; weighted && i < n; i++)
        if (!std::isfinite(set->isenforce ? model->ftmd[i] : model->ftcost[i]))
            die("Line " + std::to_string(i + 1) + " of " + classfile +
                " holds a weight that is not a finite number");

    model->gaufilt = mk_gaufilter();
    make_dct_filters(model->dctmtx);
    if (set->learned) load_learned_weights(*set, model);
    // The enlargement route is chosen once, for the levels used, before any
    // image (and any thread) needs it.
    int deepest = 0;
    for (int l : model->ftpydlevel) deepest = std::max(deepest, l);
    enlarge_select(deepest);
}

void load_model(LumivarSettings *set, LumivarModel *model) {
    // Read again only when a commit ran meanwhile: from the settings asked
    // for, into an empty model.
    const LumivarSettings asked = *set;
    read_whole_model(set->SFPath, [&] {
        *set = asked;
        model->~LumivarModel();
        new (model) LumivarModel;
        read_model_files(set, model);
    });
}

// ---- one image --------------------------------------------------------------------

std::string image_basename(const std::string &filename) {
    size_t slash = filename.rfind('/');
    std::string base = slash == std::string::npos ? filename : filename.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    return base;
}

matrix *read_query(const char *filename, int pyddepth, bool *too_small, Image **keep) {
    *too_small = false;
    ImagePtr image(LoadImage(filename));
    MatrixPtr img(image ? Image2matrix(image.get(), "I") : nullptr);
    if (!img) {
        lib_printf(2, "Cannot read image %s; skipped\n", filename);
        return nullptr;
    }
    // Handed over only with the crop: a failure on the way (out of memory)
    // must not leave the caller without it.
    if (!keep) image.reset();
    const int mod = 1 << (pyddepth - 1);
    const int H = img->nrows - img->nrows % mod, W = img->ncols - img->ncols % mod;
    if (H == 0 || W == 0) {
        lib_printf(2, "Image %s is %d x %d, smaller than %d pixels in a direction; skipped\n",
                   filename, img->ncols, img->nrows, mod);
        *too_small = true;
        return nullptr;
    }
    if (!(H == img->nrows && W == img->ncols)) {
        MatrixPtr crop(alloc_mtx(H, W));
        for (int r = 0; r < H; r++) memcpy(crop->pix[r], img->pix[r], (size_t)W * sizeof(double));
        img = std::move(crop);
    }
    if (keep) *keep = image.release();
    return img.release();
}

namespace {

double channel_weight(const LumivarSettings &set, const LumivarModel &model, int i) {
    if (set.isenforce) return model.ftmd[i];
    if (map_kind(set.mapnum).weighted) return model.ftcost[i];
    return 1.0;
}

// All channels side by side, one map row at a time: each row of the map and
// of the level table is made whole in cache and written once. Only for the
// own enlargement route, which makes channels row by row.
matrix *combine_by_rows(pyramid *G, const LumivarSettings &set, const LumivarModel &model,
                        std::vector<unsigned char> *levels) {
    const int H = G->level[0]->nrows, W = G->level[0]->ncols, nft = model.ftnum4smap;
    std::vector<std::unique_ptr<LevelChannelRows>> channels;
    std::vector<std::unique_ptr<EnlargedRows>> enlarged;
    for (int i = 0; i < nft; i++) {
        channels.emplace_back(new LevelChannelRows(G, model.ftpydlevel[i], model.ftsubidx[i],
                                                   (matrix **)model.dctmtx, set.mapnum,
                                                   model.allalpha, model.allbeta, set.qclassidx));
        LevelChannelRows *ch = channels.back().get();
        enlarged.emplace_back(new EnlargedRows(
            ch->rows(), ch->cols(), [ch](int r) { return ch->row(r); }, model.ftpydlevel[i]));
    }
    MatrixPtr SM(alloc_mtx(H, W));
    levels->resize((size_t)H * W);
    DominantLevels dom(W, model.ftpydlevel[0]);
    for (int y = 0; y < H; y++) {
        double *sum = SM->pix[y];
        // The first channel starts the row's sums and levels afresh.
        for (int i = 0; i < nft; i++)
            dom.add_weighted(enlarged[i]->next(), channel_weight(set, model, i), sum,
                             model.ftpydlevel[i], 0, W, i == 0);
        memcpy(levels->data() + (size_t)y * W, dom.levels(), W);
    }
    return SM.release();
}

// One channel after the other over the whole map, for any enlargement
// route: each enlarged row is added as it is made.
matrix *combine_by_channels(pyramid *G, const LumivarSettings &set, const LumivarModel &model,
                            std::vector<unsigned char> *levels) {
    const int H = G->level[0]->nrows, W = G->level[0]->ncols, nft = model.ftnum4smap;
    MatrixPtr SM(calloc_mtx(H, W));
    DominantLevels dom((long)H * W, model.ftpydlevel[0]);
    double *sum = SM->pix[0];
    for (int i = 0; i < nft; i++) {
        const int l = model.ftpydlevel[i];
        LevelChannelRows ch(G, l, model.ftsubidx[i], (matrix **)model.dctmtx, set.mapnum,
                            model.allalpha, model.allbeta, set.qclassidx);
        const double weight = channel_weight(set, model, i);
        if (!enlarge_rows(
                ch.rows(), ch.cols(), [&](int r) { return ch.row(r); }, l,
                [&](size_t y, const double *row) {
                    dom.add_weighted(row, weight, sum + (long)y * W, l, (long)y * W, W);
                })) {
            lib_printf(2, "Cannot compute channel %d\n", i);
            return nullptr;
        }
    }
    dom.done_adding();
    *levels = dom.take_levels();
    return SM.release();
}

}  // namespace

matrix *saliency_map(matrix *crop, const LumivarSettings &set, const LumivarModel &model,
                     std::vector<unsigned char> *levels, bool by_channels) {
    const int H = crop->nrows, W = crop->ncols;
    // The crop itself becomes level 0. Levels below the deepest one a
    // feature uses are not built (the learned weights may use any level);
    // the crop still follows the model's depth.
    int depth = model.pyddepth;
    if (!set.learned) {
        depth = 1;
        for (int i = 0; i < model.ftnum4smap; i++) depth = std::max(depth, model.ftpydlevel[i] + 1);
    }
    PyramidPtr G(gpyr_on(crop, depth, model.gaufilt, model.gaufilt, 'w'));

    lib_progress(2, "\tComputing saliency map...");
    if (set.learned) return learned_saliency_map(G.get(), set, model, levels);
    // Every channel is weighted and added in feature order, pixel by pixel,
    // and folded into the dominant levels, in either arrangement; no
    // full-size channel map is ever held.
    bool by_rows = !by_channels;
    for (int i = 0; i < model.ftnum4smap; i++) {
        const matrix *lv = G->level[model.ftpydlevel[i]];
        const int l = model.ftpydlevel[i];
        if (((long)lv->nrows << l) != H || ((long)lv->ncols << l) != W) {
            lib_printf(2, "Cannot compute channel %d\n", i);
            return nullptr;
        }
        by_rows = by_rows && enlarge_own_route(lv->nrows, lv->ncols, l);
    }
    return smoothed_map(by_rows ? combine_by_rows(G.get(), set, model, levels)
                                : combine_by_channels(G.get(), set, model, levels),
                        set);
}

bool search_and_write(const char *filename, matrix *SM, const std::vector<unsigned char> &levels,
                      const LumivarSettings &set, Image *decoded, ImageReport *report) {
    ImagePtr owned(decoded);  // released on every path
    decoded = nullptr;
    const int H = SM->nrows, W = SM->ncols;
    const std::string out = set.savepath + "/" + image_basename(filename);
    bool ok = true;
    auto failed = [&](const std::string &path) {
        lib_printf(2, "Cannot write %s\n", path.c_str());
        ok = false;
    };
    auto wrote = [&](bool done, const std::string &path) {
        if (!done)
            failed(path);
        else if (report)
            report->outputs.push_back(path);
    };

    if (set.writemapdat) wrote(write_datfile(SM, out + "_sm.dat"), out + "_sm.dat");
    if (!set.nosm) {
        lib_puts(1, "saving...");
        wrote(write_map_image(SM, out + "_sm.jpg"), out + "_sm.jpg");
    }
    lib_puts(1, "done.\n");

    lib_puts(1, "\tSearching for salient locations...");
    bool cut = false;
    MatrixPtr SPs(search_locations(SM, levels.data(), set.nowta, &cut, false));
    if (cut)
        lib_printf(2, "Notice: %s has more than %d salient locations; the list is cut there\n",
                   filename, kMaxSalPts);
    lib_puts(1, "saving...");
    wrote(savesallocations(SPs.get(), (out + "_salloc").c_str()), out + "_salloc");
    lib_puts(1, "done.\n");
    if (report) {
        report->locations = SPs->nrows;
        const double *p = SPs->pix[0];
        report->first = {p[0], p[1], (double)scale_radius((int)p[2]), p[3]};
    }

    if (set.scalemap) {
        lib_progress(2, "\tGenerating Scale map...");
        MatrixPtr scales(calloc_mtx(H, W));
        scale_map_from_levels(scales.get(), levels.data());
        lib_puts(1, "saving...");
        wrote(write_datfile(scales.get(), out + "_scalemap.dat"), out + "_scalemap.dat");
        lib_puts(1, "done.\n");
    }

    if (set.drawnum > 0) {
        lib_progress(2, "\tDrawing...");
        ImagePtr image(owned ? owned.release() : LoadImage(filename));
        if (!image) {
            lib_printf(2, "Cannot read image %s again for drawing\n", filename);
            ok = false;
        } else {
            DrawSPs_img(image.get(), SPs.get(), set.drawnum, "white");
            wrote(SaveImage(image.get(), (out + "_salloc.jpg").c_str()), out + "_salloc.jpg");
            lib_puts(1, "done.\n");
        }
    }
    return ok;
}

namespace {

int image_steps(const char *filename, const LumivarSettings &set, const LumivarModel &model,
                ImageReport *report) {
    bool too_small = false;
    // The image is decoded once: kept for drawing when there is drawing.
    Image *decoded = nullptr;
    matrix *crop =
        read_query(filename, model.pyddepth, &too_small, set.drawnum > 0 ? &decoded : nullptr);
    ImagePtr image(decoded);
    if (!crop) {
        if (report && too_small) report->status = "skipped";
        return too_small ? 1 : 0;
    }
    std::vector<unsigned char> levels;
    MatrixPtr SM(saliency_map(crop, set, model, &levels));
    if (!SM) return 0;
    const bool ok = search_and_write(filename, SM.get(), levels, set, image.release(), report);
    if (report && ok) report->status = "ok";
    return ok ? 1 : 0;
}

}  // namespace

int process_image(const char *filename, const LumivarSettings &set, const LumivarModel &model,
                  ImageReport *report) {
    const double start = now_seconds();
    struct Timer {  // the image's seconds, however it ends
        ImageReport *r;
        double start;
        ~Timer() {
            if (r) r->seconds = now_seconds() - start;
        }
    } timer{report, start};
    lib_printf(1, "%s\n", filename);
    // Whatever fails while this image is worked on -- memory for a huge
    // image above all -- fails this image only: it is reported and skipped,
    // and the run goes on (the libraries would otherwise end the process).
    recoverable_failures scope;
    std::string why;
    try {
        return image_steps(filename, set, model, report);
    } catch (const sendral::Error &e) {
        why = scope.out_of_memory() ? out_of_memory_text(scope) : e.what();
    } catch (const std::bad_alloc &) {
        scope.note_out_of_memory();
        why = out_of_memory_text(scope);
    } catch (const std::exception &e) {
        why = e.what();
    } catch (...) {
        why = "unknown failure";
    }
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    lib_printf(2, "Cannot process image %s: %s; skipped\n", filename, why.c_str());
    return 0;
}

// ---- the run ------------------------------------------------------------------------

std::pair<std::string, std::string> colliding_entries(char **files, int n) {
    std::map<std::string, int> first;
    for (int i = 0; i < n; i++) {
        auto [it, fresh] = first.emplace(image_basename(files[i]), i);
        if (!fresh) return {files[it->second], files[i]};
    }
    return {};
}

namespace {

// One image in the run record: the entry, what became of it and why.
Json image_record(const char *entry, const ImageReport &r, const std::string &errors) {
    Json j = Json::object();
    j["entry"] = entry;
    j["status"] = r.status;
    if (r.status != "ok") {
        std::string why = errors;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        j["message"] = why;
    }
    Json &out = j["outputs"] = Json::array();
    for (const std::string &o : r.outputs) out.push(o);
    if (r.locations >= 0) j["locations"] = r.locations;
    if (r.first.size() == 4) {
        Json &f = j["first_location"] = Json::array();
        for (double v : r.first) f.push(v);
    }
    j["seconds"] = r.seconds;
    return j;
}

// Runs the images on `jobs` threads. Each image's messages (its own and
// those of the libraries it calls) are captured and printed by the calling
// thread in list order, as soon as it and every earlier image are done, so
// the log is the same for every -j (the program's main() enables the
// capture).
int run_images(char **files, int nfiles, int jobs, const LumivarSettings &set,
               const LumivarModel &model, Json *record) {
    Progress progress(nfiles);
    std::vector<CapturedOutput> logs(nfiles);
    std::vector<ImageReport> reports(nfiles);
    std::vector<int> result(nfiles, -1);
    auto work_on = [&](int i) {
        logs[i].begin();
        result[i] = process_image(files[i], set, model, &reports[i]);
        logs[i].end();
    };
    int status = 0;
    auto finish = [&](int i) {
        progress.clear();
        if (record) record->push(image_record(files[i], reports[i], logs[i].stream_text(2)));
        logs[i].replay();
        if (!result[i]) status = 1;
    };
    // The progress line names the image being waited for.
    if (nfiles > 0) progress.show(1, files[0]);
    const bool threaded = jobs > 1 && run_in_order(nfiles, jobs, 0, work_on, [&](int i) {
                              finish(i);
                              if (i + 1 < nfiles) progress.show(i + 2, files[i + 1]);
                              return true;
                          });
    // Without any thread of its own the calling thread does the work.
    for (int i = 0; !threaded && i < nfiles; i++) {
        progress.show(i + 1, files[i]);
        work_on(i);
        finish(i);
    }
    return status;
}

// The settings under their option names, and the model as loaded.
void record_settings(Json &root, const LumivarSettings &set, const LumivarModel &model, int jobs) {
    Json &s = root["settings"] = Json::object();
    s["salientfeaturepath"] = set.SFPath;
    s["queryclassidx"] = set.qclassidx;
    s["query_filelist"] = set.QueryFileList;
    s["outpath"] = set.savepath;
    s["-d"] = set.drawnum;
    s["-f"] = set.ftnum4smap;
    s["-m"] = set.mapnum;
    s["-enforce"] = set.isenforce != 0;
    s["-nosm"] = set.nosm != 0;
    s["-nowta"] = set.nowta != 0;
    s["-s"] = set.scalemap != 0;
    s["-v"] = set.writemapdat != 0;
    s["-j"] = jobs;
    s["--quiet"] = set.quiet;
    if (set.learned) s["--learned"] = true;
    if (set.smooth >= 0) s["--smooth"] = set.smooth;
    Json &m = root["model"] = Json::object();
    m["pyddepth"] = model.pyddepth;
    m["classes"] = model.allalpha ? model.allalpha->ncols : 0;
    Json &f = m["features"] = Json::array();
    for (int i = 0; i < model.ftnum4smap; i++) {
        Json &e = f.push(Json::object());
        e["level"] = model.ftpydlevel[i];
        e["index"] = model.ftsubidx[i];
        e["cost"] = model.ftcost[i];
        e["md"] = model.ftmd[i];
    }
    if (model.learned) {
        Json &l = m["learned"] = Json::object();
        l["file"] = model.learned->path;
        l["features"] = (int)model.learned->weight.size();
        l["transform"] = model.learned->log ? "log" : "plain";
        l["smooth_sigma"] = set.smooth >= 0 ? set.smooth : model.learned->smooth;
    }
}

}  // namespace

int lumivar_main(int argc, char **argv) {
    const std::vector<std::string> command(argv, argv + argc);
    std::string json;
    bool quiet = false;
    take_record_options(&argc, argv, &json, &quiet, exit_with_help);
    LumivarSettings set;
    parse_settings(argc, argv, &set);
    set.json = json;
    set.quiet = quiet;
    set_quiet_messages(set.quiet);
    RunRecord record("Lumivar", set.json, command);
    const int jobs_asked = set.jobs > 0 ? set.jobs : default_thread_count();
    LumivarModel model;
    record_settings(record.root(), set, model, jobs_asked);
    load_model(&set, &model);
    record_settings(record.root(), set, model, jobs_asked);

    lib_printf(1,
               "SFPath = %s\npyrdepth = %d\nqueryclassidx = %d\nQueryFileList = %s\n"
               "salientfeaturenum = %d\nsavepath = %s\ndrawcirclenum = %d\n",
               set.SFPath.c_str(), model.pyddepth, set.qclassidx, set.QueryFileList.c_str(),
               set.ftnum4smap, set.savepath.c_str(), set.drawnum);
    lib_printf(1, "isenforce = %d\n", set.isenforce);
    if (set.nosm) lib_printf(1, "No saliency map will be generated!\n");
    if (set.nowta) lib_printf(1, "Non-maximum-suppression stage has been inhibited!\n");
    if (set.scalemap) lib_printf(1, "Generate a scale map for each image!\n");
    lib_printf(1, "starting...\n");
    const double start = now_seconds();

    // "-": the names come on standard input, one run in a pipeline.
    const FileList list =
        set.QueryFileList == "-" ? FileList::from_stdin() : FileList(set.QueryFileList.c_str());
    char **files = list.names();
    const int nfiles = list.size();
    const auto [a, b] = colliding_entries(files, nfiles);
    if (!a.empty())
        die("Query images " + a + " and " + b + " would write the same outputs (" +
            image_basename(a) + "_*) in " + set.savepath + "; rename one of them");
    make_output_dir(set.savepath);
    check_output_dir(set.savepath);
    remove_abandoned_temp_entries(set.savepath);  // left by killed runs into this folder

    img_init();  // once, before any thread calls ImageMagick
    const int jobs = std::min(jobs_asked, std::max(nfiles, 1));
    Json &images = record.root()["images"] = Json::array();
    const int status = run_images(files, nfiles, jobs, set, model, &images);

    lib_notice(1, "%s", time_usage(now_seconds() - start).c_str());
    fflush(stdout);
    record.write(status);
    return status;
}
