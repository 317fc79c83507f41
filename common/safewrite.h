// Building blocks for replacing files and datfile folders so that a reader
// sees either the old entry or the new one, never a half-written one: write
// under a temporary name beside the target, make it durable, rename it in.
#ifndef SAFEWRITE_H
#define SAFEWRITE_H

#include <string>

// A unique hidden temporary name in the folder of final_path.
std::string temp_name_beside(const std::string &final_path);
// Puts `staged` (file or folder) at final_path by rename, replacing whatever is there (file,
// folder, symlink; absent is fine) without following links; the old entry is removed. False (errno
// set, final_path untouched, staged left for the caller) on failure.
bool replace_entry(const std::string &staged, const std::string &final_path);
// Removes a file or a folder tree; absent is fine.
void remove_tree(const std::string &path);
// fsync of a file, or of a folder tree (files, then folders). False on the first failure.
bool sync_tree(const std::string &path);
// fsync of one file or folder (not what a folder holds); a link is followed,
// so a result folder may be given through one. False on failure.
bool sync_entry(const std::string &path);

#endif
