// The result directory of a training holds one whole model at a time.
//
// A run writes its files into a hidden staging folder inside the directory,
// makes them durable, and then swaps them in by rename. While the swaps run,
// a marker file says the directory is incomplete: a run killed then leaves
// the marker behind, and readers refuse the directory until a training
// completes. A lock file keeps a second run out for the whole of the first.
//
// Readers load under a shared lock on a second lock file, which the commit
// holds exclusively while it swaps, so that a load sees the old model or the
// new one. Every replaced entry waits in the staging folder until the commit
// is complete, so that a failed swap can put the previous model back.
#ifndef RESULTDIR_H
#define RESULTDIR_H

#include <functional>
#include <string>

// True when a training that was writing dir was interrupted while swapping
// its files in, so that dir may hold a mix of two models.
bool result_dir_interrupted(const std::string &dir);
// "Result directory DIR was left incomplete by an interrupted training; train again"
std::string result_dir_interrupted_message(const std::string &dir);
// The marker is there and no live training holds dir's lock (this thread's
// own lock aside): the training that left it was killed.
bool result_dir_abandoned(const std::string &dir);

// Runs load(), which reads a model from dir, so that what it reads is one
// whole model: while a live training swaps its files in, it waits (up to 10
// s) and then loads. Stops with a message (status 1, the fatal hook) when dir
// was left incomplete by an interrupted training, when it holds a format this
// version does not read (resultschema.h), or when a training keeps swapping
// beyond the wait. Failures of load() go through as they are.
void read_whole_model(const std::string &dir, const std::function<void()> &load);

// Locks dir (a second locker, in this process or another, gets a message
// naming dir and status 1), then removes staging folders left by killed
// runs. A dir of a newer format than this version writes is refused (status
// 1), unlocked. The lock lasts until result_dir_unlock(returned descriptor) or the
// end of the process.
int result_dir_lock(const std::string &dir);
void result_dir_unlock(int fd);

// A new staging folder inside dir, removed when the process ends unless it
// was committed. It starts with the format entry of this version. Stops with status 1 (the fatal
// hook) when it cannot be made.
std::string result_dir_stage(const std::string &dir);

// Removes a staging folder that will not be committed (a failed training
// in a process that goes on).
void result_dir_discard(const std::string &staging);

// Makes every entry of the staging folder durable and puts it in dir,
// replacing the entry of the same name; other entries of dir stay. False after
// a message naming the file on failure: dir then holds the previous model
// (what was swapped is put back), or, when putting back fails too (or dir was
// left incomplete before), the marker.
bool result_dir_commit(const std::string &dir, const std::string &staging);

// One file operation of the write phase is about to run; false when it must
// fail (errno set) instead.
// SENDRAL_FAIL_AT is for tests only: "n" ends the process at the n-th
// operation with _exit(1), as a kill would; "n:nospace" makes that operation
// fail as on a full disk, "n:eio", "n:estale" and "n:edquot" with that
// error. Several, separated by commas, fail several operations.
bool write_step(void);

#endif
