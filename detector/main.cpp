// Lumivar: finds the salient locations of one trained class in query images.
#include "cli.h"
#include "fail.h"
#include "record.h"
#include "safewrite.h"
#include "lumivar.h"

int main(int argc, char **argv) {
    // Process-wide settings belong to the program, not to the library.
    setup_log_streams();
    remove_temps_on_stop_signals();  // an interrupted run leaves no temporary files
    share_one_heap();
    reuse_large_blocks();
    enable_output_capture();                  // each image's messages in list order, whatever -j
    set_fatal_handler(record_fatal_handler);  // a --json record is written on a failure too
    // Nothing ends a run as an abort: what the run could not handle where
    // it happened still ends it with a message and status 1.
    try {
        return lumivar_main(argc, argv);
    } catch (...) {
        fail_on_escaped_exception("Lumivar");
    }
}
