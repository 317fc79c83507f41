// The C++ side of the Python module's checks: datfiles of every type and
// byte order written through the library, and any datfile's elements as the
// library reads them, so the Python reader and writer are compared with the
// library itself.
//   dat_fixture write DIR     one datfile per type and byte order, each then read
//   dat_fixture read FILE...  per file: name, sets channels dims, re im of each element
//   dat_fixture basis FILE    the detector's 64 x 64 DCT basis, through mtx2dat
#include <cstring>
#include <string>
#include <vector>

#include "dat.h"
#include "mres.h"

namespace {

int print_file(const char *name) {
    DATFILE *h = d_open(name, "r");
    if (!h) return 1;
    d_addr a;
    int n = d_getdim(h, &a.dset, &a.chan, a.dim, 10);
    long count = (long)a.dset * a.chan;
    printf("%s\t%d %d", name, a.dset, a.chan);
    for (int i = 0; i < n; i++) printf(" %d", a.dim[i]), count *= a.dim[i];
    putchar('\t');
    std::vector<double> v((size_t)count * 2);
    if (d_gettype(h, nullptr) == 'v') {  // untyped bytes convert to nothing: show them raw
        std::vector<unsigned char> raw((size_t)count);
        _dread(h, raw.data(), (int)count, 'v');
        for (long i = 0; i < count; i++) v[2 * i] = raw[i];
    } else {
        _dread(h, v.data(), (int)count, 'Z');
    }
    for (double x : v) printf(" %.17g", x);
    putchar('\n');
    return d_close(h) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string cmd = argc >= 3 ? argv[1] : "";
    if (cmd == "read") {
        int status = 0;
        for (int i = 2; i < argc; i++) status |= print_file(argv[i]);
        return status;
    }
    if (cmd == "basis") {
        matrix *m = mkDCTBasis(8);
        mtx2dat(m, argv[2]);
        free_mtx(m);
        return 0;
    }
    if (cmd != "write") return 2;
    // Re, im pairs that cross every type's range, sign and byte boundary.
    const double vals[] = {0,     0.5, 1,   -1, -2.5, 2.5,  127.6, 0, 300,  -7,   -40000,  1,
                           70000, 2,   1.5, -3, 3e9,  0.25, -0.25, 9, 1e-3, -1e5, 65535.5, 4};
    // 1, 2 and 3 dimensions in turn, then 2 data sets of 2 channels.
    const int32_t dims[][3] = {{12, 0, 0}, {3, 4, 0}, {2, 3, 2}, {3, 0, 0}};
    const int nd[] = {1, 2, 3, 1}, levels[] = {1, 1, 1, 2};
    int status = 0, shape = 0;
    for (const d_stype *t = stype; t->name; t++)
        for (int bo : {MSB, LSB}) {
            if (t->size == 1 && bo == LSB) continue;  // one byte has no order
            std::string name = std::string(argv[2]) + "/" + t->name +
                               (t->size == 1 ? ""
                                : bo == MSB  ? "_msb"
                                             : "_lsb");
            DATFILE *h = d_open(name.c_str(), "w");
            if (!h) return 1;
            if (t->size > 1) d_set_byte_order(h, bo);
            d_settype(h, t->code);
            int s = shape++ % 4;
            d_setdim(h, levels[s], levels[s], dims[s], nd[s]);
            unsigned char raw[12];
            for (int i = 0; i < 12; i++) raw[i] = (unsigned char)(i * 21 + 3);
            if (t->code == 'v')
                _dwrite(h, raw, 12, 'v');
            else
                _dwrite(h, vals, 12, 'Z');
            if (d_close(h) != 0) return 1;
            status |= print_file(name.c_str());
        }
    return status;
}
