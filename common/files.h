// Program helpers shared by Sendral and Lumivar: list files, class files,
// location files and small element-wise helpers.
#ifndef FILES_H
#define FILES_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mtx.h"

// ---- list files ----

// Reads a list file: names separated by white space (blanks, tabs, line
// ends), in file order. Returns a malloc'ed array of *count malloc'ed
// strings; the caller frees every string and the array. Names of up to 4096
// bytes are kept whole. An empty list gives *count 0 and an array to free.
// Prints "Read filenames from <path>..." and "Done\n" on standard output;
// a list that cannot be opened or read, or that holds an entry longer than
// 4096 bytes (then no file name: /dev/zero, a binary file), stops (the
// fatal hook, status 1) after a message naming it on standard error, as soon as the
// entry passes the limit (the memory used stays bounded).
char **getFilename(const char *filename, int *count);

// The names of a list file as getFilename reads them, without its messages;
// false when the file cannot be opened or read or holds an entry longer
// than 4096 bytes.
bool read_list_names(const char *filename, std::vector<std::string> *names);

// The names of a list file (read with getFilename, whose messages and
// failures it shares), owned.
class FileList {
public:
    explicit FileList(const char *filename) : names_(getFilename(filename, &count_)) {}
    // The names read from standard input, with getFilename's messages
    // (naming the list "-") and failures.
    static FileList from_stdin();
    FileList(FileList &&other) noexcept : count_(other.count_), names_(other.names_) {
        other.count_ = 0;
        other.names_ = nullptr;
    }
    ~FileList() {
        for (int i = 0; i < count_; i++) free(names_[i]);
        free(names_);
    }
    FileList(char **names, int count) : count_(count), names_(names) {}
    FileList(const FileList &) = delete;
    FileList &operator=(const FileList &) = delete;
    char **names() const { return names_; }
    int size() const { return count_; }

private:
    int count_ = 0;
    char **names_;
};

// ---- class files ----

// Writes the class file of class `classidx`: one line "cost\tMD\tlevel\tindex"
// ("%f\t%f\t%d\t%d\n") per column of sortMDs, from row `classidx` of
// sortCosts, sortMDs and sortidx. A feature index f below depth*step is
// split into level f / step and index f % step; a larger one is written as
// level 0, index f. A file that cannot be created or written stops with
// status 1 (the fatal hook) after a message naming it on standard error.
void dumpSalFts(matrix *sortCosts, matrix *sortMDs, matrix *sortidx, int classidx, int depth,
                int step, const char *filename);

// Reads the first n lines "cost\tMD\tlevel\tindex" of a class file into
// element i of the four arrays. A file that cannot be opened, or that holds
// fewer than n such lines, stops with status 1 (the fatal hook) after a message
// naming it on standard error.
void ReadSalientFeatures(const char *filename, int n, double *ftcost, double *ftmd, int *ftpydlevel,
                         int *ftsubidx);

// One feature line of a class file.
struct ClassFileLine {
    double cost, md;
    int level, index;
};
// The readable feature lines of a class file, at most n (so that a huge n
// allocates no more than the file holds); false when it cannot be opened.
bool read_class_file(const char *filename, int n, std::vector<ClassFileLine> *lines);

// ---- location files ----

// Scale radius of pyramid level l: 2^(l+2), truncated.
int scale_radius(int l);

// Writes one line "row\tcol\tradius\tvalue" per row of the n x 4 location
// matrix (row, column, pyramid level, saliency); the radius of level l is
// 2^(l+2). Returns 1 when written, 0 (after a message naming the file on
// standard error) when the file cannot be created or written.
int savesallocations(matrix *SPs, const char *filename);

// ---- element-wise helpers ----

// In place, row by row: v -> 1 / (exp(-v) + 1).
void sigmoidF(matrix *m);
// In place, row by row: v -> natural logarithm of v.
void mtxLog(matrix *m);

#endif
