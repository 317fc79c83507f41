#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"
#include "sendral.h"
#include "test_support.h"

namespace {

const char *kUsage =
    "\nUsage: Sendral [options] training_filelist pyr_depth salientfeaturepath\noptions:\n"
    "-fast : \t \tusing the pre-computed feature statistics\n"
    "-b bkghistpath : \tusing the pre-computed histgram of the background class (with index "
    "0).\n"
    "-w weight_filelist: \tthe list of files (same format as \"training_filelist\") for "
    "assigning\n\t\t\tweight to each pixel in the image. These weights are normally "
    "saliency\n\t\t\tmeasures from the previous saliency detection. \n"
    "-h: \t\t\tadd Hue as a new feature\n"
    "-nodenoise :\t\tdo not threshold features with small variance.\n"
    "-exBfea: \t\texclude features more informative to background \n"
    " \t\t\t(default is using all) \n";
// Two refusals, said by the parser and by the executable alike.
const std::string kUnknownOption = "unknown option\n";
std::string bad_depth(const std::string &depth) {
    return "pyr_depth must be a whole number from 1 to 28, not \"" + depth + "\"\n";
}

struct Options {
    char list[SENDRAL_PATHLEN], save[SENDRAL_PATHLEN], bk[SENDRAL_PATHLEN], wt[SENDRAL_PATHLEN];
    int depth = -7, isfast = -7, exBfea = -7, isbkpath = -7, isweight = -7, ishue = -7,
        isdenoise = -7, threads = -7;
};

Options parse(std::vector<std::string> args) {
    args.insert(args.begin(), "Sendral");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    Options o;
    // Garbage in the buffers: the parser must set every default itself.
    memset(o.bk, 'x', sizeof o.bk);
    memset(o.wt, 'x', sizeof o.wt);
    parse_command_line((int)args.size(), argv.data(), o.list, o.save, &o.depth, &o.isfast,
                       &o.exBfea, &o.isbkpath, o.bk, &o.isweight, o.wt, &o.ishue, &o.isdenoise,
                       &o.threads);
    return o;
}

}  // namespace

TEST(SendralCommandLine, DefaultsAndPositionals) {
    Options o = parse({"train.txt", "4", "out", "ignored"});
    EXPECT_STREQ(o.list, "train.txt");
    EXPECT_STREQ(o.save, "out");
    EXPECT_EQ(o.depth, 4);
    EXPECT_EQ(o.isfast, 0);
    EXPECT_EQ(o.exBfea, 0);
    EXPECT_EQ(o.isbkpath, 0);
    EXPECT_EQ(o.isweight, 0);
    EXPECT_EQ(o.ishue, 0);
    EXPECT_EQ(o.isdenoise, 1);
    EXPECT_STREQ(o.bk, "");
    EXPECT_STREQ(o.wt, "");
    EXPECT_EQ(o.threads, default_thread_count());
    EXPECT_GE(o.threads, 1);
}

TEST(SendralCommandLine, EveryOptionInItsAcceptedForms) {
    Options o = parse({"-fast", "-bdir", "x", "-weights", "-w.txt", "-hue", "-exBfea", "-nodenoise",
                       "-j", "3", "l", "3", "s"});
    EXPECT_EQ(o.threads, 3);
    EXPECT_EQ(o.isfast, 1);
    EXPECT_EQ(o.isbkpath, 1);
    EXPECT_STREQ(o.bk, "x");  // the word after -b..., whatever follows the b
    EXPECT_EQ(o.isweight, 1);
    EXPECT_STREQ(o.wt, "-w.txt");  // a value is taken even when it starts with a dash
    EXPECT_EQ(o.ishue, 1);
    EXPECT_EQ(o.exBfea, 1);
    EXPECT_EQ(o.isdenoise, 0);
    EXPECT_STREQ(o.list, "l");
    EXPECT_EQ(o.depth, 3);
    EXPECT_STREQ(o.save, "s");

    o = parse({"-h", "-j12", "-b", "bk", "l", "1", "s"});
    EXPECT_EQ(o.threads, 12);
    EXPECT_EQ(o.ishue, 1);
    EXPECT_STREQ(o.bk, "bk");
    EXPECT_EQ(o.depth, 1);

    // Options are read only before the first positional argument.
    o = parse({"l", "2", "-b"});
    EXPECT_STREQ(o.save, "-b");
    EXPECT_EQ(o.isbkpath, 0);
    EXPECT_EQ(o.isfast, 0);
}

TEST(SendralCommandLine, PathsUpToTheLimit) {
    std::string longest(SENDRAL_PATHLEN - 1, 'p');
    Options o = parse({"-b", longest, "-w", longest, longest, "2", longest});
    EXPECT_EQ(std::string(o.list), longest);
    EXPECT_EQ(std::string(o.save), longest);
    EXPECT_EQ(std::string(o.bk), longest);
    EXPECT_EQ(std::string(o.wt), longest);
}

TEST(SendralCommandLineDeathTest, UsageErrorsEndWithStatus1) {
    const auto status1 = testing::ExitedWithCode(1);
    for (const char *bad : {"-x", "-fastx", "-f", "-nodenoisey", "-exB", "-", "-Fast"})
        EXPECT_EXIT(parse({bad, "l", "4", "s"}), status1, testing::Eq(kUnknownOption)) << bad;
    EXPECT_EXIT(parse({"l", "4"}), status1, "^$");
    EXPECT_EXIT(parse({"-fast", "l", "4"}), status1, "^$");
}

TEST(SendralCommandLineDeathTest, OpenCasesGetAClearMessage) {
    const auto status1 = testing::ExitedWithCode(1);
    EXPECT_EXIT(parse({"-fast", "-b"}), status1, "option -b needs a value");
    EXPECT_EXIT(parse({"-w"}), status1, "option -w needs a value");
    for (const char *depth : {"0", "-1", "abc", "4x", "", " 4", "29", "99999999999"})
        EXPECT_EXIT(parse({"l", depth, "s"}), status1, testing::Eq(bad_depth(depth))) << depth;
    std::string too_long(SENDRAL_PATHLEN, 'p');
    EXPECT_EXIT(parse({too_long, "4", "s"}), status1, "training_filelist is longer than 1023");
    EXPECT_EXIT(parse({"l", "4", too_long}), status1, "salientfeaturepath is longer than 1023");
    EXPECT_EXIT(parse({"-b", too_long, "l", "4", "s"}), status1, "bkghistpath is longer");
    EXPECT_EXIT(parse({"-w", too_long, "l", "4", "s"}), status1, "weight_filelist is longer");
    EXPECT_EXIT(parse({"l", "4", ""}), status1, "salientfeaturepath is empty");
    for (const char *j : {"-j0", "-jx", "-j-1", "-j2.5"})
        EXPECT_EXIT(parse({j, "l", "4", "s"}), status1, "-j needs a whole number") << j;
    EXPECT_EXIT(parse({"-j"}), status1, "option -j needs a value");
    EXPECT_EXIT(parse({"l", "4", "s", "extra", "-fast"}), status1,
                "options go before training_filelist: -fast");
}

// The executable itself: the usage text byte for byte, on the right streams.
TEST(SendralExecutable, UsageAndUnknownOption) {
    RunResult r = run_sendral({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");

    r = run_sendral({"list", "4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);

    r = run_sendral({"-nodenoisey", "list", "4", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, kUnknownOption);

    for (const char *info : {"--help", "--version"}) {
        r = run_sendral({"-x", info, "list", "4", "out"});
        EXPECT_EQ(r.status, 0) << info;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(r.out.rfind("Sendral " SENDRAL_VERSION "\n", 0), 0u) << r.out;
    r = run_sendral({"--help"});
    EXPECT_EQ(r.out.rfind(kUsage, 0), 0u);  // then the newer options
    EXPECT_NE(r.out.find("\n-j n : "), std::string::npos);

    r = run_sendral({"list", "0", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, bad_depth("0"));
}
