// Times the trainer's per-image work on a 1024x768 image at depth 4, step
// by step, as Sendral does it:
//   read     LoadImage + Image2matrix (the grey samples as doubles)
//   pyramid  levels 1..3 from the cropped image (gpyr_level)
//   moments  the block-DCT moments of every level (mnts_DCT)
// Each is the median CPU time of its runs, printed beside its floor:
// libjpeg's own decode of the file for the read, and for the pyramid and
// the moments a plain streaming pass over the bytes they read and write
// (floors.h). The steps must give image_mnts_DCT's moments bit for bit;
// one run of the ovlapDct route (mnts_DCT_ovlap) shows how far the slow
// reference route lies from them.
//
// Then it times a whole class of 20 generated 1024x768 images through
// getAllmnts_DCT (Sendral's image loop) at 1 and 2 threads, alternating,
// prints the median images per second of each and their ratio, and checks
// that both give the same moments bit for bit.
//
// usage: bench_trainer_moments [image] [repetitions] [class repetitions]
// Without an image a textured 1024x768 JPEG is generated in a temp dir.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "classes.h"
#include "classstat.h"
#include "cli.h"
#include "floors.h"
#include "imgconv.h"
#include "mres.h"
#include "owners.h"
#include "simd.h"
#include "test_support.h"

namespace {

const int kDepth = 4;

std::string make_image(const std::string &dir, unsigned seed = 42) {
    const int h = 768, w = 1024;
    MatrixPtr m(alloc_mtx(h, w));
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int i = 0; i < h; i++)
        for (int j = 0; j < w; j++) {
            double v = 0.5 + 0.25 * std::sin(i * 0.05) * std::cos(j * 0.031) +
                       0.15 * std::sin((i + 2 * j) * 0.21) + noise(gen);
            m->pix[i][j] = std::min(1.0, std::max(0.0, v));
        }
    std::string path = dir + "/bench_1024x768_" + std::to_string(seed) + ".jpg";
    if (!mtx2im(m.get(), path.c_str())) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    return path;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

size_t bytes(const matrix *m) { return (size_t)m->nrows * m->ncols * sizeof(double); }

void clear(volume *v) {
    for (int L = 0; L < v->nframes; L++) fill_mtx(v->frame[L], 0.0);
}

bool same(const volume *a, const volume *b) {
    for (int L = 0; L < a->nframes; L++)
        if (memcmp(a->frame[L]->pix[0], b->frame[L]->pix[0], 64 * 4 * sizeof(double)) != 0)
            return false;
    return true;
}

// One image's steps, each timed, as image_mnts_DCT takes them.
struct Split {
    double read, pyramid, moments;
    size_t pyr_in, pyr_out, mnt_in;
};

Split steps(const char *path, volume *acc, matrix *g, matrix *D) {
    Split s{};
    double t0 = cpu_ms();
    ImagePtr image(LoadImage(path));
    MatrixPtr img(image ? Image2matrix(image.get(), "I") : nullptr);
    image.reset();
    if (!img) {
        fprintf(stderr, "cannot read %s\n", path);
        exit(1);
    }
    double t1 = cpu_ms();
    const int mod = 1 << (kDepth - 1);
    matrix crop = {img->pix, img->nrows - img->nrows % mod, img->ncols - img->ncols % mod};
    std::vector<MatrixPtr> levels;
    const matrix *prev = &crop;
    for (int L = 1; L < kDepth; L++) {
        levels.emplace_back(alloc_mtx(prev->nrows / 2, prev->ncols / 2));
        gpyr_level(prev, levels.back().get(), g, g, 'w');
        s.pyr_in += bytes(prev);
        s.pyr_out += bytes(levels.back().get());
        prev = levels.back().get();
    }
    double t2 = cpu_ms();
    for (int L = 0; L < kDepth; L++) {
        matrix *lv = L == 0 ? &crop : levels[L - 1].get();
        MatrixPtr m(mnts_DCT(lv, D));
        for (int i = 0; i < 64 * 4; i++) acc->frame[L]->pix[0][i] += m->pix[0][i];
        s.mnt_in += bytes(lv);
    }
    double t3 = cpu_ms();
    s.read = t1 - t0;
    s.pyramid = t2 - t1;
    s.moments = t3 - t2;
    return s;
}

// Seconds for getAllmnts_DCT over one class list on `threads` threads, with
// the moments in *out and the CPU milliseconds of the process in *cpu. The
// per-image log goes to /dev/null.
double time_class(const char *list, int threads, matrix *D, MatrixPtr *out, double *cpu) {
    set_moments_threads(threads);
    fflush(stdout);
    int saved = dup(1), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    const double c0 = cpu_ms();
    auto t0 = std::chrono::steady_clock::now();
    out->reset(getAllmnts_DCT(&list, 1, kDepth, D));
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    *cpu = cpu_ms() - c0;
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    return t;
}

// Images per second of a 20-image class at 1 and 2 threads, runs alternating.
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
    MatrixPtr ref;
    double c;
    time_class(list.c_str(), 2, D, &ref, &c);  // warm-up: both threads' heaps
    std::vector<double> t[3], cpu[3], ratio;
    bool identical = true;
    for (int r = 0; r < reps; r++) {
        for (int threads : {1, 2}) {
            MatrixPtr m;
            t[threads].push_back(time_class(list.c_str(), threads, D, &m, &c));
            cpu[threads].push_back(c / kImages);
            identical =
                identical && memcmp(ref->pix[0], m->pix[0], sizeof(double) * 64 * kDepth * 4) == 0;
        }
        ratio.push_back(t[1].back() / t[2].back());
    }
    printf("whole class, %d images 1024x768, depth %d, median of %d alternating runs\n", kImages,
           kDepth, reps);
    printf("  -j 1: %6.2f images/s\n", kImages / median(t[1]));
    printf("  -j 2: %6.2f images/s\n", kImages / median(t[2]));
    printf("  -j 2 / -j 1: %.2f x (medians; single runs %.2f .. %.2f x)\n",
           median(t[1]) / median(t[2]), *std::min_element(ratio.begin(), ratio.end()),
           *std::max_element(ratio.begin(), ratio.end()));
    // CPU time per image tells the threads' own overhead apart from a busy machine.
    printf("  CPU time per image: -j 1 %.1f ms, -j 2 %.1f ms (medians)\n", median(cpu[1]),
           median(cpu[2]));
    printf("  moments identical at -j 1 and -j 2: %s\n", identical ? "yes" : "NO");
    for (const std::string &p : paths) unlink(p.c_str());
    unlink(list.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    reuse_large_blocks();  // as Sendral does
    char tmpl[] = "/tmp/bench_moments_XXXXXX";
    std::string dir;
    std::string path;
    if (argc > 1 && argv[1][0]) {
        path = argv[1];
    } else {
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
        path = make_image(dir);
    }
    const int reps = argc > 2 ? std::max(1, atoi(argv[2])) : 15;
    const int class_reps = argc > 3 ? std::max(1, atoi(argv[3])) : 5;

    MatrixPtr D(initdct(8)), g(mk_gaufilter());
    VolumePtr acc(calloc_vol(kDepth, 64, 4)), whole(calloc_vol(kDepth, 64, 4)),
        slow(calloc_vol(kDepth, 64, 4));

    steps(path.c_str(), acc.get(), g.get(), D.get());  // warm-up: caches, ImageMagick set-up
    std::vector<double> read, pyr, mnt, total;
    Split s{};
    for (int r = 0; r < reps; r++) {
        clear(acc.get());
        s = steps(path.c_str(), acc.get(), g.get(), D.get());
        read.push_back(s.read);
        pyr.push_back(s.pyramid);
        mnt.push_back(s.moments);
        total.push_back(s.read + s.pyramid + s.moments);
    }

    // The same image through image_mnts_DCT, and through the ovlapDct route.
    MatrixPtr img(im2mtx(path.c_str(), "I"));
    std::vector<double> analysis;
    for (int r = 0; r < reps; r++) {
        clear(whole.get());
        const double t0 = cpu_ms();
        image_mnts_DCT(img.get(), whole.get(), kDepth, g.get(), D.get(), 0);
        analysis.push_back(cpu_ms() - t0);
    }
    const double t0 = cpu_ms();
    image_mnts_DCT(img.get(), slow.get(), kDepth, g.get(), D.get(), 1);
    const double slow_ms = cpu_ms() - t0;
    double worst = 0;  // relative to the coefficient scale
    for (int L = 0; L < kDepth; L++)
        for (int k = 0; k < 64; k++) {
            double scale = std::pow(slow->frame[L]->pix[k][3], 0.25);
            for (int m = 0; m < 4; m++) {
                double d = std::fabs(acc->frame[L]->pix[k][m] - slow->frame[L]->pix[k][m]);
                if (scale > 0) worst = std::max(worst, d / std::pow(scale, m + 1));
            }
        }

    const char *isa[] = {"plain C++", "AVX2", "AVX-512"};
    printf("per-image work, 1024x768, depth %d, %s, median CPU ms of %d runs\n", kDepth,
           isa[simd_level()], reps);
    printf("  read     %7.2f ms   floor %6.2f ms (libjpeg's own decode)\n", median(read),
           floor_jpeg_decode_ms(path, reps));
    printf("  pyramid  %7.2f ms   floor %6.2f ms (streaming pass: %.1f MB in, %.1f MB out)\n",
           median(pyr), floor_pass_ms(s.pyr_in, s.pyr_out, reps), s.pyr_in / 1e6, s.pyr_out / 1e6);
    printf("  moments  %7.2f ms   floor %6.2f ms (streaming pass: %.1f MB in)\n", median(mnt),
           floor_pass_ms(s.mnt_in, 64 * 4 * sizeof(double) * kDepth, reps), s.mnt_in / 1e6);
    printf("  total    %7.2f ms   (image_mnts_DCT, pyramid and moments: %.2f ms)\n", median(total),
           median(analysis));
    printf("  steps give image_mnts_DCT's moments bit for bit: %s\n",
           same(acc.get(), whole.get()) ? "yes" : "NO");
    printf("  ovlapDct route: %.0f ms, largest difference relative to scale^(m+1): %.3g\n", slow_ms,
           worst);

    if (!dir.empty()) bench_threads(dir, class_reps, D.get());

    if (!dir.empty()) {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    return 0;
}
