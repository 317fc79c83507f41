// Replacing every kind of entry by a staged file or folder; temporary
// entries removed on stop signals and, once their process is gone, by the
// next run.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "safewrite.h"
#include "tempfiles.h"
#include "test_support.h"

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

// A stop signal removes what the process is writing (a file, a folder tree)
// and ends it as the signal would; a signal ignored from the start stays so.
TEST(SafeWrite, StopSignalsRemoveWhatIsBeingWritten) {
    std::string dir = fs::temp_directory_path().string() + "/safewrite_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        for (bool ignored : {false, true}) {
            const std::string file = temp_name_beside(dir + "/f"),
                              tree = temp_name_beside(dir + "/d");
            const pid_t child = fork();
            if (child == 0) {
                if (ignored) signal(sig, SIG_IGN);  // as nohup leaves SIGHUP
                remove_temps_on_stop_signals();
                std::ofstream(file) << "half";
                fs::create_directories(tree + "/sub");
                std::ofstream(tree + "/sub/data") << "half";
                raise(sig);
                _exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(ignored ? WIFEXITED(status)
                                : WIFSIGNALED(status) && WTERMSIG(status) == sig)
                << sig;
            EXPECT_EQ(fs::exists(file) && fs::exists(tree), ignored) << sig;
            remove_tree(file);
            remove_tree(tree);
        }

    // Writers on other threads keep naming and creating files while the
    // signal's handler removes them: none may outlive the process.
    for (int round = 0; round < 30; round++) {
        const pid_t child = fork();
        if (child == 0) {
            remove_temps_on_stop_signals();
            auto write_forever = [&] {
                for (;;) {
                    const std::string name = temp_name_beside(dir + "/f");
                    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
                    if (fd >= 0) temp_entry_made(name);
                    close(fd);
                    remove_tree(name);
                }
            };
            std::thread(write_forever).detach();
            write_forever();
        }
        usleep(2000 + 300 * round);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(fs::is_empty(dir))
            << "round " << round << ": " << fs::directory_iterator(dir)->path();
    }

    // Staging folders of both forms: those not released go when the process exits.
    const pid_t stager = fork();
    if (stager == 0) {
        const std::string kept = make_staging_folder(dir, ""),
                          gone = make_staging_folder(dir, ".staging-");
        const std::string also_gone = make_staging_folder(dir, "");
        std::ofstream(also_gone + "/half") << "half";
        if (kept.empty() || gone.empty() || rename(kept.c_str(), (dir + "/kept").c_str()) != 0)
            _exit(2);
        release_staging_folder(kept);
        exit(0);
    }
    int stager_status = 0;
    waitpid(stager, &stager_status, 0);
    EXPECT_EQ(stager_status, 0);
    EXPECT_TRUE(fs::is_directory(dir + "/kept"));
    fs::remove(dir + "/kept");
    EXPECT_TRUE(fs::is_empty(dir));

    // Leftovers: entries of this host's processes that are gone, waited for or not.
    const std::string own = fs::path(temp_name_beside(dir + "/x")).filename();
    const size_t at = own.find('.', 1) + 1, tail = own.find('.', at);
    auto of = [&](pid_t pid) { return own.substr(0, at) + std::to_string(pid) + own.substr(tail); };
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    while (slurp("/proc/" + std::to_string(zombie) + "/stat").find(") Z ") == std::string::npos)
        usleep(1000);
    const struct {
        std::string name;
        bool leftover;
    } cases[] = {{of(gone), true}, {of(zombie) + "/in", true},
                 {own, false},     {of(gone) + "x", false},  // another machine
                 {of(1), false},   {"keep" + of(gone), false}};
    for (const auto &c : cases) {
        fs::create_directories(fs::path(dir + "/" + c.name).parent_path());
        std::ofstream(dir + "/" + c.name) << "x";
        const std::string top = fs::path(c.name).begin()->string();
        EXPECT_EQ(temp_entry_abandoned(top.c_str()), c.leftover) << c.name;
    }
    EXPECT_EQ(remove_abandoned_temp_entries(dir), 2);
    for (const auto &c : cases) EXPECT_EQ(fs::exists(dir + "/" + c.name), !c.leftover) << c.name;
    waitpid(zombie, nullptr, 0);
    remove_tree(dir);
}
