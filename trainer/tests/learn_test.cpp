// Learned weights: the box file's refusals, the regression, and whole runs
// of Sendral --boxes and Lumivar --learned / --smooth on scenes with discs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imgconv.h"
#include "learn.h"
#include "learned.h"
#include "lumivar.h"
#include "owners.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Background scenes b<i>.png and scenes o<i>.png with two discs each, the
// training list and the boxes of the discs.
struct DiscSet {
    ScratchDir dir{"learn_test"};
    std::string train, boxes;
    static constexpr int kSize = 96, kRadius = 10, kImages = 6;

    DiscSet() {
        fs::create_directory(dir.path("bg"));
        fs::create_directory(dir.path("ob"));
        std::string bg, ob, box = "entry,top,bottom,left,right\n";
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> at(kRadius + 4, kSize - kRadius - 5);
        for (int i = 0; i < kImages; i++) {
            const std::string b = dir.path("bg/b" + std::to_string(i) + ".png");
            const std::string o = dir.path("ob/o" + std::to_string(i) + ".png");
            std::vector<std::array<int, 3>> discs;
            for (int k = 0; k < 2; k++) discs.push_back({at(rng), at(rng), kRadius});
            write(scene(kSize, kSize, 100 + i), b);
            write(scene(kSize, kSize, 200 + i, discs), o);
            bg += b + "\n";
            ob += o + "\n";
            // The first image as its list names it, the others by file name.
            const std::string entry = i == 0 ? o : "o" + std::to_string(i) + ".png";
            for (auto [r, c, rad] : discs)
                box += entry + "," + std::to_string(r - rad) + "," + std::to_string(r + rad) + "," +
                       std::to_string(c - rad) + "," + std::to_string(c + rad) + "\n";
        }
        spit(dir.path("bg.txt"), bg);
        spit(dir.path("ob.txt"), ob);
        train = dir.path("train.txt");
        spit(train, dir.path("bg.txt") + "\n" + dir.path("ob.txt") + "\n");
        boxes = dir.path("boxes.csv");
        spit(boxes, box);
    }
    static void write(matrix *m, const std::string &path) {
        auto owned = held(m);
        ASSERT_EQ(mtx2im(owned, path.c_str()), 1) << path;
    }
};

// Training and detecting with learned weights take a while.
RunResult sendral(std::vector<std::string> args) { return run_sendral(std::move(args), 300); }
RunResult lumivar(std::vector<std::string> args) { return run_lumivar(std::move(args), 300); }

}  // namespace

TEST(BoxFiles, BadFilesAreRefusedBeforeAnyTrainingNamingTheLine) {
    DiscSet set;
    const std::string o0 = set.dir.path("ob/o0.png");
    struct Case {
        const char *text, *line, *says;
    } cases[] = {
        {"entry,top,bottom,left,right\no0.png,1,20,1\n", ":2: ", "expected entry,top,bottom"},
        {"o0.png,1,2x,1,20\n", ":1: ", "bottom \"2x\" of o0.png is not a whole decimal number"},
        {"o0.png,1,20,1,20\nnosuch.png,1,20,1,20\n", ":2: ", "unknown entry nosuch.png"},
        {"\n\nb1.png,1,20,1,20\n", ":3: ", "b1.png is a background image"},
        {"o0.png,10,96,1,20\n", ":1: ", "reaches outside the image, 96 x 96 pixels"},
        {"o0.png,-1,20,1,20\n", ":1: ", "reaches outside the image"},
        {"o0.png,20,10,1,20\n", ":1: ", "the box of o0.png is empty"},
        {"name,top,bottom,left,right\n", ": ", "no box for class 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string file = set.dir.path("bad.csv"), res = set.dir.path("res");
        spit(file, c.text);
        fs::remove_all(res);
        const RunResult r = sendral({"--boxes", file, set.train, "2", res});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, file + c.line + "") && has(r.err, c.says)) << r.err;
        EXPECT_FALSE(has(r.out, "Computing the stats")) << "trained before the check";
        EXPECT_FALSE(fs::exists(res + "/Allalpha.dat"));
    }
    // The same entry as its list writes it is taken, and so is a header.
    spit(set.dir.path("ok.csv"), "entry,top,bottom,left,right\n" + o0 + ", 1, 20, 1, 20\n");
    EXPECT_EQ(sendral({"--boxes", set.dir.path("ok.csv"), "-shard", "0/2", set.train, "2",
                       set.dir.path("part")})
                  .status,
              1)
        << "--boxes with -shard is refused";
}

TEST(LearnedWeights, SendralBoxesAndLumivarLearned) {
    DiscSet set;
    const std::string a = set.dir.path("a"), b = set.dir.path("b"), plain = set.dir.path("plain");
    const RunResult ra = sendral({"-j", "1", "--boxes", set.boxes, set.train, "2", a});
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(sendral({"-j", "2", "--boxes", set.boxes, set.train, "2", b}).status, 0);
    ASSERT_EQ(sendral({set.train, "2", plain}).status, 0);
    EXPECT_TRUE(has(ra.out, "chosen: transform")) << ra.out;

    // The same bytes at -j 1 and -j 2; without --boxes, the same files but the new one.
    const std::string learned = "learned_class_1";
    for (const auto &e : fs::directory_iterator(a)) {
        const std::string name = e.path().filename();
        if (name == "timeusage" || name[0] == '.') continue;
        SCOPED_TRACE(name);
        for (const std::string &f :
             {std::string("/"), std::string("/data"), std::string("/descriptor")}) {
            const std::string pa = a + "/" + name + (f == "/" ? "" : f);
            if (!fs::is_regular_file(pa)) continue;
            EXPECT_EQ(slurp(pa), slurp(b + "/" + name + (f == "/" ? "" : f)));
            if (name != learned) {
                EXPECT_EQ(slurp(pa), slurp(plain + "/" + name + (f == "/" ? "" : f)));
            }
        }
    }
    EXPECT_FALSE(fs::exists(plain + "/" + learned));
    LearnedWeights w;
    std::string why;
    ASSERT_TRUE(parse_learned(slurp(a + "/" + learned), &w, &why)) << why;
    EXPECT_EQ(w.klass, 1);
    EXPECT_EQ(w.weight.size(), 126u);

    // Queries: a disc where no training image had one.
    const std::string q = set.dir.path("q.png"), qlist = set.dir.path("q.txt");
    DiscSet::write(scene(96, 128, 999, {{60, 90, 10}}), q);
    spit(qlist, q + "\n");
    auto first = [](const std::string &out) {
        std::vector<std::string> l = lines(out + "/q_salloc");
        int r = -1, c = -1;
        if (!l.empty()) sscanf(l[0].c_str(), "%d %d", &r, &c);
        return std::make_pair(r, c);
    };
    struct Run {
        std::vector<std::string> options;
        std::string dir;
    } runs[] = {{{"--learned"}, "l"},
                {{"--learned", "--smooth", "3"}, "ls"},
                {{"--smooth", "2.5"}, "s"},
                {{}, "d"}};
    for (const Run &run : runs) {
        std::vector<std::string> args = run.options;
        for (const std::string &x :
             {std::string("-v"), a, std::string("1"), qlist, set.dir.path(run.dir)})
            args.push_back(x);
        const RunResult r = lumivar(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    const auto [row, col] = first(set.dir.path("l"));
    EXPECT_LE(std::hypot(row - 60, col - 90), 10.0) << "the learned map's first location";
    EXPECT_NE(slurp(set.dir.path("l/q_sm.dat/data")), slurp(set.dir.path("ls/q_sm.dat/data")));
    EXPECT_NE(slurp(set.dir.path("s/q_sm.dat/data")), slurp(set.dir.path("d/q_sm.dat/data")));

    // A directory trained without boxes still detects, and refuses --learned.
    EXPECT_EQ(lumivar({plain, "1", qlist, set.dir.path("p")}).status, 0);
    const RunResult old = lumivar({"--learned", plain, "1", qlist, set.dir.path("po")});
    EXPECT_EQ(old.status, 1);
    EXPECT_TRUE(has(old.err, "No learned weights for class 1 in " + plain) &&
                has(old.err, "train with Sendral --boxes"))
        << old.err;
    EXPECT_EQ(lumivar({"--smooth", "-1", a, "1", qlist, set.dir.path("x")}).status, 1);
}

TEST(Logistic, SeparatesSeparableDataAndShrinksWithThePenalty) {
    // Two features; class 1 where x0 + 0.5 x1 > 0.3, with a margin.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> Z, y, c;
    int n = 0;
    while (n < 400) {
        const double x0 = u(rng), x1 = u(rng), s = x0 + 0.5 * x1 - 0.3;
        if (std::fabs(s) < 0.1) continue;
        Z.insert(Z.end(), {x0, x1, 1.0});
        y.push_back(s > 0);
        n++;
    }
    c.assign(n, 1.0 / n);
    double previous = 0.0;
    for (double lambda : {1e-4, 1e-2, 1.0}) {
        SCOPED_TRACE(lambda);
        std::vector<double> th, again;
        const int steps = fit_logistic(Z, n, 3, y, c, lambda, &th);
        fit_logistic(Z, n, 3, y, c, lambda, &again);
        EXPECT_EQ(th, again) << "not deterministic";
        EXPECT_LT(steps, 50);
        int wrong = 0;
        for (int i = 0; i < n; i++)
            wrong += (Z[3 * i] * th[0] + Z[3 * i + 1] * th[1] + th[2] > 0) != (y[i] > 0);
        if (lambda < 0.1) {
            EXPECT_EQ(wrong, 0);
        }
        EXPECT_NEAR(th[1] / th[0], 0.5, 0.15);  // the direction of the boundary
        const double norm = std::hypot(th[0], th[1]);
        if (previous > 0) {
            EXPECT_LT(norm, previous);
        }
        previous = norm;
    }
    EXPECT_DOUBLE_EQ(area_under_roc({1, 2, 3, 4}, {0, 0, 1, 1}), 1.0);
    EXPECT_DOUBLE_EQ(area_under_roc({4, 3, 2, 1}, {0, 0, 1, 1}), 0.0);
    EXPECT_DOUBLE_EQ(area_under_roc({1, 1, 1, 1}, {0, 1, 0, 1}), 0.5);
    EXPECT_DOUBLE_EQ(area_under_roc({1, 2}, {1, 1}), -1.0);
}

TEST(LearnedMaps, SkippedRowsAndSmoothing) {
    // Rows passed over leave every later row as next() makes it.
    MatrixPtr chan(random_matrix(20, 24, 5));
    auto source = [&chan](int r) { return (const double *)chan->pix[r]; };
    for (int l : {0, 1, 2}) {
        SCOPED_TRACE(l);
        if (!enlarge_own_route(20, 24, l)) continue;
        const size_t rows = 20u << l, cols = 24u << l;
        EnlargedRows all(20, 24, source, l), some(20, 24, source, l);
        for (size_t y = 0; y < rows; y++) {
            const double *a = all.next();
            const std::vector<double> want(a, a + cols);
            if (y % 3 != 2) {
                some.skip();
                continue;
            }
            const double *got = some.next();
            EXPECT_EQ(std::vector<double>(got, got + cols), want) << "row " << y;
        }
    }
    // A constant map stays constant; a peak spreads evenly and keeps its place.
    std::vector<double> flat(7 * 9, 0.25), peak(9 * 9, 0.0);
    gaussian_smooth(flat.data(), 7, 9, 2.0);
    for (double v : flat) EXPECT_NEAR(v, 0.25, 1e-15);
    peak[4 * 9 + 4] = 1.0;
    gaussian_smooth(peak.data(), 9, 9, 1.0);
    EXPECT_EQ(std::max_element(peak.begin(), peak.end()) - peak.begin(), 4 * 9 + 4);
    EXPECT_DOUBLE_EQ(peak[4 * 9 + 3], peak[4 * 9 + 5]);
    EXPECT_DOUBLE_EQ(peak[3 * 9 + 4], peak[4 * 9 + 3]);
}
