// Image input and output timings (not a test): for a 1024x768 colour and a
// grey JPEG, median CPU ms of each image step the detector takes, beside
// what libjpeg itself needs for the same file (floors.h):
//   read     LoadImage + Image2matrix("I"), the query as a matrix;
//   map      gray16_to_im, the saliency map written as a grey JPEG;
//   copy     SaveImage of the loaded image, the marked copy (undrawn).
// Run from anywhere; the files go to a scratch folder.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "floors.h"
#include "imgconv.h"
#include "owners.h"
#include "test_support.h"

namespace {

const int kW = 1024, kH = 768, kReps = 15;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

template <class F>
double median_ms(F &&step) {
    step();  // warm-up
    std::vector<double> t;
    for (int r = 0; r < kReps; r++) {
        const double t0 = cpu_ms();
        step();
        t.push_back(cpu_ms() - t0);
    }
    return median(t);
}

void report(const char *what, double ms, double floor_ms, const char *floor_what) {
    printf("  %-7s %6.2f ms   floor %6.2f ms (%s), overhead %5.2f ms\n", what, ms, floor_ms,
           floor_what, ms - floor_ms);
}

}  // namespace

int main() {
    reuse_large_blocks();  // as the programs do: no fresh pages per image
    img_init();
    ScratchDir dir("bench_image_io");
    MatrixPtr grey(scene(kH, kW, 7, {{200, 300, 40}, {500, 700, 60}}));
    std::vector<double> rgb((size_t)kW * kH * 3);
    for (int i = 0; i < kH; i++)
        for (int j = 0; j < kW; j++)
            for (int c = 0; c < 3; c++) {
                const double v =
                    grey->pix[i][j] * (0.8 + 0.2 * c) + 0.05 * ((i / 8 + j / 8 + c) % 3);
                rgb[((size_t)i * kW + j) * 3 + c] = std::min(1.0, v);
            }
    const std::string colour = dir.path("colour.jpg"), grey_file = dir.path("grey.jpg");
    if (!imwritergb(colour.c_str(), kW, kH, rgb.data()) ||
        !imwritegray(grey_file.c_str(), kW, kH, grey->pix[0])) {
        fprintf(stderr, "cannot write the test images\n");
        return 1;
    }
    // A saliency map is smooth with a few peaks: the scene's samples do.
    std::vector<unsigned short> map((size_t)kW * kH);
    for (size_t k = 0; k < map.size(); k++)
        map[k] = (unsigned short)(grey->pix[0][k] * 65535.0 + 0.5);

    printf("1024x768 JPEGs written by ImageMagick (quality 92), CPU ms, median of %d:\n", kReps);
    const std::string map_file = dir.path("map.jpg");
    for (const std::string &file : {colour, grey_file}) {
        printf("%s:\n", file == colour ? "colour" : "grey");
        const double read = median_ms([&] {
            ImagePtr image(LoadImage(file.c_str()));
            MatrixPtr m(image ? Image2matrix(image.get(), "I") : nullptr);
        });
        report("read", read, floor_jpeg_decode_ms(file, kReps), "libjpeg decode");
        ImagePtr loaded(LoadImage(file.c_str()));
        const double intensity = median_ms([&] { MatrixPtr m(Image2matrix(loaded.get(), "I")); });
        // The pixel cache (8 bytes a pixel) is read and the doubles written.
        report(" matrix", intensity, floor_pass_ms((size_t)kW * kH * 8, (size_t)kW * kH * 8, kReps),
               "streaming pass");
        const std::string copy = dir.path("copy.jpg");
        const double save = median_ms([&] { SaveImage(loaded.get(), copy.c_str()); });
        report("copy", save, floor_jpeg_encode_ms(file, kReps), "libjpeg encode");
    }
    const double map_ms = median_ms([&] { gray16_to_im(map.data(), kW, kH, map_file.c_str()); });
    printf("saliency map:\n");
    report("map", map_ms, floor_jpeg_encode_ms(map_file, kReps), "libjpeg encode");
    return 0;
}
