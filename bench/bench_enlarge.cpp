// Channel enlargement timings (not a test): CPU time of ImageMagick's route
// and of the own route for the channels of a 1024x768 image at levels 0..3
// (channels of 768/2^l x 1024/2^l enlarged back to 768 x 1024), with a check
// that both give the same samples.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "enlarge.h"
#include "lumivar.h"
#include "test_support.h"

namespace {

// Channel-like content: smooth ripples, clamped peaks, zero borders.
matrix *channel(int H, int W, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.05, 0.05);
    matrix *m = alloc_mtx(H, W);
    for (int i = 0; i < H; i++)
        for (int j = 0; j < W; j++)
            m->pix[i][j] = 0.6 + 0.6 * sin(i * 0.11) * cos(j * 0.07) + u(rng);
    BoundarySup(m);
    return m;
}

}  // namespace

int main() {
    const int H = 768, W = 1024, reps = 5;
    double total_magick = 0, total_own = 0;
    printf("level  channel     ImageMagick ms  own ms   ratio  same\n");
    for (int l = 0; l <= 3; l++) {
        matrix *chan = channel(H >> l, W >> l, 7 + l);
        double t_magick = 1e300, t_own = 1e300;
        bool same = true;
        for (int r = 0; r < reps; r++) {
            double t = cpu_ms();
            matrix *a = enlarge_channel_magick(chan, l);
            t_magick = std::min(t_magick, cpu_ms() - t);
            t = cpu_ms();
            matrix *b = enlarge_channel_exact(chan, l);
            t_own = std::min(t_own, cpu_ms() - t);
            same = same && a && b && a->nrows == b->nrows && a->ncols == b->ncols &&
                   memcmp(a->pix[0], b->pix[0], sizeof(double) * a->nrows * a->ncols) == 0;
            free_mtx(a);
            free_mtx(b);
        }
        printf("%5d  %4dx%-4d   %14.2f  %6.2f  %6.1fx  %s\n", l, H >> l, W >> l, t_magick, t_own,
               t_magick / t_own, same ? "yes" : "NO");
        total_magick += t_magick;
        total_own += t_own;
        free_mtx(chan);
    }
    printf("all    levels 0..3  %14.2f  %6.2f  %6.1fx\n", total_magick, total_own,
           total_magick / total_own);
    double t = cpu_ms();
    const bool ok = enlarge_exact_verified(kMaxExactLevel);
    printf("probe of levels 0..%d: %s, %.1f ms\n", kMaxExactLevel, ok ? "agrees" : "DIFFERS",
           cpu_ms() - t);
    return 0;
}
