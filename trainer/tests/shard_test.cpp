// Sendral -shard and -merge on generated images of three classes: merged
// parts train as one run over the whole lists, and inconsistent sets of
// shards are refused before anything is written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "test_support.h"

namespace {

std::string g_dir;
const int kSizes[3] = {4, 4, 3};  // images per class: 4 parts leave part 3 without class 2

std::unique_ptr<ScratchDir> g_scratch;

// Grey noise; class 1 adds vertical stripes, class 2 horizontal ones.
void make_image(const std::string &path, int kind, int side, std::mt19937 &rng) {
    std::normal_distribution<double> noise(0.5, 0.08);
    auto m = held(calloc_mtx(side, side));
    for (int r = 0; r < side; r++)
        for (int c = 0; c < side; c++)
            m->pix[r][c] = std::clamp(
                noise(rng) + (kind ? 0.3 * cos(M_PI * (kind == 1 ? c : r) / 8) : 0), 0.0, 1.0);
    ASSERT_EQ(mtx2im(m, path.c_str()), 1) << path;
}

// Shard folders of part k/n of train.txt, made once per n.
std::vector<std::string> shards(int n, const std::string &train = "/train.txt") {
    static std::map<std::string, std::vector<std::string>> made;
    std::string key = train + std::to_string(n);
    if (made.count(key)) return made[key];
    std::vector<std::string> dirs;
    for (int k = 0; k < n; k++) {
        dirs.push_back(g_dir + "/shards" + key + "/" + std::to_string(k));
        RunResult r = run_sendral({"-shard", std::to_string(k) + "/" + std::to_string(n),
                                   g_dir + train, "2", dirs.back()});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    return made[key] = dirs;
}

// Sendral [opt] -merge <list of dirs> train depth res
RunResult merge(const std::vector<std::string> &dirs, std::vector<std::string> args) {
    std::string text;
    for (const auto &d : dirs) text += d + "\n";
    spit(g_dir + "/shardlist", text);
    args.insert(args.end() - 3, {"-merge", g_dir + "/shardlist"});
    return run_sendral(args);
}

// Equal to 1e-12 relative to the matrix's largest element: the sums run in
// another order, and scores near 0 are residues of cancellation.
void expect_close(const std::string &a, const std::string &b) {
    auto x = held(dat2mtx(a.c_str())), y = held(dat2mtx(b.c_str()));
    ASSERT_EQ(x->nrows * 10000 + x->ncols, y->nrows * 10000 + y->ncols) << b;
    const int n = x->nrows * x->ncols;
    double scale = 0;
    for (int i = 0; i < n; i++) scale = std::max(scale, std::fabs(x->pix[0][i]));
    for (int i = 0; i < n; i++)
        EXPECT_NEAR(x->pix[0][i], y->pix[0][i], 1e-12 * scale) << b << " " << i;
}

class ShardMerge : public testing::Test {
protected:
    static void SetUpTestSuite() {
        g_scratch = std::make_unique<ScratchDir>("sendral_test");
        g_dir = g_scratch->path();
        std::mt19937 rng(11);
        std::string train;
        for (int j = 0; j < 3; j++) {
            std::string list, name = g_dir + "/c" + std::to_string(j);
            for (int i = 0; i < kSizes[j]; i++) {
                make_image(name + "_" + std::to_string(i) + ".png", j, 64, rng);
                list += name + "_" + std::to_string(i) + ".png\n";
            }
            spit(name + ".txt", list);
            train += name + ".txt\n";
        }
        spit(g_dir + "/train.txt", train);
        // Class 2 of small.txt holds one image too small for depth 2.
        make_image(g_dir + "/tiny.png", 2, 12, rng);
        spit(g_dir + "/tiny.txt", g_dir + "/tiny.png\n");
        spit(g_dir + "/small.txt",
             g_dir + "/c0.txt\n" + g_dir + "/c1.txt\n" + g_dir + "/tiny.txt\n");
        spit(g_dir + "/two.txt", g_dir + "/c0.txt\n" + g_dir + "/c1.txt\n");
        // Class 1 of edited.txt holds its images in another order (as many);
        // same.txt names a copy of c1.txt under another name.
        std::vector<std::string> c1 = lines(g_dir + "/c1.txt");
        std::string reversed;
        for (auto l = c1.rbegin(); l != c1.rend(); ++l) reversed += *l + "\n";
        spit(g_dir + "/c1r.txt", reversed);
        spit(g_dir + "/c1copy.txt", slurp(g_dir + "/c1.txt"));
        for (const char *name : {"edited", "same"})
            spit(g_dir + "/" + name + ".txt",
                 g_dir + "/c0.txt\n" + g_dir + (name[0] == 'e' ? "/c1r.txt\n" : "/c1copy.txt\n") +
                     g_dir + "/c2.txt\n");
        ASSERT_EQ(run_sendral({"-exBfea", g_dir + "/train.txt", "2", g_dir + "/base"}).status, 0);
    }
    static void TearDownTestSuite() { g_scratch.reset(); }
};

TEST_F(ShardMerge, MergedPartsTrainAsOneRun) {
    const std::string base = g_dir + "/base";
    for (int n : {1, 3, 4}) {
        SCOPED_TRACE(n);
        std::vector<std::string> dirs = shards(n);
        for (int k = 0; k < n; k++) {
            std::string counts;
            for (int size : kSizes) counts += std::to_string(size / n + (k < size % n)) + "\n";
            EXPECT_EQ(slurp(dirs[k] + "/imgnum"), counts);
            EXPECT_EQ(slurp(dirs[k] + "/format"), "1\n");
        }
        const std::string res = g_dir + "/merged" + std::to_string(n);  // listed backwards:
        RunResult r =
            merge({dirs.rbegin(), dirs.rend()}, {"-exBfea", g_dir + "/train.txt", "2", res});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(res + "/imgnum"), "4\n4\n3\n");
        EXPECT_EQ(slurp(res + "/format"), "1\n");
        for (const char *m : {"/Allmnt2.dat", "/Allalpha.dat", "/Allbeta.dat", "/classMD.dat",
                              "/StandVar.dat", "/sortMDs.dat", "/sortCosts.dat"})
            expect_close(base + m, res + m);
        for (const char *f : {"/salientfeaturenum", "/Qor_class_0", "/Qor_class_1", "/Qor_class_2",
                              "/sortidx.dat/data"})
            EXPECT_EQ(slurp(base + f), slurp(res + f)) << f;
    }
    auto part3 = held(dat2mtx((shards(4)[3] + "/Allmnt2.dat").c_str()));
    for (int f = 0; f < part3->nrows; f++)
        for (int c = 8; c < 12; c++) EXPECT_EQ(part3->pix[f][c], 0.0);
}

TEST_F(ShardMerge, RefusesWhatCannotBeMergedOrReplaced) {
    auto s2 = shards(2), s3 = shards(3);
    std::system(
        ("cp -r " + s2[0] + " " + g_dir + "/cut && sed -i '$d' " + g_dir + "/cut/shard").c_str());
    // A shard as earlier versions wrote it: no class lists in its record.
    std::system(
        ("cp -r " + s2[1] + " " + g_dir + "/old && sed -i '/^list /d' " + g_dir + "/old/shard")
            .c_str());
    // Shards of a newer format (both parts, or one), and of the first, without the entry.
    std::system(("cp -r " + s2[0] + " " + g_dir + "/new0 && cp -r " + s2[1] + " " + g_dir +
                 "/new1 && cp -r " + s2[0] + " " + g_dir + "/first0")
                    .c_str());
    spit(g_dir + "/new0/format", "2\n");
    spit(g_dir + "/new1/format", "2\n");
    std::filesystem::remove(g_dir + "/first0/format");
    const std::string train = g_dir + "/train.txt", edited = g_dir + "/edited.txt";
    struct Case {
        std::vector<std::string> dirs;
        std::string train, depth, message;
    } cases[] = {
        {{s3[0], s3[1]}, train, "2", "lack part(s) 2 of 3"},
        {{s3[0], s3[1], s3[1]}, train, "2", s3[1] + " and " + s3[1] + " are both part 1/3"},
        {{s3[0], s2[1], s3[2]}, train, "2", "different numbers of parts"},
        {{s2[0], g_dir + "/none"}, train, "2", g_dir + "/none (listed in"},
        {{s2[1], g_dir + "/cut"}, train, "2", g_dir + "/cut holds no complete shard record"},
        {s2, train, "3", "of pyramid depth 2, not 3"},
        {s2, g_dir + "/two.txt", "2",
         "has 3 classes; the training list " + g_dir + "/two.txt has 2"},
        {shards(1, "/small.txt"), g_dir + "/small.txt", "2",
         "Class 2 (list " + g_dir + "/tiny.txt) has no usable image"},
        {s2, "/dev/zero", "2", "Cannot read the training list /dev/zero"},  // ends at once
        // Shards of other class list entries: an edited list, a part of another training list.
        {s2, edited, "2",
         "Shard " + s2[0] + " does not match class 1 of the training list " + edited +
             ": it was made from " + g_dir + "/c1.txt with other entries than " + g_dir +
             "/c1r.txt holds now"},
        {{s2[0], shards(2, "/edited.txt")[1]},
         train,
         "2",
         "Shard " + shards(2, "/edited.txt")[1] + " does not match class 1 of the training list"},
        {{s2[0], g_dir + "/old"},
         train,
         "2",
         "Shard " + g_dir + "/old was made by an earlier version of Sendral"},
        {{g_dir + "/new0", g_dir + "/new1"},
         train,
         "2",
         "Shard " + g_dir + "/new0 holds result format 2, newer than format 1"},
        {{s2[0], g_dir + "/new1"},
         train,
         "2",
         "Shards " + s2[0] + " (format 1) and " + g_dir +
             "/new1 (format 2) were made by different versions of Sendral"},
    };
    for (const Case &c : cases) {
        RunResult r = merge(c.dirs, {c.train, c.depth, g_dir + "/refused"});
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(g_dir + "/refused")) << c.message;
    }

    // Command lines: k/n must be whole numbers 0 <= k < n, and -shard goes alone.
    for (const char *line : {"-shard 3/3", "-shard -1/3", "-shard 1/0", "-shard a/2", "-shard 1/2x",
                             "-shard 12", "-nodenoise -shard 0/2", "-fast -merge x"}) {
        std::istringstream words(line);
        std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        args.insert(args.end(), {train, "2", g_dir + "/refused"});
        RunResult r = run_sendral(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_NE(r.err.find(args[args[0] == "-shard" ? 1 : 0]), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("Usage: Sendral -shard k/n"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(g_dir + "/refused"));
    }

    // An earlier shard is replaced whole; any other folder is left alone.
    std::system(("mkdir -p " + g_dir + "/notshard && echo x >" + g_dir + "/notshard/keep").c_str());
    RunResult r = run_sendral({"-shard", "0/2", train, "2", g_dir + "/notshard"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(g_dir + "/notshard exists and is not a shard folder"), std::string::npos);
    EXPECT_EQ(slurp(g_dir + "/notshard/keep"), "x\n");
    // Lists of the same entries under other names merge, and so does a shard
    // without the format entry (of the first format); an old shard is remade in place.
    r = merge({g_dir + "/first0", s2[1]}, {g_dir + "/same.txt", "2", g_dir + "/renamed"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_sendral({"-shard", "1/2", train, "2", g_dir + "/old"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(g_dir + "/old/shard").find("\nlist 2 "), std::string::npos);
    spit(s3[1] + "/imgnum", "garbage");
    r = run_sendral({"-shard", "1/3", train, "2", s3[1]});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(s3[1] + "/imgnum"), "1\n1\n1\n");
    for (const auto &e : std::filesystem::directory_iterator(g_dir + "/shards/train.txt3"))
        EXPECT_NE(e.path().filename().string()[0], '.') << "staging left behind: " << e.path();
}

TEST_F(ShardMerge, AStoppedShardRunLeavesNoStagingFolder) {
    // The class list is a pipe that no one writes: the run waits in it with
    // its staging folder made. What a kill leaves, the next run removes.
    const std::string parent = g_dir + "/stopped", pipe = g_dir + "/pipe.txt";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    spit(g_dir + "/piped.txt", pipe + "\n");
    for (const char *sig : {"TERM", "KILL"}) {
        RunResult r =
            run_program({"/usr/bin/timeout", "--preserve-status", "-s", sig, "0.3", SENDRAL_EXE,
                         "-shard", "0/1", g_dir + "/piped.txt", "2", parent + "/shard"});
        EXPECT_EQ(std::filesystem::is_empty(parent), sig[0] == 'T') << sig;
        EXPECT_TRUE(r.signaled || r.status == 128 + SIGTERM) << sig << r.err;
    }
    EXPECT_EQ(run_sendral({"-shard", "0/1", g_dir + "/train.txt", "2", parent + "/shard"}).status,
              0);
    for (const auto &e : std::filesystem::directory_iterator(parent))
        EXPECT_EQ(e.path().filename(), "shard");
}

}  // namespace
