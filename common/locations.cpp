// Writer of the detector's location files.
#include <cmath>
#include <cstdio>

#include "files.h"

int savesallocations(matrix *SPs, const char *filename) {
    FILE *fp = fopen(filename, "w");
    if (!fp) {
        fprintf(stderr, "Cannot create location file %s\n", filename);
        return 0;
    }
    for (int i = 0; i < SPs->nrows; i++) {
        const double *r = SPs->pix[i];
        int radius = (int)pow(2.0, 2.0 + r[2]);
        fprintf(fp, "%d\t%d\t%d\t%f\n", (int)r[0], (int)r[1], radius, r[3]);
    }
    bool ok = !ferror(fp);
    if (fclose(fp) != 0) ok = false;
    if (!ok) {
        fprintf(stderr, "Cannot write location file %s\n", filename);
        return 0;
    }
    return 1;
}
