// The file-system safety of every writer: replacing files and datfile
// folders so that a reader sees either the old entry or the new one, never
// a half-written one (write under a temporary name beside the target, make
// it durable, rename it in), staging folders, and the removal of what a
// stopped process was writing.
#ifndef SAFEWRITE_H
#define SAFEWRITE_H

#include <cstdio>
#include <functional>
#include <string>

// A unique hidden temporary name in the folder of final_path, in the form
// that later runs recognise (tempfiles.h). Until replace_entry puts it in
// place or remove_tree removes it, a stop signal removes it.
std::string temp_name_beside(const std::string &final_path);
// Puts `staged` (file or folder) at final_path by rename, replacing whatever is there (file,
// folder, symlink; absent is fine) without following links; the old entry is removed. False (errno
// set, final_path untouched, staged left for the caller) on failure.
bool replace_entry(const std::string &staged, const std::string &final_path);
// Where swap_entry left the old and the new entry, for undo_swap.
struct SwappedEntry {
    std::string staged, final_path;
    std::string aside;  // the old entry, when the file system cannot exchange
    enum { kNothing, kMoved, kExchanged, kAside, kOnlyAside } state = kNothing;
};
// Puts `staged` at final_path as replace_entry does, but keeps the old entry:
// at `staged` (exchanged in one step) or, where the file system cannot
// exchange, under a temporary name beside it. False (errno set) on failure;
// *done then says what undo_swap must still put back.
bool swap_entry(const std::string &staged, const std::string &final_path, SwappedEntry *done);
// Puts the old entry back at final_path and the new one back at `staged`.
// False (errno set) on failure.
bool undo_swap(const SwappedEntry &done);
// Removes a file or a folder tree; absent is fine.
void remove_tree(const std::string &path);
// fsync of a file, or of a folder tree (files, then folders). False on the first failure.
bool sync_tree(const std::string &path);
// fsync of one file or folder (not what a folder holds); a link is followed,
// so a result folder may be given through one. False on failure.
bool sync_entry(const std::string &path);

// Writes what `encode` puts on a stream into a new file beside `filename`,
// flushes it to the disk and renames it over the name. A link at the name
// is replaced, not followed (nor is a folder there); a failed write leaves
// no file behind and the old file, if any, as it was. On failure *why
// tells the reason (encode sets it for its own failures).
bool store_file(const std::string &filename,
                const std::function<bool(FILE *, std::string *)> &encode, std::string *why);

// A folder filled under a temporary name before it is renamed into place
// (a shard, a result directory's new files). Until released, it is removed
// when the process exits (exit() or a failure's hook) and on a stop signal.
// With an empty `prefix` the name has the temporary-entry form (a later run
// removes it once this process is gone) and the folder is readable as any
// (0777 less the umask); otherwise it is dir/<prefix>XXXXXX as mkdtemp
// makes it. "" with errno set on failure.
std::string make_staging_folder(const std::string &dir, const std::string &prefix);
// The folder was renamed into place: it is no longer removed.
void release_staging_folder(const std::string &path);
// Removes the folder and what it holds, and releases it.
void discard_staging_folder(const std::string &path);

// From now on SIGINT, SIGTERM and SIGHUP first remove the temporary entries
// the process is writing, then end it as the signal would (a shell sees
// status 128 + the signal's number). A signal ignored when the program
// started (nohup, a background job) stays ignored. For main() only.
void remove_temps_on_stop_signals(void);

#endif
