// Writer of the detector's location files and the radius of a level.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

#include "files.h"
#include "safewrite.h"
#include "tempfiles.h"
#include "fail.h"

// Written under a temporary name and renamed into place: a reader never
// sees half a file, a failed write leaves none, and a link planted at the
// name is replaced rather than followed.
int scale_radius(int l) {
    if (l >= 0 && l <= 28) return 4 << l;  // 2^(l+2), as pow gives it
    return (int)pow(2.0, (double)(l + 2));
}

namespace {

// One line "row\tcol\tradius\tvalue\n" as fprintf's "%d\t%d\t%d\t%f\n"
// writes it: to_chars gives the same digits (both round the exact binary
// value, ties to even) at a fraction of the cost, which matters for maps
// with tens of thousands of locations.
void append_location(std::string &out, int row, int col, int radius, double value) {
    char buf[400];
    char *p = buf, *end = buf + sizeof buf;
    for (int v : {row, col, radius}) {
        p = std::to_chars(p, end, v).ptr;
        *p++ = '\t';
    }
    if (std::isfinite(value)) {
        const std::to_chars_result r = std::to_chars(p, end, value, std::chars_format::fixed, 6);
        if (r.ec == std::errc()) {
            *r.ptr = '\n';
            out.append(buf, r.ptr + 1 - buf);
            return;
        }
    }
    snprintf(p, end - p, "%f\n", value);  // inf, nan: fprintf's own spelling
    out.append(buf);
}

}  // namespace

int savesallocations(matrix *SPs, const char *filename) {
    const std::string tmp = temp_name_beside(filename);
    FILE *fp = fopen(tmp.c_str(), "wx");
    if (fp) temp_entry_made(tmp);
    if (!fp) {
        lib_printf(2, "Cannot create location file %s\n", filename);
        return 0;
    }
    std::string text;
    text.reserve((size_t)SPs->nrows * 24);
    for (int i = 0; i < SPs->nrows; i++) {
        const double *r = SPs->pix[i];
        append_location(text, (int)r[0], (int)r[1], scale_radius((int)r[2]), r[3]);
    }
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size() && !ferror(fp);
    if (fclose(fp) != 0) ok = false;
    if (ok && !replace_entry(tmp, filename)) ok = false;
    if (!ok) {
        remove_tree(tmp);
        lib_printf(2, "Cannot write location file %s\n", filename);
        return 0;
    }
    return 1;
}
