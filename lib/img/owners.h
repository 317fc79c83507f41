// Owners for ImageMagick's records, beside those of the libraries' own
// records (mtxown.h, imgstructs.h): each releases its record when it goes
// out of scope, so an early return cannot leak.
#ifndef OWNERS_H
#define OWNERS_H

#include <magick/MagickCore.h>

#include <memory>

#include "imgstructs.h"
#include "mtxown.h"

namespace own {

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
