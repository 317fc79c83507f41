// The one error type of the Sendral and Lumivar libraries.
#ifndef SENDRAL_ERROR_HPP
#define SENDRAL_ERROR_HPP

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sendral {

// A failure: what() is the message the programs would print for it
// (naming the file and the cause), status() the exit status they would end
// with. The process carries on.
class Error : public std::runtime_error {
public:
    Error(const std::string &message, int status) : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// Grey samples in memory, 0.0 black to 1.0 full intensity: `rows` rows of
// `cols` samples, row i starting at samples + i * row_stride. Borrowed: the
// caller keeps them alive for the call.
struct GreyView {
    const double *samples = nullptr;
    int rows = 0;
    int cols = 0;
    long row_stride = 0;  // 0: cols
};

// Grey samples owned: rows x cols, row-major.
struct GreyImage {
    int rows = 0;
    int cols = 0;
    std::vector<double> samples;
    GreyView view() const { return {samples.data(), rows, cols, cols}; }
};

// Messages of the libraries on this thread go to `sink` (stream 1: what the
// program prints on standard output, 2: standard error) instead of the
// terminal while the object lives.
class MessageCapture {
public:
    using Sink = std::function<void(int stream, const std::string &text)>;
    explicit MessageCapture(Sink sink);
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

private:
    Sink sink_;
    void (*prev_sink_)(void *, int, const char *, std::size_t);
    void *prev_context_;
};

// "x.y.z", the libraries' version.
const char *version();

}  // namespace sendral

#endif
