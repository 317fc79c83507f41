#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_label = "(fuzzer input)";
std::string g_root;

void remove_root() {
    if (!g_root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    }
}

}  // namespace

const std::string &fuzz_scratch(const char *sub) {
    static std::map<std::string, std::string> dirs;
    auto it = dirs.find(sub);
    if (it != dirs.end()) return it->second;
    if (g_root.empty()) {
        // Memory-backed when available: the inputs are rewritten every run.
        const char *tmp = getenv("TMPDIR");
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp ? tmp : "/tmp");
        std::string tmpl = base + "/fuzz.XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            perror("fuzz scratch");
            abort();
        }
        g_root = tmpl;
        atexit(remove_root);
    }
    std::string dir = g_root + "/" + sub;
    mkdir(dir.c_str(), 0700);
    return dirs.emplace(sub, dir).first->second;
}

void fuzz_write_file(const std::string &path, const void *bytes, size_t len) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    const char *p = (const char *)bytes;
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w <= 0) {
            perror(path.c_str());
            abort();
        }
        p += w;
        len -= (size_t)w;
    }
    close(fd);
}

void fuzz_set_label(const std::string &label) { g_label = label; }

void fuzz_check_failed(const char *expr, const char *file, int line) {
    // Straight to the descriptor: the fuzzer may have silenced stdio.
    dprintf(2, "\nfuzz check failed: %s\n  at %s:%d\n  input: %s\n", expr, file, line,
            g_label.c_str());
    abort();
}
