// Per-class raw moments of the 8x8 block-DCT coefficients of every pyramid
// level.
//
// The per-level moments are computed block by block. A row pass transforms
// the 8-sample rows of every block column once per image row
// (P = X * D) and keeps only the last eight image rows in a ring buffer;
// the column pass (F = D' * P) then yields one block's 64 coefficients,
// whose first four powers go straight into 64 x 4 running sums. Nothing of
// size N x 64 is formed. Every sum runs in the same order as the block
// transform and the per-coefficient sums of the ovlapDct route (products
// summed from 0.0 in increasing index, blocks in row-major order), so the
// two routes agree to within floating-point rounding; mnts_DCT_ovlap keeps
// that route for comparison.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classstat.h"
#include "cli.h"
#include "files.h"
#include "imgconv.h"
#include "mres.h"
#include "fail.h"

namespace {

constexpr int BS = 8;  // block size
constexpr int NC = BS * BS;

void check_level(const matrix *level, const matrix *dctarr) {
    if (dctarr == nullptr || dctarr->nrows != BS || dctarr->ncols != BS)
        die("%s", "mnts_DCT: the DCT matrix must be 8x8\n");
    if (level == nullptr || level->nrows < BS || level->ncols < BS)
        die("%s", "mnts_DCT: level smaller than one 8x8 block\n");
}

int block_step(int side) { return std::max(side / 250, 1); }

// Adds src (64 x 4) into dst element by element.
void add_into(matrix *dst, const matrix *src) {
    const double *s = src->pix[0];
    double *d = dst->pix[0];
    for (int i = 0; i < NC * 4; i++) d[i] += s[i];
}

// add_image_mnts_DCT without the message: 0 when the image is too small.
int image_mnts(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr, int slow) {
    // Sides are multiples of mod = 2^(depth-1) so that every level halves
    // exactly. Worked in 64 bits; depths beyond any real image just skip.
    int64_t H = img->nrows, W = img->ncols;
    bool small = pyddepth - 1 > 40;
    int64_t mod = small ? 1 : (int64_t)1 << (pyddepth - 1);
    int64_t h = H - H % mod, w = W - W % mod;
    if (small || std::min(h, w) < 8 * mod) return 0;
    // The pyramid is built on its own copy of the (cropped) image.
    matrix *level0 = alloc_mtx((int)h, (int)w);
    submtx(level0, img, 0, 1, (int)h - 1, 0, 1, (int)w - 1);
    pyramid *pyr = gpyr_on(level0, pyddepth, gaufilt, gaufilt, 'w');
    for (int L = 0; L < pyddepth; L++) {
        matrix *m = slow ? mnts_DCT_ovlap(pyr->level[L], dctarr) : mnts_DCT(pyr->level[L], dctarr);
        add_into(acc->frame[L], m);
        free_mtx(m);
    }
    free_pyr(pyr);
    return 1;
}

int g_threads = 1;  // images of a class analysed at once

// What reading and analysing one image gave; the messages are printed by
// the thread that adds the images up, in list order.
struct ImageMoments {
    bool ready = false;
    bool read = false;  // the image could be read
    bool used = false;  // large enough for the pyramid
    volume *mnts = nullptr;
};

// ImageMagick reports a read's warnings and errors through process-wide
// handlers, on the reading thread. A worker thread collects them here, so
// that they can be replayed in list order by the original handlers.
struct Captured {
    ExceptionType type;
    std::string reason, description;
    bool has_description, error;
};
thread_local std::vector<Captured> *t_capture = nullptr;
WarningHandler g_prev_warning = nullptr;
ErrorHandler g_prev_error = nullptr;

void forward(bool error, ExceptionType type, const char *reason, const char *description) {
    if (error ? g_prev_error != nullptr : g_prev_warning != nullptr)
        (error ? g_prev_error : g_prev_warning)(type, reason, description);
}

void capture(bool error, ExceptionType type, const char *reason, const char *description) {
    if (!t_capture) {
        forward(error, type, reason, description);
        return;
    }
    t_capture->push_back({type, reason ? reason : "", description ? description : "",
                          description != nullptr, error});
}
void capture_warning(ExceptionType t, const char *r, const char *d) { capture(false, t, r, d); }
void capture_error(ExceptionType t, const char *r, const char *d) { capture(true, t, r, d); }

void install_capture() {
    static bool done = false;
    if (done) return;
    done = true;
    g_prev_warning = SetWarningHandler(capture_warning);
    g_prev_error = SetErrorHandler(capture_error);
}

void replay(const std::vector<Captured> &list) {
    for (const Captured &c : list)
        forward(c.error, c.type, c.reason.c_str(),
                c.has_description ? c.description.c_str() : nullptr);
}

// Reads one image and takes its per-level moments into a new volume; no output.
void analyse_image(const char *name, int pyddepth, matrix *gaufilt, matrix *dctarr, ImageMoments *r,
                   std::vector<Captured> *captured) {
    t_capture = captured;
    matrix *img = im2mtx(name, "I");
    t_capture = nullptr;
    r->read = img != nullptr;
    if (!img) return;
    r->mnts = calloc_vol(pyddepth, NC, 4);
    r->used = image_mnts(img, r->mnts, pyddepth, gaufilt, dctarr, 0);
    free_mtx(img);
}

// Images first..last-1 of a class on g_threads threads, handed to `take` in
// list order. At most 2 * g_threads images are in flight, so memory stays
// bounded however long the list. Each worker only reads and computes: all
// output and every decision to stop happen on the calling thread, after the
// workers have been joined when the run stops.
// `announce`(n) comes before anything image n prints, `take`(n, ...) after.
template <class Announce, class Take>
void for_each_image(char **names, int imgnum, int pyddepth, matrix *gaufilt, matrix *dctarr,
                    Announce announce, Take take) {
    if (g_threads <= 1) {
        const std::vector<Captured> none;
        for (int n = 0; n < imgnum; n++) {
            ImageMoments r;
            announce(n);
            analyse_image(names[n], pyddepth, gaufilt, dctarr, &r, nullptr);
            bool go_on = take(n, r, none);
            if (r.mnts) free_vol(r.mnts);
            if (!go_on) return;
        }
        return;
    }
    // ImageMagick is set up once, here, before any worker can race to do it.
    img_init();
    install_capture();
    const int window = 2 * g_threads;
    std::vector<ImageMoments> results(imgnum);
    std::vector<std::vector<Captured>> captured(imgnum);
    std::mutex mu;
    std::condition_variable cv;
    int next = 0, consumed = 0;
    bool stop = false;
    auto worker = [&] {
        for (;;) {
            int n;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return stop || next >= imgnum || next < consumed + window; });
                if (stop || next >= imgnum) return;
                n = next++;
            }
            ImageMoments r;
            std::vector<Captured> cap;
            analyse_image(names[n], pyddepth, gaufilt, dctarr, &r, &cap);
            std::lock_guard<std::mutex> lock(mu);
            r.ready = true;
            results[n] = std::move(r);
            captured[n] = std::move(cap);
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < std::min(g_threads, imgnum); t++) pool.emplace_back(worker);
    auto finish = [&] {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        cv.notify_all();
        for (std::thread &t : pool) t.join();
        for (ImageMoments &r : results)
            if (r.mnts) free_vol(r.mnts);
    };
    for (int n = 0; n < imgnum; n++) {
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return results[n].ready; });
        }
        announce(n);
        bool go_on = take(n, results[n], captured[n]);
        std::lock_guard<std::mutex> lock(mu);
        if (results[n].mnts) free_vol(results[n].mnts);
        results[n].mnts = nullptr;
        consumed = n + 1;
        cv.notify_all();
        if (!go_on) break;
    }
    finish();
}

// The sums of class j's `used` images, averaged, into columns 4j..4j+3 of
// Allmnt (one 64-row block per level).
void place_class_average(volume *acc, int used, int j, matrix *Allmnt) {
    for (int L = 0; L < acc->nframes; L++) {
        matrix *fr = acc->frame[L];
        double *v = fr->pix[0];
        for (int e = 0; e < NC * 4; e++) v[e] /= used;
        coords a0 = {0, 0}, one = {1, 1}, a1 = {3, NC - 1};
        coords b0 = {4 * j, NC * L}, b1 = {4 * j + 3, NC * L + NC - 1};
        move(fr, Allmnt, a0, one, a1, b0, one, b1, 0);
    }
}

// Adds the moments of images names[0..count) of class j into acc in list
// order (on g_threads threads), printing each name as it comes; returns how
// many were large enough for the pyramid. An unreadable image ends the run.
int sum_images(char **names, int count, int j, volume *acc, int pyddepth, matrix *gaufilt,
               matrix *dctarr) {
    int used = 0, unreadable = -1;
    {
        Progress progress(count);
        for_each_image(
            names, count, pyddepth, gaufilt, dctarr,
            [&](int n) {
                progress.clear();
                lib_printf(1, "%s\n", names[n]);
                progress.show(n + 1, names[n]);
            },
            [&](int n, const ImageMoments &r, const std::vector<Captured> &cap) {
                progress.clear();
                replay(cap);
                if (!r.read) {
                    unreadable = n;
                    return false;
                }
                if (!r.used) {
                    lib_printf(1, "Image too small, Skip!\n");
                    return true;
                }
                used++;
                for (int L = 0; L < pyddepth; L++) add_into(acc->frame[L], r.mnts->frame[L]);
                return true;
            });
    }
    if (unreadable >= 0) {
        // A class's statistics must never silently lose an image.
        lib_fatalf(1, "Error: can't read image %s (class %d); the run stops\n", names[unreadable],
                   j);
    }
    return used;
}

// Moments of one class into columns 4j..4j+3 of Allmnt: the mean over the
// images large enough for the pyramid.
void class_mnts(const char *listpath, int j, matrix *Allmnt, int pyddepth, matrix *gaufilt,
                matrix *dctarr) {
    volume *acc = calloc_vol(pyddepth, NC, 4);
    lib_printf(1, "%s\n", listpath);
    int imgnum = 0;
    char **names = getFilename(listpath, &imgnum);
    if (imgnum <= 0) {
        lib_fatalf(1, "Error: the image list %s of class %d holds no image name\n", listpath, j);
    }
    const int used = sum_images(names, imgnum, j, acc, pyddepth, gaufilt, dctarr);
    if (used == 0) {
        lib_fatalf(1,
                   "Error: no image of class %d (list %s) is large enough for pyramid depth %d; "
                   "the run stops\n",
                   j, listpath, pyddepth);
    }
    place_class_average(acc, used, j, Allmnt);
    for (int n = 0; n < imgnum; n++) free(names[n]);
    free(names);
    free_vol(acc);
}

void check_depth(int pyddepth) {
    if (pyddepth < 1 || pyddepth > INT_MAX / NC) {
        lib_fatalf(1, "Error: pyramid depth %d is out of range (at least 1)\n", pyddepth);
    }
}

}  // namespace

int add_image_mnts_DCT(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr,
                       int slow) {
    if (image_mnts(img, acc, pyddepth, gaufilt, dctarr, slow)) return 1;
    lib_printf(1, "Image too small, Skip!\n");
    return 0;
}

void set_moments_threads(int nthreads) { g_threads = std::max(nthreads, 1); }

matrix *mnts_DCT(matrix *level, matrix *dctarr) {
    check_level(level, dctarr);
    const int H = level->nrows, W = level->ncols;
    const int hs = block_step(W), vs = block_step(H);
    const int nx = decpts(W, BS, hs), ny = decpts(H, BS, vs);

    double D[BS][BS];
    for (int i = 0; i < BS; i++)
        for (int j = 0; j < BS; j++) D[i][j] = dctarr->pix[i][j];

    // ring[(y % 8)][c][v]: row y of block column c times D.
    std::vector<double> ring((size_t)BS * nx * BS);
    int next_row = 0;  // first image row not yet in the ring
    // Running sums of x, x^2, x^3, x^4 per coefficient in (u, v) layout.
    std::vector<double> s1(NC, 0.0), s2(NC, 0.0), s3(NC, 0.0), s4(NC, 0.0);
    double F[NC];

    for (int r = 0; r < ny; r++) {
        const int y0 = r * vs;
        for (int y = std::max(y0, next_row); y < y0 + BS; y++) {
            const double *row = level->pix[y];
            double *dst = &ring[(size_t)(y % BS) * nx * BS];
            for (int c = 0; c < nx; c++) {
                const double *x = row + (size_t)c * hs;
                double *p = dst + (size_t)c * BS;
                for (int v = 0; v < BS; v++) p[v] = 0.0;
                for (int n = 0; n < BS; n++) {
                    const double xn = x[n];
                    for (int v = 0; v < BS; v++) p[v] += xn * D[n][v];
                }
            }
        }
        next_row = y0 + BS;

        const double *rows[BS];
        for (int m = 0; m < BS; m++) rows[m] = &ring[(size_t)((y0 + m) % BS) * nx * BS];
        for (int c = 0; c < nx; c++) {
            for (int u = 0; u < BS; u++) {
                double *f = F + u * BS;
                for (int v = 0; v < BS; v++) f[v] = 0.0;
                for (int m = 0; m < BS; m++) {
                    const double d = D[m][u];
                    const double *p = rows[m] + (size_t)c * BS;
                    for (int v = 0; v < BS; v++) f[v] += d * p[v];
                }
            }
            for (int k = 0; k < NC; k++) {
                const double x = F[k], x2 = x * x;
                s1[k] += x;
                s2[k] += x2;
                s3[k] += x * x2;
                s4[k] += x2 * x2;
            }
        }
    }

    const double N = (double)nx * (double)ny;
    matrix *res = alloc_mtx(NC, 4);
    for (int k = 0; k < NC; k++) {
        const int uv = zzr[k] * BS + zzc[k];
        res->pix[k][0] = s1[uv] / N;
        res->pix[k][1] = s2[uv] / N;
        res->pix[k][2] = s3[uv] / N;
        res->pix[k][3] = s4[uv] / N;
    }
    return res;
}

matrix *mnts_DCT_ovlap(matrix *level, matrix *dctarr) {
    check_level(level, dctarr);
    const int hs = block_step(level->ncols), vs = block_step(level->nrows);
    matrix *R = ovlapDct(level, BS, dctarr, hs, vs);
    matrix *T = mtx_fun(R, 'T');
    free_mtx(R);
    matrix *S = mtx_bmath(T, T, '.');
    matrix *U = mtx_bmath(T, S, '.');
    matrix *Q = mtx_bmath(S, S, '.');
    const int N = T->ncols;
    matrix *res = alloc_mtx(NC, 4);
    matrix *pw[4] = {T, S, U, Q};
    for (int k = 0; k < NC; k++)
        for (int m = 0; m < 4; m++) res->pix[k][m] = vsum(pw[m]->pix[k], N) / N;
    free_mtx(T);
    free_mtx(S);
    free_mtx(U);
    free_mtx(Q);
    return res;
}

matrix *getAllmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                       matrix *dctarr) {
    check_depth(pyddepth);
    matrix *gaufilt = mk_gaufilter();
    matrix *Allmnt = calloc_mtx(NC * pyddepth, 4 * classnum);
    for (int j = 0; j < classnum; j++)
        class_mnts(Queryfilenames[j], j, Allmnt, pyddepth, gaufilt, dctarr);
    free_mtx(gaufilt);
    return Allmnt;
}

void check_moment_shape(const matrix *Allmnt, const char *path, int pyddepth, int classnum) {
    if ((int64_t)Allmnt->nrows == (int64_t)NC * pyddepth &&
        (int64_t)Allmnt->ncols == 4 * (int64_t)classnum)
        return;
    std::string msg = "\n!!!FATAL : Allmnt file is not in the right dimension!!!\n";
    if (path) {
        char buf[512];
        snprintf(buf, sizeof buf, " is %d x %d; depth %d and %d classes need %lld x %lld\n",
                 Allmnt->nrows, Allmnt->ncols, pyddepth, classnum, (long long)NC * pyddepth,
                 4LL * classnum);
        msg += path;
        msg += buf;
    }
    lib_fatal(1, msg);
}

void getTheRestmnts_DCT(const char *const *Queryfilenames, matrix *Allmnt, int classnum,
                        int pyddepth, matrix *dctarr) {
    check_depth(pyddepth);
    check_moment_shape(Allmnt, nullptr, pyddepth, classnum);
    matrix *gaufilt = mk_gaufilter();
    for (int j = 1; j < classnum; j++)
        class_mnts(Queryfilenames[j], j, Allmnt, pyddepth, gaufilt, dctarr);
    free_mtx(gaufilt);
}

// ---- one part of the class lists ----------------------------------------------
// Training spread over several runs: each run averages the entries it owns,
// and the counts let the parts be merged exactly afterwards.

matrix *getPartmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                        matrix *dctarr, int part, int nparts, int *usable, int *listed) {
    check_depth(pyddepth);
    if (nparts < 1 || part < 0 || part >= nparts) die("%s", "getPartmnts_DCT: no such part\n");
    matrix *gaufilt = mk_gaufilter();
    matrix *Allmnt = calloc_mtx(NC * pyddepth, 4 * classnum);
    for (int j = 0; j < classnum; j++) {
        volume *acc = calloc_vol(pyddepth, NC, 4);
        lib_printf(1, "%s\n", Queryfilenames[j]);
        int n = 0;
        char **names = getFilename(Queryfilenames[j], &n);
        listed[j] = n;
        std::vector<char *> mine;  // the entries this part owns
        for (int i = part; i < n; i += nparts) mine.push_back(names[i]);
        usable[j] = sum_images(mine.data(), (int)mine.size(), j, acc, pyddepth, gaufilt, dctarr);
        // A class without usable images here keeps its zeros; its count says so.
        if (usable[j] > 0) place_class_average(acc, usable[j], j, Allmnt);
        for (int i = 0; i < n; i++) free(names[i]);
        free(names);
        free_vol(acc);
    }
    free_mtx(gaufilt);
    return Allmnt;
}
