// Reader of the per-class feature files that the trainer writes: one line
// per feature in ranking order, "cost\tMD\tlevel\tzig-zag index".
#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "fail.h"

void ReadSalientFeatures(const char *filename, int n, double *ftcost, double *ftmd, int *ftpydlevel,
                         int *ftsubidx) {
    FILE *fp = fopen(filename, "r");
    if (!fp) {
        lib_fatalf(1, "Cannot open class file %s\n", filename);
    }
    for (int i = 0; i < n; i++) {
        // The white space of the format matches the tab and the line end.
        if (fscanf(fp, "%lf %lf %d %d", &ftcost[i], &ftmd[i], &ftpydlevel[i], &ftsubidx[i]) != 4) {
            fclose(fp);
            lib_fatalf(1, "Class file %s holds %d readable lines; %d are needed\n", filename, i, n);
        }
    }
    fclose(fp);
}
