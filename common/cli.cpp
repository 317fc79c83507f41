// Shared command-line and log helpers.
#include "cli.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <magick/MagickCore.h>

void setup_log_streams(void) {
    // Standard error is unbuffered; so is standard output from here on, as
    // progress is often written in pieces of one line ("Saving...Done.")
    // that line-buffering would hold back behind later error messages.
    setvbuf(stdout, nullptr, _IONBF, 0);
}

void print_version(const char *program) {
    size_t number = 0;
    printf("%s %s\n", program, SENDRAL_VERSION);
    printf("%s\n", GetMagickVersion(&number));
    fflush(stdout);
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
    : total_(total), tty_(isatty(STDERR_FILENO) == 1), start_(now_seconds()) {}

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
