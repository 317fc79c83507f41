// One failure path for the libraries and the pipeline steps built on them.
//
// Library code never ends the process itself. A failure it cannot recover
// from (a misused matrix function, an unreadable model, a datfile transfer
// error) is handed, with the message the programs print and the status they
// end with, to one replaceable hook. The programs install
// fatal_exit_handler, which prints the message and ends the process exactly
// as they always have; everyone else (the Python modules, other C++
// programs, the tests of the throwing path) gets sendral::Error carrying the
// same text, and the process carries on.
#ifndef FAIL_H
#define FAIL_H

#include <cstdarg>
#include <cstddef>
#include <string>

// sendral::Error, the one error type of in-process use (its message has the
// standard output part first).
#include <sendral/error.hpp>

// A failure as the programs report it: `out` (often empty) on standard
// output, then `err` on standard error, then exit status `status`.
struct fatal_report {
    const char *out;
    const char *err;
    int status;
};
typedef void (*fatal_handler)(const fatal_report *report);

// Installs the hook for the whole process (null: none, the failing call
// throws sendral::Error) and returns the previous one. A hook that returns
// makes the failing call throw as well. Set it before any thread starts.
fatal_handler set_fatal_handler(fatal_handler handler);
fatal_handler get_fatal_handler(void);

// The programs' hook: standard output flushed, the two texts written, exit.
void fatal_exit_handler(const fatal_report *report);

// Reports a failure through the hook; never returns.
[[noreturn]] void lib_fatal(int status, const std::string &err, const std::string &out = "");
// The same with a printf-style message for standard error.
[[noreturn]] void lib_fatalf(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// An allocation of `bytes` (0: size not known) failed: the matrix library's
// "Unable to allocate memory", with the size kept for a recoverable scope.
[[noreturn]] void lib_fatal_nomem(size_t bytes);

// While a thread holds one of these, every failure on that thread throws
// sendral::Error, even where a program has set its exiting hook: the
// programs hold one around each image's work, so that an image that cannot
// be processed (too big for memory, say) is reported and skipped instead of
// ending the run. Scopes nest; the innermost one records the failure.
class recoverable_failures {
public:
    recoverable_failures();
    ~recoverable_failures();
    recoverable_failures(const recoverable_failures &) = delete;
    recoverable_failures &operator=(const recoverable_failures &) = delete;
    // Whether the failure caught in this scope was a failed allocation, and
    // its size in bytes (0 when not known).
    bool out_of_memory() const { return nomem_; }
    size_t needed() const { return bytes_; }
    // A failed allocation reported outside the library (std::bad_alloc).
    void note_out_of_memory(size_t bytes = 0);

private:
    recoverable_failures *outer_;
    bool nomem_ = false;
    size_t bytes_ = 0;
};
// "out of memory" and, when known, the size that could not be allocated.
std::string out_of_memory_text(const recoverable_failures &scope);

// ---- messages ----------------------------------------------------------------
// The libraries' progress and warnings go to standard output (stream 1) or
// standard error (stream 2), or, on a thread that has set a sink, to the
// sink instead (the Python modules hand them to `logging` that way).

typedef void (*message_sink)(void *context, int stream, const char *text, size_t n);
// This thread's messages go to sink(context, ...) from now on; null: the streams.
void set_thread_message_sink(message_sink sink, void *context);
bool thread_has_message_sink(void);
void get_thread_message_sink(message_sink *sink, void **context);

void lib_write(int stream, const char *text, size_t n);
void lib_puts(int stream, const char *text);
void lib_printf(int stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void lib_vprintf(int stream, const char *fmt, va_list ap);
// "<what>: <strerror(errno)>\n" on standard error, as perror() writes it.
void lib_perror(const char *what);
// The text of an errno value, safe on several threads (strerror is not).
std::string errno_text(int err);

// A program's quiet mode (--quiet; process-wide, set by main() only): from
// then on standard-output messages and progress on standard error are
// dropped; errors and warnings on standard error, lib_notice and the fatal
// hook's messages stay.
void set_quiet_messages(bool quiet);
bool quiet_messages(void);
// Progress (stage headers, counts) on either stream: dropped when quiet.
void lib_progress(int stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Warnings and results on either stream that the quiet mode keeps.
void lib_notice(int stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
