// Sendral, the trainer: command line and run.
#ifndef SENDRAL_H
#define SENDRAL_H

#include <string>

// Every path the command line takes is held in a buffer of this size.
#define SENDRAL_PATHLEN 1024
// Deepest pyramid whose crop and size arithmetic (8 * 2^(depth-1)) fits an int.
#define SENDRAL_MAXDEPTH 28

// Prints the usage text on standard output and ends the process with status 1.
// (--help prints it and ends with status 0; --version prints the version.)
[[noreturn]] void exit_with_help(void);

// Fills the run options from argv. ListFilename, savepath, bkhistpath and
// wtfilelist are buffers of SENDRAL_PATHLEN bytes. Usage errors end the
// process with status 1.
void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise);

// The same, also giving the -j thread count (default: default_thread_count()).
void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise, int *threads);

// Creates the result directory (and its missing parents) when needed and
// makes sure files can be created in it; ends with status 1 otherwise.
void prepare_result_dir(const char *savepath);

// Creates or truncates a small text file of the write phase (a step the
// write-fault injection counts) and writes `text`; ends with status 1 after
// a message naming the file on failure.
void write_text(const std::string &path, const std::string &text);

// The whole run, from the command line to the result directory; returns 0.
int sendral_run(int argc, char **argv);

#endif
