// Lumivar's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fail.h"
#include "lumivar.h"
#include "mapkinds.h"

namespace {

LumivarSettings parse(std::vector<std::string> args) {
    args.insert(args.begin(), "Lumivar");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    LumivarSettings s;
    // Poison the defaults to see that the parser sets them itself.
    s.ftnum4smap = s.drawnum = s.mapnum = s.nosm = s.nowta = s.scalemap = s.isenforce = -7;
    parse_command_line((int)argv.size(), argv.data(), &s.SFPath, &s.qclassidx, &s.QueryFileList,
                       &s.savepath, &s.ftnum4smap, &s.drawnum, &s.mapnum, &s.nosm, &s.nowta,
                       &s.scalemap, &s.isenforce);
    return s;
}

}  // namespace

TEST(CommandLine, DefaultsAndPositionalArguments) {
    LumivarSettings s = parse({"res", "2", "q.txt", "out", "ignored"});
    EXPECT_EQ(s.SFPath, "res");
    EXPECT_EQ(s.qclassidx, 2);
    EXPECT_EQ(s.QueryFileList, "q.txt");
    EXPECT_EQ(s.savepath, "out");
    EXPECT_EQ(s.ftnum4smap, 5);
    EXPECT_EQ(s.drawnum, 5);
    EXPECT_EQ(s.mapnum, 0);
    EXPECT_EQ(s.nosm + s.nowta + s.scalemap + s.isenforce, 0);
}

TEST(CommandLine, EveryOption) {
    LumivarSettings s = parse({"-d", "0", "-fx", "12", "-m", "2", "-enforce", "-nosm", "-nowta",
                               "-scale", "-j", "3", "-v", "r", "+4", "q", "o"});
    EXPECT_EQ(s.drawnum, 0);
    EXPECT_EQ(s.ftnum4smap, 12);
    EXPECT_EQ(s.mapnum, 2);
    EXPECT_EQ(s.isenforce, 1);
    EXPECT_EQ(s.nosm, 1);
    EXPECT_EQ(s.nowta, 1);
    EXPECT_EQ(s.scalemap, 1);
    EXPECT_EQ(s.qclassidx, 4);
    // Extra arguments after the positional ones stay ignored.
    EXPECT_EQ(parse({"r", "1", "q", "o", "extra"}).savepath, "o");
    LumivarSettings full;
    std::vector<std::string> args = {"Lumivar", "-j", "3", "-v", "r", "1", "q", "o"};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    parse_settings((int)argv.size(), argv.data(), &full);
    EXPECT_EQ(full.jobs, 3);
    EXPECT_EQ(full.writemapdat, 1);
}

TEST(CommandLineDeathTest, NumbersMustBeWholeAndOptionsComeFirst) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"r", "abc", "q", "o"}, "queryclassidx must be a whole decimal number, not \"abc\""},
        {{"r", "1abc", "q", "o"}, "queryclassidx must be a whole decimal number, not \"1abc\""},
        {{"-f", "5x", "r", "1", "q", "o"}, "-f must be a whole decimal number, not \"5x\""},
        {{"-m", "1x", "r", "1", "q", "o"}, "-m must be a whole decimal number, not \"1x\""},
        {{"-d", "", "r", "1", "q", "o"}, "-d must be a whole decimal number, not \"\""},
        {{"-j", "0", "r", "1", "q", "o"}, ""},
        {{"r", "1", "q", "o", "-f", "12"}, "option -f comes after the positional arguments"},
    };
    for (const auto &[args, msg] : cases)
        EXPECT_EXIT(parse(args), ::testing::ExitedWithCode(1), msg) << args[0] << " " << args[1];
    EXPECT_EXIT(parse({"--help"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"--version"}), ::testing::ExitedWithCode(0), "");
}

TEST(CommandLineDeathTest, UnknownOptionsAndBadValues) {
    for (const char *bad : {"-x", "-nosmx", "-enforced", "-n", "-"})
        EXPECT_EXIT(parse({bad, "r", "1", "q", "o"}), ::testing::ExitedWithCode(1),
                    "^unknown option\n$")
            << bad;
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"-d", "-1", "r", "1", "q", "o"},
                                               {"-f", "0", "r", "1", "q", "o"},
                                               {"r", "1", "q"},
                                               {"-d"}})
        EXPECT_EXIT(parse(args), ::testing::ExitedWithCode(1), "^$");
    // A class index beyond int must not wrap into a valid-looking one.
    EXPECT_EXIT(parse({"r", "99999999999", "q", "o"}), ::testing::ExitedWithCode(1),
                "^Error: class index 99999999999 is out of range\n$");
}

TEST(CommandLineDeathTest, MapKindsAreTheTablesRows) {
    const std::vector<MapKind> &kinds = map_kinds();
    std::string usage;
    {
        recoverable_failures scope;  // the usage text as a thrown message, not an exit
        try {
            parse({"r", "1", "q"});
        } catch (const sendral::Error &e) {
            usage = e.what();
        }
    }
    // The texts as the programs have always printed them.
    const std::string line =
        "-m #:\t\tmap number 0:I(x;y)|x|^1.5(default)   1:Sum of loglikely    2:Weighted sum of "
        "loglikely\n";
    EXPECT_NE(usage.find("the radius of the scale at each pixel\n" + line + "-nowta:"),
              std::string::npos)
        << usage;
    EXPECT_EQ(map_kind_numbers(), "0, 1 or 2");
    size_t at = 0;
    for (size_t i = 0; i < kinds.size(); i++) {
        const MapKind &k = kinds[i];
        const std::string n = std::to_string(k.number);
        SCOPED_TRACE(n);
        EXPECT_EQ(k.number, (int)i);  // looked up by number
        EXPECT_EQ(find_map_kind(k.number), &k);
        EXPECT_NE(k.transform, nullptr);
        EXPECT_EQ(parse({"-m", n, "r", "1", "q", "o"}).mapnum, k.number);
        at = line.find(n + ":" + k.help, at);  // listed in number order
        EXPECT_NE(at, std::string::npos);
        EXPECT_NE(map_kind_numbers().find(n), std::string::npos);
    }
    for (int bad : {-1, (int)kinds.size()}) {
        EXPECT_EQ(find_map_kind(bad), nullptr);
        EXPECT_EXIT(parse({"-m", std::to_string(bad), "r", "1", "q", "o"}),
                    ::testing::ExitedWithCode(1), "^$")
            << bad;
    }
}

TEST(CommandLine, HugeOptionValuesClampInsteadOfWrapping) {
    // 4294967301 wraps to 5 in 32 bits; clamped, it stays a huge request.
    EXPECT_EQ(parse({"-f", "4294967301", "r", "1", "q", "o"}).ftnum4smap, 2147483647);
}

TEST(OutputNames, BaseNameRunsFromTheLastSlashToTheLastDot) {
    EXPECT_EQ(image_basename("/data/set1/img.002.png"), "img.002");
    EXPECT_EQ(image_basename("q00.jpg"), "q00");
    EXPECT_EQ(image_basename("/data/set.1/img"), "img");
    // Everything before the last "." goes, even when that is nothing.
    EXPECT_EQ(image_basename("/data/.png"), "");
}
