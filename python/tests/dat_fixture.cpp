// The C++ side of the Python module's checks: writes datfiles of every type
// and byte order through the library, and prints the elements of any datfile
// as the library reads them, so the Python reader and writer are compared
// with the library itself rather than with a second guess of the format.
//
//   dat_fixture write DIR   one datfile per type and byte order, then "read" of each
//   dat_fixture read FILE...  per file: name, sets channels dims, re im of each element
//   dat_fixture matrix FILE   a 2 x 3 double matrix through mtx2dat
//   dat_fixture basis FILE    the detector's 64 x 64 DCT basis through mtx2dat
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dat.h"
#include "mres.h"

namespace {

// Prints a datfile's sizes and its elements read back as double complex.
int print_file(const char *name) {
    DATFILE *h = d_open(name, "r");
    if (!h) return 1;
    d_addr a;
    int n = d_getdim(h, &a.dset, &a.chan, a.dim, 10);
    long count = (long)a.dset * a.chan;
    printf("%s\t%d %d", name, a.dset, a.chan);
    for (int i = 0; i < n; i++) {
        printf(" %d", a.dim[i]);
        count *= a.dim[i];
    }
    putchar('\t');
    if (d_gettype(h, nullptr) == 'v') {  // untyped bytes convert to nothing: show them raw
        std::vector<unsigned char> raw((size_t)count);
        _dread(h, raw.data(), (int)count, 'v');
        for (unsigned char b : raw) printf(" %d 0", b);
    } else {
        std::vector<double> v((size_t)count * 2);
        _dread(h, v.data(), (int)count, 'Z');
        for (double x : v) printf(" %.17g", x);
    }
    putchar('\n');
    return d_close(h) == 0 ? 0 : 1;
}

int write_all(const std::string &dir) {
    // Re, im pairs that cross every type's range, sign and byte boundary.
    const double vals[] = {0, 0.5,   1,     -1, -2.5, 2.5,    127.6, 0, 300,    -7, -40000, 1,
                           70000, 2, 1.5,  -3, 3e9, 0.25, -0.25, 9, 1e-3, -1e5, 65535.5, 4};
    const int nvals = 12;
    int status = 0;
    int shape = 0;
    for (const d_stype *t = stype; t->name; t++)
        for (int bo : {MSB, LSB}) {
            if (t->size == 1 && bo == LSB) continue;  // one byte has no order
            std::string name = dir + "/" + t->name + (t->size > 1 ? bo == MSB ? "_msb" : "_lsb" : "");
            DATFILE *h = d_open(name.c_str(), "w");
            if (!h) return 1;
            if (t->size > 1) d_set_byte_order(h, bo);
            d_settype(h, t->code);
            // Cycle through 1, 2 and 3 dimensions, and once through sets and channels.
            static const int32_t dims[][3] = {{12, 0, 0}, {3, 4, 0}, {2, 3, 2}};
            static const int nd[] = {1, 2, 3};
            int s = shape++ % 4;
            if (s == 3) {
                int32_t d[1] = {3};
                d_setdim(h, 2, 2, d, 1);
            } else {
                d_setdim(h, 1, 1, dims[s], nd[s]);
            }
            if (t->code == 'v') {
                unsigned char raw[nvals];
                for (int i = 0; i < nvals; i++) raw[i] = (unsigned char)(i * 21 + 3);
                _dwrite(h, raw, nvals, 'v');
            } else {
                _dwrite(h, vals, nvals, 'Z');
            }
            if (d_close(h) != 0) return 1;
            status |= print_file(name.c_str());
        }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "write") == 0) return write_all(argv[2]);
    if (argc == 3 && strcmp(argv[1], "matrix") == 0) {
        matrix *m = calloc_mtx(2, 3);
        for (int i = 0; i < 6; i++) m->pix[0][i] = i * 1.25 - 2;
        mtx2dat(m, argv[2]);
        free_mtx(m);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "basis") == 0) {
        matrix *m = mkDCTBasis(8);
        mtx2dat(m, argv[2]);
        free_mtx(m);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "read") == 0) {
        int status = 0;
        for (int i = 2; i < argc; i++) status |= print_file(argv[i]);
        return status;
    }
    fputs("usage: dat_fixture write DIR | read FILE... | matrix FILE | basis FILE\n", stderr);
    return 2;
}
