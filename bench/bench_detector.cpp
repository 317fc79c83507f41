// Detector timings (not a test):
// CPU times of
//  1. one 1024x768 query image with default options (map kind 0, five
//     features, winner-take-all, map image and five circles), split into
//     ImageMagick's own calls (read, resize, write, draw) and the rest;
//  2. the location search against the search that rescans the whole map
//     for every location, on a 256x256 map, checked to give the same output.
#include <unistd.h>

#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "imgconv.h"
#include "lumivar.h"
#include "mres.h"

namespace {

// Process CPU time: the machine is shared, so wall time says more about the
// neighbours than about this code. ImageMagick runs on one thread here.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
    }
};
double since(double t) { return Clock::now() - t; }

// Textured grey picture with a few bright discs.
matrix *picture(int H, int W) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    matrix *m = alloc_mtx(H, W);
    for (int i = 0; i < H; i++)
        for (int j = 0; j < W; j++)
            m->pix[i][j] = 0.5 + 0.15 * sin(i * 0.05) * cos(j * 0.07) + 0.2 * (u(rng) - 0.5);
    for (int d = 0; d < 6; d++) {
        int r = 100 + 100 * d, c = 150 + 130 * d, rad = 12 + 4 * d;
        for (int i = r - rad; i <= r + rad; i++)
            for (int j = c - rad; j <= c + rad; j++)
                if (i >= 0 && i < H && j >= 0 && j < W && (i - r) * (i - r) + (j - c) * (j - c) <= rad * rad)
                    m->pix[i][j] = 0.95;
    }
    return m;
}

struct Split {
    double im_read = 0, im_resize = 0, im_write = 0, im_draw = 0;
    double pyramid = 0, filter = 0, sum = 0, search = 0, locfile = 0;
    double im() const { return im_read + im_resize + im_write + im_draw; }
    double rest() const { return pyramid + filter + sum + search + locfile; }
};

// The per-image steps of the run, timed one by one.
void timed_image(const char *file, const LumivarModel &model, const std::string &out, Split *s) {
    auto t = Clock::now();
    matrix *img = im2mtx(file, "I");
    s->im_read += since(t);

    t = Clock::now();
    const int mod = 1 << (model.pyddepth - 1);
    const int H = img->nrows - img->nrows % mod, W = img->ncols - img->ncols % mod;
    matrix *crop = alloc_mtx(H, W);
    for (int r = 0; r < H; r++) memcpy(crop->pix[r], img->pix[r], (size_t)W * sizeof(double));
    pyramid *G = calloc_pyr(model.pyddepth, H, W);
    gpyr(crop, G, model.gaufilt, model.gaufilt, model.pyddepth, 'w');
    s->pyramid += since(t);

    matrix *SM = calloc_mtx(H, W);
    std::vector<matrix *> ch(model.ftnum4smap);
    for (int i = 0; i < model.ftnum4smap; i++) {
        t = Clock::now();
        matrix *lc = level_channel(G, model.ftpydlevel[i], model.ftsubidx[i], (matrix **)model.dctmtx,
                                   0, model.allalpha, model.allbeta, 1);
        s->filter += since(t);
        t = Clock::now();
        ch[i] = enlarge_channel(lc, model.ftpydlevel[i]);
        s->im_resize += since(t);
        free_mtx(lc);
        t = Clock::now();
        for (long j = 0; j < (long)H * W; j++) {
            ch[i]->pix[0][j] *= model.ftcost[i];
            SM->pix[0][j] += ch[i]->pix[0][j];
        }
        s->sum += since(t);
    }

    t = Clock::now();
    matrix *norm = calloc_mtx(H, W);
    inp_mtxsc_bmathd(SM, mtx_max(SM), norm, '/');
    s->sum += since(t);
    t = Clock::now();
    mtx2im(norm, (out + "_sm.jpg").c_str());
    s->im_write += since(t);

    t = Clock::now();
    matrix *SPs = SearchSalPts(SM, ch.data(), (int *)model.ftpydlevel.data(), model.ftnum4smap, 0);
    s->search += since(t);
    t = Clock::now();
    savesallocations(SPs, (out + "_salloc").c_str());
    s->locfile += since(t);

    t = Clock::now();
    Image *im = LoadImage(file);
    DrawSPs_img(im, SPs, 5, "white");
    SaveImage(im, (out + "_salloc.jpg").c_str());
    DestroyImage(im);
    s->im_draw += since(t);

    for (matrix *m : ch) free_mtx(m);
    free_mtx(SPs);
    free_mtx(norm);
    free_mtx(SM);
    free_pyr(G);
    free_mtx(crop);
    free_mtx(img);
}

// The search that rescans the whole map for every location.
matrix *literal_search(matrix *SM, matrix **channels, int *levels, int nft, int nowta) {
    std::vector<double> rows;
    int r, c;
    double maxval = mtx_max_idx(SM, &r, &c);
    int n = 0;
    while (maxval > 0 && n < kMaxSalPts) {
        int idx = 0;
        double best = 0.0;
        for (int i = 0; i < nft; i++)
            if (channels[i]->pix[r][c] > best) {
                best = channels[i]->pix[r][c];
                idx = i;
            }
        rows.insert(rows.end(), {(double)r, (double)c, (double)levels[idx], maxval});
        if (nowta) {
            SM->pix[r][c] = 0;
        } else {
            int h = scale_radius(levels[idx]);
            for (int i = std::max(r - h, 0); i <= std::min(r + h, SM->nrows - 1); i++)
                for (int j = std::max(c - h, 0); j <= std::min(c + h, SM->ncols - 1); j++)
                    SM->pix[i][j] = 0;
        }
        n++;
        maxval = mtx_max_idx(SM, &r, &c);
    }
    if (rows.empty()) rows.assign(4, 0.0);
    return array2mtx(rows.data(), (int)rows.size() / 4, 4);
}

void search_bench(int N, int nowta) {
    std::mt19937 rng(11);
    matrix *map = alloc_mtx(N, N);
    std::vector<matrix *> ch(3);
    int levels[3] = {0, 1, 2};
    for (matrix *&m : ch) m = alloc_mtx(N, N);
    for (long i = 0; i < (long)N * N; i++) {
        map->pix[0][i] = (rng() % 1000) / 100.0;  // about 65 pixels per value: many ties
        for (matrix *m : ch) m->pix[0][i] = (rng() % 100) / 100.0;
    }
    matrix *a = array2mtx(map->pix[0], N, N), *b = array2mtx(map->pix[0], N, N);
    auto t = Clock::now();
    matrix *ref = literal_search(a, ch.data(), levels, 3, nowta);
    const double tl = since(t);
    t = Clock::now();
    matrix *fast = SearchSalPts(b, ch.data(), levels, 3, nowta);
    const double tf = since(t);
    bool same = ref->nrows == fast->nrows &&
                memcmp(ref->pix[0], fast->pix[0], sizeof(double) * 4 * ref->nrows) == 0 &&
                memcmp(a->pix[0], b->pix[0], sizeof(double) * N * N) == 0;
    printf("search %dx%d %s: %d locations; rescanning %.1f ms, fast %.3f ms, %.0fx faster, %s\n", N, N,
           nowta ? "-nowta" : "winner-take-all", fast->nrows, tl, tf, tl / tf,
           same ? "identical output" : "OUTPUTS DIFFER");
    for (matrix *m : {map, a, b, ref, fast}) free_mtx(m);
    for (matrix *m : ch) free_mtx(m);
}

}  // namespace

int main() {
    img_init();
    char dir[] = "/tmp/bench_detectorXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string query = std::string(dir) + "/query.jpg";
    matrix *pic = picture(768, 1024);
    mtx2im(pic, query.c_str());
    free_mtx(pic);

    LumivarModel model;
    model.pyddepth = 4;
    model.gaufilt = mk_gaufilter();
    make_dct_filters(model.dctmtx);
    model.allalpha = calloc_mtx(256, 2);
    model.allbeta = calloc_mtx(256, 2);
    fill_mtx(model.allalpha, 0.1);
    fill_mtx(model.allbeta, 1.0);

    struct Features {
        const char *name;
        std::vector<int> level, index;
    };
    const int reps = 5;
    for (const Features &f : {Features{"levels 0,1,1,2,3", {0, 1, 1, 2, 3}, {4, 1, 9, 2, 5}},
                              Features{"all on level 0", {0, 0, 0, 0, 0}, {1, 2, 4, 9, 12}}}) {
        model.ftnum4smap = 5;
        model.ftpydlevel = f.level;
        model.ftsubidx = f.index;
        model.ftcost = {5, 4, 3, 2, 1};
        model.ftmd = model.ftcost;
        Split s;
        for (int r = 0; r < reps; r++) timed_image(query.c_str(), model, std::string(dir) + "/q", &s);
        auto per = [&](double v) { return v / reps; };
        printf("1024x768 query, default options, features %s, mean of %d:\n", f.name, reps);
        printf("  ImageMagick %.1f ms (read %.1f, resize %.1f, write %.1f, draw %.1f)\n", per(s.im()),
               per(s.im_read), per(s.im_resize), per(s.im_write), per(s.im_draw));
        printf("  rest        %.1f ms (pyramid %.1f, filters %.1f, weighting %.1f, search %.1f, "
               "location file %.1f)\n",
               per(s.rest()), per(s.pyramid), per(s.filter), per(s.sum), per(s.search), per(s.locfile));
        printf("  rest / ImageMagick = %.2f\n", s.rest() / s.im());

        // The run's own per-image function, for the total (its messages hidden).
        LumivarSettings set;
        set.savepath = dir;
        set.qclassidx = 1;
        fflush(stdout);
        int saved = dup(1);
        if (!freopen("/dev/null", "w", stdout)) return 1;
        auto t = Clock::now();
        for (int r = 0; r < reps; r++) process_image(query.c_str(), set, model);
        double total = since(t) / reps;
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        printf("  whole process_image: %.1f ms\n", total);
    }
    free_model(&model);

    search_bench(256, 1);
    search_bench(256, 0);
    std::string cmd = std::string("rm -rf ") + dir;
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
