// End-to-end runs of the Sendral executable on generated images of three
// classes: flat noise (background), vertical stripes and horizontal stripes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "run_util.h"

namespace {

const int kDepth = 2, kFeat = 64 * kDepth, kClasses = 3;

std::string g_dir;  // images, lists and result directories of this test run

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// 64x64 grey noise around 0.5, plus a cosine of period 16 along the columns
// (kind 1: vertical stripes) or along the rows (kind 2: horizontal stripes).
void make_image(const std::string &path, int kind, std::mt19937 &rng) {
    std::normal_distribution<double> noise(0.0, 0.05);
    std::uniform_real_distribution<double> phase(0.0, 2 * M_PI);
    double ph = phase(rng);
    matrix *m = calloc_mtx(64, 64);
    for (int r = 0; r < 64; r++)
        for (int c = 0; c < 64; c++) {
            double t = kind == 1 ? c : kind == 2 ? r : 0;
            double stripe = kind ? 0.3 * cos(2 * M_PI * t / 16 + ph) : 0.0;
            m->pix[r][c] = std::min(1.0, std::max(0.0, 0.5 + stripe + noise(rng)));
        }
    ASSERT_EQ(mtx2im(m, path.c_str()), 1) << path;
    free_mtx(m);
}

matrix *load(const std::string &path) { return dat2mtx(path.c_str()); }

std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(slurp(path));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::vector<int> salient_counts(const std::string &res) {
    std::vector<int> n;
    for (auto &l : lines_of(res + "/salientfeaturenum")) n.push_back(std::stoi(l));
    return n;
}

// Position of feature f in the ranking of class j (Qor_class_j), or kFeat.
int rank_of(const std::string &res, int j, int f) {
    auto lines = lines_of(res + "/Qor_class_" + std::to_string(j));
    for (size_t i = 0; i < lines.size(); i++) {
        int level, index;
        sscanf(lines[i].c_str(), "%*f\t%*f\t%d\t%d", &level, &index);
        if (64 * level + index == f) return (int)i;
    }
    return kFeat;
}

// 'v' for a frequency (0, v > 0) of zig-zag index k (vertical stripes),
// 'h' for (u > 0, 0), '-' otherwise.
char direction(int k) {
    int n = 0;
    for (int d = 0; d < 15; d++)
        for (int i = 0; i <= d; i++) {
            int u = d % 2 ? i : d - i, v = d - u;  // odd diagonals run down-left
            if (u > 7 || v > 7 || n++ != k) continue;
            return u == 0 && v > 0 ? 'v' : v == 0 && u > 0 ? 'h' : '-';
        }
    return '-';
}

// Zig-zag index of the best feature of class j.
int top_feature(const std::string &res, int j) {
    int level = -1, index = -1;
    sscanf(lines_of(res + "/Qor_class_" + std::to_string(j)).at(0).c_str(),
           "%*f\t%*f\t%d\t%d", &level, &index);
    return index;
}

bool same_matrix(matrix *a, matrix *b) {
    if (a->nrows != b->nrows || a->ncols != b->ncols) return false;
    return memcmp(a->pix[0], b->pix[0], sizeof(double) * a->nrows * a->ncols) == 0;
}

RunResult sendral(std::vector<std::string> args) { return run_sendral(args, g_dir); }

class SendralRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_dir = make_temp_dir();
        std::mt19937 rng(7);
        std::string train;
        for (int j = 0; j < kClasses; j++) {
            std::string list;
            for (int n = 0; n < 3; n++) {
                std::string img = g_dir + "/c" + std::to_string(j) + "_" + std::to_string(n) +
                                  ".png";
                make_image(img, j, rng);
                list += img + (n == 1 ? "  \n\n" : "\n");
            }
            write_file(g_dir + "/class" + std::to_string(j) + ".txt", list);
            train += g_dir + "/class" + std::to_string(j) + ".txt\n";
        }
        write_file(g_dir + "/train.txt", train);
        base_ = sendral({g_dir + "/train.txt", std::to_string(kDepth), g_dir + "/base"});
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + g_dir).c_str()); }
    static RunResult base_;
};
RunResult SendralRun::base_;

TEST_F(SendralRun, WritesTheWholeResultDirectory) {
    ASSERT_EQ(base_.status, 0) << base_.err;
    const std::string res = g_dir + "/base", train = g_dir + "/train.txt";
    // The settings and the stages, in order, on standard output.
    const std::string head = "FileList = " + train + "\npyddepth = 2\nsavepath = " + res +
                             "\nisdenoise = 1\nstarting...\nRead filenames from " + train +
                             "...Done\nclassnum = 3\nComputing the stats for DCT featurs...\n";
    EXPECT_EQ(base_.out.substr(0, head.size()), head);
    size_t at = 0;
    for (const char *stage :
         {"Computing the stats and KL for each class...\nDone.\nSaving...Done.\n",
          "Selecting features...\n", "Saving...Done.\nTime usage: "}) {
        size_t p = base_.out.find(stage, at);
        EXPECT_NE(p, std::string::npos) << stage;
        at = p;
    }
    EXPECT_TRUE(std::regex_search(base_.out, std::regex("Time usage: \\d+\\.000000 Sec\n$")));
    EXPECT_TRUE(std::regex_match(slurp(res + "/timeusage"),
                                 std::regex("Time usage: \\d+\\.000000 Sec\n")));
    EXPECT_NE(base_.err.find("KL for each class is DONE"), std::string::npos);

    struct Shape {
        const char *name;
        int rows, cols;
    };
    for (Shape s : {Shape{"/Allmnt2.dat", kFeat, 4 * kClasses}, {"/Allalpha.dat", kFeat, kClasses},
                    {"/Allbeta.dat", kFeat, kClasses}, {"/classMD.dat", kClasses, kFeat},
                    {"/StandVar.dat", kFeat, 1}, {"/sortMDs.dat", kClasses, kFeat},
                    {"/sortCosts.dat", kClasses, kFeat}, {"/sortidx.dat", kClasses, kFeat}}) {
        matrix *m = load(res + s.name);
        EXPECT_EQ(m->nrows, s.rows) << s.name;
        EXPECT_EQ(m->ncols, s.cols) << s.name;
        free_mtx(m);
    }
    EXPECT_EQ(slurp(res + "/pyddepth"), "2");

    // The moments: the DC mean of level 0 is 8 times the mean grey level.
    matrix *mnt = load(res + "/Allmnt2.dat");
    EXPECT_NEAR(mnt->pix[0][0], 4.0, 0.02);
    for (int j = 1; j < kClasses; j++) EXPECT_NEAR(mnt->pix[0][4 * j], 4.0, 0.3) << j;
    free_mtx(mnt);

    // Every class file agrees with the sorted matrices and the counts.
    std::vector<int> counts = salient_counts(res);
    ASSERT_EQ(counts.size(), (size_t)kClasses);
    matrix *costs = load(res + "/sortCosts.dat"), *mds = load(res + "/sortMDs.dat"),
           *idx = load(res + "/sortidx.dat");
    for (int j = 0; j < kClasses; j++) {
        auto lines = lines_of(res + "/Qor_class_" + std::to_string(j));
        ASSERT_EQ(lines.size(), (size_t)kFeat);
        EXPECT_GT(counts[j], 0);
        for (int i = 0; i < kFeat; i++) {
            double cost, md;
            int level, index;
            ASSERT_TRUE(std::regex_match(lines[i], std::regex("-?\\d+\\.\\d{6}\t-?\\d+\\.\\d{6}"
                                                              "\t\\d+\t\\d+")))
                << lines[i];
            sscanf(lines[i].c_str(), "%lf\t%lf\t%d\t%d", &cost, &md, &level, &index);
            EXPECT_EQ(64 * level + index, (int)idx->pix[j][i]);
            EXPECT_NEAR(md, mds->pix[j][i], 1e-6);
            EXPECT_NEAR(cost, costs->pix[j][i], 1e-6);
            if (i < counts[j]) {
                EXPECT_NE(index, 0) << "a DC feature is never valid";
                EXPECT_GE(cost, 1.0);
            } else {
                EXPECT_EQ(cost, 0.0);
            }
        }
        EXPECT_EQ(lines[counts[j] - 1].substr(0, 9), "1.000000\t");
    }
    free_mtx(costs);
    free_mtx(mds);
    free_mtx(idx);

    // The stripes: a frequency (0, v) varies along the columns only, (u, 0)
    // along the rows only. The best feature of each stripe class is one of
    // its own direction, and the lowest such frequency on level 1, where the
    // stripes have period 8 (feature 65 = (0,1), 66 = (1,0)), is among its first.
    EXPECT_EQ(direction(top_feature(res, 1)), 'v');
    EXPECT_EQ(direction(top_feature(res, 2)), 'h');
    EXPECT_LT(rank_of(res, 1, 65), 3);
    EXPECT_LT(rank_of(res, 2, 66), 3);
}

TEST_F(SendralRun, ExBfeaKeepsWhatTheClassHasMoreOf) {
    ASSERT_EQ(base_.status, 0);
    const std::string res = g_dir + "/exb";
    RunResult r = sendral({"-exBfea", g_dir + "/train.txt", "2", res});
    ASSERT_EQ(r.status, 0) << r.err;
    // Only features in which the class spreads more than the others stay
    // valid: the stripes' own direction, and nothing for the flat class.
    auto counts = salient_counts(res);
    EXPECT_EQ(counts[0], 0);
    for (int j = 1; j < kClasses; j++) {
        EXPECT_GT(counts[j], 0);
        auto lines = lines_of(res + "/Qor_class_" + std::to_string(j));
        for (int i = 0; i < counts[j]; i++) {
            int level, index;
            sscanf(lines[i].c_str(), "%*f\t%*f\t%d\t%d", &level, &index);
            EXPECT_EQ(direction(index), j == 1 ? 'v' : 'h') << lines[i];
        }
    }
}

TEST_F(SendralRun, NodenoiseAndHue) {
    ASSERT_EQ(base_.status, 0);
    const std::string train = g_dir + "/train.txt";
    RunResult r = sendral({"-nodenoise", train, "2", g_dir + "/nodenoise"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nisdenoise = 0\nstarting...\n"), std::string::npos);
    // Without the variance and entropy rules, validity is the same for every class.
    auto nd = salient_counts(g_dir + "/nodenoise"), base = salient_counts(g_dir + "/base");
    EXPECT_EQ(nd[0], nd[1]);
    EXPECT_EQ(nd[1], nd[2]);
    for (int j = 0; j < kClasses; j++) EXPECT_GE(nd[j], base[j]);

    // -h only spares the DC feature of the last level (64 at depth 2) from
    // the DC rule; with a plain Gaussian spread it is then valid everywhere.
    r = sendral({"-h", "-nodenoise", train, "2", g_dir + "/hue"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto hue = salient_counts(g_dir + "/hue");
    for (int j = 0; j < kClasses; j++) {
        EXPECT_EQ(hue[j], nd[j] + 1);
        EXPECT_LT(rank_of(g_dir + "/hue", j, 64), hue[j]);
    }
    EXPECT_GE(rank_of(g_dir + "/nodenoise", 0, 64), nd[0]);
}

TEST_F(SendralRun, FastReloadsTheMomentsAndReadsNoClassList) {
    ASSERT_EQ(base_.status, 0);
    const std::string res = g_dir + "/fast";
    std::system(("cp -r " + g_dir + "/base " + res).c_str());
    // A training list whose class lists do not exist: -fast must not read them.
    write_file(g_dir + "/ghosts.txt", "/no/such/list0\n/no/such/list1\n/no/such/list2\n");
    RunResult r = sendral({"-fast", "-b", "/no/such/bk", g_dir + "/ghosts.txt", "2", res});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("BkgHistogramPath = /no/such/bk\n"), std::string::npos);
    EXPECT_NE(r.out.find("classnum = 3\nLoading pre-computed the stats for DCT featurs..."
                         "Computing the stats and KL"),
              std::string::npos);
    matrix *a = load(g_dir + "/base/Allmnt2.dat"), *b = load(res + "/Allmnt2.dat");
    matrix *ia = load(g_dir + "/base/sortidx.dat"), *ib = load(res + "/sortidx.dat");
    EXPECT_TRUE(same_matrix(a, b));
    EXPECT_TRUE(same_matrix(ia, ib));
    EXPECT_EQ(slurp(g_dir + "/base/Qor_class_2"), slurp(res + "/Qor_class_2"));
    free_mtx(a);
    free_mtx(b);
    free_mtx(ia);
    free_mtx(ib);

    // A moment file that does not fit the class count is refused.
    write_file(g_dir + "/two.txt", "/no/such/list0\n/no/such/list1\n");
    r = sendral({"-fast", g_dir + "/two.txt", "2", res});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("!!!FATAL : Allmnt file is not in the right dimension!!!\n"),
              std::string::npos);
}

TEST_F(SendralRun, BackgroundPathKeepsClassZeroAndWeightsChangeNothing) {
    ASSERT_EQ(base_.status, 0);
    const std::string res = g_dir + "/bk";
    // Class 0's list is never read under -b.
    write_file(g_dir + "/train_bk.txt", "/no/such/list0\n" + g_dir + "/class1.txt\n" + g_dir +
                                            "/class2.txt\n");
    write_file(g_dir + "/weights.txt", "w0\nw1\n");
    RunResult r = sendral({"-b", g_dir + "/base", "-w", g_dir + "/weights.txt",
                           g_dir + "/train_bk.txt", "2", res});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("BkgHistogramPath = " + g_dir + "/base\nWeightFileList = " + g_dir +
                         "/weights.txt\nisdenoise = 1\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Read filenames from " + g_dir + "/weights.txt...Done\nclassnum = 3\n"
                         "Loading pre-computed the stats for DCT featurs in the background "
                         "path..."),
              std::string::npos);
    // Same images, so the recomputed classes match the base run exactly.
    matrix *a = load(g_dir + "/base/Allmnt2.dat"), *b = load(res + "/Allmnt2.dat");
    EXPECT_TRUE(same_matrix(a, b));
    free_mtx(a);
    free_mtx(b);
    EXPECT_EQ(slurp(g_dir + "/base/salientfeaturenum"), slurp(res + "/salientfeaturenum"));

    // A background moment file of another shape ends the run.
    write_file(g_dir + "/two_bk.txt", "x\n" + g_dir + "/class1.txt\n");
    r = sendral({"-b", g_dir + "/base", g_dir + "/two_bk.txt", "2", g_dir + "/bk2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("!!!FATAL : Allmnt file is not in the right dimension!!!\n"),
              std::string::npos);
}

TEST_F(SendralRun, FailsEarlyWithAClearMessage) {
    ASSERT_EQ(base_.status, 0);
    const std::string train = g_dir + "/train.txt";
    // The result directory is created, parents included...
    RunResult r = sendral({"-fast", train, "2", g_dir + "/new/deep/res"});
    EXPECT_TRUE(exists(g_dir + "/new/deep/res"));
    EXPECT_EQ(r.status, 1);  // ...though -fast finds no moments in it.
    // ...and refused, before any list is read, when it cannot be made.
    write_file(g_dir + "/plainfile", "x");
    for (std::string bad : {g_dir + "/plainfile", g_dir + "/plainfile/sub"}) {
        r = sendral({train, "2", bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find(bad.substr(0, g_dir.size() + 10)), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Read filenames"), std::string::npos);
    }

    struct Case {
        std::string list, message;
    };
    write_file(g_dir + "/empty.txt", " \n\n");
    write_file(g_dir + "/missing_img.txt", g_dir + "/c0_0.png\n" + g_dir + "/nope.png\n");
    write_file(g_dir + "/garbage.png", "not an image");
    write_file(g_dir + "/garbage.txt", g_dir + "/garbage.png\n");
    for (Case c : {Case{g_dir + "/empty.txt", "holds no image name"},
                   Case{g_dir + "/missing_img.txt", g_dir + "/nope.png"},
                   Case{g_dir + "/garbage.txt", g_dir + "/garbage.png"},
                   Case{g_dir + "/nolist.txt", g_dir + "/nolist.txt"}}) {
        write_file(g_dir + "/bad_train.txt", g_dir + "/class0.txt\n" + c.list + "\n");
        r = sendral({g_dir + "/bad_train.txt", "2", g_dir + "/bad"});
        EXPECT_EQ(r.status, 1) << c.list;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(g_dir + "/bad/classMD.dat"));
    }
    write_file(g_dir + "/empty_train.txt", "\n");
    r = sendral({g_dir + "/empty_train.txt", "2", g_dir + "/bad"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds no class list name"), std::string::npos);
}

}  // namespace
