// Times the trainer's per-image work -- read, crop, pyramid, per-level DCT
// moments -- on a 1024x768 image at depth 4, once through the block-by-block
// moment route (mnts_DCT) and once through the ovlapDct route
// (mnts_DCT_ovlap), in the same run, and prints both figures and their ratio.
//
// Then it times a whole class of 20 generated 1024x768 images through
// getAllmnts_DCT on 1 and on 2 threads, prints images per second for each,
// and checks that both give the same moments bit for bit.
//
// usage: bench_trainer_moments [image] [repetitions]
// Without an image a textured 1024x768 JPEG is generated in a temp dir.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "classes.h"
#include "classstat.h"
#include "cli.h"
#include "imgconv.h"
#include "mres.h"

namespace {

const int kDepth = 4;

std::string make_image(const std::string &dir, unsigned seed = 42) {
    const int h = 768, w = 1024;
    matrix *m = alloc_mtx(h, w);
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int i = 0; i < h; i++)
        for (int j = 0; j < w; j++) {
            double v = 0.5 + 0.25 * std::sin(i * 0.05) * std::cos(j * 0.031) +
                       0.15 * std::sin((i + 2 * j) * 0.21) + noise(gen);
            m->pix[i][j] = std::min(1.0, std::max(0.0, v));
        }
    std::string path = dir + "/bench_1024x768_" + std::to_string(seed) + ".jpg";
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

double g_cpu_seconds = 0;  // process CPU time after the last time_class

// Seconds for getAllmnts_DCT over one class list on `threads` threads, with
// the moments in *out (caller frees). The per-image log goes to /dev/null.
double time_class(const char *list, int threads, matrix *D, matrix **out) {
    set_moments_threads(threads);
    fflush(stdout);
    int saved = dup(1), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    auto t0 = std::chrono::steady_clock::now();
    *out = getAllmnts_DCT(&list, 1, kDepth, D);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    struct timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    g_cpu_seconds = cpu.tv_sec + cpu.tv_nsec * 1e-9;
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    return t;
}

// Images per second of a 20-image class at 1 and 2 threads (best of `reps`).
void bench_threads(const std::string &dir, int reps, matrix *D) {
    const int kImages = 20;
    std::vector<std::string> paths;
    std::string list_text;
    for (int i = 0; i < kImages; i++) {
        paths.push_back(make_image(dir, 100 + i));
        list_text += paths.back() + "\n";
    }
    const std::string list = dir + "/class.txt";
    FILE *f = fopen(list.c_str(), "w");
    if (!f || fputs(list_text.c_str(), f) < 0 || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", list.c_str());
        exit(1);
    }
    matrix *ref = nullptr;
    double best[3] = {0, 1e30, 1e30}, cpu[3] = {0, 0, 0};
    bool same = true;
    for (int r = 0; r < reps; r++)
        for (int threads : {1, 2}) {
            matrix *m = nullptr;
            double cpu0 = g_cpu_seconds;
            best[threads] = std::min(best[threads], time_class(list.c_str(), threads, D, &m));
            if (r > 0 || threads == 2) cpu[threads] = g_cpu_seconds - cpu0;
            if (!ref) {
                ref = m;
                continue;
            }
            same = same && memcmp(ref->pix[0], m->pix[0], sizeof(double) * 64 * kDepth * 4) == 0;
            free_mtx(m);
        }
    printf("whole class, %d images 1024x768, depth %d, best of %d\n", kImages, kDepth, reps);
    // CPU time per image tells the threads' overhead apart from a busy machine.
    printf("  -j 1: %6.2f images/s\n", kImages / best[1]);
    printf("  -j 2: %6.2f images/s  (%.2f x)\n", kImages / best[2], best[1] / best[2]);
    if (reps > 1)
        printf("  CPU time per image: -j 1 %.1f ms, -j 2 %.1f ms\n", 1e3 * cpu[1] / kImages,
               1e3 * cpu[2] / kImages);
    printf("  moments identical at -j 1 and -j 2: %s\n", same ? "yes" : "NO");
    free_mtx(ref);
    for (const std::string &p : paths) unlink(p.c_str());
    unlink(list.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    reuse_large_blocks();  // as Sendral does
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
    printf("  block-by-block route: median %8.2f ms  (min %8.2f ms)\n", 1e3 * f.median,
           1e3 * f.min);
    printf("  ovlapDct route:       median %8.2f ms  (min %8.2f ms)\n", 1e3 * s.median,
           1e3 * s.min);
    printf("  ratio (ovlapDct / block-by-block): %.2f x (medians)\n", s.median / f.median);
    printf("  largest route difference relative to scale^(m+1): %.3g\n", worst);

    if (!dir.empty()) bench_threads(dir, std::max(1, reps / 2), D);

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
