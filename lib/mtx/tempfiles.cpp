// Temporary entry names, their table for signal handlers, and the removal of
// entries left by killed processes.
#include "tempfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char kPrefix[] = ".sendral-tmp.";
const size_t kPrefixLen = sizeof kPrefix - 1;
const int kRandomChars = 8;
const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";

// The host part: its name in characters that are safe in a file name, and
// short enough that the whole name stays far below NAME_MAX.
const std::string &host_part() {
    static const std::string host = [] {
        char buf[256] = {0};
        if (gethostname(buf, sizeof buf - 1) != 0) buf[0] = '\0';
        std::string h(buf);
        if (h.size() > 32) h.resize(32);
        for (char &c : h)
            if (!isalnum((unsigned char)c) && c != '-' && c != '_' && c != '.') c = '_';
        return h.empty() ? std::string("_") : h;
    }();
    return host;
}

std::string random_part() {
    static std::atomic<unsigned> counter{0};
    unsigned char r[kRandomChars];
    if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        unsigned long long x = ((unsigned long long)ts.tv_nsec << 20) ^
                               (unsigned long long)ts.tv_sec ^
                               ((unsigned long long)counter++ << 40);
        for (int i = 0; i < kRandomChars;
             i++, x = x * 6364136223846793005ULL + 1442695040888963407ULL)
            r[i] = (unsigned char)(x >> 56);
    }
    std::string s;
    for (unsigned char c : r) s += kChars[c % (sizeof kChars - 1)];
    return s;
}

// ---- the table ------------------------------------------------------------------
// A slot is free (0), being filled or emptied (1), holds a path (2), or
// holds a name its thread may be about to create (3). The handler reads
// only slots that hold a path, without a lock; a thread that fills one
// publishes the path with the state. Threads take turns (the handler never
// waits for the lock).
//
// Other threads run on while a stop signal's handler removes the entries,
// so a file created just after its name was walked past would outlive the
// process. Hence the pending state: the handler first announces the stop,
// then waits (a bounded while) until no other thread holds a pending name,
// and only then walks; a thread that names an entry after the announcement
// never creates it.

constexpr int kSlots = 64;
struct Slot {
    std::atomic<int> state{0};
    std::atomic<pid_t> owner{0}, owner_process{0};  // a thread of a forked parent is not here
    char path[PATH_MAX];
};
Slot g_slots[kSlots];
std::mutex g_turn;
std::atomic<int> g_stopping{0};

void fill_slot(const std::string &path, int state) {
    if (path.empty() || path.size() >= PATH_MAX) return;
    std::lock_guard<std::mutex> hold(g_turn);
    for (Slot &s : g_slots) {
        int expected = 0;
        if (!s.state.compare_exchange_strong(expected, 1)) continue;
        memcpy(s.path, path.c_str(), path.size() + 1);
        s.owner.store(gettid());
        s.owner_process.store(getpid());
        s.state.store(state);
        return;
    }
}

// The process is being stopped: this thread's names stay uncreated, so the
// handler need not wait for them, and the thread waits for its end.
[[noreturn]] void hold_for_stop() {
    const pid_t self = gettid();
    for (Slot &s : g_slots) {
        int expected = 3;
        if (s.owner.load() == self) s.state.compare_exchange_strong(expected, 2);
    }
    for (;;) pause();
}

// Unlinks name (relative to dirfd), or removes it as a folder tree when it
// is one. Async-signal-safe: no allocation, no stdio, no locks.
void remove_at(int dirfd, const char *name, int depth) {
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return;
    if (errno != EISDIR || depth > 8) return;
    const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    // Read again from the start after each pass: removing entries while
    // reading a folder may make the reading skip some.
    for (int pass = 0; pass < 4; pass++) {
        bool removed = false;
        lseek(fd, 0, SEEK_SET);
        char buf[2048];
        for (ssize_t n; (n = getdents64(fd, buf, sizeof buf)) > 0;)
            for (ssize_t off = 0; off < n;) {
                const struct dirent64 *e = (const struct dirent64 *)(buf + off);
                off += e->d_reclen;
                const char *d = e->d_name;
                if (d[0] == '.' && (d[1] == '\0' || (d[1] == '.' && d[2] == '\0'))) continue;
                remove_at(fd, d, depth + 1);
                removed = true;
            }
        if (!removed) break;
    }
    close(fd);
    unlinkat(dirfd, name, AT_REMOVEDIR);
}

// A process that has ended but not been waited for (its parent killed
// with it, under an init that does not reap) writes no more either.
bool is_zombie(pid_t pid) {
    const std::string path = "/proc/" + std::to_string((long)pid) + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[512];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // "pid (command) state ...": the command may hold ") " itself.
    const char *end = strrchr(buf, ')');
    return end && end[1] == ' ' && end[2] == 'Z';
}

}  // namespace

std::string temp_entry_name(const std::string &dir) {
    if (g_stopping.load()) hold_for_stop();
    const std::string name = dir + "/" + kPrefix + std::to_string((long)getpid()) + "." +
                             random_part() + "." + host_part();
    fill_slot(name, 3);
    // Announced and published in this order on both sides: either the
    // handler sees this name pending and waits, or this thread sees the stop.
    if (g_stopping.load()) hold_for_stop();
    return name;
}

void track_temp_entry(const std::string &path) { fill_slot(path, 2); }

void temp_entry_made(const std::string &path) {
    std::lock_guard<std::mutex> hold(g_turn);
    for (Slot &s : g_slots) {
        int expected = 3;
        if (s.state.load() == 3 && path == s.path && s.state.compare_exchange_strong(expected, 2))
            return;
    }
}

void forget_temp_entry(const std::string &path) {
    std::lock_guard<std::mutex> hold(g_turn);
    for (Slot &s : g_slots) {
        int held = s.state.load();
        if ((held != 2 && held != 3) || path != s.path) continue;
        if (s.state.compare_exchange_strong(held, 1)) s.state.store(0);
        return;
    }
}

void remove_tracked_temp_entries(void) {
    g_stopping.store(1);
    const pid_t self = gettid(), process = getpid();
    // A creation is one system call after its name; two seconds cover a
    // slow disk, and a thread stuck longer leaves its file to the next run.
    for (int waited = 0; waited < 2000; waited++) {
        bool pending = false;
        for (Slot &s : g_slots)
            if (s.state.load() == 3 && s.owner.load() != self && s.owner_process.load() == process)
                pending = true;
        if (!pending) break;
        struct timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
    for (Slot &s : g_slots) {
        const int held = s.state.load();
        if (held == 2 || held == 3) remove_at(AT_FDCWD, s.path, 0);
    }
}

bool temp_entry_abandoned(const char *name) {
    if (strncmp(name, kPrefix, kPrefixLen) != 0) return false;
    const char *p = name + kPrefixLen;
    long pid = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 10; p++, digits++) pid = pid * 10 + (*p - '0');
    if (digits == 0 || *p != '.' || pid <= 0 || pid > INT_MAX) return false;
    p++;
    for (int i = 0; i < kRandomChars; i++, p++)
        if (!*p || !strchr(kChars, *p)) return false;
    if (*p != '.' || host_part() != p + 1) return false;
    // Only a process known to be gone: one of another user answers EPERM.
    if (kill((pid_t)pid, 0) != 0) return errno == ESRCH;
    return is_zombie((pid_t)pid);
}

int remove_abandoned_temp_entries(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    std::vector<std::string> names;
    for (struct dirent *e; (e = readdir(d)) != nullptr;)
        if (temp_entry_abandoned(e->d_name)) names.push_back(e->d_name);
    closedir(d);
    for (const std::string &n : names) {
        std::error_code ec;
        std::filesystem::remove_all(dir + "/" + n, ec);
        if (!ec) removed++;
    }
    return removed;
}
