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
#include <ctime>
#include <random>
#include <utility>
#include <vector>

#include "resultschema.h"
#include "safewrite.h"
#include "tempfiles.h"
#include "fail.h"

namespace {

const char kMarker[] = ".sendral-incomplete";
const char kLock[] = ".sendral-lock";
const char kStagingPrefix[] = ".sendral-staging-";
// Held exclusively by a commit while it swaps, shared by readers while they load.
const char kSwapLock[] = ".sendral-swap";
// Changed by every commit before its first swap: a reader that could not take
// the swap lock (a folder written before it existed) sees that a commit ran.
const char kGeneration[] = ".sendral-generation";
// How long a reader waits for a live training's swap, and a commit for the
// loads in progress.
const double kReaderWait = 10, kCommitWait = 60;

// The lock files (device, inode) of the trainings that this thread runs: a
// marker under one of them is not a live training's.
thread_local std::vector<std::pair<dev_t, ino_t>> t_held;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

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

bool write_new_file(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) return false;
    errno = err;
    return ok;
}

bool write_marker(const std::string &path) {
    return write_new_file(path,
                          "Sendral was replacing the model in this folder and did not finish.\n");
}

// Never the same twice, across processes and hosts sharing the folder.
std::string new_generation() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::random_device rd;
    char text[96];
    snprintf(text, sizeof text, "%lld.%09ld %ld %08x%08x\n", (long long)ts.tv_sec, ts.tv_nsec,
             (long)getpid(), (unsigned)rd(), (unsigned)rd());
    return text;
}

// The generation stamp of dir; empty when there is none.
std::string read_generation(const std::string &dir) {
    Fd f;
    f.fd = open((dir + "/" + kGeneration).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    char buf[128];
    const ssize_t n = f.fd < 0 ? 0 : read(f.fd, buf, sizeof buf);
    return std::string(buf, n > 0 ? (size_t)n : 0);
}

// True when a training other than this thread's holds dir's lock. The probe
// holds the lock for an instant; result_dir_lock tries again briefly, so
// that a training starting just then is not refused.
bool lock_held_elsewhere(const std::string &dir) {
    Fd f;
    f.fd = open((dir + "/" + kLock).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0) return false;
    if (std::find(t_held.begin(), t_held.end(), std::make_pair(st.st_dev, st.st_ino)) !=
        t_held.end())
        return false;
    return flock(f.fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

std::string busy_message(const std::string &dir) {
    return "Result directory " + dir +
           " is being written by a Sendral run; try again when it has finished";
}

// The swap lock taken exclusively. Loads in progress end first; new ones see
// the marker, which is already there, and wait.
int lock_swaps(const std::string &dir) {
    int fd = open((dir + "/" + kSwapLock).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const double deadline = now_seconds() + kCommitWait;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || now_seconds() >= deadline) {
            const int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        usleep(2000);
    }
    return fd;
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

bool result_dir_abandoned(const std::string &dir) {
    // The training may finish between the looks: then the marker is gone.
    return result_dir_interrupted(dir) && !lock_held_elsewhere(dir) && result_dir_interrupted(dir);
}

void read_whole_model(const std::string &dir, const std::function<void()> &load) {
    const double deadline = now_seconds() + kReaderWait;
    for (;;) {
        const std::string before = read_generation(dir);
        Fd shared;
        shared.fd = open((dir + "/" + kSwapLock).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool swapping = false;
        if (shared.fd >= 0 && flock(shared.fd, LOCK_SH | LOCK_NB) != 0) {
            swapping = errno == EWOULDBLOCK;  // else no locks on this file system: load unlocked
            close(shared.fd);
            shared.fd = -1;
        }
        if (!swapping && result_dir_interrupted(dir)) {
            if (!lock_held_elsewhere(dir)) {
                if (result_dir_interrupted(dir)) die(result_dir_interrupted_message(dir));
                continue;  // the training finished meanwhile
            }
            swapping = true;  // or a training is under way after a killed one
        }
        if (swapping) {
            if (shared.fd >= 0) close(shared.fd);  // not held while waiting: the commit needs it
            shared.fd = -1;
            if (now_seconds() >= deadline) die(busy_message(dir));
            usleep(20000);
            continue;
        }
        check_result_format(dir);
        load();
        if (shared.fd >= 0 || (read_generation(dir) == before && !result_dir_interrupted(dir)))
            return;
        if (now_seconds() >= deadline) die(busy_message(dir));
    }
}

int result_dir_lock(const std::string &dir) {
    const std::string path = dir + "/" + kLock;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) die_errno("Cannot create the lock file", path);
    // A reader's probe (lock_held_elsewhere) holds it for an instant.
    for (int tries = 1; flock(fd, LOCK_EX | LOCK_NB) != 0; tries++) {
        if (errno == EWOULDBLOCK && tries < 5) {
            usleep(2000);
            continue;
        }
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
    // A model of a newer format may hold files this version does not write:
    // replacing the others would leave a mix under this version's entry.
    const std::string refusal = result_format_refusal(dir);
    if (!refusal.empty()) {
        close(fd);
        die(refusal);
    }
    struct stat st;
    if (fstat(fd, &st) == 0) t_held.emplace_back(st.st_dev, st.st_ino);
    return fd;
}

void result_dir_unlock(int fd) {
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        auto at = std::find(t_held.begin(), t_held.end(), std::make_pair(st.st_dev, st.st_ino));
        if (at != t_held.end()) t_held.erase(at);
    }
    close(fd);
}

void result_dir_discard(const std::string &staging) {
    if (!staging.empty()) discard_staging_folder(staging);
}

std::string result_dir_stage(const std::string &dir) {
    const std::string staging = write_step() ? make_staging_folder(dir, kStagingPrefix) : "";
    if (staging.empty()) die_errno("Cannot write into result directory", dir);
    // Swapped in with the model's files, so that the entry always tells the
    // format of the files beside it.
    const std::string format = result_path(staging, ResultFile::format);
    if (!write_new_file(format, result_format_text())) {
        const int err = errno;
        result_dir_discard(staging);
        errno = err;
        die_errno("Cannot write", format);
    }
    return staging;
}

bool result_dir_commit(const std::string &dir, const std::string &staging) {
    std::vector<std::string> names;
    if (!write_step() || !list_dir(staging, &names)) return report("read", staging);
    if (!write_step() || !sync_tree(staging)) return report("write", staging);

    // From here until the marker is gone, the directory is not one model.
    const std::string marker = dir + "/" + kMarker, staged_marker = staging + "/" + kMarker;
    // The marker of a killed run stays after a failure: what is put back is no whole model.
    const bool was_marked = result_dir_interrupted(dir);
    if (!write_step() || !write_marker(staged_marker)) return report("write", staged_marker);
    if (!write_step() || !replace_entry(staged_marker, marker)) return report("write", marker);
    // Every replaced entry waits in the staging folder until the marker is
    // gone: a failure puts them all back, the last one first.
    std::vector<SwappedEntry> swapped;
    swapped.reserve(names.size());
    Fd swap_lock;
    auto fail = [&](const char *what, const std::string &name) {
        report(what, name);
        bool back = true;
        for (size_t i = swapped.size(); back && i-- > 0;)
            if (swapped[i].state != SwappedEntry::kNothing &&
                (!write_step() || !undo_swap(swapped[i])))
                back = report("put back", swapped[i].final_path);
        if (back && (!write_step() || !sync_entry(dir))) back = report("write", dir);
        if (back && !was_marked) {
            if (!write_step() || unlink(marker.c_str()) != 0)
                back = report("remove", marker);
            else if (!write_step() || !sync_entry(dir))
                report("write", dir);  // the marker is gone all the same
        }
        if (!back || was_marked) lib_printf(2, "%s\n", result_dir_interrupted_message(dir).c_str());
        return false;
    };
    if (!write_step() || !sync_entry(dir)) return fail("write", dir);
    swap_lock.fd = lock_swaps(dir);
    if (swap_lock.fd < 0) return fail("lock", dir + "/" + kSwapLock);
    const std::string generation = dir + "/" + kGeneration;
    const std::string staged_generation = staging + "/" + kGeneration;
    if (!write_step() || !write_new_file(staged_generation, new_generation()))
        return fail("write", staged_generation);
    if (!write_step() || !replace_entry(staged_generation, generation))
        return fail("write", generation);
    for (const std::string &n : names) {
        swapped.emplace_back();
        if (!write_step() || !swap_entry(staging + "/" + n, dir + "/" + n, &swapped.back()))
            return fail("replace", dir + "/" + n);
    }
    // The renames must be on disk before the marker goes.
    if (!write_step() || !sync_entry(dir)) return fail("write", dir);
    if (!write_step() || unlink(marker.c_str()) != 0) return fail("remove", marker);
    close(swap_lock.fd);
    swap_lock.fd = -1;
    if (!write_step() || !sync_entry(dir)) return report("write", dir);
    discard_staging_folder(staging);
    return true;
}

bool write_step(void) {
    // The operation to fail, and the errno to fail it with (0: end the
    // process as a kill would).
    static std::vector<std::pair<int, int>> *faults = nullptr;
    static int count = 0;
    if (!faults) {
        faults = new std::vector<std::pair<int, int>>;
        static const std::pair<const char *, int> kinds[] = {
            {"nospace", ENOSPC}, {"eio", EIO}, {"estale", ESTALE}, {"edquot", EDQUOT}};
        const char *s = getenv("SENDRAL_FAIL_AT");
        for (const char *p = s ? s : ""; *p;) {
            const char *end = p + strcspn(p, ",");
            const char *colon = (const char *)memchr(p, ':', end - p);
            int err = 0;
            if (colon) {
                err = EIO;
                for (const auto &k : kinds)
                    if (std::string(colon + 1, end) == k.first) err = k.second;
            }
            faults->emplace_back(atoi(p), err);
            p = *end ? end + 1 : end;
        }
    }
    ++count;
    for (const auto &f : *faults) {
        if (f.first != count) continue;
        if (!f.second) _exit(1);
        errno = f.second;
        return false;
    }
    return true;
}
