// Replacing every kind of entry by every kind of staged entry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "safewrite.h"

namespace fs = std::filesystem;

namespace {

void put(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
std::string get(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "file:x" or "dir:x" (a folder holding a file "descriptor" with x),
// "link-file"/"link-dir" (a link to the victims), "none".
void make(const std::string &path, const std::string &kind, const std::string &victims) {
    if (kind == "file:old" || kind == "file:new") put(path, kind.substr(5));
    if (kind == "dir:old" || kind == "dir:new") {
        fs::create_directory(path);
        put(path + "/descriptor", kind.substr(4));
    }
    if (kind == "link-file") fs::create_symlink(victims + "/file", path);
    if (kind == "link-dir") fs::create_symlink(victims + "/dir", path);
}

}  // namespace

TEST(SafeWrite, ReplaceEveryKindOfEntryWithoutFollowingLinks) {
    std::string base = fs::temp_directory_path().string() + "/safewrite_XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    const std::string victims = base + "/victims", dir = base + "/d";
    fs::create_directories(victims + "/dir");
    put(victims + "/file", "victim");
    put(victims + "/dir/descriptor", "victim");
    for (const char *old_kind : {"none", "file:old", "dir:old", "link-file", "link-dir"})
        for (const char *new_kind : {"file:new", "dir:new"}) {
            SCOPED_TRACE(std::string(old_kind) + " <- " + new_kind);
            fs::create_directories(dir);
            const std::string target = dir + "/entry", staged = temp_name_beside(target);
            EXPECT_EQ(staged.rfind(dir + "/.", 0), 0u);
            EXPECT_FALSE(fs::exists(fs::symlink_status(staged)));
            make(target, old_kind, victims);
            make(staged, new_kind, victims);
            ASSERT_TRUE(sync_tree(staged));
            ASSERT_TRUE(replace_entry(staged, target));
            const bool is_dir = new_kind[0] == 'd';
            EXPECT_FALSE(fs::is_symlink(target));
            EXPECT_EQ(get(is_dir ? target + "/descriptor" : target), "new");
            // Nothing else is left in the folder: the old entry is gone.
            EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
            EXPECT_EQ(get(victims + "/file"), "victim");
            EXPECT_EQ(get(victims + "/dir/descriptor"), "victim");
            remove_tree(dir);
            EXPECT_FALSE(fs::exists(dir));
        }
    remove_tree(dir);  // absent is fine
    EXPECT_FALSE(replace_entry(base + "/no-such", base + "/x"));
    EXPECT_FALSE(sync_tree(base + "/no-such"));
    remove_tree(base);
}
