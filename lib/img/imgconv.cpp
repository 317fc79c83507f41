// Image files and ImageMagick images to and from matrices.
//
// Thin glue over MagickCore. Every ImageMagick record a function obtains
// (image, image-info, exception record, pixel buffer) is held by a small
// owner object, so each one is released on every return path, failures
// included. Nothing here ends the process: failures print a fixed message on
// standard output and give 0 or null.
#include "imgconv.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace {

// ---- owners ------------------------------------------------------------------

// The exception record comes from AcquireExceptionInfo: DestroyExceptionInfo
// releases the record's list and lock only for records made that way, so a
// record set up with GetExceptionInfo on the stack would leak them per call.
class Exception {
public:
    Exception() : rec_(AcquireExceptionInfo()) {}
    ~Exception() {
        if (rec_) DestroyExceptionInfo(rec_);
    }
    Exception(const Exception &) = delete;
    Exception &operator=(const Exception &) = delete;
    ExceptionInfo *get() { return rec_; }
    // Hands the recorded problem to ImageMagick's reporter, warnings included.
    void report() {
        if (rec_->severity != UndefinedException) CatchException(rec_);
    }

private:
    ExceptionInfo *rec_;
};

struct InfoDeleter {
    void operator()(ImageInfo *p) const { DestroyImageInfo(p); }
};
using InfoPtr = std::unique_ptr<ImageInfo, InfoDeleter>;

struct ImageDeleter {
    void operator()(Image *p) const { DestroyImageList(p); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T>
using Buffer = std::unique_ptr<T, FreeDeleter>;

struct MatrixDeleter {
    void operator()(matrix *m) const { free_mtx(m); }
};
using MatrixPtr = std::unique_ptr<matrix, MatrixDeleter>;

struct ColorDeleter {
    void operator()(colormatrix *cm) const { free_colormtx(cm); }
};
using ColorPtr = std::unique_ptr<colormatrix, ColorDeleter>;

const char kCantOpen[] = "File Can't Open!\n";
const char kReadError[] = "Image Read Error!\n";
const char kWrongChannel[] = "ERROR: Wrong channel number!!!\n";
const char kWrongDepth[] = "ERROR: Wrong Matrix Depth, Image can't be written!\n";
const char kCantWrite[] = "Error: can't write image!\n";

void say(const char *msg) { fputs(msg, stdout); }

// ImageMagick keeps file names in a fixed field; a longer name would be cut
// silently and name another file, so it is refused instead.
bool name_fits(const char *filename) {
    return filename && strlen(filename) < MaxTextExtent;
}

size_t storage_size(StorageType type) {
    switch (type) {
        case CharPixel: return 1;
        case ShortPixel: return 2;
        case IntegerPixel: return 4;
        // Some ImageMagick 6 releases export LongPixel as unsigned long.
        case LongPixel: return sizeof(unsigned long) > 4 ? sizeof(unsigned long) : 4;
        case FloatPixel: return 4;
        case DoublePixel: return 8;
        default: return 8;
    }
}

// a * b * c * d in size_t, or 0 when it does not fit.
size_t checked_product(size_t a, size_t b, size_t c, size_t d) {
    size_t r = a;
    for (size_t f : {b, c, d}) {
        if (f != 0 && r > SIZE_MAX / f) return 0;
        r *= f;
    }
    return r;
}

bool fits_int(size_t n) { return n > 0 && n <= (size_t)INT_MAX; }

// Reads the first frame of `filename`; later frames of a multi-frame file are
// dropped so that the caller owns exactly one image. Reports ImageMagick's
// problems and prints "File Can't Open!" when nothing was read.
ImagePtr read_first_frame(const char *filename) {
    img_init();
    if (!name_fits(filename)) {
        if (filename) say("File name too long!\n");
        say(kCantOpen);
        return nullptr;
    }
    Exception exception;
    InfoPtr info(CloneImageInfo(nullptr));
    if (!info) {
        say(kCantOpen);
        return nullptr;
    }
    strcpy(info->filename, filename);
    ImagePtr image(ReadImage(info.get(), exception.get()));
    exception.report();
    if (!image) {
        say(kCantOpen);
        return nullptr;
    }
    if (image->next) DestroyImageList(SplitImageList(image.get()));
    return image;
}

// Exports the whole image through `map` into `dest`, which must hold
// columns * rows * strlen(map) elements of `type`.
bool export_pixels(const Image *image, const char *map, StorageType type, void *dest) {
    Exception exception;
    return ExportImagePixels(image, 0, 0, image->columns, image->rows, map, type, dest,
                             exception.get()) != MagickFalse;
}

// Builds an image from an interleaved double buffer and writes it.
bool write_pixels(const char *filename, int width, int height, const char *map,
                  const double *pixels) {
    img_init();
    if (!name_fits(filename) || !pixels || width <= 0 || height <= 0) return false;
    Exception exception;
    InfoPtr info(CloneImageInfo(nullptr));
    if (!info) return false;
    ImagePtr image(ConstituteImage((size_t)width, (size_t)height, map, DoublePixel, pixels,
                                   exception.get()));
    if (!image) return false;
    // Built from doubles, the image claims a 32-bit depth, which some
    // encoders (PNM) write as a sample range no reader understands; files
    // carry ImageMagick's own quantum depth instead.
    image->depth = MAGICKCORE_QUANTUM_DEPTH;
    return WriteImages(info.get(), image.get(), filename, exception.get()) != MagickFalse;
}

// A three-channel record whose channels are all present and of the record's
// size; anything less would be read out of bounds.
bool channels_usable(const colormatrix *cm) {
    if (!cm || cm->chanum != 3 || !cm->chans || cm->width <= 0 || cm->height <= 0) return false;
    for (int ch = 0; ch < 3; ch++) {
        const matrix *m = cm->chans[ch];
        if (!m || m->nrows != cm->height || m->ncols != cm->width) return false;
    }
    return true;
}

// Interleaves the three channels pixel by pixel; null when memory is short.
Buffer<double> interleave(const colormatrix *cm) {
    size_t n = checked_product((size_t)cm->width, (size_t)cm->height, 3, sizeof(double));
    if (n == 0) return nullptr;
    Buffer<double> buf((double *)malloc(n));
    if (!buf) return nullptr;
    double *out = buf.get();
    size_t w = (size_t)cm->width;
    for (int ch = 0; ch < 3; ch++) {
        double **pix = cm->chans[ch]->pix;
        for (int i = 0; i < cm->height; i++)
            for (int j = 0; j < cm->width; j++) out[((size_t)i * w + j) * 3 + ch] = pix[i][j];
    }
    return buf;
}

}  // namespace

void img_init(void) {
    static bool ready = false;
    if (ready) return;
    ready = true;
    if (IsMagickCoreInstantiated() == MagickFalse) {
        // No signal handlers: the programs keep the default ones.
        MagickCoreGenesis(nullptr, MagickFalse);
        atexit(MagickCoreTerminus);
    }
    // The programs are single-threaded; one thread also keeps a forked
    // child from waiting on a thread pool it did not inherit.
    SetMagickResourceLimit(ThreadResource, 1);
}

// ---- file level --------------------------------------------------------------

Image *LoadImage(const char *filename) { return read_first_frame(filename).release(); }

int SaveImage(Image *image, const char *filename) {
    img_init();
    if (!image || !name_fits(filename)) return 0;
    Exception exception;
    InfoPtr info(CloneImageInfo(nullptr));
    if (!info) return 0;
    return WriteImages(info.get(), image, filename, exception.get()) != MagickFalse ? 1 : 0;
}

int imread(const char *filename, const char *map, StorageType type, int *width, int *height,
           void **pixels) {
    ImagePtr image = read_first_frame(filename);
    if (!image) return 0;
    size_t bytes = checked_product(image->columns, image->rows, map ? strlen(map) : 0,
                                   storage_size(type));
    if (bytes == 0 || !fits_int(image->columns) || !fits_int(image->rows)) {
        say(kReadError);
        return 0;
    }
    Buffer<void> buf(malloc(bytes));
    if (!buf || !export_pixels(image.get(), map, type, buf.get())) {
        say(kReadError);
        return 0;
    }
    *width = (int)image->columns;
    *height = (int)image->rows;
    *pixels = buf.release();
    return 1;
}

int imreadgray(const char *filename, int *width, int *height, double **pixels) {
    void *buf = nullptr;
    int ok = imread(filename, "I", DoublePixel, width, height, &buf);
    if (ok) *pixels = (double *)buf;
    return ok;
}

int imreadrgb(const char *filename, int *width, int *height, double **pixels) {
    void *buf = nullptr;
    int ok = imread(filename, "RGB", DoublePixel, width, height, &buf);
    if (ok) *pixels = (double *)buf;
    return ok;
}

int imwritegray(const char *filename, int width, int height, const double *pixels) {
    return write_pixels(filename, width, height, "I", pixels) ? 1 : 0;
}

int imwritergb(const char *filename, int width, int height, const double *pixels) {
    return write_pixels(filename, width, height, "RGB", pixels) ? 1 : 0;
}

matrix *im2mtx(const char *filename, const char *map) {
    if (!map || strlen(map) != 1) {
        say(kWrongChannel);
        return nullptr;
    }
    int width = 0, height = 0;
    void *raw = nullptr;
    if (!imread(filename, map, DoublePixel, &width, &height, &raw)) return nullptr;
    Buffer<double> buf((double *)raw);
    matrix *m = alloc_mtx(height, width);
    memcpy(m->pix[0], buf.get(), (size_t)width * (size_t)height * sizeof(double));
    return m;
}

colormatrix *im2colormtx(const char *filename) {
    int width = 0, height = 0;
    double *raw = nullptr;
    if (!imreadgray(filename, &width, &height, &raw)) return nullptr;
    free(raw);
    ColorPtr cm(calloc_colormtx("RGB", 3, height, width));
    const char *maps[3] = {"R", "G", "B"};
    for (int ch = 0; ch < 3; ch++) {
        matrix *m = im2mtx(filename, maps[ch]);
        if (!m) return nullptr;
        cm->chans[ch] = m;
        // The file is read four times; a file replaced in between is refused.
        if (m->nrows != height || m->ncols != width) {
            say(kReadError);
            return nullptr;
        }
    }
    return cm.release();
}

int mtx2im(matrix *m, const char *filename) {
    if (!m || !m->pix || !imwritegray(filename, m->ncols, m->nrows, m->pix[0])) {
        say(kCantWrite);
        return 0;
    }
    return 1;
}

int rgbmtx2im(colormatrix *cm, const char *filename) {
    if (!cm || cm->chanum != 3 || strcmp(cm->colortype, "RGB") != 0 || !channels_usable(cm)) {
        say(kWrongDepth);
        return 0;
    }
    Buffer<double> buf = interleave(cm);
    if (!buf || !imwritergb(filename, cm->width, cm->height, buf.get())) {
        say(kCantWrite);
        return 0;
    }
    return 1;
}

// ---- in memory ---------------------------------------------------------------

matrix *Image2matrix(Image *image, const char *map) {
    if (!map || strlen(map) != 1) {
        say(kWrongChannel);
        return nullptr;
    }
    img_init();
    if (!image || !fits_int(image->rows) || !fits_int(image->columns)) {
        say(kReadError);
        return nullptr;
    }
    MatrixPtr m(alloc_mtx((int)image->rows, (int)image->columns));
    if (!export_pixels(image, map, DoublePixel, m->pix[0])) {
        say(kReadError);
        return nullptr;
    }
    return m.release();
}

colormatrix *Image2colormatrix(Image *image) {
    img_init();
    if (!image || !fits_int(image->rows) || !fits_int(image->columns)) {
        say(kReadError);
        return nullptr;
    }
    int rows = (int)image->rows, cols = (int)image->columns;
    ColorPtr cm(calloc_colormtx("RGB", 3, rows, cols));
    const char *maps[3] = {"R", "G", "B"};
    for (int ch = 0; ch < 3; ch++) {
        cm->chans[ch] = alloc_mtx(rows, cols);
        if (!export_pixels(image, maps[ch], DoublePixel, cm->chans[ch]->pix[0])) {
            say(kReadError);
            return nullptr;
        }
    }
    return cm.release();
}

Image *matrix2Image(matrix *m) {
    img_init();
    if (!m || !m->pix || m->nrows <= 0 || m->ncols <= 0) return nullptr;
    Exception exception;
    return ConstituteImage((size_t)m->ncols, (size_t)m->nrows, "I", DoublePixel, m->pix[0],
                           exception.get());
}

Image *colormatrix2Image(colormatrix *cm) {
    img_init();
    if (!channels_usable(cm)) {
        say(kWrongDepth);
        return nullptr;
    }
    Buffer<double> buf = interleave(cm);
    if (!buf) return nullptr;
    Exception exception;
    return ConstituteImage((size_t)cm->width, (size_t)cm->height, "RGB", DoublePixel, buf.get(),
                           exception.get());
}
