// The result-directory table against the programs: every entry Sendral
// writes is one of the table's; without the format entry a directory reads
// as the first format, and a newer or unknown one is refused by every reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "resultschema.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// The shared model (depth 3, 2 classes) and a shard of its training list.
TEST(ResultSchema, EveryWrittenEntryIsOneOfTheTable) {
    const std::string &model = trained_model();
    ASSERT_FALSE(model.empty());
    ScratchDir dir("resultschema");
    const std::string train = fs::path(model).parent_path() / "train.txt";
    ASSERT_EQ(run_sendral({"-shard", "0/1", train, "3", dir.path("s")}).status, 0);
    for (auto [folder, in] : {std::pair{model, &ResultFileInfo::in_model},
                              std::pair{dir.path("s"), &ResultFileInfo::in_shard}}) {
        std::set<std::string> found;
        for (const auto &e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename();
            if (name[0] == '.') continue;
            const ResultFileInfo *f = result_file_named(name, nullptr);
            ASSERT_TRUE(f && f->*in != Presence::never) << folder << ": " << name;
            EXPECT_EQ(f->kind == ResultKind::datfile, e.is_directory()) << name;
            found.insert(f->prefix);
        }
        for (const ResultFileInfo &f : result_files())
            EXPECT_TRUE(f.*in != Presence::always || found.count(f.prefix)) << f.prefix;
        EXPECT_EQ(slurp(result_path(folder, ResultFile::format)), result_format_text());
    }
    EXPECT_EQ(result_file_named("Qor_class_01", nullptr), nullptr);
}

// Lumivar, Sendral -b and Sendral -fast (a training into the directory).
TEST(ResultSchema, AbsentEntryIsTheFirstFormatAndNewerOnesAreRefused) {
    const std::string &model = trained_model();
    ASSERT_FALSE(model.empty());
    const std::string base = fs::path(model).parent_path(), train = base + "/train.txt";
    ScratchDir dir("resultschema");
    const std::string want = dir.path("want"), queries = base + "/ob.txt";
    ASSERT_EQ(run_lumivar({model, "1", queries, want}).status, 0);
    const char *kAbsent = nullptr;
    struct Case {
        const char *entry, *refusal;  // what the message says after the directory's name
    } cases[] = {
        {kAbsent, nullptr},
        {"1\n", nullptr},
        {"2\n", " holds result format 2, newer than format 1, the newest that Sendral and Lumivar"},
        {"one\n", " has a format entry that names no format version (\"one \")"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entry ? c.entry : "(absent)");
        const std::string res = dir.path("m"), out = dir.path("out");
        for (const std::string &d : {res, out, out + "b"}) fs::remove_all(d);
        ASSERT_EQ(std::system(("cp -r " + model + " " + res).c_str()), 0);
        fs::remove(result_path(res, ResultFile::format));
        if (c.entry) spit(result_path(res, ResultFile::format), c.entry);
        for (const RunResult &r : {run_lumivar({res, "1", queries, out}, 300),
                                   run_sendral({"-b", res, train, "3", out + "b"}, 300),
                                   run_sendral({"-fast", train, "3", res}, 300)}) {
            EXPECT_EQ(r.status, c.refusal ? 1 : 0) << r.err;
            EXPECT_TRUE(!c.refusal ||
                        r.err.find("Result directory " + res + c.refusal) != std::string::npos)
                << r.err;
        }
        // Refused: left as it was; read: the model's locations, and trained
        // again, this version's entry.
        EXPECT_EQ(slurp(result_path(res, ResultFile::format)),
                  c.refusal ? c.entry : result_format_text());
        EXPECT_EQ(slurp(out + "/o0_salloc"), c.refusal ? "" : slurp(want + "/o0_salloc"));
    }
}

}  // namespace
