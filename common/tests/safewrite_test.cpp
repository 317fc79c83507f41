// Replacing every kind of entry by a staged file or folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "safewrite.h"

namespace fs = std::filesystem;

TEST(SafeWrite, ReplaceEveryKindOfEntryWithoutFollowingLinks) {
    std::string base = fs::temp_directory_path().string() + "/safewrite_XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    auto put = [](const std::string &path, const char *text) { std::ofstream(path) << text; };
    auto get = [](const std::string &path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // "f": a file, "d": a datfile-like folder, "l": a link to a victim, "-": nothing.
    auto make = [&](const std::string &path, char kind, const char *text) {
        if (kind == 'f') put(path, text);
        if (kind == 'd' && fs::create_directory(path)) put(path + "/descriptor", text);
        if (kind == 'l') fs::create_symlink(base + "/victim", path);
    };
    make(base + "/victim", 'd', "victim");
    const std::string dir = base + "/d", target = dir + "/entry";
    for (char old_kind : {'-', 'f', 'd', 'l'})
        for (char new_kind : {'f', 'd'}) {
            SCOPED_TRACE(std::string(1, old_kind) + " <- " + new_kind);
            fs::create_directories(dir);
            const std::string staged = temp_name_beside(target);
            EXPECT_EQ(staged.rfind(dir + "/.", 0), 0u);
            make(target, old_kind, "old");
            make(staged, new_kind, "new");
            ASSERT_TRUE(sync_tree(staged));
            ASSERT_TRUE(replace_entry(staged, target));
            EXPECT_FALSE(fs::is_symlink(target));
            EXPECT_EQ(get(new_kind == 'd' ? target + "/descriptor" : target), "new");
            // The old entry is gone, the link's target untouched.
            EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
            EXPECT_EQ(get(base + "/victim/descriptor"), "victim");
            remove_tree(dir);
            EXPECT_FALSE(fs::exists(dir));
        }
    remove_tree(dir);  // absent is fine
    EXPECT_FALSE(replace_entry(base + "/no-such", target));
    EXPECT_FALSE(sync_tree(base + "/no-such"));
    remove_tree(base);
}
