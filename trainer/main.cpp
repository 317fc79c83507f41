// Sendral: learns the features that tell each class of a training list apart.
#include "cli.h"
#include "fail.h"
#include "record.h"
#include "sendral.h"

int main(int argc, char **argv) {
    // Process-wide settings belong to the program, not to the library.
    setup_log_streams();
    reuse_large_blocks();
    set_fatal_handler(record_fatal_handler);  // a --json record is written on a failure too
    return sendral_run(argc, argv);
}
