// Staging, commit, marker and lock of a training's result directory.
#include "resultdir.h"

#include "cli.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "safewrite.h"
#include "fail.h"

namespace {

const char kMarker[] = ".sendral-incomplete";
const char kLock[] = ".sendral-lock";
const char kStagingPrefix[] = ".sendral-staging-";

// On the heap, so that it outlives the static destructors run before atexit
// handlers registered earlier.
std::string *g_staging = new std::string;

void remove_staging_at_exit() {
    if (!g_staging->empty()) remove_tree(*g_staging);
}

bool report(const char *what, const std::string &name) {
    int err = errno;
    fflush(stdout);
    lib_printf(2, "Cannot %s %s: %s\n", what, name.c_str(), strerror(err));
    return false;
}

// Names in dir (without "." and ".."), sorted; false when it cannot be read.
bool list_dir(const std::string &dir, std::vector<std::string> *names) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    errno = 0;
    for (struct dirent *e; (e = readdir(d)) != nullptr; errno = 0) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names->push_back(n);
    }
    int err = errno;
    closedir(d);
    errno = err;
    std::sort(names->begin(), names->end());
    return err == 0;
}

bool write_marker(const std::string &path) {
    static const char text[] =
        "Sendral was replacing the model in this folder and did not finish.\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text, sizeof text - 1) == (ssize_t)(sizeof text - 1) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) return false;
    errno = err;
    return ok;
}

}  // namespace

bool result_dir_interrupted(const std::string &dir) {
    struct stat st;
    return lstat((dir + "/" + kMarker).c_str(), &st) == 0;
}

std::string result_dir_interrupted_message(const std::string &dir) {
    return "Result directory " + dir +
           " was left incomplete by an interrupted training; train again";
}

int result_dir_lock(const std::string &dir) {
    const std::string path = dir + "/" + kLock;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) die_errno("Cannot create the lock file", path);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        if (errno == EWOULDBLOCK) {
            lib_fatalf(1, "Result directory %s is being written by another Sendral run\n",
                    dir.c_str());
        }
        die_errno("Cannot lock", path);
    }
    std::vector<std::string> names;
    if (!list_dir(dir, &names)) {
        const int err = errno;
        close(fd);
        errno = err;
        die_errno("Cannot read result directory", dir);
    }
    for (const std::string &n : names)
        if (n.compare(0, strlen(kStagingPrefix), kStagingPrefix) == 0) remove_tree(dir + "/" + n);
    return fd;
}

void result_dir_unlock(int fd) {
    if (fd >= 0) close(fd);
}

void result_dir_discard(const std::string &staging) {
    if (staging.empty()) return;
    remove_tree(staging);
    if (*g_staging == staging) g_staging->clear();
}

std::string result_dir_stage(const std::string &dir) {
    std::string tmpl = dir + "/" + kStagingPrefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!write_step() || !mkdtemp(buf.data())) die_errno("Cannot write into result directory", dir);
    static bool registered = false;
    if (!registered && atexit(remove_staging_at_exit) == 0) registered = true;
    *g_staging = buf.data();
    return *g_staging;
}

bool result_dir_commit(const std::string &dir, const std::string &staging) {
    std::vector<std::string> names;
    if (!write_step() || !list_dir(staging, &names)) return report("read", staging);
    if (!write_step() || !sync_tree(staging)) return report("write", staging);

    // From here until the marker is gone, the directory is not one model.
    const std::string marker = dir + "/" + kMarker, staged_marker = staging + "/" + kMarker;
    if (!write_step() || !write_marker(staged_marker)) return report("write", staged_marker);
    if (!write_step() || !replace_entry(staged_marker, marker)) return report("write", marker);
    // A failure from here on leaves the marker: say what it means.
    auto incomplete = [&](const char *what, const std::string &name) {
        report(what, name);
        lib_printf(2, "%s\n", result_dir_interrupted_message(dir).c_str());
        return false;
    };
    if (!write_step() || !sync_entry(dir)) return incomplete("write", dir);
    for (const std::string &n : names)
        if (!write_step() || !replace_entry(staging + "/" + n, dir + "/" + n))
            return incomplete("replace", dir + "/" + n);
    // The renames must be on disk before the marker goes.
    if (!write_step() || !sync_entry(dir)) return incomplete("write", dir);
    if (!write_step() || unlink(marker.c_str()) != 0) return incomplete("remove", marker);
    if (!write_step() || !sync_entry(dir)) return report("write", dir);
    remove_tree(staging);
    if (*g_staging == staging) g_staging->clear();
    return true;
}

bool write_step(void) {
    static int count = 0, fail_at = 0;
    static bool nospace = false, read_env = false;
    if (!read_env) {
        read_env = true;
        if (const char *s = getenv("SENDRAL_FAIL_AT")) {
            fail_at = atoi(s);
            nospace = strstr(s, ":nospace") != nullptr;
        }
    }
    if (++count != fail_at) return true;
    if (!nospace) _exit(1);
    errno = ENOSPC;
    return false;
}
