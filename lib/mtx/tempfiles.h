// Hidden temporary entries: the files and folders that are written under a
// temporary name and renamed into place once whole.
//
// Every such name has one form, ".sendral-tmp.<pid>.<random>.<host>", so
// that a later run can tell an entry left by a killed process (made on this
// host by a process that is gone) from one that a live run is writing, here
// or on another machine that shares the folder. The names in use are kept
// in a fixed table that a signal handler can walk to remove them before the
// process ends.
#ifndef TEMPFILES_H
#define TEMPFILES_H

#include <string>

// A new name of that form in dir (not created), tracked until forgotten.
// Until the caller says it is made (or forgets it), a stop signal waits a
// moment for its creation before removing the entries.
std::string temp_entry_name(const std::string &dir);
void temp_entry_made(const std::string &path);

// Tracks an entry (file or folder tree) to be removed if the process is
// stopped, or forgets it (once renamed into place or removed). A full table
// leaves the entry untracked: the next run into its folder removes it.
void track_temp_entry(const std::string &path);
void forget_temp_entry(const std::string &path);

// Removes every tracked entry, folders with what they hold, once no other
// thread is about to create one; from then on no thread names a new entry.
// Only async-signal-safe calls: meant for a signal handler that ends the
// process.
void remove_tracked_temp_entries(void);

// True when `name` (the last path component) has the form above, was made
// on this host, and the process that made it is gone (ended, whether or not
// it has been waited for).
bool temp_entry_abandoned(const char *name);

// Removes the abandoned entries directly in dir; returns how many.
int remove_abandoned_temp_entries(const std::string &dir);

#endif
