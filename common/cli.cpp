// Shared command-line and log helpers.
#include "cli.h"

#include "fail.h"

#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <magick/MagickCore.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

void setup_log_streams(void) {
    // Standard error is unbuffered; so is standard output from here on, as
    // progress is often written in pieces of one line ("Saving...Done.")
    // that line-buffering would hold back behind later error messages.
    setvbuf(stdout, nullptr, _IONBF, 0);
}

bool parse_whole_number(const char *text, int *value) {
    const char *p = text;
    if (*p == '+' || *p == '-') p++;
    if (!isdigit((unsigned char)*p)) return false;
    for (const char *q = p; *q; q++)
        if (!isdigit((unsigned char)*q)) return false;
    errno = 0;
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *value = (int)v;
    return true;
}

bool parse_count(const char *text, int *value) {
    int v = 0;
    if (!isdigit((unsigned char)text[0]) || !parse_whole_number(text, &v) || v == INT_MAX)
        return false;
    *value = v;
    return true;
}

int default_thread_count(void) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(CPU_COUNT(&set), 1);
}

int start_threads(std::vector<std::thread> *pool, int n, const std::function<void()> &body) {
    static const int fail_at = [] {
        const char *s = getenv("SENDRAL_FAIL_THREAD_AT");
        return s ? atoi(s) : 0;
    }();
    static std::atomic<bool> told{false};  // once, however many pools the process starts
    const size_t before = pool->size();
    try {
        for (int t = 0; t < n; t++) {
            if (t + 1 == fail_at)
                throw std::system_error(EAGAIN, std::generic_category(), "thread creation refused");
            pool->emplace_back(body);
        }
    } catch (const std::system_error &e) {
        const int started = (int)(pool->size() - before);
        if (!told.exchange(true))
            lib_notice(2,
                       "Notice: only %d of %d threads could be started (%s); the work goes on "
                       "with %d\n",
                       started, n, e.what(), std::max(started, 1));
    }
    return (int)(pool->size() - before);
}

void reuse_large_blocks(void) {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    // Grown in large steps.
    mallopt(M_TOP_PAD, 64 << 20);
#ifdef MADV_HUGEPAGE
    // Grow it once now and ask for 2 MB pages there: the first touch of
    // fresh memory then costs one page fault per 2 MB instead of one per
    // 4 kB, which on a virtual machine is most of the cost of the first
    // images. Only a hint; without large pages nothing changes.
    // A block larger than anything free at start-up makes it grow.
    const uintptr_t huge = (uintptr_t)2 << 20;
    const uintptr_t from = ((uintptr_t)sbrk(0) + huge - 1) & ~(huge - 1);
    void *volatile grow = malloc(16 << 20);  // volatile: the pair must not be elided
    free(grow);
    const uintptr_t to = (uintptr_t)sbrk(0) & ~(huge - 1);
    if (to > from) madvise((void *)from, to - from, MADV_HUGEPAGE);
#endif
}

void share_one_heap(void) { mallopt(M_ARENA_MAX, 1); }

void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    va_start(ap, fmt);
    if (n > 0) vsnprintf(text.data(), text.size() + 1, fmt, ap);
    va_end(ap);
    lib_fatal(1, text);
}

void die(const std::string &message) { lib_fatal(1, message + "\n"); }

void die_errno(const char *what, const std::string &path) {
    const int err = errno;
    die("%s %s: %s\n", what, path.c_str(), strerror(err));
}

double now_seconds(void) {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string time_usage(double seconds) {
    char buf[64];
    snprintf(buf, sizeof buf, "Time usage: %f Sec\n", seconds);
    return buf;
}

Progress::Progress(int total)
    : total_(total),
      tty_(isatty(STDERR_FILENO) == 1 && !thread_has_message_sink() && !quiet_messages()),
      start_(now_seconds()) {}

Progress::~Progress() { clear(); }

void Progress::show(int k, const char *name) {
    if (!tty_ || total_ <= 0) return;
    fflush(stdout);
    const int done = k - 1;
    const double elapsed = now_seconds() - start_;
    if (done > 0) {
        const double per = elapsed / done;
        fprintf(stderr, "\r\033[K[%d/%d] %s  %.2f s/image, %.0f s left", k, total_, name, per,
                per * (total_ - done));
    } else {
        fprintf(stderr, "\r\033[K[%d/%d] %s", k, total_, name);
    }
    shown_ = true;
}

void Progress::clear() {
    if (!shown_) return;
    fputs("\r\033[K", stderr);
    shown_ = false;
}

// ---- output capture -------------------------------------------------------------

namespace {

thread_local CapturedOutput *active_capture = nullptr;

ssize_t write_all(int fd, const char *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, buf + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? (ssize_t)done : -1;
        }
        done += (size_t)w;
    }
    return (ssize_t)n;
}

template <int Stream>
ssize_t cookie_write(void *, const char *buf, size_t n) {
    if (active_capture) {
        active_capture->keep(Stream, buf, n);
        return (ssize_t)n;
    }
    return write_all(Stream, buf, n);
}

WarningHandler g_prev_warning = nullptr;
ErrorHandler g_prev_error = nullptr;

void forward_report(bool error, ExceptionType type, const char *reason, const char *description) {
    if (error ? g_prev_error != nullptr : g_prev_warning != nullptr)
        (error ? g_prev_error : g_prev_warning)(type, reason, description);
}

void report_to_capture(bool error, ExceptionType type, const char *reason,
                       const char *description) {
    if (!active_capture) {
        forward_report(error, type, reason, description);
        return;
    }
    active_capture->keep_report(error, type, reason, description);
}
void capture_warning(ExceptionType t, const char *r, const char *d) {
    report_to_capture(false, t, r, d);
}
void capture_error(ExceptionType t, const char *r, const char *d) {
    report_to_capture(true, t, r, d);
}

FILE *capturing_stream(cookie_write_function_t *writer) {
    cookie_io_functions_t io{};
    io.write = writer;
    FILE *f = fopencookie(nullptr, "w", io);
    if (f) setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

}  // namespace

void enable_output_capture(void) {
    static bool enabled = false;
    if (enabled) return;
    fflush(stdout);
    fflush(stderr);
    FILE *out = capturing_stream(cookie_write<1>), *err = capturing_stream(cookie_write<2>);
    if (!out || !err) return;  // messages then come in writing order, not list order
    stdout = out;
    stderr = err;
    enabled = true;
}

void capture_magick_reports(void) {
    static std::once_flag done;
    std::call_once(done, [] {
        g_prev_warning = SetWarningHandler(capture_warning);
        g_prev_error = SetErrorHandler(capture_error);
    });
}

namespace {

void keep_message(void *capture, int stream, const char *text, size_t n) {
    static_cast<CapturedOutput *>(capture)->keep(stream, text, n);
}

}  // namespace

void CapturedOutput::begin() {
    active_capture = this;
    get_thread_message_sink(&prev_sink_, &prev_context_);
    set_thread_message_sink(keep_message, this);
}
void CapturedOutput::end() {
    if (active_capture != this) return;
    active_capture = nullptr;
    set_thread_message_sink(prev_sink_, prev_context_);
}

void CapturedOutput::keep(int stream, const char *data, size_t n) {
    text_.append(data, n);
    streams_.append(n, (char)stream);
}

std::string CapturedOutput::stream_text(int stream) const {
    std::string out;
    for (size_t i = 0; i < text_.size(); i++)
        if (streams_[i] == (char)stream) out += text_[i];
    return out;
}

void CapturedOutput::keep_report(bool error, int type, const char *reason,
                                 const char *description) {
    reports_.push_back({text_.size(), error, type, reason ? reason : "",
                        description ? description : "", description != nullptr});
}

// To the replaying thread's message sink when it has one (the kept text
// was filtered when it was written), else straight to the streams.
void CapturedOutput::write_text(size_t from, size_t to) const {
    message_sink sink = nullptr;
    void *context = nullptr;
    get_thread_message_sink(&sink, &context);
    size_t i = from;
    while (i < to) {
        size_t j = i;
        while (j < to && streams_[j] == streams_[i]) j++;
        if (sink)
            sink(context, streams_[i], text_.data() + i, j - i);
        else
            write_all(streams_[i], text_.data() + i, j - i);
        i = j;
    }
}

void CapturedOutput::replay() {
    fflush(stdout);
    fflush(stderr);
    size_t written = 0;
    for (const Report &r : reports_) {
        write_text(written, r.at);
        written = r.at;
        forward_report(r.error, (ExceptionType)r.type, r.reason.c_str(),
                       r.has_description ? r.description.c_str() : nullptr);
    }
    write_text(written, text_.size());
    text_.clear();
    streams_.clear();
    reports_.clear();
}
