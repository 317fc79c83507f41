// Image files and ImageMagick images to and from matrices.
//
// Samples are doubles, 0.0 black to 1.0 full intensity; matrix row i,
// column j is image row i from the top, column j from the left. Channel maps
// use ImageMagick's notation ("I", "R", "G", "B", "RGB"). Every function
// reports failure on standard output and returns 0 or null; none ends the
// process.
#ifndef IMGCONV_H
#define IMGCONV_H

#include <magick/MagickCore.h>

#include "imgstructs.h"
#include "mtx.h"

// Makes ImageMagick ready for use in this process; safe to call any number
// of times. Every function below calls it itself; other code that calls
// MagickCore directly (ResizeImage, DrawImage, ...) should call it first.
// ImageMagick is limited to one thread, so processes that fork (death tests)
// never inherit a busy thread pool.
void img_init(void);

// ---- file level ----
// The returned image belongs to the caller (DestroyImage); null on failure.
Image *LoadImage(const char *filename);
// 1 when written (format from the name's suffix), 0 when not; the image stays the caller's.
int SaveImage(Image *image, const char *filename);

// Reads every pixel of `filename` through channel `map` into a new interleaved
// buffer of `type` elements (caller frees with free()). 1 on success, 0 on failure.
int imread(const char *filename, const char *map, StorageType type, int *width, int *height,
           void **pixels);
int imreadgray(const char *filename, int *width, int *height, double **pixels);
int imreadrgb(const char *filename, int *width, int *height, double **pixels);
// `pixels` holds width*height (gray) or width*height*3 (rgb) doubles. 1 when written.
int imwritegray(const char *filename, int width, int height, const double *pixels);
int imwritergb(const char *filename, int width, int height, const double *pixels);

// New height x width matrix of the one-character channel `map`, or null.
matrix *im2mtx(const char *filename, const char *map);
// New "RGB" colormatrix of three channels, or null.
colormatrix *im2colormtx(const char *filename);
int mtx2im(matrix *m, const char *filename);
int rgbmtx2im(colormatrix *cm, const char *filename);

// ---- in memory ----
// The image is neither modified nor destroyed.
matrix *Image2matrix(Image *image, const char *map);
colormatrix *Image2colormatrix(Image *image);
// New grey image of ncols x nrows (caller destroys it), or null.
Image *matrix2Image(matrix *m);
// New colour image from the three channels of `cm`, or null.
Image *colormatrix2Image(colormatrix *cm);

#endif
