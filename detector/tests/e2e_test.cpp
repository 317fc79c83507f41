// Sendral trained on generated images, then Lumivar run on generated
// queries with each option, checking output files, sizes and messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "lumivar.h"
#include "mtx.h"
#include "tempfiles.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Width and height of an image file.
std::pair<int, int> image_size(const std::string &path) {
    auto m = held(im2mtx(path.c_str(), "I"));
    if (!m) return {-1, -1};
    return {m->ncols, m->nrows};
}

class EndToEnd : public ::testing::Test {
protected:
    static ScratchDir *scratch;
    static std::string dir, res, qlist, qimg;
    static int trained;

    static void SetUpTestSuite() {
        scratch = new ScratchDir("lumivar_e2e");
        dir = scratch->path();
        fs::create_directory(dir + "/set1");
        res = trained_model();
        ASSERT_FALSE(res.empty()) << "the shared model did not train";
        trained = std::stoi(lines(res + "/salientfeaturenum").at(1));
        ASSERT_GT(trained, 0);
        // 133 x 101 crops to 132 x 100 at depth 3.
        qimg = dir + "/set1/img.002.png";
        ASSERT_TRUE(write_scene(scene(101, 133, 99, {{40, 70, 7}}), qimg));
        qlist = dir + "/query.txt";
        spit(qlist, qimg + "\n");
    }

    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
    }

    // Lumivar with options (split at blanks) on the generated model; outputs
    // into a new folder.
    RunResult lumivar(const std::string &opts, const std::string &list = "", int cls = 1,
                      const std::string &model = "") {
        out = dir + "/out" + std::to_string(++count);
        fs::create_directory(out);
        std::vector<std::string> args;
        std::istringstream words(opts);
        for (std::string w; words >> w;) args.push_back(w);
        args.insert(args.end(), {model.empty() ? res : model, std::to_string(cls),
                                 list.empty() ? qlist : list, out});
        return run_lumivar(args);
    }

    // A copy of the result directory to break.
    std::string model_copy() {
        std::string m = dir + "/model" + std::to_string(++count);
        fs::copy(res, m, fs::copy_options::recursive);
        return m;
    }

    std::string out;
    static int count;
};

ScratchDir *EndToEnd::scratch = nullptr;
std::string EndToEnd::dir, EndToEnd::res, EndToEnd::qlist, EndToEnd::qimg;
int EndToEnd::trained = 0, EndToEnd::count = 0;

// Every location line: row, column, radius, value, by non-increasing value.
void check_locations(const std::string &path, int H, int W) {
    std::vector<std::string> ls = lines(path);
    ASSERT_FALSE(ls.empty());
    double prev = INFINITY;
    for (const std::string &l : ls) {
        int r, c, rad;
        double v;
        char tail;
        ASSERT_EQ(sscanf(l.c_str(), "%d\t%d\t%d\t%lf%c", &r, &c, &rad, &v, &tail), 4) << l;
        EXPECT_TRUE(r >= 0 && r < H && c >= 0 && c < W) << l;
        EXPECT_TRUE(rad == 4 || rad == 8 || rad == 16) << l;
        EXPECT_LE(v, prev) << l;
        prev = v;
    }
}

}  // namespace

TEST_F(EndToEnd, DefaultOptions) {
    RunResult r = lumivar("");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string base = out + "/img.002";
    EXPECT_EQ(image_size(base + "_sm.jpg"), std::make_pair(132, 100));
    EXPECT_EQ(image_size(base + "_salloc.jpg"), std::make_pair(133, 101));
    EXPECT_FALSE(fs::exists(base + "_scalemap.dat"));
    check_locations(base + "_salloc", 100, 132);
    // The strongest location lies on the disc.
    int row, col;
    ASSERT_EQ(sscanf(lines(base + "_salloc")[0].c_str(), "%d\t%d", &row, &col), 2);
    EXPECT_LE(std::hypot(row - 40, col - 70), 12) << row << "," << col;

    const std::string expect_out =
        "SFPath = " + res + "\npyrdepth = 3\nqueryclassidx = 1\nQueryFileList = " + qlist +
        "\nsalientfeaturenum = 5\nsavepath = " + out +
        "\ndrawcirclenum = 5\nisenforce = 0\nstarting...\nRead filenames from " + qlist +
        "...Done\n" + qimg +
        "\nsaving...done.\n\tSearching for salient locations...saving...done.\ndone.\nTime usage: ";
    EXPECT_EQ(r.out.substr(0, expect_out.size()), expect_out);
    EXPECT_EQ(r.err, "\tComputing saliency map...\tDrawing...");
}

TEST_F(EndToEnd, NoMapNoDrawingAndScaleMap) {
    RunResult r = lumivar("-nosm -d 0 -s");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string base = out + "/img.002";
    EXPECT_FALSE(fs::exists(base + "_sm.jpg"));
    EXPECT_FALSE(fs::exists(base + "_salloc.jpg"));
    check_locations(base + "_salloc", 100, 132);
    EXPECT_NE(r.out.find("No saliency map will be generated!\nGenerate a scale map for each "
                         "image!\nstarting...\n"),
              std::string::npos);
    EXPECT_NE(r.out.find(qimg + "\ndone.\n\tSearching for salient locations...saving...done.\n"
                                "saving...done.\nTime usage"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "\tComputing saliency map...\tGenerating Scale map...");
    auto scales = held(dat2mtx((base + "_scalemap.dat").c_str()));
    ASSERT_EQ(scales->nrows, 100);
    ASSERT_EQ(scales->ncols, 132);
    for (int i = 0; i < 100 * 132; i++) {
        double v = scales->pix[0][i];
        EXPECT_TRUE(v == 4 || v == 8 || v == 16) << v;
    }
    // The same search runs with or without the map image.
    RunResult d = lumivar("");
    EXPECT_EQ(slurp(out + "/img.002_salloc"), slurp(base + "_salloc"));
}

TEST_F(EndToEnd, WithoutWinnerTakeAllEveryPositivePixelIsALocation) {
    RunResult wta = lumivar("-d 0");
    const std::vector<std::string> few = lines(out + "/img.002_salloc");
    RunResult r = lumivar("-nowta -d 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Non-maximum-suppression stage has been inhibited!\n"), std::string::npos);
    const std::vector<std::string> all = lines(out + "/img.002_salloc");
    EXPECT_GT(all.size(), 10 * few.size());
    EXPECT_LE(all.size(), 100u * 132u);
    EXPECT_EQ(all[0], few[0]);
    check_locations(out + "/img.002_salloc", 100, 132);
    EXPECT_EQ(image_size(out + "/img.002_salloc.jpg"), std::make_pair(133, 101));
}

TEST_F(EndToEnd, LikelihoodMapKinds) {
    for (const char *opt : {"-m 1", "-m 2", "-m 1 -enforce", "-m 2 -f 2"}) {
        RunResult r = lumivar(opt);
        ASSERT_EQ(r.status, 0) << opt << r.err;
        EXPECT_EQ(image_size(out + "/img.002_sm.jpg"), std::make_pair(132, 100)) << opt;
        check_locations(out + "/img.002_salloc", 100, 132);
        EXPECT_EQ(r.out.find("nan"), std::string::npos);
    }
}

TEST_F(EndToEnd, ChannelWeightsFollowTheMapKindAndEnforce) {
    // Two copies of the best feature with costs 3, 1 and MDs 4, 2: map 1 sums
    // them unweighted (2 channels), map 2 by cost (4), -enforce by the MDs
    // over the last one (2 + 1 = 3), whatever the kind.
    std::string m = model_copy();
    int level, index;
    ASSERT_EQ(sscanf(lines(res + "/Qor_class_1").at(0).c_str(), "%*f %*f %d %d", &level, &index),
              2);
    const std::string ft = "\t" + std::to_string(level) + "\t" + std::to_string(index) + "\n";
    spit(m + "/Qor_class_1", "3.0\t4.0" + ft + "1.0\t2.0" + ft);
    auto first_value = [&](const std::string &opts) {
        RunResult r = lumivar("-f 2 -d 0 -nosm " + opts, "", 1, m);
        EXPECT_EQ(r.status, 0) << opts << r.err;
        double v = 0;
        EXPECT_EQ(sscanf(lines(out + "/img.002_salloc").at(0).c_str(), "%*d %*d %*d %lf", &v), 1);
        return v;
    };
    const double unweighted = first_value("-m 1");
    ASSERT_GT(unweighted, 0.01);
    EXPECT_NEAR(first_value("-m 2"), 2.0 * unweighted, 1e-5);
    EXPECT_NEAR(first_value("-m 1 -enforce"), 1.5 * unweighted, 1e-5);
    EXPECT_NEAR(first_value("-m 2 -enforce"), 1.5 * unweighted, 1e-5);
}

TEST_F(EndToEnd, RowByRowAndChannelByChannelGiveTheSameMap) {
    for (int mapnum = 0; mapnum < (int)map_kinds().size(); mapnum++)
        for (int enforce = 0; enforce < 2; enforce++) {
            LumivarSettings set;
            set.SFPath = res;
            set.qclassidx = 1;
            set.mapnum = mapnum;
            set.isenforce = enforce;
            set.ftnum4smap = trained + enforce;  // -enforce may repeat the last line
            LumivarModel model;
            if (enforce) {
                const std::string m = model_copy();
                std::ofstream(m + "/Qor_class_1", std::ios::app)
                    << lines(res + "/Qor_class_1")[0] << "\n";
                set.SFPath = m;
            }
            load_model(&set, &model);
            std::vector<unsigned char> lv[2];
            HeldMatrix map[2];
            for (int by_channels = 0; by_channels < 2; by_channels++) {
                bool small = false;
                map[by_channels] = saliency_map(read_query(qimg.c_str(), model.pyddepth, &small),
                                                set, model, &lv[by_channels], by_channels);
                ASSERT_NE(map[by_channels], nullptr);
            }
            EXPECT_EQ(memcmp(map[0]->pix[0], map[1]->pix[0], sizeof(double) * 100 * 132), 0)
                << mapnum << enforce;
            EXPECT_EQ(lv[0], lv[1]) << mapnum << enforce;
        }
}

TEST_F(EndToEnd, BackgroundQueryGivesEmptyLikelihoodMaps) {
    // Class 0 against itself: every channel of kinds 1 and 2 is zero.
    for (const char *opt : {"-m 1 -enforce -s", "-m 2 -enforce"}) {
        RunResult r = lumivar(opt, "", 0);
        ASSERT_EQ(r.status, 0) << opt << r.err;
        EXPECT_EQ(slurp(out + "/img.002_salloc"), "0\t0\t4\t0.000000\n") << opt;
        auto sm = held(im2mtx((out + "/img.002_sm.jpg").c_str(), "I"));
        ASSERT_NE(sm, nullptr);
        EXPECT_EQ(sm->nrows, 100);
        EXPECT_EQ(mtx_max(sm), 0.0) << opt;
    }
    // Map kind 0 does not use the models.
    RunResult r = lumivar("-enforce", "", 0);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(lines(out + "/img.002_salloc").size(), 1u);
}

TEST_F(EndToEnd, FeatureCountBeyondTheTrainedOne) {
    const int f = trained + 3;
    RunResult r = lumivar("-d 0 -f " + std::to_string(f));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string t = std::to_string(trained);
    EXPECT_EQ(r.out.find("The maximum number of salient features is " + t +
                         "!\nfeaturenum is set to " + t + "!\nSFPath"),
              0u);
    EXPECT_NE(r.out.find("salientfeaturenum = " + t + "\n"), std::string::npos);

    r = lumivar("-d 0 -enforce -f " + std::to_string(f));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("The maximum number"), std::string::npos);
    EXPECT_NE(r.out.find("salientfeaturenum = " + std::to_string(f) + "\nsavepath"),
              std::string::npos);
    EXPECT_NE(r.out.find("isenforce = 1\n"), std::string::npos);
    check_locations(out + "/img.002_salloc", 100, 132);
}

// The unknown option's own words are the command line's suite's.
TEST_F(EndToEnd, UsageTextAndNoSalientFeature) {
    RunResult r = run_lumivar({});
    EXPECT_EQ(r.status, 1);
    const std::string usage =
        "\nUsage: Lumivar [options] salientfeaturepath queryclassidx query_filelist outpath\n"
        "options:\n-d drawcirclenum: set the number of salient locations drawn on the image "
        "(default 5).\n   \t\t   if 0 then no circle is drawn.\n-f featurenum: set the number "
        "of salient features used for saliency detection (default 5)\n-enforce\tenforce to "
        "generate saliency map with assigned number of features\n-nosm: \tno saliency map "
        "will be stored.\n-s: \t\tgenerate a scale map (the spatial scale at each pixel) for "
        "the image, \n\t\tthe value at each pixel is the radius of the scale at each pixel\n"
        "-m #:\t\tmap number 0:I(x;y)|x|^1.5(default)   1:Sum of loglikely    2:Weighted sum "
        "of loglikely\n-nowta:\tget all possible salient locations without winner-take-all "
        "stage.\n\n";
    EXPECT_EQ(r.out, usage);
    r = lumivar("-scale -x");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
    EXPECT_NE(r.err, "");
    EXPECT_TRUE(fs::is_empty(out));

    std::string m = model_copy();
    spit(m + "/salientfeaturenum", "4\n0\n");
    r = lumivar("", "", 1, m);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "The maximum number of salient features is 0!\nfeaturenum is set to 0!\n"
              "No salient feature for the query class!!!\n\n");
}

// Images skipped as unreadable or too small are the bad-input sweep's.
TEST_F(EndToEnd, AnAllBlackQueryIntoANestedOutputFolder) {
    const std::string black = dir + "/set1/black.png";
    matrix *z = calloc_mtx(40, 48);
    ASSERT_TRUE(write_scene(z, black));
    const std::string list = dir + "/mixed.txt";
    spit(list, black + "\n" + qimg + "\n");
    const std::string nested = dir + "/x/y";
    RunResult r = run_lumivar({"-s", res, "1", list, nested});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(nested + "/img.002_salloc.jpg"));

    // An all-black query: a black map and the single empty location.
    EXPECT_EQ(slurp(nested + "/black_salloc"), "0\t0\t4\t0.000000\n");
    auto sm = held(im2mtx((nested + "/black_sm.jpg").c_str(), "I"));
    ASSERT_NE(sm, nullptr);
    EXPECT_EQ(mtx_max(sm), 0.0);
}

TEST_F(EndToEnd, OutputsAreWrittenSafelyAndAlikeForEveryJobCount) {
    // Three images; the second's base name leaves no room for its longer
    // output names, so those writes fail and the run must go on.
    fs::create_directories(dir + "/set2");
    const std::string longbase(244, 'b');
    const std::string q2 = dir + "/set2/" + longbase + ".png", q3 = dir + "/set2/c.png";
    ASSERT_TRUE(write_scene(scene(96, 128, 7, {{30, 30, 6}}), q2));
    ASSERT_TRUE(write_scene(scene(192, 256, 8, {{90, 100, 9}}), q3));
    const std::string list = dir + "/three.txt";
    spit(list, qimg + "\n" + q2 + "\n" + q3 + "\n");

    // A planted link is replaced, not followed.
    const std::string o1 = dir + "/safe1", o3 = dir + "/safe3";
    fs::create_directories(o1);
    spit(dir + "/victim", "keep");
    fs::create_symlink(dir + "/victim", o1 + "/img.002_salloc");
    RunResult one = run_lumivar({"-j", "1", "-s", "-v", res, "1", list, o1});
    EXPECT_EQ(one.status, 1);
    EXPECT_NE(one.err.find("Cannot write " + o1 + "/" + longbase + "_scalemap.dat\n"),
              std::string::npos)
        << one.err;
    EXPECT_EQ(slurp(dir + "/victim"), "keep");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(o1 + "/img.002_salloc")));
    EXPECT_TRUE(fs::exists(o1 + "/c_salloc.jpg"));  // the image after the failed one

    // Outputs and messages are the same for every -j.
    RunResult three = run_lumivar({"-j", "3", "-s", "-v", res, "1", list, o3});
    EXPECT_EQ(three.status, 1);
    std::string o1_out = one.out, o1_err = one.err;
    for (std::string *t : {&o1_out, &o1_err})
        for (size_t at; (at = t->find(o1)) != std::string::npos;) t->replace(at, o1.size(), o3);
    EXPECT_EQ(o1_out.substr(0, o1_out.find("Time usage")),
              three.out.substr(0, three.out.find("Time usage")));
    EXPECT_EQ(o1_err, three.err);
    auto files = [](const std::string &root) {
        std::map<std::string, std::string> v;
        for (const auto &e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) v[fs::relative(e.path(), root)] = slurp(e.path());
        return v;
    };
    const auto f1 = files(o1), f3 = files(o3);
    EXPECT_TRUE(f1 == f3);
    EXPECT_GE(f1.size(), 11u);
    for (const auto &[name, bytes] : f3) EXPECT_NE(name[0], '.') << name;  // no temporary left

    // The map before normalisation, of the cropped size.
    auto sm = held(dat2mtx((o1 + "/img.002_sm.dat").c_str()));
    EXPECT_EQ(sm->nrows, 100);
    EXPECT_EQ(sm->ncols, 132);
    EXPECT_GT(mtx_max(sm), 0.0);

    // Two entries with one base name are refused before any image.
    spit(list, qimg + "\n" + q3 + "\n" + dir + "/set2/img.002.jpg\n");
    RunResult clash = lumivar("", list);
    EXPECT_EQ(clash.status, 1);
    EXPECT_NE(clash.err.find(qimg + " and " + dir + "/set2/img.002.jpg"), std::string::npos)
        << clash.err;
    EXPECT_TRUE(fs::is_empty(out));
}

// Lumivar loading while Sendral retrains between two image sets: every load
// is of one of the two whole models, and none is refused as interrupted.
TEST_F(EndToEnd, LoadsDuringRetrainingsSeeOneWholeModel) {
    std::string list[2] = {fs::path(res).parent_path() / "train.txt", dir + "/train_b.txt"};
    std::string cls[2];
    for (int j = 0; j < 2; j++)
        for (int i = 0; i < 4; i++) {
            const std::string img = dir + "/b" + std::to_string(j) + std::to_string(i) + ".png";
            ASSERT_TRUE(
                write_scene(scene(64, 64, 50 + 10 * j + i, {{20 + 6 * i, 40, 5 * j}}), img));
            cls[j] += img + "\n";
        }
    spit(dir + "/b0.txt", cls[0]);
    spit(dir + "/b1.txt", cls[1]);
    spit(list[1], dir + "/b0.txt\n" + dir + "/b1.txt\n");
    const std::string other = dir + "/model_b", live = model_copy();
    ASSERT_EQ(run_sendral({list[1], "3", other}).status, 0);
    auto load = [](const std::string &m) {  // the features and the GGD parameters
        LumivarSettings set;
        set.SFPath = m;
        set.qclassidx = 1;
        LumivarModel model;
        load_model(&set, &model);
        std::string v = std::to_string(model.ftnum4smap);
        for (int i = 0; i < model.ftnum4smap; i++)
            v += " " + std::to_string(model.ftmd[i]) + "/" + std::to_string(model.ftsubidx[i]);
        for (matrix *p : {model.allalpha, model.allbeta})
            v.append((const char *)p->pix[0], sizeof(double) * p->nrows * p->ncols);
        return v;
    };
    auto detect = [&](const std::string &m) {
        RunResult r = lumivar("-d 0 -nosm", "", 1, m);
        EXPECT_EQ(r.status, 0) << r.err;
        return slurp(out + "/img.002_salloc");
    };
    const std::string want[2] = {load(res), load(other)}, found[2] = {detect(res), detect(other)};
    ASSERT_NE(want[0], want[1]);
    ASSERT_NE(found[0], found[1]);
    std::atomic<int> trained{0};
    std::thread sendral([&] {
        for (int i = 1; i <= 12; i++, trained++)
            EXPECT_EQ(run_sendral({list[i % 2], "3", live}).status, 0);
    });
    int seen[2] = {0, 0};
    for (int n = 1; trained < 12; n++) {
        const std::string got = load(live);
        EXPECT_TRUE(got == want[0] || got == want[1]) << n;
        seen[got == want[1]]++;
        if (n % 40 == 0) {
            const std::string d = detect(live);
            EXPECT_TRUE(d == found[0] || d == found[1]) << n;
        }
    }
    sendral.join();
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
}

// A marker that no live training's lock covers is an interrupted
// training's; under one, Lumivar waits for the training to finish.
TEST_F(EndToEnd, AMarkerIsWaitedForOnlyWhileATrainingHoldsTheLock) {
    const std::string m = model_copy(), marker = m + "/.sendral-incomplete";
    spit(marker, "");
    RunResult r = lumivar("-d 0", "", 1, m);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Result directory " + m +
                         " was left incomplete by an interrupted training; train again\n");
    const int fd = open((m + "/.sendral-lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::thread finish([&] {
        usleep(300000);
        fs::remove(marker);
        close(fd);
    });
    r = lumivar("-d 0", "", 1, m);
    finish.join();
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(EndToEnd, AnUnwritableOutputFolderIsToldOnceBeforeAnyImage) {
    const std::string ro = dir + "/readonly";
    fs::create_directory(ro);
    // Root writes anywhere but on a read-only mount.
    const bool root = geteuid() == 0;
    const std::string mount = "mount -t tmpfs -o ro none \"$0\" && exec \"$@\"";
    std::vector<std::string> argv;
    if (root)
        argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount, ro};
    else
        fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    argv.insert(argv.end(), {LUMIVAR_EXE, res, "1", qlist, ro});
    RunResult r = run_program(argv);
    if (root && r.err.find("output directory") == std::string::npos)
        GTEST_SKIP() << "no read-only mount here: " << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot create files in output directory " + ro + ": " +
                         (root ? "Read-only file system" : "Permission denied") + "\n");
    EXPECT_EQ(r.out.find("img.002"), std::string::npos) << "an image was started";
}

TEST_F(EndToEnd, StoppedRunsLeaveNoTemporaryFiles) {
    // A leftover of a killed run is removed, a live run's file is kept.
    const std::string o = dir + "/stopped", own = fs::path(temp_entry_name(o)).filename();
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const size_t at = own.find('.', 1) + 1;
    const std::string dead =
        own.substr(0, at) + std::to_string(child) + own.substr(own.find('.', at));
    fs::create_directories(o);
    spit(o + "/" + dead, "half");
    spit(o + "/" + own, "a live run's");
    EXPECT_EQ(run_lumivar({res, "1", qlist, o}).status, 0);
    EXPECT_FALSE(fs::exists(o + "/" + dead));
    EXPECT_TRUE(fs::exists(o + "/" + own));

    // Stopped in the middle of a long run: the signal's status, no temporary file.
    ASSERT_TRUE(write_scene(scene(768, 1024, 12, {{300, 400, 20}}), dir + "/set1/large.png"));
    std::string list;
    for (int i = 0; i < 24; i++) {
        list += dir + "/set1/large" + std::to_string(i) + ".png\n";
        fs::create_hard_link(dir + "/set1/large.png",
                             dir + "/set1/large" + std::to_string(i) + ".png");
    }
    spit(dir + "/large.txt", list);
    RunResult r = run_program({"/usr/bin/timeout", "--preserve-status", "-s", "TERM", "0.5",
                               LUMIVAR_EXE, "-s", "-v", res, "1", dir + "/large.txt", o});
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_FALSE(fs::exists(o + "/large23_salloc")) << "the run was not stopped";
    for (const auto &e : fs::directory_iterator(o))
        EXPECT_TRUE(e.path().filename() == own || e.path().filename().string()[0] != '.')
            << e.path();
}
