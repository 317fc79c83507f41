// Multi-channel images held as one matrix per channel.
#ifndef IMGSTRUCTS_H
#define IMGSTRUCTS_H

#include <memory>

#include "mtx.h"

// A colour image: chans[i] is channel i (for "RGB": red, green, blue), every
// channel `height` x `width`. The record owns its channel matrices; a null
// entry is an absent channel.
typedef struct {
    char colortype[10];  // layout name, at most 9 characters (longer is cut)
    int chanum;
    int height;
    int width;
    matrix **chans;
} colormatrix;

// New record with `chanum` null channel pointers. `colortype` longer than
// 9 characters is truncated; a null `colortype` gives an empty name.
colormatrix *calloc_colormtx(const char *colortype, int chanum, int height, int width);
// Frees every non-null channel, the channel array and the record (null is a no-op).
void free_colormtx(colormatrix *cm);
// 1 when cm holds three channels, all present and of the record's size
// (anything less would be read out of bounds), else 0.
int colormtx_complete(const colormatrix *cm);

namespace own {
struct ColorFree {
    void operator()(colormatrix *c) const { free_colormtx(c); }
};
}  // namespace own
// Owner of a colour record (mtxown.h has the matrix library's).
using ColorPtr = std::unique_ptr<colormatrix, own::ColorFree>;

#endif
