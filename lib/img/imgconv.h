// Image files and ImageMagick images to and from matrices.
//
// Samples are doubles, 0.0 black to 1.0 full intensity; matrix row i,
// column j is image row i from the top, column j from the left. Channel maps
// use ImageMagick's notation ("I", "R", "G", "B", "RGB"). Every function
// reports failure on standard output (the fixed texts below) and, for files,
// with a line naming the file and the reason on standard error; it returns 0
// or null; none ends the process. The functions keep no state of their own
// besides ImageMagick's and may be called from several threads.
//
// File names are paths, taken literally: ImageMagick's prefixes ("text:",
// "rose:", "ftp://...") and suffixes ("[0]", "[100x100]") have no meaning,
// and '%' is not expanded. A file is read only when it is a regular file
// whose content (not its name) is an image in one of img_formats() (below)
// of at most IMG_MAX_FILE_BYTES bytes whose first frame has at most
// IMG_MAX_PIXELS pixels (checked from the header, before decoding and before
// ImageMagick's resource policy). Only the first frame is kept. A file whose
// decoder reports lost pixels (cut short or damaged: a corrupt-image
// warning, or any error) is refused with the decoder's words; other warnings
// (an unknown TIFF tag) keep it. An image beyond ImageMagick's resource
// limits (policy.xml; MAGICK_CONFIGURE_PATH) is refused naming the limit and
// the image's size. Images in CMYK or another non-RGB colour space are
// converted to sRGB when read, so intensities and colours mean the same as
// in an RGB file. Pixels are taken as stored: an orientation tag (EXIF) is
// not applied, and a loaded image keeps none, so that a copy saved from it
// shows in the same grid as the matrices.
//
// A file is written in the format that its name's suffix selects, one of
// the suffixes of img_formats() (any letter case); other suffixes are
// refused. The data goes to a new file in the target's folder, is flushed to
// the disk, and is renamed over the target: a symbolic link at the target is
// replaced (its target is untouched), and a failed write (full disk) leaves
// the old file as it was and no partial file.
#ifndef IMGCONV_H
#define IMGCONV_H

#include <magick/MagickCore.h>

#include <cstddef>
#include <vector>

#include "imgstructs.h"
#include "mtx.h"

// Makes ImageMagick ready for use in this process; safe to call any number
// of times. Every function below calls it itself; other code that calls
// MagickCore directly (ResizeImage, DrawImage, ...) should call it first.
// ImageMagick is limited to one thread, so processes that fork (death tests)
// never inherit a busy thread pool.
void img_init(void);

// Images whose first frame has more pixels than this are refused before any
// pixel is decoded; a 12000 x 12000 photo passes.
constexpr unsigned long long IMG_MAX_PIXELS = 150000000ULL;
// Files larger than this are refused before they are read (a 12000 x 12000
// image stored uncompressed with 16-bit samples fits).
constexpr unsigned long long IMG_MAX_FILE_BYTES = 2ULL << 30;

// ---- file formats ----
// The accepted formats, one row each (imgconv.cpp). A file is read as the
// first format whose content test accepts its first bytes, and written by
// the coder of the suffix that its name ends in.
struct ImgSuffix {
    const char *suffix;  // after the name's last ".", letter case ignored
    const char *coder;   // ImageMagick's format for writing it
};
// Content tests see the file's first bytes, at most this many.
constexpr size_t kImgHeadBytes = 32;
struct ImgFormat {
    const char *name;  // ImageMagick's format for reading; the messages name it
    bool (*content)(const unsigned char *head, size_t n);
    std::vector<ImgSuffix> suffixes;
};
// In the order the messages list them.
const std::vector<ImgFormat> &img_formats();

// 1 when `filename` would be accepted by the readers below: a regular file
// in an accepted format whose header is readable and within IMG_MAX_PIXELS.
// Otherwise 0, after a line "Cannot read image <name>: <reason>" on standard
// error. The pixels are not decoded (damaged pixel data still fails later).
int img_check_file(const char *filename);
// The same check, also giving the size the header states (that of the
// decoded first frame); 0 after the same message.
int img_file_size(const char *filename, int *width, int *height);

// The accepted format ("JPEG", "PNG", ...) that the first bytes of a
// regular file show, or null (not a regular file, unreadable, or content
// of no accepted format). Nothing is printed.
const char *img_file_format(const char *filename);

// ---- file level ----
// The returned image belongs to the caller (DestroyImage); null on failure.
Image *LoadImage(const char *filename);
// 1 when written (format from the name's suffix), 0 when not, after a line
// naming the file on standard error; the image stays the caller's, unchanged.
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
// The grey image of width*height 16-bit samples as ImageMagick holds them
// (what mtx2im stores for a matrix, without the doubles); 1 when written.
int gray16_to_im(const unsigned short *q, int width, int height, const char *filename);
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
