// Owners for the C-style records of the libraries: each releases its record
// with the library's own function when it goes out of scope, so an early
// return cannot leak. The libraries' API keeps plain pointers; these are for
// the code that calls it.
#ifndef OWNERS_H
#define OWNERS_H

#include <magick/MagickCore.h>

#include <cstdlib>
#include <memory>

#include "imgstructs.h"
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
struct ColorFree {
    void operator()(colormatrix *c) const { free_colormtx(c); }
};
struct ImageFree {
    void operator()(Image *p) const { DestroyImageList(p); }
};
struct ImageInfoFree {
    void operator()(ImageInfo *p) const { DestroyImageInfo(p); }
};
struct DrawInfoFree {
    void operator()(DrawInfo *p) const { DestroyDrawInfo(p); }
};
struct ExceptionFree {
    void operator()(ExceptionInfo *p) const { DestroyExceptionInfo(p); }
};

}  // namespace own

// Anything from malloc: arrays the libraries return (counts, buffers).
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

using MatrixPtr = std::unique_ptr<matrix, own::MatrixFree>;
using PyramidPtr = std::unique_ptr<pyramid, own::PyramidFree>;
using VolumePtr = std::unique_ptr<volume, own::VolumeFree>;
using ColorPtr = std::unique_ptr<colormatrix, own::ColorFree>;
using ImagePtr = std::unique_ptr<Image, own::ImageFree>;
using ImageInfoPtr = std::unique_ptr<ImageInfo, own::ImageInfoFree>;
using DrawInfoPtr = std::unique_ptr<DrawInfo, own::DrawInfoFree>;
// Exception records come from AcquireExceptionInfo: DestroyExceptionInfo
// releases a record's list and lock only for records made that way, so a
// record set up with GetExceptionInfo on the stack would leak them per call.
using ExceptionPtr = std::unique_ptr<ExceptionInfo, own::ExceptionFree>;

// An exception record acquired on construction.
class MagickException {
public:
    MagickException() : rec_(AcquireExceptionInfo()) {}
    ExceptionInfo *get() { return rec_.get(); }

private:
    ExceptionPtr rec_;
};

#endif
