// Detector figures (not a test), in one run:
//  1. one 1024x768 query with default options, split by pipeline step
//     (read, pyramid, filters, enlargement, combining, search and outputs),
//     CPU time of the very calls the program makes;
//  2. images per second of the Lumivar program over 20 such images at -j 1
//     and at -j <all cores>, with every output file compared between them;
//  3. peak memory per pixel of one 4000x3000 query at -f 5 and at
//     -enforce -f 64;
//  4. the location search against the search that rescans the whole map
//     for every location, on a 256x256 map, checked to give the same output.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "dat.h"
#include "files.h"
#include "floors.h"
#include "imgconv.h"
#include "lumivar.h"
#include "test_support.h"
#include "mres.h"
#include "owners.h"
#include "reference_search.h"

namespace fs = std::filesystem;

namespace {

// Textured grey picture with a few bright discs.
matrix *picture(int H, int W, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    matrix *m = alloc_mtx(H, W);
    for (int i = 0; i < H; i++)
        for (int j = 0; j < W; j++)
            m->pix[i][j] = 0.5 + 0.15 * sin(i * 0.05) * cos(j * 0.07) + 0.2 * (u(rng) - 0.5);
    for (int d = 0; d < 6; d++) {
        int r = (100 + 100 * d + seed * 37) % H, c = (150 + 130 * d + seed * 53) % W,
            rad = 12 + 4 * d;
        for (int i = std::max(r - rad, 0); i <= std::min(r + rad, H - 1); i++)
            for (int j = std::max(c - rad, 0); j <= std::min(c + rad, W - 1); j++)
                if ((i - r) * (i - r) + (j - c) * (j - c) <= rad * rad) m->pix[i][j] = 0.95;
    }
    return m;
}

// A result directory of two classes at `depth` whose class 1 ranks 64
// features; the first five, used by default, are on the levels and zig-zag
// indices given.
void write_model(const std::string &dir, int depth, const int (&first)[5][2]) {
    fs::create_directories(dir);
    const int rows = 64 * depth;
    MatrixPtr alpha(calloc_mtx(rows, 2)), beta(calloc_mtx(rows, 2));
    fill_mtx(alpha.get(), 0.1);
    fill_mtx(beta.get(), 1.0);
    for (int f = 0; f < rows; f++) alpha->pix[f][1] = 0.2;
    mtx2dat(alpha.get(), (dir + "/Allalpha.dat").c_str());
    mtx2dat(beta.get(), (dir + "/Allbeta.dat").c_str());
    std::ofstream(dir + "/pyddepth") << depth;
    std::ofstream(dir + "/salientfeaturenum") << "5\n5\n";
    std::ofstream cls(dir + "/Qor_class_1");
    for (int i = 0; i < 64; i++) {
        const int level = i < 5 ? first[i][0] : i % depth,
                  index = i < 5 ? first[i][1] : 1 + (i * 7) % 63;
        cls << (64 - i) / 64.0 << "\t" << 1.0 + i << "\t" << level << "\t" << index << "\n";
    }
}

// The light model spreads its features over levels 0,1,1,2,3 of depth 4;
// the heavy one, as models trained on photographs often do, puts all five
// at full resolution (depth 3).
const int kLight[5][2] = {{0, 4}, {1, 1}, {1, 9}, {2, 2}, {3, 5}};
const int kHeavy[5][2] = {{0, 42}, {0, 43}, {0, 53}, {0, 51}, {0, 44}};

// Every file under a and b, compared byte for byte.
bool same_tree(const fs::path &a, const fs::path &b) {
    size_t n = 0;
    for (const auto &e : fs::recursive_directory_iterator(a)) {
        if (!e.is_regular_file()) continue;
        const fs::path other = b / fs::relative(e.path(), a);
        if (!fs::exists(other) || slurp(e.path()) != slurp(other)) return false;
        n++;
    }
    for (const auto &e : fs::recursive_directory_iterator(b))
        if (e.is_regular_file()) n--;
    return n == 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

struct RunStats {
    double wall_s = 0;
    long maxrss_kb = 0;
    double cpu_s = 0;
    int status = -1;
};

// Runs Lumivar with its output sent to /dev/null; wall time and peak memory.
RunStats run_lumivar(const std::vector<std::string> &args) {
    RunStats r;
    const double t = now_seconds();
    fflush(stdout);  // the child must not print this process's buffered lines again
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
        std::vector<char *> argv{const_cast<char *>(LUMIVAR_BIN)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(LUMIVAR_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.wall_s = now_seconds() - t;
    r.maxrss_kb = ru.ru_maxrss;
    r.cpu_s = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
              (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return r;
}

// The arithmetic of `outputs` window sums of `taps` multiply-and-adds each,
// eight lanes at a time on values held in registers: what no correlation
// can go below on this machine.
__attribute__((target_clones("avx512f", "avx2", "default"))) double arithmetic_floor_ms(
    long outputs, int taps) {
    typedef double v8d __attribute__((vector_size(64)));
    std::vector<double> f(taps);
    for (int n = 0; n < taps; n++) f[n] = 1.0 - n * 1e-3;
    v8d acc[8] = {}, x[8];
    for (int q = 0; q < 8; q++) x[q] = v8d{} + 1.0 + q * 1e-9;
    const double t = cpu_ms();
    for (long done = 0; done < outputs; done += 64)
        for (int n = 0; n < taps; n++) {
            const v8d c = v8d{} + f[n];
            for (int q = 0; q < 8; q++) acc[q] += x[q] * c;
        }
    const double ms = cpu_ms() - t;
    double sink = 0;
    for (int q = 0; q < 8; q++) sink += acc[q][0];
    if (sink == 42.0) printf(" ");  // keeps the sums
    return ms;
}

struct Step {
    const char *name;
    std::vector<double> ms;
    double floor_ms;
    const char *floor_what;
};

// One query through the program's steps, each timed on its own (CPU ms,
// median of 7) and printed beside its floor.
void per_image_split(const char *label, const std::string &query, const std::string &modeldir,
                     const std::string &out) {
    fs::create_directories(out);
    LumivarSettings set;
    set.SFPath = modeldir;
    set.qclassidx = 1;
    set.savepath = out;
    LumivarModel model;
    load_model(&set, &model);
    const int reps = 7, nft = model.ftnum4smap;
    enum { kRead, kPyramid, kCorr, kPower, kEnlarge, kCombine, kMap, kSearch, kOutputs, kWhole };
    std::vector<Step> steps = {{"read and crop", {}, 0, "libjpeg decode"},
                               {"pyramid", {}, 0, "pass"},
                               {"correlation", {}, 0, "arithmetic"},
                               {"power", {}, 0, "pass"},
                               {"enlargement", {}, 0, "pass"},
                               {"combining", {}, 0, "pass"},
                               {"saliency map (program)", {}, 0, "sum of the above"},
                               {"search", {}, 0, "pass"},
                               {"outputs", {}, 0, "libjpeg encodes of both images"},
                               {"whole (read + map + search + outputs)", {}, 0, "sum"}};
    size_t level_bytes = 0, chan_bytes = 0, full_bytes = 0;
    long outputs = 0;
    fflush(stdout);
    const int saved = dup(1), saved_err = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
    for (int r = 0; r < reps; r++) {
        double t = cpu_ms();
        bool small = false;
        Image *decoded = nullptr;
        MatrixPtr crop(read_query(query.c_str(), model.pyddepth, &small, &decoded));
        steps[kRead].ms.push_back(cpu_ms() - t);
        const int H = crop->nrows, W = crop->ncols;

        MatrixPtr level0(array2mtx(crop->pix[0], H, W));
        t = cpu_ms();
        PyramidPtr G(gpyr_on(level0.release(), model.pyddepth, model.gaufilt, model.gaufilt, 'w'));
        steps[kPyramid].ms.push_back(cpu_ms() - t);

        // The channels whole, step by step, with the program's functions.
        std::vector<MatrixPtr> chans, big;
        for (int i = 0; i < nft; i++) {
            const matrix *lv = G->level[model.ftpydlevel[i]];
            chans.emplace_back(calloc_mtx(lv->nrows, lv->ncols));
            big.emplace_back(alloc_mtx(H, W));
        }
        level_bytes = chan_bytes = 0;
        outputs = 0;
        t = cpu_ms();
        for (int i = 0; i < nft; i++) {
            const matrix *lv = G->level[model.ftpydlevel[i]];
            const int batch = filter2d_batch();
            for (int y = 3; y < lv->nrows - 4; y += batch) {
                const int count = std::min(batch, lv->nrows - 4 - y);
                filter2d_rows(lv, model.dctmtx[model.ftsubidx[i]], y, count, chans[i]->pix + y);
            }
            level_bytes += sizeof(double) * lv->nrows * lv->ncols;
            outputs += (long)lv->nrows * lv->ncols;
        }
        steps[kCorr].ms.push_back(cpu_ms() - t);
        chan_bytes = level_bytes;
        t = cpu_ms();
        for (int i = 0; i < nft; i++)
            for (int y = 3; y < chans[i]->nrows - 4; y++)
                abs_pow_three_halves(chans[i]->pix[y], chans[i]->ncols);
        steps[kPower].ms.push_back(cpu_ms() - t);
        t = cpu_ms();
        for (int i = 0; i < nft; i++) {
            const matrix *ch = chans[i].get();
            matrix *b = big[i].get();
            enlarge_rows(
                ch->nrows, ch->ncols, [ch](int y) { return (const double *)ch->pix[y]; },
                model.ftpydlevel[i],
                [b](size_t y, const double *row) {
                    memcpy(b->pix[y], row, sizeof(double) * b->ncols);
                });
        }
        steps[kEnlarge].ms.push_back(cpu_ms() - t);
        full_bytes = sizeof(double) * H * W;
        t = cpu_ms();
        {
            MatrixPtr sum(calloc_mtx(H, W));
            DominantLevels dom((long)H * W, model.ftpydlevel[0]);
            for (int i = 0; i < nft; i++)
                dom.add_weighted(big[i]->pix[0], model.ftcost[i], sum->pix[0], model.ftpydlevel[i],
                                 0, (long)H * W);
        }
        steps[kCombine].ms.push_back(cpu_ms() - t);
        chans.clear();
        big.clear();
        G.reset();

        // The program's own map, search and outputs.
        t = cpu_ms();
        std::vector<unsigned char> levels;
        MatrixPtr SM(saliency_map(crop.release(), set, model, &levels));
        steps[kMap].ms.push_back(cpu_ms() - t);
        MatrixPtr copy(array2mtx(SM->pix[0], H, W));
        t = cpu_ms();
        MatrixPtr found(search_locations(copy.get(), levels.data(), set.nowta, nullptr, false));
        const double search = cpu_ms() - t;
        steps[kSearch].ms.push_back(search);
        t = cpu_ms();
        search_and_write(query.c_str(), SM.get(), levels, set, decoded);
        steps[kOutputs].ms.push_back(cpu_ms() - t - search);
        steps[kWhole].ms.push_back(steps[kRead].ms.back() + steps[kMap].ms.back() +
                                   steps[kSearch].ms.back() + steps[kOutputs].ms.back());
    }
    fflush(stdout);
    dup2(saved, 1);
    dup2(saved_err, 2);
    close(saved);
    close(saved_err);

    std::vector<double> corr_floor;
    for (int r = 0; r < reps; r++) corr_floor.push_back(arithmetic_floor_ms(outputs, 64));
    const std::string written = out + "/" + image_basename(query);
    steps[kRead].floor_ms = floor_jpeg_decode_ms(query, reps);
    steps[kPyramid].floor_ms = floor_pass_ms(full_bytes, full_bytes / 3, reps);
    steps[kCorr].floor_ms = median(corr_floor);
    steps[kPower].floor_ms = floor_pass_ms(chan_bytes, chan_bytes, reps);
    steps[kEnlarge].floor_ms = floor_pass_ms(chan_bytes, full_bytes * nft, reps);
    steps[kCombine].floor_ms = floor_pass_ms(full_bytes * (nft + 1), full_bytes, reps);
    steps[kSearch].floor_ms = floor_pass_ms(full_bytes, 0, reps);
    // The encodes of the two images written, the map's texture included.
    steps[kOutputs].floor_ms = floor_jpeg_encode_ms(written + "_sm.jpg", reps) +
                               floor_jpeg_encode_ms(written + "_salloc.jpg", reps);
    steps[kMap].floor_ms = 0;
    for (int k : {kPyramid, kCorr, kPower, kEnlarge, kCombine})
        steps[kMap].floor_ms += steps[k].floor_ms;
    steps[kWhole].floor_ms = steps[kRead].floor_ms + steps[kMap].floor_ms +
                             steps[kSearch].floor_ms + steps[kOutputs].floor_ms;
    printf("%s model, 1024x768 query, default options, CPU ms per image, median of %d:\n", label,
           reps);
    for (const Step &s : steps)
        printf("  %-38s %6.1f   floor %5.1f (%s), %+.1f\n", s.name, median(s.ms), s.floor_ms,
               s.floor_what, median(s.ms) - s.floor_ms);
}

void search_bench(int N, int nowta) {
    std::mt19937 rng(11);
    MatrixPtr map(alloc_mtx(N, N));
    std::vector<MatrixPtr> owned;
    std::vector<matrix *> ch;
    int levels[3] = {0, 1, 2};
    for (int i = 0; i < 3; i++) {
        owned.emplace_back(alloc_mtx(N, N));
        ch.push_back(owned.back().get());
    }
    for (long i = 0; i < (long)N * N; i++) {
        map->pix[0][i] = (rng() % 1000) / 100.0;  // about 65 pixels per value: many ties
        for (matrix *m : ch) m->pix[0][i] = (rng() % 100) / 100.0;
    }
    MatrixPtr a(array2mtx(map->pix[0], N, N)), b(array2mtx(map->pix[0], N, N));
    double t = cpu_ms();
    MatrixPtr ref(rescanning_search(a.get(), ch.data(), levels, 3, nowta));
    const double tl = cpu_ms() - t;
    t = cpu_ms();
    MatrixPtr fast(SearchSalPts(b.get(), ch.data(), levels, 3, nowta));
    const double tf = cpu_ms() - t;
    bool same = ref->nrows == fast->nrows &&
                memcmp(ref->pix[0], fast->pix[0], sizeof(double) * 4 * ref->nrows) == 0 &&
                memcmp(a->pix[0], b->pix[0], sizeof(double) * N * N) == 0;
    printf("search %dx%d %s: %d locations; rescanning %.1f ms, fast %.3f ms, %.0fx faster, %s\n", N,
           N, nowta ? "-nowta" : "winner-take-all", fast->nrows, tl, tf, tl / tf,
           same ? "identical output" : "OUTPUTS DIFFER");
}

// Lumivar over the 20 queries at -j 1 and at -j <all cores>, alternating,
// every output file compared between the two.
void images_per_second(const char *label, const std::string &modeldir, const std::string &dir) {
    const int cores = default_thread_count(), pairs = 5;
    std::vector<double> one, all, ratio, cpu_one;
    bool identical = true;
    for (int p = 0; p < pairs; p++) {
        fs::remove_all(dir + "/j1");
        fs::remove_all(dir + "/jall");
        RunStats a = run_lumivar({"-j", "1", modeldir, "1", dir + "/queries.txt", dir + "/j1"});
        RunStats b = run_lumivar(
            {"-j", std::to_string(cores), modeldir, "1", dir + "/queries.txt", dir + "/jall"});
        identical =
            identical && a.status == 0 && b.status == 0 && same_tree(dir + "/j1", dir + "/jall");
        one.push_back(a.wall_s);
        all.push_back(b.wall_s);
        ratio.push_back(a.wall_s / b.wall_s);
        cpu_one.push_back(a.cpu_s * 1000 / 20);
    }
    const double r_min = *std::min_element(ratio.begin(), ratio.end()),
                 r_max = *std::max_element(ratio.begin(), ratio.end());
    printf(
        "Lumivar, %s model, 20 images of 1024x768, default options, median of %d alternating "
        "runs: -j 1 %.2f images/s (%.1f ms CPU per image, start-up included), -j %d %.2f "
        "images/s (%.2fx; %.2f-%.2fx); outputs %s\n",
        label, pairs, 20 / median(one), median(cpu_one), cores, 20 / median(all), median(ratio),
        r_min, r_max, identical ? "byte-identical" : "DIFFER OR FAILED");
}

}  // namespace

int main() {
    img_init();
    share_one_heap();  // as the program does
    reuse_large_blocks();
    char tmpl[] = "/tmp/bench_detectorXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl, modeldir = dir + "/model", heavydir = dir + "/heavy";
    write_model(modeldir, 4, kLight);
    write_model(heavydir, 3, kHeavy);

    // 20 queries of 1024x768 and one of 4000x3000.
    std::ofstream list(dir + "/queries.txt");
    for (int q = 0; q < 20; q++) {
        MatrixPtr pic(picture(768, 1024, q));
        const std::string name = dir + "/q" + std::to_string(q) + ".jpg";
        mtx2im(pic.get(), name.c_str());
        list << name << "\n";
    }
    list.close();
    {
        MatrixPtr pic(picture(3000, 4000, 99));
        mtx2im(pic.get(), (dir + "/big.jpg").c_str());
        std::ofstream(dir + "/big.txt") << dir + "/big.jpg\n";
    }

    per_image_split("light (levels 0,1,1,2,3)", dir + "/q0.jpg", modeldir, dir + "/split");
    per_image_split("heavy (levels 0,0,0,0,0)", dir + "/q0.jpg", heavydir, dir + "/split-heavy");
    if (getenv("BENCH_SPLIT_ONLY")) return 0;

    // This machine's speed drifts from minute to minute (shared host), so
    // both runs alternate five times and the medians are reported.
    for (const auto &[label, mdir] : {std::pair<const char *, std::string>{"light", modeldir},
                                      std::pair<const char *, std::string>{"heavy", heavydir}})
        images_per_second(label, mdir, dir);
    const double npix = 4000.0 * 3000.0;
    for (const std::vector<std::string> &opts :
         {std::vector<std::string>{"-f", "5"}, std::vector<std::string>{"-enforce", "-f", "64"}}) {
        std::vector<std::string> args = opts;
        for (const std::string &a : {std::string("-j"), std::string("1"), modeldir,
                                     std::string("1"), dir + "/big.txt", dir + "/big"})
            args.push_back(a);
        RunStats r = run_lumivar(args);
        std::string shown;
        for (const std::string &o : opts) shown += o + " ";
        printf("4000x3000 query, %s-j 1: %.1f s, peak memory %.0f MB = %.1f bytes per pixel%s\n",
               shown.c_str(), r.wall_s, r.maxrss_kb / 1024.0, r.maxrss_kb * 1024.0 / npix,
               r.status == 0 ? "" : " (RUN FAILED)");
    }

    search_bench(256, 1);
    search_bench(256, 0);
    std::error_code ec;
    if (getenv("BENCH_KEEP"))
        printf("kept %s\n", dir.c_str());
    else
        fs::remove_all(dir, ec);
    return 0;
}
