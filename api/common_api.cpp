// What the two public APIs share: the version and message capture.
#include <sendral/error.hpp>

#include "cli.h"
#include "fail.h"

namespace sendral {

const char *version() { return SENDRAL_VERSION; }

MessageCapture::MessageCapture(Sink sink) : sink_(std::move(sink)) {
    get_thread_message_sink(&prev_sink_, &prev_context_);
    set_thread_message_sink(
        [](void *context, int stream, const char *text, size_t n) {
            (*static_cast<Sink *>(context))(stream, std::string(text, n));
        },
        &sink_);
}

MessageCapture::~MessageCapture() { set_thread_message_sink(prev_sink_, prev_context_); }

}  // namespace sendral
