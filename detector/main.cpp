// Lumivar: finds the salient locations of one trained class in query images.
#include "cli.h"
#include "fail.h"
#include "record.h"
#include "lumivar.h"

int main(int argc, char **argv) {
    // Process-wide settings belong to the program, not to the library.
    setup_log_streams();
    share_one_heap();
    reuse_large_blocks();
    enable_output_capture();  // each image's messages in list order, whatever -j
    set_fatal_handler(record_fatal_handler);  // a --json record is written on a failure too
    return lumivar_main(argc, argv);
}
