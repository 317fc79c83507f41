#include "fail.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <cstring>

namespace {
std::atomic<fatal_handler> g_handler{nullptr};
std::atomic<bool> g_quiet{false};
thread_local message_sink t_sink = nullptr;
thread_local void *t_context = nullptr;
thread_local recoverable_failures *t_scope = nullptr;
}  // namespace

// A fatal exit ends the process with blocks its callers still own, by
// design: under LeakSanitizer that exit must keep its own status, so the
// leak check at exit is skipped after one (and only then: a run that ends
// any other way is still checked).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define SENDRAL_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SENDRAL_LEAK_CHECKED 1
#endif

namespace {
#ifdef SENDRAL_LEAK_CHECKED
std::atomic<bool> g_fatal_exit{false};
void note_fatal_exit() { g_fatal_exit.store(true); }
#else
void note_fatal_exit() {}
#endif
}  // namespace

#ifdef SENDRAL_LEAK_CHECKED
// Asked by LeakSanitizer before its check at exit.
extern "C" int __lsan_is_turned_off(void) { return g_fatal_exit.load() ? 1 : 0; }
#endif

fatal_handler set_fatal_handler(fatal_handler handler) { return g_handler.exchange(handler); }

fatal_handler get_fatal_handler(void) { return g_handler.load(); }

void fatal_exit_handler(const fatal_report *report) {
    fflush(stdout);
    fputs(report->out, stdout);
    fflush(stdout);
    fputs(report->err, stderr);
    note_fatal_exit();
    exit(report->status);
}

void lib_fatal(int status, const std::string &err, const std::string &out) {
    fatal_handler h = t_scope ? nullptr : g_handler.load();
    if (h) {
        const fatal_report report{out.c_str(), err.c_str(), status};
        h(&report);
    }
    throw sendral::Error(out + err, status);
}

void lib_fatal_nomem(size_t bytes) {
    if (t_scope) t_scope->note_out_of_memory(bytes);
    lib_fatal(1, "Unable to allocate memory\n");
}

recoverable_failures::recoverable_failures() : outer_(t_scope) { t_scope = this; }
recoverable_failures::~recoverable_failures() { t_scope = outer_; }

void recoverable_failures::note_out_of_memory(size_t bytes) {
    nomem_ = true;
    bytes_ = bytes;
}

std::string out_of_memory_text(const recoverable_failures &scope) {
    if (scope.needed() == 0) return "out of memory";
    char buf[96];
    const double mb = (double)scope.needed() / (1024.0 * 1024.0);
    if (mb >= 1.0)
        snprintf(buf, sizeof buf, "out of memory (%.1f MB could not be allocated)", mb);
    else
        snprintf(buf, sizeof buf, "out of memory (%zu bytes could not be allocated)",
                 scope.needed());
    return buf;
}

namespace {

std::string format(const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    std::vector<char> buf(n > 0 ? (size_t)n + 1 : 1, '\0');
    if (n > 0) vsnprintf(buf.data(), buf.size(), fmt, again);
    va_end(again);
    return std::string(buf.data(), n > 0 ? (size_t)n : 0);
}

}  // namespace

void lib_fatalf(int status, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = format(fmt, ap);
    va_end(ap);
    lib_fatal(status, text);
}

void set_thread_message_sink(message_sink sink, void *context) {
    t_sink = sink;
    t_context = context;
}

bool thread_has_message_sink(void) { return t_sink != nullptr; }

void get_thread_message_sink(message_sink *sink, void **context) {
    *sink = t_sink;
    *context = t_context;
}

namespace {

void write_message(int stream, const char *text, size_t n) {
    if (t_sink) {
        t_sink(t_context, stream, text, n);
        return;
    }
    fwrite(text, 1, n, stream == 1 ? stdout : stderr);
}

void vprint_message(int stream, const char *fmt, va_list ap) {
    if (!t_sink) {
        vfprintf(stream == 1 ? stdout : stderr, fmt, ap);
        return;
    }
    const std::string text = format(fmt, ap);
    t_sink(t_context, stream, text.data(), text.size());
}

bool dropped(int stream) { return stream == 1 && g_quiet.load(std::memory_order_relaxed); }

}  // namespace

void set_quiet_messages(bool quiet) { g_quiet = quiet; }
bool quiet_messages(void) { return g_quiet; }

void lib_write(int stream, const char *text, size_t n) {
    if (!dropped(stream)) write_message(stream, text, n);
}

void lib_puts(int stream, const char *text) { lib_write(stream, text, strlen(text)); }

void lib_vprintf(int stream, const char *fmt, va_list ap) {
    if (!dropped(stream)) vprint_message(stream, fmt, ap);
}

void lib_progress(int stream, const char *fmt, ...) {
    if (g_quiet) return;
    va_list ap;
    va_start(ap, fmt);
    vprint_message(stream, fmt, ap);
    va_end(ap);
}

void lib_notice(int stream, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint_message(stream, fmt, ap);
    va_end(ap);
}

void lib_printf(int stream, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    lib_vprintf(stream, fmt, ap);
    va_end(ap);
}

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // the GNU form: returns the text
}

void lib_perror(const char *what) {
    const int err = errno;
    lib_printf(2, "%s: %s\n", what, strerror(err));
    errno = err;
}
