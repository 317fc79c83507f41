// Owners for the matrix library's records: each releases its record with the
// library's own function when it goes out of scope, so an early return or an
// exception cannot leak. The library's API keeps plain pointers; these are
// for the code that calls it, at every layer (no image library needed).
#ifndef MTXOWN_H
#define MTXOWN_H

#include <cstdlib>
#include <memory>

#include "mtx.h"

namespace own {

struct MatrixFree {
    void operator()(matrix *m) const { free_mtx(m); }
};
struct PyramidFree {
    void operator()(pyramid *p) const { free_pyr(p); }
};
struct VolumeFree {
    void operator()(volume *v) const { free_vol(v); }
};
struct SingvsFree {
    void operator()(singvs *s) const { free_singvs(s); }
};
struct EigvsFree {
    void operator()(eigvs *e) const { free_eigvs(e); }
};

}  // namespace own

// Anything from malloc: arrays the libraries return (counts, buffers).
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

using MatrixPtr = std::unique_ptr<matrix, own::MatrixFree>;
using PyramidPtr = std::unique_ptr<pyramid, own::PyramidFree>;
using VolumePtr = std::unique_ptr<volume, own::VolumeFree>;
using SingvsPtr = std::unique_ptr<singvs, own::SingvsFree>;
using EigvsPtr = std::unique_ptr<eigvs, own::EigvsFree>;

#endif
