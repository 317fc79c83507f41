// Reader of the per-class feature files that the trainer writes: one line
// per feature in ranking order, "cost\tMD\tlevel\tzig-zag index".
#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "fail.h"

bool read_class_file(const char *filename, int n, std::vector<ClassFileLine> *lines) {
    lines->clear();
    FILE *fp = fopen(filename, "r");
    if (!fp) return false;
    ClassFileLine l;
    // The white space of the format matches the tab and the line end.
    while ((int)lines->size() < n &&
           fscanf(fp, "%lf %lf %d %d", &l.cost, &l.md, &l.level, &l.index) == 4)
        lines->push_back(l);
    fclose(fp);
    return true;
}

void ReadSalientFeatures(const char *filename, int n, double *ftcost, double *ftmd, int *ftpydlevel,
                         int *ftsubidx) {
    std::vector<ClassFileLine> lines;
    if (!read_class_file(filename, n, &lines))
        lib_fatalf(1, "Cannot open class file %s\n", filename);
    if ((int)lines.size() < n)
        lib_fatalf(1, "Class file %s holds %d readable lines; %d are needed\n", filename,
                   (int)lines.size(), n);
    for (int i = 0; i < n; i++) {
        ftcost[i] = lines[i].cost;
        ftmd[i] = lines[i].md;
        ftpydlevel[i] = lines[i].level;
        ftsubidx[i] = lines[i].index;
    }
}
