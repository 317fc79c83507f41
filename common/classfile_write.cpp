// The trainer's per-class feature file: every feature of one class in
// ranking order, the valid ones first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "files.h"

namespace {}  // namespace

void dumpSalFts(matrix *sortCosts, matrix *sortMDs, matrix *sortidx, int classidx, int depth,
                int step, const char *filename) {
    FILE *fp = fopen(filename, "w");
    if (!fp) die_errno("Cannot write class file", filename);
    // depth * step in 64 bits: the bound must not wrap for a large depth.
    long long nfeat = (long long)depth * step;
    for (int i = 0; i < sortMDs->ncols; i++) {
        int f = (int)sortidx->pix[classidx][i];
        int level = 0, index = f;
        if (f < nfeat) {
            level = f / step;
            index = f % step;
        }
        fprintf(fp, "%f\t%f\t%d\t%d\n", sortCosts->pix[classidx][i], sortMDs->pix[classidx][i],
                level, index);
    }
    if (ferror(fp)) {
        fclose(fp);
        die_errno("Cannot write class file", filename);
    }
    if (fclose(fp) != 0) die_errno("Cannot write class file", filename);
}
