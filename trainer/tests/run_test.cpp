// End-to-end runs of the Sendral executable on generated images of three
// classes: flat noise (background), vertical stripes and horizontal stripes.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "resultdir.h"
#include "test_support.h"

namespace {

const int kFeat = 128, kClasses = 3;  // every run is at depth 2
std::string g_dir;                    // images, lists and result directories

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}
std::unique_ptr<ScratchDir> g_scratch;

// Sendral on the three classes into `res`, after `options`.
RunResult train(const std::string &res, std::vector<std::string> options = {}) {
    options.insert(options.end(), {g_dir + "/train.txt", "2", res});
    return run_sendral(options);
}

// 64x64 grey noise around 0.5, plus a cosine of period 16 along the columns
// (kind 1: vertical stripes) or along the rows (kind 2: horizontal stripes).
void make_image(const std::string &path, int kind, std::mt19937 &rng) {
    std::normal_distribution<double> noise(0.0, 0.05);
    double phase = std::uniform_real_distribution<double>(0.0, 2 * M_PI)(rng);
    auto m = held(calloc_mtx(64, 64));
    for (int r = 0; r < 64; r++)
        for (int c = 0; c < 64; c++) {
            double t = kind == 1 ? c : r;
            double stripe = kind ? 0.3 * cos(2 * M_PI * t / 16 + phase) : 0.0;
            m->pix[r][c] = std::min(1.0, std::max(0.0, 0.5 + stripe + noise(rng)));
        }
    ASSERT_EQ(mtx2im(m, path.c_str()), 1) << path;
}

struct Entry {
    double cost, md;
    int level, index;
};
std::vector<Entry> class_file(const std::string &res, int j) {
    std::vector<Entry> v;
    std::ifstream in(res + "/Qor_class_" + std::to_string(j));
    for (Entry e; in >> e.cost >> e.md >> e.level >> e.index;) v.push_back(e);
    return v;
}
// Position of feature f in the ranking of class j, kFeat when absent.
int rank_of(const std::string &res, int j, int f) {
    auto v = class_file(res, j);
    for (size_t i = 0; i < v.size(); i++)
        if (64 * v[i].level + v[i].index == f) return (int)i;
    return kFeat;
}
std::vector<int> salient_counts(const std::string &res) {
    std::vector<int> n;
    std::ifstream in(res + "/salientfeaturenum");
    for (int c; in >> c;) n.push_back(c);
    return n;
}

// 'v' for a frequency (0, v > 0) of zig-zag index k (vertical stripes),
// 'h' for (u > 0, 0), '-' otherwise.
char direction(int k) {
    for (int d = 0, n = 0; d < 15; d++)
        for (int i = 0; i <= d; i++) {
            int u = d % 2 ? i : d - i, v = d - u;  // odd diagonals run down-left
            if (u > 7 || v > 7 || n++ != k) continue;
            return u == 0 && v > 0 ? 'v' : v == 0 && u > 0 ? 'h' : '-';
        }
    return '-';
}

// Same shape and bit-identical elements.
bool same_dat(const std::string &a, const std::string &b) {
    auto x = held(dat2mtx(a.c_str())), y = held(dat2mtx(b.c_str()));
    return x->nrows == y->nrows && x->ncols == y->ncols &&
           memcmp(x->pix[0], y->pix[0], sizeof(double) * x->nrows * x->ncols) == 0;
}

// Every file below dir (hidden entries left out) with its content; the
// time report only when `with_time`.
using Files = std::map<std::string, std::string>;
Files files_of(const std::string &dir, bool with_time = true) {
    namespace fs = std::filesystem;
    Files f;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::end(it); ++it) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (rel[0] == '.')
            it.disable_recursion_pending();
        else if (it->is_symlink())
            f[rel] = "<link>";
        else if (it->is_regular_file() && (with_time || rel != "timeusage"))
            f[rel] = slurp(it->path());
    }
    return f;
}
bool has_staging(const std::string &dir) {
    return std::system(("ls -a '" + dir + "' | grep -q '^.sendral-staging-'").c_str()) == 0;
}
void fresh_copy(const std::string &from, const std::string &to) {
    std::system(("rm -rf '" + to + "' && cp -a '" + from + "' '" + to + "'").c_str());
}

class SendralRun : public testing::Test {
protected:
    static void SetUpTestSuite() {
        g_scratch = std::make_unique<ScratchDir>("sendral_test");
        g_dir = g_scratch->path();
        std::mt19937 rng(7);
        std::string train;
        for (int j = 0; j < kClasses; j++) {
            std::string list, name = g_dir + "/class" + std::to_string(j);
            for (int n = 0; n < 3; n++) {
                make_image(name + "_" + std::to_string(n) + ".png", j, rng);
                list += name + "_" + std::to_string(n) + ".png" + (n == 1 ? "  \n\n" : "\n");
            }
            spit(name + ".txt", list);
            train += name + ".txt\n";
        }
        spit(g_dir + "/train.txt", train);
        base_ = ::train(g_dir + "/base");
    }
    static void TearDownTestSuite() { g_scratch.reset(); }
    // Every case builds on the base run.
    void SetUp() override { ASSERT_EQ(base_.status, 0) << base_.err; }
    static RunResult base_;
};
RunResult SendralRun::base_;

TEST_F(SendralRun, WritesTheWholeResultDirectory) {
    const std::string res = g_dir + "/base", train = g_dir + "/train.txt";
    EXPECT_EQ(base_.out.rfind("FileList = " + train + "\npyddepth = 2\nsavepath = " + res +
                                  "\nisdenoise = 1\nstarting...\nRead filenames from " + train +
                                  "...Done\nclassnum = 3\nComputing the stats for DCT featurs...\n",
                              0),
              0u);
    EXPECT_TRUE(std::regex_search(
        base_.out, std::regex("Computing the stats and KL for each class...\nDone.\nSaving..."
                              "Done.\nSelecting features...\n[^]*Done.\nSaving...Done.\n"
                              "Time usage: \\d+\\.\\d{6} Sec\n$")));
    EXPECT_TRUE(
        std::regex_match(slurp(res + "/timeusage"), std::regex("Time usage: \\d+\\.\\d{6} Sec\n")));
    EXPECT_TRUE(has(base_.err, "KL for each class is DONE"));

    struct Shape {
        const char *name;
        int rows, cols;
    };
    for (Shape s : {Shape{"/Allmnt2.dat", kFeat, 4 * kClasses},
                    {"/Allalpha.dat", kFeat, kClasses},
                    {"/Allbeta.dat", kFeat, kClasses},
                    {"/classMD.dat", kClasses, kFeat},
                    {"/StandVar.dat", kFeat, 1},
                    {"/sortMDs.dat", kClasses, kFeat},
                    {"/sortCosts.dat", kClasses, kFeat},
                    {"/sortidx.dat", kClasses, kFeat}}) {
        auto m = held(dat2mtx((res + s.name).c_str()));
        EXPECT_EQ(m->nrows * 1000 + m->ncols, s.rows * 1000 + s.cols) << s.name;
    }
    EXPECT_EQ(slurp(res + "/pyddepth"), "2");
    // The DC mean of level 0 is 8 times the mean grey level.
    auto mnt = held(dat2mtx((res + "/Allmnt2.dat").c_str()));
    EXPECT_NEAR(mnt->pix[0][0], 4.0, 0.02);

    // Every class file agrees, line by line, with the sorted matrices and the counts.
    std::vector<int> counts = salient_counts(res);
    ASSERT_EQ(counts.size(), (size_t)kClasses);
    EXPECT_EQ(slurp(res + "/salientfeaturenum"), std::to_string(counts[0]) + "\n" +
                                                     std::to_string(counts[1]) + "\n" +
                                                     std::to_string(counts[2]) + "\n");
    auto costs = held(dat2mtx((res + "/sortCosts.dat").c_str()));
    auto mds = held(dat2mtx((res + "/sortMDs.dat").c_str()));
    auto idx = held(dat2mtx((res + "/sortidx.dat").c_str()));
    const std::regex line("(-?\\d+\\.\\d{6}\t-?\\d+\\.\\d{6}\t\\d+\t\\d+\n){128}");
    for (int j = 0; j < kClasses; j++) {
        EXPECT_TRUE(std::regex_match(slurp(res + "/Qor_class_" + std::to_string(j)), line));
        auto v = class_file(res, j);
        ASSERT_EQ(v.size(), (size_t)kFeat);
        ASSERT_GT(counts[j], 0);
        for (int i = 0; i < kFeat; i++) {
            EXPECT_EQ(64 * v[i].level + v[i].index, (int)idx->pix[j][i]);
            EXPECT_NEAR(v[i].md, mds->pix[j][i], 1e-6);
            EXPECT_NEAR(v[i].cost, costs->pix[j][i], 1e-6);
            EXPECT_TRUE(i >= counts[j] || v[i].index != 0) << "a DC feature is never valid";
            EXPECT_TRUE(i < counts[j] || v[i].cost == 0.0) << i;
        }
        EXPECT_EQ(v[counts[j] - 1].cost, 1.0);
    }

    // A frequency (0, v) varies along the columns only, (u, 0) along the rows
    // only. Each stripe class is best told by a feature of its own direction,
    // and the lowest one on level 1, where the period is 8 (feature 65 =
    // (0,1), 66 = (1,0)), is among its first.
    EXPECT_EQ(direction(class_file(res, 1)[0].index), 'v');
    EXPECT_EQ(direction(class_file(res, 2)[0].index), 'h');
    EXPECT_LT(rank_of(res, 1, 65), 3);
    EXPECT_LT(rank_of(res, 2, 66), 3);
}

TEST_F(SendralRun, ExBfeaKeepsWhatTheClassHasMoreOf) {
    const std::string res = g_dir + "/exb";
    RunResult r = train(res, {"-exBfea"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Only features in which the class spreads more than the others stay
    // valid: the stripes' own direction, and nothing for the flat class.
    auto counts = salient_counts(res);
    EXPECT_EQ(counts[0], 0);
    for (int j = 1; j < kClasses; j++) {
        EXPECT_GT(counts[j], 0);
        auto v = class_file(res, j);
        for (int i = 0; i < counts[j]; i++) EXPECT_EQ(direction(v[i].index), "-vh"[j]) << i;
    }
}

TEST_F(SendralRun, NodenoiseAndHue) {
    RunResult r = train(g_dir + "/nodenoise", {"-nodenoise"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\nisdenoise = 0\nstarting...\n"));
    // Without the variance and entropy rules, validity is the same for every class.
    auto nd = salient_counts(g_dir + "/nodenoise"), base = salient_counts(g_dir + "/base");
    EXPECT_EQ(nd, std::vector<int>(3, nd[0]));
    for (int j = 0; j < kClasses; j++) EXPECT_GE(nd[j], base[j]);
    EXPECT_GE(rank_of(g_dir + "/nodenoise", 0, 64), nd[0]);

    // -h only spares the DC feature of the last level (64 at depth 2) from
    // the DC rule; with a plain Gaussian spread it is then valid everywhere.
    r = train(g_dir + "/hue", {"-h", "-nodenoise"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto hue = salient_counts(g_dir + "/hue");
    for (int j = 0; j < kClasses; j++) {
        EXPECT_EQ(hue[j], nd[j] + 1);
        EXPECT_LT(rank_of(g_dir + "/hue", j, 64), hue[j]);
    }
}

TEST_F(SendralRun, FastReloadsTheMomentsAndReadsNoClassList) {
    const std::string res = g_dir + "/fast";
    fresh_copy(g_dir + "/base", res);
    // Class lists that do not exist: -fast (which also beats -b) must not read them.
    spit(g_dir + "/ghosts.txt", "/no/such/list0\n/no/such/list1\n/no/such/list2\n");
    RunResult r = run_sendral({"-fast", "-b", "/no/such/bk", g_dir + "/ghosts.txt", "2", res});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "BkgHistogramPath = /no/such/bk\n"));
    EXPECT_TRUE(has(r.out,
                    "classnum = 3\nLoading pre-computed the stats for DCT featurs..."
                    "Computing the stats and KL"));
    EXPECT_TRUE(same_dat(g_dir + "/base/Allmnt2.dat", res + "/Allmnt2.dat"));
    EXPECT_TRUE(same_dat(g_dir + "/base/sortidx.dat", res + "/sortidx.dat"));
    EXPECT_EQ(slurp(g_dir + "/base/Qor_class_2"), slurp(res + "/Qor_class_2"));
}

TEST_F(SendralRun, BackgroundPathKeepsClassZeroAndWeightsChangeNothing) {
    const std::string res = g_dir + "/bk", wt = g_dir + "/weights.txt";
    // Class 0's list is never read under -b.
    spit(g_dir + "/train_bk.txt",
         "/no/such/list0\n" + g_dir + "/class1.txt\n" + g_dir + "/class2.txt\n");
    spit(wt, "w0\nw1\n");
    RunResult r = run_sendral({"-b", g_dir + "/base", "-w", wt, g_dir + "/train_bk.txt", "2", res});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "BkgHistogramPath = " + g_dir + "/base\nWeightFileList = " + wt +
                               "\nisdenoise = 1\n"));
    EXPECT_TRUE(has(r.out, "Read filenames from " + wt +
                               "...Done\nclassnum = 3\nLoading "
                               "pre-computed the stats for DCT featurs in the background path..."));
    // Same images, so the recomputed classes match the base run exactly.
    EXPECT_TRUE(same_dat(g_dir + "/base/Allmnt2.dat", res + "/Allmnt2.dat"));
    EXPECT_EQ(slurp(g_dir + "/base/salientfeaturenum"), slurp(res + "/salientfeaturenum"));
}

// Moments of another class count, loaded by -fast or taken by -b, are refused
// and the result directory is left as it was (the words are the moment
// code's suite's).
TEST_F(SendralRun, MomentsOfAnotherClassCountAreRefused) {
    spit(g_dir + "/two.txt", "/no/such/list0\n/no/such/list1\n");
    spit(g_dir + "/two_bk.txt", "x\n" + g_dir + "/class1.txt\n");
    const std::string res = g_dir + "/count";
    for (std::vector<std::string> args : {std::vector<std::string>{"-fast", g_dir + "/two.txt"},
                                          {"-b", g_dir + "/base", g_dir + "/two_bk.txt"}}) {
        fresh_copy(g_dir + "/base", res);
        args.insert(args.end(), {"2", res});
        const RunResult r = run_sendral(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err, "") << args[0];
        EXPECT_EQ(files_of(res), files_of(g_dir + "/base")) << args[0];
    }
}

// A training interrupted at any file operation of its write phase leaves
// the old model, the new one, or, after a kill (SENDRAL_FAIL_AT=n) only, the
// marker that makes readers refuse the directory. An error (a full disk,
// n:nospace; an I/O error, n:eio) before the marker is gone puts the old
// model back, with status 1 and the file and the reason named.
TEST_F(SendralRun, AnInterruptedWriteLeavesOneWholeModelOrTheMarker) {
    const std::string base = g_dir + "/base", ref = g_dir + "/ref", res = g_dir + "/cut";
    auto run_on = [&](const std::string &dir, const std::string &fail_at) {
        setenv("SENDRAL_FAIL_AT", fail_at.c_str(), 1);
        RunResult r = train(dir, {"-fast", "-nodenoise"});
        unsetenv("SENDRAL_FAIL_AT");
        return r;
    };
    fresh_copy(base, ref);
    ASSERT_EQ(run_on(ref, "").status, 0);
    const Files old_files = files_of(base), new_files = files_of(ref, false);
    int olds = 0, news = 0, marked = 0, failed_new = 0, first_swap = 0;
    for (std::string mode : {"", ":nospace", ":eio"})
        for (int n = 1;; n++) {
            ASSERT_LT(n, 200) << "the run never completes";
            fresh_copy(base, res);
            RunResult r = run_on(res, std::to_string(n) + mode);
            if (result_dir_interrupted(res)) {
                EXPECT_EQ(mode, "") << n << r.err;
                marked++;
            } else if (files_of(res) == old_files) {
                olds++;
            } else {
                EXPECT_EQ(files_of(res, false), new_files) << n << mode;
                news++;
                failed_new += r.status != 0 && !mode.empty();
            }
            if (r.status == 0) break;
            EXPECT_EQ(r.status, 1) << n << mode;
            if (mode.empty()) continue;
            EXPECT_TRUE(has(r.err, res) && !has(r.err, "interrupted")) << r.err;
            EXPECT_TRUE(
                has(r.err, mode == ":eio" ? "Input/output error" : "No space left on device"))
                << r.err;
            if (!first_swap && has(r.err, "Cannot replace " + res + "/")) first_swap = n;
        }
    EXPECT_GT(olds, 0);
    EXPECT_GT(marked, 0);
    EXPECT_GE(news, 2);        // the completed runs, and those failing after the marker went
    EXPECT_EQ(failed_new, 2);  // only the last sync comes after it
    ASSERT_GT(first_swap, 0);

    // When putting back fails as well, the marker stays and says so.
    fresh_copy(base, res);
    RunResult back = run_on(
        res, std::to_string(first_swap + 1) + ":eio," + std::to_string(first_swap + 2) + ":estale");
    EXPECT_TRUE(result_dir_interrupted(res));
    EXPECT_TRUE(has(back.err, "Cannot put back " + res + "/") &&
                has(back.err, "Stale file handle") &&
                has(back.err, result_dir_interrupted_message(res)))
        << back.err;

    // A marked directory is refused; a complete training clears the mark and
    // the staging folders that killed runs left.
    fresh_copy(base, res);
    run_on(res, "3");
    run_on(res, "20");
    ASSERT_TRUE(result_dir_interrupted(res) && has_staging(res));
    RunResult r = run_on(res, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, result_dir_interrupted_message(res))) << r.err;
    EXPECT_EQ(train(res).status, 0);
    EXPECT_FALSE(result_dir_interrupted(res) || has_staging(res));
}

// A disk too small for a second model (needs the right to mount): the run
// fails and the first model stays.
TEST_F(SendralRun, AFullDiskKeepsThePreviousModel) {
    const std::string mnt = g_dir + "/small", res = mnt + "/res";
    mkdir(mnt.c_str(), 0755);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "cannot mount";
    fresh_copy(g_dir + "/base", res);
    struct statvfs vs;
    ASSERT_EQ(statvfs(mnt.c_str(), &vs), 0);
    const std::string size =
        "size=" + std::to_string((vs.f_blocks - vs.f_bfree) * vs.f_frsize * 3 / 2);
    ASSERT_EQ(mount("tmpfs", mnt.c_str(), "tmpfs", MS_REMOUNT, size.c_str()), 0);
    RunResult r = train(res, {"-fast", "-nodenoise"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, res)) << r.err;
    EXPECT_EQ(files_of(res), files_of(g_dir + "/base"));
    EXPECT_FALSE(has_staging(res) || result_dir_interrupted(res));
    umount(mnt.c_str());
}

// The lock keeps a second run out; links planted at result names are
// replaced, never followed, while a link naming the result directory itself
// is followed; the thread count changes no result.
TEST_F(SendralRun, LockLinksAndThreads) {
    const std::string res = g_dir + "/linked";
    fresh_copy(g_dir + "/base", res);
    int fd = open((res + "/.sendral-lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    RunResult r = train(res, {"-fast"});
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, res + " is being written by another Sendral run")) << r.err;
    EXPECT_EQ(files_of(res), files_of(g_dir + "/base"));

    spit(g_dir + "/victim", "keep");
    std::filesystem::remove_all(res + "/Qor_class_0");
    std::filesystem::remove_all(res + "/classMD.dat");
    std::filesystem::create_symlink(g_dir + "/victim", res + "/Qor_class_0");
    std::filesystem::create_symlink(g_dir + "/class0.txt", res + "/classMD.dat");
    const std::string list = slurp(g_dir + "/class0.txt");
    ASSERT_EQ(train(res, {"-fast"}).status, 0);
    EXPECT_EQ(slurp(g_dir + "/victim") + slurp(g_dir + "/class0.txt"), "keep" + list);
    const Files base = files_of(g_dir + "/base", false);
    EXPECT_EQ(files_of(res, false), base);

    auto log = [](const std::string &out) {
        size_t from = out.find("starting...");
        return out.substr(from, out.rfind("Time usage") - from);
    };
    for (const char *j : {"1", "3"}) {
        r = train(g_dir + "/j" + j, {"-j", j});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(log(r.out), log(base_.out)) << j;
        EXPECT_EQ(files_of(g_dir + "/j" + j, false), base) << j;
    }
    // A result directory named through a link is trained into as any other.
    std::filesystem::create_directory(g_dir + "/real");
    std::filesystem::create_directory_symlink(g_dir + "/real", g_dir + "/via");
    r = train(g_dir + "/via");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_of(g_dir + "/real", false), base);
}

// The threads take the images of all classes as one list: what each class
// prints and decides, and where a run stops, are still those of one thread.
TEST_F(SendralRun, ClassEndsAreTheSameOnAnyThreadCount) {
    const std::string small = g_dir + "/small.png", c = g_dir + "/class";
    auto m = held(calloc_mtx(12, 12));  // below 8 * 2 a side: skipped at depth 2
    ASSERT_EQ(mtx2im(m, small.c_str()), 1);
    const std::string damaged = g_dir + "/damaged.png";
    spit(damaged, slurp(c + "0_0.png").substr(0, 60));
    const std::vector<std::vector<std::string>> cases = {
        {c + "0_0.png " + small, small + " " + c + "1_0.png " + small, small + " " + c + "2_1.png"},
        {small + " " + small, c + "1_0.png", c + "2_0.png"},     // class 0 has no usable image
        {c + "0_0.png", c + "1_0.png " + c + "1_1.png", small},  // nor has the last class
        // A damaged image stops the run; what its reading printed comes in its turn.
        {c + "0_0.png " + c + "1_1.png " + damaged + " " + c + "0_0.png", c + "1_0.png",
         c + "2_0.png"},
    };
    auto text = [](const RunResult &r) {
        return std::to_string(r.status) + r.out.substr(0, r.out.find("Time usage")) + r.err;
    };
    for (size_t i = 0; i < cases.size(); i++) {
        std::string train;
        for (size_t j = 0; j < cases[i].size(); j++) {
            const std::string list = g_dir + "/ends" + std::to_string(j) + ".txt";
            spit(list, cases[i][j] + "\n");
            train += list + "\n";
        }
        spit(g_dir + "/ends.txt", train);
        const std::string res = g_dir + "/ends";
        std::string first;
        Files files;
        for (const char *j : {"1", "2", "3"}) {
            std::filesystem::remove_all(res);
            const RunResult r = run_sendral({"-j", j, g_dir + "/ends.txt", "2", res});
            EXPECT_EQ(r.status, i == 0 ? 0 : 1) << i << r.err;
            if (*j == '1') {
                first = text(r);
                if (r.status == 0) files = files_of(res, false);
                continue;
            }
            EXPECT_EQ(text(r), first) << "case " << i << ", -j " << j;
            if (r.status == 0) {
                EXPECT_EQ(files_of(res, false), files) << "case " << i;
            }
        }
    }
}

}  // namespace
