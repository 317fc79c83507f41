// Training spread over many runs or machines.
//
//   Sendral -shard k/n training_filelist pyr_depth shardpath
// computes only the class moments, over the entries i of every class list
// with i % n == k, into a shard folder: Allmnt<depth>.dat (the per-class
// averages over the shard's usable images, zeros where it has none), imgnum
// (one line per class: the number of images averaged) and shard (the record
// that says which part it is and, per class, the list's name and a digest of
// its entries), and format (the layout's version, as in a result directory).
// The folder appears whole or not at all.
//
//   Sendral [options] -merge shardlist training_filelist pyr_depth salientfeaturepath
// merges the shards named in shardlist, weighted by their counts, into the
// moments of the whole lists, and trains from them as -fast does from a
// loaded moment file. The result directory also receives imgnum.
#ifndef SENDRAL_SHARD_H
#define SENDRAL_SHARD_H

#include "mtx.h"

#define SHARD_NONE 0
#define SHARD_PART 1   // -shard k/n
#define SHARD_MERGE 2  // -merge shardlist

// Prints the usage of -shard and -merge on standard output and stops with
// status 1 (the fatal hook).
[[noreturn]] void exit_with_shard_help(void);

// Finds -shard k/n or -merge shardlist among the leading options, removes
// it with its value from argv (updating *argc) so that parse_command_line
// sees an ordinary command line, and returns SHARD_PART (filling *part and
// *nparts), SHARD_MERGE (filling shardlist, a buffer of SENDRAL_PATHLEN
// bytes) or SHARD_NONE. -shard takes no other option; -merge refuses -fast
// and -b. Usage errors stop with status 1 (the fatal hook).
int take_shard_options(int *argc, char **argv, int *part, int *nparts, char *shardlist);

// The -shard run: moments of part `part` of `nparts` into the folder
// shardpath, which must be absent, empty or an earlier shard folder (then
// replaced). Returns 0; failures stop with status 1 (the fatal hook) and leave
// shardpath as it was.
int sendral_shard_run(const char *ListFilename, int pyddepth, int part, int nparts,
                      const char *shardpath);

// Reads and checks every shard named in shardlist against the training list
// and the depth, and returns a new 64*pyddepth x 4*classnum moment matrix:
// per class, the count-weighted mean of the shards' averages. *imgnum
// receives a malloc'ed array of the classnum total counts. Any inconsistency
// (a shard made from other class list entries than the training list's
// lists hold now, or by an earlier version that did not record them,
// among others) stops with status 1 (the fatal hook) before anything is
// written.
matrix *merge_shards(const char *shardlist, const char *ListFilename, int pyddepth, int **imgnum);

// Writes dir/imgnum: one line "%d\n" per class.
void write_imgnum(const char *dir, const int *imgnum, int classnum);

#endif
