// Writer of the detector's location files and the radius of a level.
#include <cmath>
#include <cstdio>
#include <string>

#include "files.h"
#include "safewrite.h"
#include "fail.h"

// Written under a temporary name and renamed into place: a reader never
// sees half a file, a failed write leaves none, and a link planted at the
// name is replaced rather than followed.
int scale_radius(int l) { return (int)pow(2.0, (double)(l + 2)); }

int savesallocations(matrix *SPs, const char *filename) {
    const std::string tmp = temp_name_beside(filename);
    FILE *fp = fopen(tmp.c_str(), "wx");
    if (!fp) {
        lib_printf(2, "Cannot create location file %s\n", filename);
        return 0;
    }
    for (int i = 0; i < SPs->nrows; i++) {
        const double *r = SPs->pix[i];
        const int radius = scale_radius((int)r[2]);
        fprintf(fp, "%d\t%d\t%d\t%f\n", (int)r[0], (int)r[1], radius, r[3]);
    }
    bool ok = !ferror(fp);
    if (fclose(fp) != 0) ok = false;
    if (ok && !replace_entry(tmp, filename)) ok = false;
    if (!ok) {
        remove_tree(tmp);
        lib_printf(2, "Cannot write location file %s\n", filename);
        return 0;
    }
    return 1;
}
