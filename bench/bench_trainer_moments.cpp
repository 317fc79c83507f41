// Times the trainer's per-image work -- read, crop, pyramid, per-level DCT
// moments -- on a 1024x768 image at depth 4, once through the block-by-block
// moment route (mnts_DCT) and once through the ovlapDct route
// (mnts_DCT_ovlap), in the same run, and prints both figures and their ratio.
//
// usage: bench_trainer_moments [image] [repetitions]
// Without an image a textured 1024x768 JPEG is generated in a temp dir.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "classstat.h"
#include "imgconv.h"
#include "mres.h"

namespace {

const int kDepth = 4;

std::string make_image(const std::string &dir) {
    const int h = 768, w = 1024;
    matrix *m = alloc_mtx(h, w);
    std::mt19937 gen(42);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int i = 0; i < h; i++)
        for (int j = 0; j < w; j++) {
            double v = 0.5 + 0.25 * std::sin(i * 0.05) * std::cos(j * 0.031) +
                       0.15 * std::sin((i + 2 * j) * 0.21) + noise(gen);
            m->pix[i][j] = std::min(1.0, std::max(0.0, v));
        }
    std::string path = dir + "/bench_1024x768.jpg";
    if (!mtx2im(m, path.c_str())) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    free_mtx(m);
    return path;
}

// One image's work; returns seconds and leaves its moments in acc.
double per_image(const char *path, volume *acc, matrix *g, matrix *D, int slow) {
    auto t0 = std::chrono::steady_clock::now();
    matrix *img = im2mtx(path, "I");
    if (!img) {
        fprintf(stderr, "cannot read %s\n", path);
        exit(1);
    }
    add_image_mnts_DCT(img, acc, kDepth, g, D, slow);
    free_mtx(img);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Stats {
    double median, min;
};

Stats time_route(const char *path, int reps, matrix *g, matrix *D, int slow, volume *acc) {
    std::vector<double> t;
    for (int r = 0; r < reps; r++) {
        for (int L = 0; L < kDepth; L++) fill_mtx(acc->frame[L], 0.0);
        t.push_back(per_image(path, acc, g, D, slow));
    }
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t.front()};
}

}  // namespace

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/bench_moments_XXXXXX";
    std::string dir;
    std::string path;
    if (argc > 1) {
        path = argv[1];
    } else {
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
        path = make_image(dir);
    }
    const int reps = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

    matrix *D = initdct(8);
    matrix *g = mk_gaufilter();
    volume *fast = calloc_vol(kDepth, 64, 4), *slow = calloc_vol(kDepth, 64, 4);

    per_image(path.c_str(), fast, g, D, 0);  // warm-up: caches, ImageMagick set-up
    Stats f = time_route(path.c_str(), reps, g, D, 0, fast);
    Stats s = time_route(path.c_str(), reps, g, D, 1, slow);

    // Largest difference between the routes, relative to the coefficient scale.
    double worst = 0;
    for (int L = 0; L < kDepth; L++)
        for (int k = 0; k < 64; k++) {
            double scale = std::pow(slow->frame[L]->pix[k][3], 0.25);
            for (int m = 0; m < 4; m++) {
                double d = std::fabs(fast->frame[L]->pix[k][m] - slow->frame[L]->pix[k][m]);
                if (scale > 0) worst = std::max(worst, d / std::pow(scale, m + 1));
            }
        }

    printf("per-image work (read, crop, pyramid, moments), 1024x768, depth %d, %d runs each\n",
           kDepth, reps);
    printf("  block-by-block route: median %8.2f ms  (min %8.2f ms)\n", 1e3 * f.median, 1e3 * f.min);
    printf("  ovlapDct route:       median %8.2f ms  (min %8.2f ms)\n", 1e3 * s.median, 1e3 * s.min);
    printf("  ratio (ovlapDct / block-by-block): %.2f x (medians)\n", s.median / f.median);
    printf("  largest route difference relative to scale^(m+1): %.3g\n", worst);

    free_vol(fast);
    free_vol(slow);
    free_mtx(g);
    free_mtx(D);
    if (!dir.empty()) {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    return 0;
}
