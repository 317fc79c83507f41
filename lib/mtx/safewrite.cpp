// Entry replacement by rename, durable writes and tree removal.
#include "safewrite.h"

#include "tempfiles.h"
#include "fail.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

namespace {

// The folder part and the last component of a path ("a/b/" -> "a", "b").
void split_path(const std::string &path, std::string *dir, std::string *base) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *base = p;
    } else {
        *dir = slash == 0 ? "/" : p.substr(0, slash);
        *base = p.substr(slash + 1);
    }
}

bool is_dir_entry(const struct stat &st) { return S_ISDIR(st.st_mode); }

std::atomic<int> g_stopping{0};

// Other threads keep running while this one removes the entries; one that
// makes a new entry meanwhile leaves it to the next run's sweep.
void on_stop_signal(int sig) {
    // A second one (on another thread: this one blocks them) waits for the
    // first to end the process.
    if (g_stopping.exchange(sig) != 0)
        for (;;) pause();
    remove_tracked_temp_entries();
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    _exit(128 + sig);  // not reached: the default action ends the process
}

bool sync_fd_path(const std::string &path, int flags) {
    int fd = open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    int err = errno;
    close(fd);
    errno = err;
    return ok;
}

}  // namespace

bool sync_entry(const std::string &path) { return sync_fd_path(path, 0); }

std::string temp_name_beside(const std::string &final_path) {
    std::string dir, base;
    split_path(final_path, &dir, &base);
    for (;;) {
        std::string name = temp_entry_name(dir);
        struct stat st;
        // Only a name in use is tried again; any other failure is left to
        // the write that follows, which reports it.
        if (lstat(name.c_str(), &st) != 0) return name;
        forget_temp_entry(name);
    }
}

bool replace_entry(const std::string &staged, const std::string &final_path) {
    struct stat old_st, new_st;
    if (lstat(staged.c_str(), &new_st) != 0) return false;
    // Once in place (or exchanged and removed), the staged name is no
    // longer the process's to remove.
    auto done = [&](bool ok) {
        if (ok) forget_temp_entry(staged);
        return ok;
    };
    if (lstat(final_path.c_str(), &old_st) != 0) {
        if (errno != ENOENT) return false;
        return done(rename(staged.c_str(), final_path.c_str()) == 0);
    }
    // rename() swaps a file for a file (or symlink) in one step and never
    // follows a link at the target.
    if (!is_dir_entry(old_st) && !is_dir_entry(new_st))
        return done(rename(staged.c_str(), final_path.c_str()) == 0);
    // A folder on either side: exchange the two in one step, then drop the
    // old entry, which now sits at the staged name.
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, final_path.c_str(), RENAME_EXCHANGE) == 0) {
        remove_tree(staged);
        return done(true);
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // No exchange on this file system: move the old entry aside beside the
    // staged one (same file system, and out of the readers' way), then in.
    const std::string aside = temp_name_beside(staged);
    if (rename(final_path.c_str(), aside.c_str()) != 0) {
        forget_temp_entry(aside);
        return false;
    }
    temp_entry_made(aside);
    if (rename(staged.c_str(), final_path.c_str()) != 0) {
        int err = errno;
        if (rename(aside.c_str(), final_path.c_str()) == 0) forget_temp_entry(aside);
        errno = err;
        return false;
    }
    remove_tree(aside);
    return done(true);
}

bool swap_entry(const std::string &staged, const std::string &final_path, SwappedEntry *done) {
    *done = SwappedEntry();
    done->staged = staged;
    done->final_path = final_path;
    struct stat st;
    if (lstat(staged.c_str(), &st) != 0) return false;
    if (lstat(final_path.c_str(), &st) != 0) {
        if (errno != ENOENT || rename(staged.c_str(), final_path.c_str()) != 0) return false;
        done->state = SwappedEntry::kMoved;
        return true;
    }
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, final_path.c_str(), RENAME_EXCHANGE) == 0) {
        done->state = SwappedEntry::kExchanged;
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    done->aside = temp_name_beside(staged);
    if (rename(final_path.c_str(), done->aside.c_str()) != 0) return false;
    temp_entry_made(done->aside);
    done->state = SwappedEntry::kOnlyAside;
    if (rename(staged.c_str(), final_path.c_str()) != 0) return false;
    done->state = SwappedEntry::kAside;
    return true;
}

bool undo_swap(const SwappedEntry &done) {
    const char *staged = done.staged.c_str(), *final_path = done.final_path.c_str();
    switch (done.state) {
        case SwappedEntry::kNothing: return true;
        case SwappedEntry::kMoved: return rename(final_path, staged) == 0;
        case SwappedEntry::kExchanged:
            return renameat2(AT_FDCWD, staged, AT_FDCWD, final_path, RENAME_EXCHANGE) == 0;
        case SwappedEntry::kAside:
            if (rename(final_path, staged) != 0) return false;
            [[fallthrough]];
        case SwappedEntry::kOnlyAside: return rename(done.aside.c_str(), final_path) == 0;
    }
    return false;
}

void remove_tree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);  // removes links, never their targets
    forget_temp_entry(path);
}

bool sync_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;  // a link is made durable by its folder
    if (!S_ISDIR(st.st_mode)) return sync_fd_path(path, 0);
    std::vector<std::string> files, dirs;
    DIR *d = opendir(path.c_str());
    if (!d) return false;
    errno = 0;
    for (struct dirent *e; (e = readdir(d)) != nullptr; errno = 0) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat est;
        std::string child = path + "/" + name;
        if (lstat(child.c_str(), &est) != 0) {
            closedir(d);
            return false;
        }
        (S_ISDIR(est.st_mode) ? dirs : files).push_back(child);
    }
    int err = errno;
    closedir(d);
    if (err != 0) {
        errno = err;
        return false;
    }
    for (const std::string &f : files)
        if (!sync_tree(f)) return false;
    for (const std::string &sub : dirs)
        if (!sync_tree(sub)) return false;
    return sync_fd_path(path, O_DIRECTORY);
}

namespace {

struct FileCloser {
    FILE *fp;
    ~FileCloser() {
        if (fp) fclose(fp);
    }
};

}  // namespace

bool store_file(const std::string &filename,
                const std::function<bool(FILE *, std::string *)> &encode, std::string *why) {
    const std::string &target = filename;
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "" : target.substr(0, slash);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        tmp = temp_entry_name(dir);
        // 0666 less the umask, as for a file that fopen creates.
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0) forget_temp_entry(tmp);  // not made by this call
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) temp_entry_made(tmp);
    if (fd < 0) {
        *why = "cannot create a file in " + (dir.empty() ? std::string("/") : dir) + ": " +
               errno_text(errno);
        return false;
    }
    FileCloser out{fdopen(fd, "wb")};
    if (!out.fp) {
        *why = errno_text(errno);
        close(fd);
        unlink(tmp.c_str());
        forget_temp_entry(tmp);
        return false;
    }
    int err = 0;
    bool ok = encode(out.fp, why);
    if (ok && (fflush(out.fp) != 0 || ferror(out.fp))) {
        err = errno ? errno : EIO;
        ok = false;
    }
    if (ok && fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    int closed = fclose(out.fp);
    out.fp = nullptr;
    if (ok && closed != 0) {
        err = errno;
        ok = false;
    }
    if (ok && rename(tmp.c_str(), filename.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        if (err) *why = errno_text(err);
    }
    forget_temp_entry(tmp);
    return ok;
}

namespace {

// The staging folders still to be removed at exit. Never destroyed, so that
// it outlives the static destructors that run before earlier atexit handlers.
struct Staged {
    std::mutex lock;
    std::vector<std::string> paths;
};
Staged &staged() {
    static Staged *s = new Staged;
    return *s;
}

void remove_staged_at_exit() {
    Staged &s = staged();
    std::lock_guard<std::mutex> hold(s.lock);
    for (const std::string &p : s.paths) remove_tree(p);
    s.paths.clear();
}

}  // namespace

std::string make_staging_folder(const std::string &dir, const std::string &prefix) {
    std::string path;
    if (prefix.empty()) {
        for (;;) {
            path = temp_entry_name(dir);
            if (mkdir(path.c_str(), 0777) == 0) break;
            const int err = errno;
            forget_temp_entry(path);
            errno = err;
            if (err != EEXIST) return "";
        }
        temp_entry_made(path);
    } else {
        std::string tmpl = dir + "/" + prefix + "XXXXXX";
        if (!mkdtemp(tmpl.data())) return "";
        path = tmpl;
        track_temp_entry(path);
    }
    static std::once_flag registered;
    std::call_once(registered, [] { atexit(remove_staged_at_exit); });
    Staged &s = staged();
    std::lock_guard<std::mutex> hold(s.lock);
    s.paths.push_back(path);
    return path;
}

void release_staging_folder(const std::string &path) {
    forget_temp_entry(path);
    Staged &s = staged();
    std::lock_guard<std::mutex> hold(s.lock);
    for (size_t i = 0; i < s.paths.size(); i++)
        if (s.paths[i] == path) {
            s.paths.erase(s.paths.begin() + i);
            return;
        }
}

void discard_staging_folder(const std::string &path) {
    remove_tree(path);
    release_staging_folder(path);
}

void remove_temps_on_stop_signals(void) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        for (int other : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, other);
        sigaction(sig, &sa, nullptr);
    }
}
