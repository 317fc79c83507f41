// Entry replacement by rename, durable writes and tree removal.
#include "safewrite.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <random>
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
    static std::atomic<unsigned> counter{0};
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string dir, base;
    split_path(final_path, &dir, &base);
    if (!base.empty() && base[0] == '.') base.erase(0, 1);
    // The temporary name must fit wherever the final one fits.
    const size_t room = NAME_MAX - 8;
    if (base.size() > room) base.resize(room);
    std::random_device rd;
    std::mt19937 gen(rd() ^ ((unsigned)getpid() << 16) ^ counter++);
    std::uniform_int_distribution<int> pick(0, (int)sizeof chars - 2);
    for (;;) {
        std::string name = dir + "/." + base + ".";
        for (int i = 0; i < 6; i++) name += chars[pick(gen)];
        struct stat st;
        // Only a name in use is tried again; any other failure is left to
        // the write that follows, which reports it.
        if (lstat(name.c_str(), &st) != 0) return name;
    }
}

bool replace_entry(const std::string &staged, const std::string &final_path) {
    struct stat old_st, new_st;
    if (lstat(staged.c_str(), &new_st) != 0) return false;
    if (lstat(final_path.c_str(), &old_st) != 0) {
        if (errno != ENOENT) return false;
        return rename(staged.c_str(), final_path.c_str()) == 0;
    }
    // rename() swaps a file for a file (or symlink) in one step and never
    // follows a link at the target.
    if (!is_dir_entry(old_st) && !is_dir_entry(new_st))
        return rename(staged.c_str(), final_path.c_str()) == 0;
    // A folder on either side: exchange the two in one step, then drop the
    // old entry, which now sits at the staged name.
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, final_path.c_str(), RENAME_EXCHANGE) == 0) {
        remove_tree(staged);
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // No exchange on this file system: move the old entry aside beside the
    // staged one (same file system, and out of the readers' way), then in.
    const std::string aside = temp_name_beside(staged);
    if (rename(final_path.c_str(), aside.c_str()) != 0) return false;
    if (rename(staged.c_str(), final_path.c_str()) != 0) {
        int err = errno;
        rename(aside.c_str(), final_path.c_str());
        errno = err;
        return false;
    }
    remove_tree(aside);
    return true;
}

void remove_tree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);  // removes links, never their targets
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
