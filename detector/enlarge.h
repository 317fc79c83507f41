// Enlarging a level-l channel map by 2^l to full size. Two routes give the
// same samples: ImageMagick's ResizeImage with the cubic B-spline (through a
// 16-bit grey image and back), and this program's own separable
// reproduction of that resize, which is many times faster. The own route is
// used only after it has been compared with ImageMagick in this process.
#ifndef ENLARGE_H
#define ENLARGE_H

#include "mtx.h"

// Deepest level the own route serves; deeper ones always go through
// ImageMagick (a channel there needs an image of over 2^33 pixels).
constexpr int kMaxExactLevel = 16;

// New (rows * 2^l) x (cols * 2^l) matrix, sample for sample what
// ResizeImage(CubicFilter, blur 1) of the grey image of `chan`, read back as
// intensity, gives. Null when chan is empty, l is outside 0..29 or the
// result would not fit in an int-sized matrix. Safe to call from several
// threads at once.
matrix *enlarge_channel_exact(const matrix *chan, int l);

// The ImageMagick route: matrix2Image, ResizeImage, Image2matrix(.., "I").
// Null after a message when ImageMagick fails.
matrix *enlarge_channel_magick(matrix *chan, int l);

// True when enlarge_channel_exact matches the ImageMagick route sample for
// sample on a small random probe (odd sizes, values outside 0..1, NaN and
// infinities) at every level 0..min(maxlevel, kMaxExactLevel). A level whose
// probe ImageMagick declines (its size limits) is not counted: enlarge_channel
// leaves such a level to ImageMagick.
bool enlarge_exact_verified(int maxlevel);

// Decides once per process, for levels 0..maxlevel, whether enlarge_channel
// may use the own route; if any level differs, every level goes through
// ImageMagick and one notice is printed on standard error. Later calls do
// nothing; without a call, enlarge_channel probes each level when it is
// first asked for.
void enlarge_select(int maxlevel);

// True when this ImageMagick has been seen to round imported samples as
// this file does (the level-0 probe passes every kind of value through it).
bool magick_rounding_checked();

// q[i] = the 16-bit sample ImageMagick stores for v[i] / divisor imported as
// a double (clamped to 0..1, NaN to 0), for n samples.
void quantize_ratio(const double *v, long n, double divisor, unsigned short *q);

#endif
