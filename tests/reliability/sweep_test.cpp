// Bad-input sweep of both programs, run as a user runs them: every damaged
// list, image, result directory and awkward path must end the run by itself
// with a message on standard error and a non-zero status, or be skipped
// where a run is meant to go on. A signal, a hang or a sanitizer report
// fails the case.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "imgconv.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

class Sweep : public ::testing::Test {
protected:
    static ScratchDir *scratch;
    static std::string dir;    // scratch root
    static std::string model;  // the shared result directory

    static std::string path(const std::string &name) { return dir + "/" + name; }

    static ::testing::AssertionResult ended_by_itself(const RunResult &r) {
        if (!r.finished) return ::testing::AssertionFailure() << "did not end within a minute";
        if (r.signaled) return ::testing::AssertionFailure() << "ended by signal " << r.signal;
        if (r.err.find("Sanitizer") != std::string::npos ||
            r.err.find("runtime error:") != std::string::npos)
            return ::testing::AssertionFailure() << "sanitizer report";
        return ::testing::AssertionSuccess();
    }

    // Ended with a non-zero status and `message` on standard error.
    static ::testing::AssertionResult refused(const RunResult &r, const std::string &message) {
        auto ok = ended_by_itself(r);
        if (ok && r.status == 0) ok = ::testing::AssertionFailure() << "exit status 0";
        if (ok && r.err.find(message) == std::string::npos)
            ok = ::testing::AssertionFailure() << "no \"" << message << "\" on standard error";
        if (!ok) ok << "\n--- stdout:\n" << r.out << "--- stderr:\n" << r.err;
        return ok;
    }

    // Refused with status 1 before any statistics were written into `out`.
    static ::testing::AssertionResult refused_early(const RunResult &r, const std::string &message,
                                                    const std::string &out) {
        auto ok = refused(r, message);
        if (ok && r.status != 1) ok = ::testing::AssertionFailure() << "exit status " << r.status;
        if (ok && fs::exists(out + "/classMD.dat"))
            ok = ::testing::AssertionFailure() << "statistics written before the refusal";
        return ok;
    }

    static ::testing::AssertionResult succeeded(const RunResult &r) {
        auto ok = ended_by_itself(r);
        if (ok && r.status != 0) ok = ::testing::AssertionFailure() << "exit status " << r.status;
        if (!ok) ok << "\n--- stdout:\n" << r.out << "--- stderr:\n" << r.err;
        return ok;
    }

    // The detector's cases run on the shared model (depth 3, 2 classes); the
    // trainer's on two classes of two 64 x 64 scenes each, plain and with
    // discs, drawn as the shared model's are.
    static void SetUpTestSuite() {
        scratch = new ScratchDir("sweep");
        dir = scratch->path();
        model = trained_model();
        ASSERT_FALSE(model.empty()) << "the shared model did not train";
        for (int i = 0; i < 2; i++) {
            const std::string n = std::to_string(i);
            ASSERT_TRUE(write_scene(scene(64, 64, 30 + i), path("bg" + n + ".pgm")));
            ASSERT_TRUE(write_scene(scene(64, 64, 40 + i, {{20, 20 + 16 * i, 7}, {44, 40, 6}}),
                                    path("ob" + n + ".pgm")));
        }
        spit(path("c0.txt"), path("bg0.pgm") + "\n" + path("bg1.pgm") + "\n");
        spit(path("c1.txt"), path("ob0.pgm") + "\n" + path("ob1.pgm") + "\n");
        spit(path("train.txt"), path("c0.txt") + "\n" + path("c1.txt") + "\n");

        ASSERT_TRUE(write_scene(scene(1, 1, 1), path("tiny1.pgm")));
        ASSERT_TRUE(write_scene(scene(7, 7, 2), path("tiny7.pgm")));
        spit(path("empty.pgm"), "");
        std::string whole = slurp(path("ob0.pgm"));
        spit(path("truncated.pgm"), whole.substr(0, whole.size() / 2));
        // A JPEG cut short, as by an interrupted copy.
        ASSERT_TRUE(write_scene(scene(64, 64, 5), path("whole.jpg")));
        whole = slurp(path("whole.jpg"));
        spit(path("cut_short.jpg"), whole.substr(0, whole.size() / 2));
        std::string junk = "\x89PNG\r\n\x1a\n";
        for (int i = 0; i < 300; i++) junk.push_back((char)(i * 37 + 11));
        spit(path("corrupt.png"), junk);
    }

    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
    }

    // A copy of the shared model to damage.
    static std::string model_copy(const std::string &name) {
        std::string m = path(name);
        fs::remove_all(m);
        fs::copy(model, m, fs::copy_options::recursive);
        return m;
    }
};

ScratchDir *Sweep::scratch = nullptr;
std::string Sweep::dir;
std::string Sweep::model;

TEST_F(Sweep, TrainerListFiles) {
    const std::string out = path("m_lists");
    EXPECT_TRUE(refused(run_sendral({path("nolist.txt"), "2", out}), path("nolist.txt")));

    spit(path("empty.txt"), " \n\t\n");
    RunResult r = run_sendral({path("empty.txt"), "2", out});
    EXPECT_TRUE(refused_early(r, path("empty.txt"), out));
    EXPECT_TRUE(refused(r, "holds no class list name"));

    spit(path("t_missing.txt"), path("c0.txt") + "\n" + path("noclass.txt") + "\n");
    EXPECT_TRUE(
        refused_early(run_sendral({path("t_missing.txt"), "2", out}), path("noclass.txt"), out));

    spit(path("t_empty.txt"), path("c0.txt") + "\n" + path("empty.txt") + "\n");
    r = run_sendral({path("t_empty.txt"), "2", out});
    EXPECT_TRUE(refused_early(r, path("empty.txt"), out));
    EXPECT_TRUE(refused(r, "holds no image name"));

    EXPECT_TRUE(refused(run_sendral({"-w", path("noweights.txt"), path("train.txt"), "2", out}),
                        path("noweights.txt")));

    // A result path that is a file, or lies below one, cannot become a
    // directory; that is found before any list is read.
    spit(path("plainfile"), "x");
    for (const std::string &bad : {path("plainfile"), path("plainfile/sub")}) {
        r = run_sendral({path("train.txt"), "2", bad});
        EXPECT_TRUE(refused_early(r, path("plainfile"), bad)) << bad;
        EXPECT_EQ(r.out.find("Read filenames"), std::string::npos) << bad;
    }
}

TEST_F(Sweep, TrainerBadImagesStopTheRun) {
    spit(path("garbage.png"), "not an image");
    for (const char *bad : {"missing.pgm", "empty.pgm", "truncated.pgm", "corrupt.png",
                            "garbage.png", "cut_short.jpg"}) {
        SCOPED_TRACE(bad);
        spit(path("c_bad.txt"), path("ob0.pgm") + "\n" + path(bad) + "\n");
        spit(path("t_bad.txt"), path("c0.txt") + "\n" + path("c_bad.txt") + "\n");
        EXPECT_TRUE(refused_early(run_sendral({path("t_bad.txt"), "2", path("m_bad")}), path(bad),
                                  path("m_bad")));
    }
    // Names cannot hold white space: a blank splits one into two, and the
    // first part is then refused as an image that does not exist.
    spit(path("c_blank.txt"), path("ob0 copy.pgm") + "\n");
    spit(path("t_blank.txt"), path("c0.txt") + "\n" + path("c_blank.txt") + "\n");
    EXPECT_TRUE(refused(run_sendral({path("t_blank.txt"), "2", path("m_bad")}), path("ob0")));
}

TEST_F(Sweep, TrainerSkipsImagesTooSmallForABlock) {
    // A 1 x 1 and a 7 x 7 image hold no 8 x 8 block at any level; the run
    // goes on with the other images of the class.
    spit(path("c_small.txt"),
         path("ob0.pgm") + "\n" + path("tiny1.pgm") + "\n" + path("tiny7.pgm") + "\n");
    spit(path("t_small.txt"), path("c0.txt") + "\n" + path("c_small.txt") + "\n");
    for (const char *depth : {"1", "2"}) {
        SCOPED_TRACE(depth);
        RunResult r = run_sendral({path("t_small.txt"), depth, path("m_small")});
        EXPECT_TRUE(succeeded(r));
        EXPECT_TRUE(fs::exists(path("m_small/Qor_class_1")));
    }
}

// The damaged files are named; the datfile reader's own words are its suite's.
TEST_F(Sweep, TrainerDamagedMomentFile) {
    // -fast loads the moments from the result directory and reads no class
    // list, so any two names do for the shared model's two classes.
    const std::string m = model_copy("m_fast"), mnt = m + "/Allmnt3.dat";
    auto fast = [&](const std::string &res) {
        return run_sendral({"-fast", path("train.txt"), "3", res});
    };
    const std::string good = slurp(mnt + "/descriptor"), data = slurp(mnt + "/data");
    ASSERT_TRUE(succeeded(fast(m)));
    const struct {
        const char *name;
        std::string descriptor, data;
    } damages[] = {
        {"garbage descriptor", "garbage (x\n", data},
        {"data cut short", good, data.substr(0, data.size() / 3)},
        {"three dimensions", "(_data_type double)\n(_byte_order lsb)\n(_dimensions 2 64 8 )\n",
         data},
    };
    for (const auto &d : damages) {
        spit(mnt + "/descriptor", d.descriptor);
        spit(mnt + "/data", d.data);
        EXPECT_TRUE(refused(fast(m), mnt)) << d.name;
    }
    // A result directory that does not exist yet is made with its parents,
    // and then holds no moments.
    const std::string fresh = path("new/deep/res");
    EXPECT_TRUE(refused(fast(fresh), fresh + "/Allmnt3.dat"));
    EXPECT_TRUE(fs::is_directory(fresh));
    // -b takes class 0's moments from another run's directory.
    EXPECT_TRUE(refused(run_sendral({"-b", path("nobackground"), path("train.txt"), "2", m}),
                        path("nobackground")));
}

TEST_F(Sweep, DetectorListsAndImages) {
    const std::string out = path("d_out");
    RunResult r = run_lumivar({"-enforce", "-f", "3", model, "1", path("noquery.txt"), out});
    EXPECT_TRUE(refused(r, path("noquery.txt")));
    EXPECT_EQ(r.status, 1);

    // Nothing to do is not a failure.
    spit(path("q_empty.txt"), "\n");
    EXPECT_TRUE(
        succeeded(run_lumivar({"-enforce", "-f", "3", model, "1", path("q_empty.txt"), out})));

    // Unreadable and too small images are skipped, each with a line naming it
    // (after the image reader's reason); the others are processed, and the
    // run reports the skips in its status.
    ASSERT_TRUE(write_scene(scene(3, 9, 5), path("tiny.png")));
    fs::rename(path("tiny.png"), path("tiny"));  // no extension: the base name is the whole name
    const struct {
        const char *image;
        const char *size = nullptr;  // too small; none: unreadable
    } skipped[] = {{"missing.pgm"}, {"empty.pgm"},          {"truncated.pgm"}, {"cut_short.jpg"},
                   {"corrupt.png"}, {"tiny1.pgm", "1 x 1"}, {"tiny", "9 x 3"}};
    std::string list;
    for (const auto &s : skipped) list += path(s.image) + "\n";
    spit(path("q_bad.txt"), list + path("tiny7.pgm") + "\n" + path("ob1.pgm") + "\n");
    r = run_lumivar({"-enforce", "-f", "3", model, "1", path("q_bad.txt"), out});
    EXPECT_TRUE(refused(r, ""));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Time usage: "), std::string::npos) << r.out;
    for (const auto &s : skipped) {
        const std::string name = path(s.image);
        const std::string line =
            s.size ? "Image " + name + " is " + s.size + ", smaller than 4 pixels in a direction"
                   : "Cannot read image " + name;
        EXPECT_NE(r.err.find(line + "; skipped\n"), std::string::npos) << line << "\n" << r.err;
        EXPECT_FALSE(fs::exists(out + "/" + fs::path(name).stem().string() + "_salloc")) << name;
    }
    EXPECT_TRUE(fs::exists(out + "/ob1_salloc"));
    EXPECT_TRUE(fs::exists(out + "/tiny7_salloc"));

    // An output directory that cannot be made.
    spit(path("blocked"), "x");
    EXPECT_TRUE(refused(run_lumivar({model, "1", path("q_empty.txt"), path("blocked/out")}),
                        path("blocked/out")));
}

TEST_F(Sweep, HostileImageNamesAndContents) {
    // Names that ImageMagick would take as coders, URLs or frame and size
    // selections, and contents that would draw other files: each is only a
    // file name, and only plain image files are read.
    spit(path("draw.mvg"), "push graphic-context\nviewbox 0 0 64 64\nimage over 0,0 64,64 '" +
                               path("ob0.pgm") + "'\npop graphic-context\n");
    spit(path("script.msl"),
         "<?xml version=\"1.0\"?><image><read filename=\"" + path("ob0.pgm") + "\"/></image>\n");
    spit(path("drawing.jpg"),
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" "
         "height=\"64\"><image href=\"" +
             path("ob0.pgm") + "\" width=\"64\" height=\"64\"/></svg>\n");
    const std::string entries[] = {
        "text:/etc/hostname",
        "msl:" + path("script.msl"),
        "mvg:" + path("draw.mvg"),
        "ftp://127.0.0.1/x.jpg",
        "rose:",
        "xc:",
        path("ob0.pgm") + "[5000x5000]",
        path("drawing.jpg"),
    };
    for (const std::string &entry : entries) {
        SCOPED_TRACE(entry);
        // Lumivar names the entry, goes on with the next image, ends with 1.
        spit(path("q_hostile.txt"), entry + "\n" + path("ob1.pgm") + "\n");
        fs::remove_all(path("d_hostile"));
        RunResult r = run_lumivar(
            {"-enforce", "-f", "3", model, "1", path("q_hostile.txt"), path("d_hostile")});
        EXPECT_TRUE(refused(r, entry));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(fs::exists(path("d_hostile/ob1_salloc")));
        EXPECT_TRUE(fs::exists(path("d_hostile/ob1_sm.jpg")));
        // Sendral refuses the class list naming it.
        spit(path("c_hostile.txt"), path("ob0.pgm") + "\n" + entry + "\n");
        spit(path("t_hostile.txt"), path("c0.txt") + "\n" + path("c_hostile.txt") + "\n");
        EXPECT_TRUE(refused(run_sendral({path("t_hostile.txt"), "2", path("m_hostile")}), entry));
    }
    {
        // An endless list ends at once, naming it.
        SCOPED_TRACE("/dev/zero as a list");
        EXPECT_TRUE(
            refused(run_lumivar({model, "1", "/dev/zero", path("d_hostile")}), "/dev/zero"));
        EXPECT_TRUE(refused(run_sendral({"/dev/zero", "2", path("m_hostile")}), "/dev/zero"));
    }
}

// Every damage is found before any image: status 1, no output, the image not
// named, and the damaged file named; the datfile reader's and the class-file
// reader's own words are their suites'.
TEST_F(Sweep, DetectorDamagedResultDirectory) {
    spit(path("q_one.txt"), path("ob1.pgm") + "\n");
    const std::string m = path("m_dmg"), out = path("d_dmg");
    auto detect = [&](const char *cls = "1", const char *features = "3") {
        fs::remove_all(out);
        fs::create_directory(out);
        RunResult r = run_lumivar({"-enforce", "-f", features, m, cls, path("q_one.txt"), out});
        EXPECT_EQ(r.status, 1) << cls;
        EXPECT_TRUE(fs::is_empty(out)) << cls;
        EXPECT_EQ(r.out.find(path("ob1.pgm")), std::string::npos) << r.out;
        return r;
    };
    auto over = [&](const std::string &file, const std::string &text) {
        return [=] { spit(m + "/" + file, text); };
    };
    auto gone = [&](const std::string &file) { return [=] { fs::remove_all(m + "/" + file); }; };
    const std::string dbl = "(_data_type double)\n(_byte_order lsb)\n";
    struct Damage {
        const char *name;
        std::function<void()> damage;        // done to a fresh copy of the model
        const char *file;                    // named in the message; empty: none
        std::vector<std::string> says = {};  // further parts of the message
        const char *cls = "1", *features = "3";
    } damages[] = {
        {"no result directory", gone(""), "salientfeaturenum"},
        {"garbage descriptor", over("Allalpha.dat/descriptor", "\x01garbage)(\n"), "Allalpha.dat"},
        {"three dimensions", over("Allalpha.dat/descriptor", dbl + "(_dimensions 192 2 1 )\n"),
         "Allalpha.dat"},
        {"one dimension", over("Allbeta.dat/descriptor", dbl + "(_dimensions 384 )\n"),
         "Allbeta.dat"},
        {"unknown type",
         over("Allalpha.dat/descriptor", "(_data_type doubles)\n(_dimensions 192 2 )\n"),
         "Allalpha.dat",
         {"has no known data type"}},
        {"zero rows",
         over("Allalpha.dat/descriptor", dbl + "(_dimensions 0 2 )\n"),
         "Allalpha.dat",
         {"has no elements"}},
        {"negative rows",
         over("Allbeta.dat/descriptor", dbl + "(_dimensions -192 2 )\n"),
         "Allbeta.dat",
         {"has no elements"}},
        {"datfile replaced by a plain file",
         [=] {
             fs::remove_all(m + "/Allalpha.dat");
             spit(m + "/Allalpha.dat", "not a datfile\n");
         },
         "Allalpha.dat"},
        {"datfile missing", gone("Allbeta.dat"), "Allbeta.dat"},
        {"a parameter with no density",
         [=] {
             std::string data = slurp(m + "/Allbeta.dat/data");
             const double nan = -std::nan("");
             memcpy(&data[(5 * 2 + 1) * sizeof nan], &nan, sizeof nan);  // row 5 of 2 columns
             spit(m + "/Allbeta.dat/data", data);
         },
         "Allbeta.dat",
         {"row 5, column 1: not a finite non-negative number"}},
        {"garbage class file", over("Qor_class_1", "\x7f\x45LF garbage\n\n(((\n"), "Qor_class_1"},
        {"short class file", over("Qor_class_1", "0.5\t0.25\t0\t3\n"), "Qor_class_1"},
        {"zig-zag index past the filters",
         over("Qor_class_1", "0.5\t0.2\t0\t3\n0.4\t0.2\t0\t64\n0.3\t0.2\t0\t1\n"),
         "Qor_class_1",
         {"zig-zag index 64"}},
        {"level past the depth",
         over("Qor_class_1", "0.5\t0.2\t5\t3\n0.4\t0.2\t0\t4\n0.3\t0.2\t0\t1\n"), "Qor_class_1"},
        {"class file missing", gone("Qor_class_1"), "Qor_class_1"},
        // Refused before as many features are allocated.
        {"more features than the class file holds",
         [] {},
         "Qor_class_1",
         {"2147483647"},
         "1",
         "2147483647"},
        {"garbage feature counts", over("salientfeaturenum", "many\n"), "salientfeaturenum"},
        {"a class count the datfiles lack",
         over("salientfeaturenum", slurp(model + "/salientfeaturenum") + "3\n"),
         "salientfeaturenum",
         {"counts 3 classes"}},
        {"a class past the counts", [] {}, "salientfeaturenum", {"not below"}, "2"},
        {"a negative class", [] {}, "", {"-1", "negative"}, "-1"},
        {"garbage depth", over("pyddepth", "deep"), "pyddepth"},
        {"depth far too large", over("pyddepth", "4000000000"), "pyddepth"},
        {"a depth the datfiles lack",
         over("pyddepth", "4\n"),
         "pyddepth",
         {"depth 4", "needs 256"}},
        {"depth missing", gone("pyddepth"), "pyddepth"},
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.name);
        model_copy("m_dmg");
        d.damage();
        const RunResult r = detect(d.cls, d.features);
        EXPECT_TRUE(refused(r, *d.file ? m + "/" + d.file : ""));
        for (const std::string &part : d.says) EXPECT_TRUE(refused(r, part));
    }

    // Sizes far beyond the data (and memory) read as data cut short.
    model_copy("m_dmg");
    const std::string beta = slurp(m + "/Allbeta.dat/data");
    spit(m + "/Allbeta.dat/data", beta.substr(0, beta.size() - 8));
    const RunResult cut = detect();
    EXPECT_TRUE(refused(cut, m + "/Allbeta.dat"));
    for (const char *dims : {"100000 100000", "4294967424 2"}) {
        model_copy("m_dmg");
        spit(m + "/Allbeta.dat/descriptor", dbl + "(_dimensions " + dims + " )\n");
        EXPECT_EQ(detect().err, cut.err) << dims;
    }
}

TEST_F(Sweep, LongPathsAndBlanks) {
    // More than 600 characters through nested directories; the blanks only
    // where a name is not read from a list file. The model is trained there,
    // as its own path is one of those tried.
    std::string deep = dir;
    while (deep.size() < 600) deep += "/" + std::string(99, 'p');
    const std::string blank = deep + "/with blank";
    fs::create_directories(blank);
    for (const char *img : {"bg0", "bg1", "ob0", "ob1"})
        fs::copy_file(path(std::string(img) + ".pgm"), deep + "/" + img + ".pgm");
    spit(deep + "/c0.txt", deep + "/bg0.pgm\n" + deep + "/bg1.pgm\n");
    spit(deep + "/c1.txt", deep + "/ob0.pgm\n" + deep + "/ob1.pgm\n");
    spit(blank + "/train list.txt", deep + "/c0.txt\n" + deep + "/c1.txt\n");
    spit(blank + "/query list.txt", deep + "/ob1.pgm\n");

    const std::string m = blank + "/model dir";
    ASSERT_TRUE(succeeded(run_sendral({blank + "/train list.txt", "2", m})));
    EXPECT_TRUE(fs::exists(m + "/Allalpha.dat/data"));
    EXPECT_TRUE(succeeded(run_sendral({"-fast", blank + "/train list.txt", "2", m})));

    const std::string out = blank + "/out dir";
    EXPECT_TRUE(succeeded(
        run_lumivar({"-s", "-enforce", "-f", "3", m, "1", blank + "/query list.txt", out})));
    EXPECT_TRUE(fs::exists(out + "/ob1_salloc"));
    EXPECT_TRUE(fs::exists(out + "/ob1_scalemap.dat/data"));
}

TEST_F(Sweep, TrainerMistakesCaughtWhereTheyHappen) {
    const std::string out = path("m_mistakes");
    const std::string flat = path("ob0.pgm") + "\n" + path("ob1.pgm") + "\n";
    spit(path("t_flat.txt"), flat);
    spit(path("t_label.txt"), path("bg0.pgm") + " 0\n" + path("ob0.pgm") + " 1\n");
    spit(path("binary.lst"), std::string("\x7f"
                                         "ELF\x02\x01\x01\0\0\0",
                                         10));
    spit(path("t_binary.txt"), path("c0.txt") + "\n" + path("binary.lst") + "\n");
    const struct {
        const char *list, *message;
    } cases[] = {
        {"t_flat.txt", "names image files, not image lists"},
        {"t_label.txt", "names image files, not image lists"},
        {"t_binary.txt", "binary.lst of class 1 is not a text file"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(refused_early(run_sendral({path(c.list), "2", out}), c.message, out)) << c.list;

    // A class that cannot be told from the background keeps no feature:
    // said at the end, and the run still succeeds.
    spit(path("t_same.txt"), path("c0.txt") + "\n" + path("c0.txt") + "\n");
    const RunResult r = run_sendral({"-exBfea", path("t_same.txt"), "2", out});
    EXPECT_TRUE(succeeded(r));
    EXPECT_NE(r.err.find("Warning: class 1 (list " + path("c0.txt") + ") has no salient feature"),
              std::string::npos)
        << r.err;
}

TEST_F(Sweep, RunRecordsQuietModeAndStandardInput) {
    spit(path("q_missing.txt"), path("ob1.pgm") + "\n" + path("nowhere.pgm") + "\n");
    const std::string rec = path("run.json"), out = path("out_records");
    RunResult r = run_lumivar({"--quiet", "--json", rec, model, "1", path("q_missing.txt"), out});
    EXPECT_TRUE(refused(r, "nowhere.pgm"));
    EXPECT_EQ(r.out.rfind("Time usage: ", 0), 0u) << r.out;  // nothing else on standard output
    EXPECT_EQ(r.err.find("Computing"), std::string::npos) << r.err;
    // The record parses and lists the failed image with its reason.
    const char *check =
        "import json, sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "assert d['status'] == 1 and d['settings']['-m'] == 0, d\n"
        "bad = [i for i in d['images'] if i['status'] == 'failed']\n"
        "assert [i['entry'] for i in bad] == [sys.argv[2]], bad\n"
        "assert 'nowhere.pgm' in bad[0]['message'], bad\n";
    EXPECT_TRUE(
        succeeded(run_program({"/usr/bin/python3", "-c", check, rec, path("nowhere.pgm")})));

    // "-": the names come on standard input.
    r = run_program({"/bin/sh", "-c", "echo \"$1\" | \"$2\" --json \"$3\" \"$4\" 1 - \"$5\"", "-",
                     path("ob1.pgm"), LUMIVAR_EXE, rec, model, out + "2"});
    EXPECT_TRUE(succeeded(r));
    EXPECT_TRUE(fs::exists(out + "2/ob1_salloc"));
    EXPECT_TRUE(succeeded(run_program(
        {"/usr/bin/python3", "-c",
         "import json, sys; d = json.load(open(sys.argv[1])); "
         "assert d['images'][0]['status'] == 'ok' and d['images'][0]['locations'] > 0, d",
         rec})));

    r = run_sendral({"--json", rec, "--quiet", path("train.txt"), "2", path("m_record")});
    EXPECT_TRUE(succeeded(r));
    EXPECT_EQ(r.out.rfind("Time usage: ", 0), 0u) << r.out;
    EXPECT_TRUE(succeeded(
        run_program({"/usr/bin/python3", "-c",
                     "import json, sys; c = json.load(open(sys.argv[1]))['classes']; "
                     "assert [(x['used'], x['skipped']) for x in c] == [(2, 0), (2, 0)], c",
                     rec})));
}

// A program run under a limit on its address space (ulimit -v, in kB),
// except under a sanitizer, whose shadow memory does not fit under one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
RunResult capped(int kb, std::vector<std::string> argv) {
    const std::string limit = kSanitized ? "" : "ulimit -v " + std::to_string(kb) + "; ";
    argv.insert(argv.begin(), {"/bin/sh", "-c", limit + "exec \"$@\"", "-"});
    return run_program(argv, 30);
}

// Model files that would block, flood or exhaust the reader (under a 1 GB
// limit: a read of what a header claims fails), and zero GGD scales.
TEST_F(Sweep, HostileModelDatfiles) {
    spit(path("q_one.txt"), path("ob1.pgm") + "\n");
    int level = 0, index = 0;  // the class's first salient feature
    sscanf(lines(model + "/Qor_class_1").at(0).c_str(), "%*f %*f %d %d", &level, &index);
    const std::string used = std::to_string(64 * level + index);
    const struct {
        // damage: fifo; zero (a link to /dev/zero); text (written over the file);
        // all:1 (every scale of class 1 zeroed); row:0 (row `text` zeroed)
        const char *file, *damage;
        std::string text, message;  // message after the model's path; empty: still works
    } cases[] = {
        {"Allalpha.dat/descriptor", "fifo", "", "Allalpha.dat/descriptor is not a regular file"},
        {"Allbeta.dat/data", "fifo", "", "Allbeta.dat/data is not a regular file"},
        {"Allalpha.dat/descriptor", "zero", "", "Allalpha.dat/descriptor is not a regular file"},
        {"Allbeta.dat/descriptor", "text", std::string((1 << 20) + 1, ' '),
         "Allbeta.dat/descriptor is larger than 1048576 bytes"},
        {"Allalpha.dat/descriptor", "text", "(_data_type double)(_dimensions 16000 16000)",
         "Allalpha.dat holds 16000 x 16000 values"},
        {"Allalpha.dat/data", "all:1", "", "Allalpha.dat holds 0 in every row of column 1"},
        {"Allalpha.dat/data", "row:0", used, "Allalpha.dat holds 0 in row " + used + ", column 0"},
        {"Allalpha.dat/data", "row:0", "64", ""},  // a DC feature, never salient
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.damage + " " + c.text.substr(0, 40));
        const std::string m = model_copy("m_hostile"), file = m + "/" + c.file;
        const std::string d = c.damage;
        if (d == "fifo" || d == "zero") fs::remove(file);
        if (d == "fifo") {
            ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
        }
        if (d == "zero") fs::create_symlink("/dev/zero", file);
        if (d == "text") spit(file, c.text);
        if (c.text.find("16000") != std::string::npos)  // sparse: as large as claimed
            fs::resize_file(m + "/Allalpha.dat/data", 16000ull * 16000 * 8);
        if (d == "all:1" || d == "row:0") {
            std::string data = slurp(file);
            double *a = (double *)data.data();  // a row of 2 classes per feature
            for (size_t f = 0; f < data.size() / (2 * sizeof *a); f++)
                for (int k = 0; k < 2; k++)
                    if (d == "all:1" ? k == 1 : f == (size_t)atoi(c.text.c_str())) a[2 * f + k] = 0;
            spit(file, data);
        }
        RunResult r = capped(1 << 20, {LUMIVAR_EXE, m, "1", path("q_one.txt"), path("d_hostile")});
        EXPECT_TRUE(c.message.empty() ? succeeded(r) : refused(r, m + "/" + c.message));
    }
}

TEST_F(Sweep, AnImageTooBigForMemory) {
    if (kSanitized) GTEST_SKIP() << "no ulimit -v under a sanitizer";
    // 5000 x 5000 samples (a PGM header over a sparse file): decoded within
    // ImageMagick's limits, but its matrices do not fit in 400 MB.
    const std::string big = path("big.pgm"), head = "P5\n5000 5000\n255\n";
    spit(big, head);
    fs::resize_file(big, head.size() + 5000ull * 5000);
    spit(path("q_big.txt"), big + "\n" + path("ob1.pgm") + "\n");
    // The trainer holds far less per pixel, so its image is larger.
    const std::string huge = path("huge.pgm"), huge_head = "P5\n6000 6000\n255\n";
    spit(huge, huge_head);
    fs::resize_file(huge, huge_head.size() + 6000ull * 6000);
    spit(path("c_big.txt"), path("ob0.pgm") + "\n" + huge + "\n");
    spit(path("t_big.txt"), path("c0.txt") + "\n" + path("c_big.txt") + "\n");
    for (const std::string jobs : {"1", "2"}) {
        const std::string out = path("d_big" + jobs);
        RunResult r = capped(400000, {LUMIVAR_EXE, "-j", jobs, model, "1", path("q_big.txt"), out});
        EXPECT_TRUE(refused(r, "Cannot process image " + big + ": out of memory (")) << jobs;
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(fs::exists(out + "/ob1_salloc")) << jobs;  // the run went on
        // Sendral cannot leave an image out of a class: it stops, saying why.
        r = capped(400000, {SENDRAL_EXE, "-j", jobs, path("t_big.txt"), "2", path("m_big")});
        EXPECT_TRUE(refused(r, "Error: image " + huge + " (class 1) does not fit in memory"))
            << jobs;
    }
}

// Threads the system refuses: both programs go on with those they have (the
// calling thread when none) and say so; Lumivar's outputs stay the same.
TEST_F(Sweep, RefusedThreads) {
    const std::string q = path("q_three.txt");
    spit(q, path("ob0.pgm") + "\n" + path("ob1.pgm") + "\n" + path("bg0.pgm") + "\n");
    ASSERT_TRUE(succeeded(run_lumivar({"-j", "1", model, "1", q, path("d_ref")})));
    for (const std::string at : {"1", "2"}) {
        setenv("SENDRAL_FAIL_THREAD_AT", at.c_str(), 1);
        const RunResult r = run_lumivar({"-j", "3", model, "1", q, path("d_at" + at)}),
                        t = run_sendral({"-j", "3", path("train.txt"), "2", path("m_at" + at)});
        unsetenv("SENDRAL_FAIL_THREAD_AT");
        for (const RunResult *x : {&r, &t}) {
            EXPECT_TRUE(succeeded(*x)) << at;
            EXPECT_NE(x->err.find("Notice: only " + std::to_string(std::stoi(at) - 1) + " of "),
                      std::string::npos)
                << x->err;
        }
        EXPECT_EQ(slurp(path("d_at" + at + "/ob1_salloc")), slurp(path("d_ref/ob1_salloc")));
    }
}

}  // namespace
