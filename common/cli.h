// Command-line and log conventions shared by Sendral and Lumivar: version,
// strict numbers, ordered logs, the progress line and the time report.
#ifndef CLI_H
#define CLI_H

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fail.h"

// The programs' version, printed by --version: the project's version in
// CMakeLists.txt, its one source.
#ifndef SENDRAL_VERSION
#error "SENDRAL_VERSION comes from the build (project VERSION)"
#endif

// Standard output becomes unbuffered, so that a log holding both streams
// keeps the order in which messages were written. Call before any output.
void setup_log_streams(void);

// "<program> <version>" and the ImageMagick version, on standard output.
void print_version(const char *program);
// The ImageMagick version line alone.
std::string magick_version_text(void);

// True when `text` is a whole decimal number: an optional sign, then digits
// only. *value is the number, clamped to the range of int.
bool parse_whole_number(const char *text, int *value);

// True when `text` is a count: digits only (no sign), at most INT_MAX - 1,
// so that it is never a clamped value. *value is the number.
bool parse_count(const char *text, int *value);
inline bool parse_count(const std::string &text, int *value) {
    return parse_count(text.c_str(), value);
}

// The cores this process may run on (its affinity mask): the default -j.
int default_thread_count(void);

// Starts up to n threads running `body` into *pool. A thread the system
// refuses (std::system_error: a limit on processes or memory) ends the
// starting: the threads started so far do the work (none: the caller works
// alone), and the first refusal of the process is told on standard error.
// Returns how many were started.
// SENDRAL_FAIL_THREAD_AT is for tests only: "n" makes the n-th thread of
// every pool fail to start as if the system refused it.
int start_threads(std::vector<std::thread> *pool, int n, const std::function<void()> &body);

// Every image allocates and frees blocks of several megabytes. Served by
// fresh mappings, each is paid for again in page faults (and unmapping
// stalls the other threads' faults); kept in the heap, they are reused. The
// heap is grown once at start-up and backed by 2 MB pages where the system
// offers them, which makes the first touch of its memory far cheaper.
void reuse_large_blocks(void);

// Every thread allocates from that one heap (call before any thread
// starts). Pays where threads allocate few, large blocks (the detector):
// they get the large pages and each other's freed blocks; where they
// allocate many small ones (the trainer's moments) the shared lock costs more.
void share_one_heap(void);

// The pipeline's one way to stop on a failure: the message (for standard
// error) and status 1 go to the fatal hook (fail.h), which in the programs
// flushes standard output, prints it and exits. The string form adds a line end.
[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void die(const std::string &message);
// "<what> <path>: <reason from errno>".
[[noreturn]] void die_errno(const char *what, const std::string &path);

// Seconds on a monotonic clock, for durations.
double now_seconds(void);

// "Time usage: <seconds> Sec\n" with sub-second precision.
std::string time_usage(double seconds);

// One updating line "[k/N] name  t s/image, t s left" on standard error,
// shown only when standard error is a terminal (and this thread's messages
// are not sent to a sink); silent otherwise, so that saved logs hold
// nothing but the programs' messages.
class Progress {
public:
    explicit Progress(int total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    // Item k (1-based) is about to start (or has been done: same display).
    void show(int k, const char *name);
    // Removes the line, e.g. before a message is printed.
    void clear();

private:
    int total_;
    bool tty_;
    bool shown_ = false;
    double start_;
};

// The one way both programs print each image's messages in list order,
// whichever thread made them: what a thread reports while it has a capture
// open is kept, in order, instead of being written; replay() writes it out
// later on the calling thread: the library messages of the thread
// (lib_printf and its kin, through the thread's message sink), and two
// more sources when they are enabled:
//  - enable_output_capture(): everything written to standard output and
//    standard error (library messages included). For a program's main()
//    only: it replaces both streams by unbuffered ones. Lumivar uses it.
//  - capture_magick_reports(): ImageMagick's warning and error reports
//    (its process-wide handlers, called on the reading thread), replayed
//    through the handlers they replaced, so that they go where the host
//    (a program, or a Python process) sends them. Sendral uses it, in
//    process too.
// Each must be called before any thread starts.
void enable_output_capture(void);
void capture_magick_reports(void);

class CapturedOutput {
public:
    // This thread's output goes here until end().
    void begin();
    void end();
    // Writes everything kept to the real streams (and handlers) and forgets it.
    void replay();
    void keep(int stream, const char *data, size_t n);
    void keep_report(bool error, int type, const char *reason, const char *description);
    // What was kept for one stream (1 or 2), before replay().
    std::string stream_text(int stream) const;

private:
    struct Report {
        size_t at;  // the length of text_ when it came
        bool error;
        int type;
        std::string reason, description;
        bool has_description;
    };
    std::string text_;
    std::string streams_;  // one byte per byte of text_: 1 or 2
    std::vector<Report> reports_;
    message_sink prev_sink_ = nullptr;
    void *prev_context_ = nullptr;
    void write_text(size_t from, size_t to) const;
};

#endif
