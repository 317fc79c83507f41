// Program helpers shared by Sendral and Lumivar: list files, class files,
// location files and small element-wise helpers.
#ifndef FILES_H
#define FILES_H

#include <cstdio>

#include "mtx.h"

// ---- list files ----

// Reads a list file: names separated by white space (blanks, tabs, line
// ends), in file order. Returns a malloc'ed array of *count malloc'ed
// strings; the caller frees every string and the array. Names of any length
// are kept whole. An empty list gives *count 0 and an array to free.
// Prints "Read filenames from <path>..." and "Done\n" on standard output;
// a list that cannot be opened or read ends the process with status 1 after
// a message naming it on standard error.
char **getFilename(const char *filename, int *count);

// ---- class files ----

// Reads the first n lines "cost\tMD\tlevel\tindex" of a class file into
// element i of the four arrays. A file that cannot be opened, or that holds
// fewer than n such lines, ends the process with status 1 after a message
// naming it on standard error.
void ReadSalientFeatures(const char *filename, int n, double *ftcost, double *ftmd,
                         int *ftpydlevel, int *ftsubidx);

// ---- location files ----

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
