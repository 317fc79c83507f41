// Image files and ImageMagick images to and from matrices.
//
// Thin glue over MagickCore. Every ImageMagick record a function obtains
// (image, image-info, exception record, pixel buffer) is held by a small
// owner object, so each one is released on every return path, failures
// included. Nothing here ends the process: failures print a fixed message on
// standard output, and a line naming the file and the reason on standard
// error, and give 0 or null.
//
// File names are paths, used literally. Reading opens the file here, takes
// only regular files whose content is of a format of img_formats(),
// refuses images of more than IMG_MAX_PIXELS pixels from their header, and
// hands the bytes to ImageMagick with the format stated: no ImageMagick
// prefix ("text:", "msl:", "ftp://"), suffix ("[...]") or guessed coder
// (SVG, MVG, PostScript) is ever reached. A decode that lost pixels is a
// failure, and a refusal by ImageMagick's resource policy names the limit.
// Writing encodes in memory in the format of the name's suffix, writes a new
// file beside the target and renames it into place. Two steps go around
// ImageMagick's slowest per-pixel code with the same arithmetic: the "I"
// export to doubles, and JPEG encoding (libjpeg fed directly, jpegwrite.h);
// each is used only after a check on probes that it gives ImageMagick's own
// doubles or bytes. No other mutable state is kept outside ImageMagick.
#include "imgconv.h"
#include "jpegwrite.h"
#include "mtxsize.h"
#include "owners.h"
#include "safewrite.h"
#include "tempfiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <strings.h>
#include <ctime>
#include <vector>
#include "fail.h"

namespace {

// ---- owners ------------------------------------------------------------------

// Pixel buffers from malloc (ImageMagick's export target).
template <class T>
using Buffer = std::unique_ptr<T, FreeDeleter>;

const char kCantOpen[] = "File Can't Open!\n";
const char kReadError[] = "Image Read Error!\n";
const char kWrongChannel[] = "ERROR: Wrong channel number!!!\n";
const char kWrongDepth[] = "ERROR: Wrong Matrix Depth, Image can't be written!\n";
const char kCantWrite[] = "Error: can't write image!\n";

void say(const char *msg) { lib_puts(1, msg); }

// ImageMagick keeps file names in a fixed field; a longer name would be cut
// silently and name another file, so it is refused instead.
bool name_fits(const char *filename) { return filename && strlen(filename) < MaxTextExtent; }

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

bool fits_int(size_t n) { return n > 0 && n <= (size_t)INT_MAX; }

// ---- messages naming the file ------------------------------------------------

// The specific reason for a refused or failed file, on standard error; the
// fixed texts of standard output stay as they were.
void tell(const char *what, const char *filename, const std::string &why) {
    fflush(stdout);
    lib_printf(2, "%s %s: %s\n", what, filename, why.c_str());
}

// ImageMagick's words without the place in its sources it appends to them
// ("... `context' @ error/pnm.c/ReadPNMImage/1345"): the file is named
// by the line already.
std::string plain_words(const char *reason) {
    std::string text = reason;
    const size_t at = text.find(" @ ");
    if (at == std::string::npos) return text;
    const std::string where = text.substr(at + 3);
    if (where.find(' ') != std::string::npos || where.find('/') == std::string::npos) return text;
    text.erase(at);
    const size_t tick = text.rfind(" `");
    if (tick != std::string::npos && !text.empty() && text.back() == '\'') text.erase(tick);
    return text;
}

// ImageMagick's reason and description of a recorded problem, or `fallback`.
std::string magick_text(const ExceptionInfo *ex, const char *fallback) {
    if (!ex || ex->severity == UndefinedException || !ex->reason) return fallback;
    std::string text = plain_words(ex->reason);
    if (ex->description && *ex->description) text += std::string(" (") + ex->description + ")";
    return text;
}

// Whether a problem recorded while decoding means that pixels were lost:
// any error (an image handed back with one is partial, as a TIFF strip cut
// short) and the corrupt-image warnings, which decoders give when they go
// past damaged or missing data (libjpeg's "Premature end of JPEG file" of
// a cut-off copy). Other warnings (an unknown TIFF tag, a note about a
// colour profile) leave the pixels whole.
bool loses_pixels(ExceptionType severity) {
    return severity >= ErrorException || severity == CorruptImageWarning;
}

// A shortage of what ImageMagick's resource policy allows (its pixel cache).
bool out_of_resources(ExceptionType severity) {
    return severity == ResourceLimitError || severity == CacheError;
}

// The first problem in `ex` that `of_kind` picks, or null. A record keeps
// only the most severe problem at its top, and a harmless coder warning
// (350) outranks a corrupt-image one (325): the whole list is looked at.
const ExceptionInfo *first_problem(const ExceptionInfo *ex, bool (*of_kind)(ExceptionType)) {
    if (!ex || ex->severity == UndefinedException) return nullptr;
    auto *list = (LinkedListInfo *)ex->exceptions;
    if (!list) return of_kind(ex->severity) ? ex : nullptr;
    ResetLinkedListIterator(list);
    while (auto *p = (const ExceptionInfo *)GetNextValueInLinkedList(list))
        if (of_kind(p->severity) && p->reason) return p;
    return nullptr;
}

// ---- ImageMagick's resource policy -------------------------------------------

// Where a refusal by the policy sends the reader.
const char kPolicyHint[] =
    " (ImageMagick's resource policy; \"ImageMagick's limits\" in README.md shows how to raise "
    "it)";

std::string bytes_text(MagickSizeType bytes) {
    if (bytes < (1ULL << 20)) return std::to_string((unsigned long long)bytes) + " bytes";
    return std::to_string((unsigned long long)((bytes + (1ULL << 19)) >> 20)) + " MiB";
}

// Why ImageMagick's limits refuse an image of columns x rows whose pixels
// take `pixel_bytes` each in its pixel cache, or "" when none does.
// `short_of_cache` tells that ImageMagick ran out of room for the cache:
// which limit that was cannot be told exactly (the cache is held in memory
// within the area and memory limits, beyond them on disk within the disk
// limit, some decoders need it twice for a while, and other images hold
// their share), so all three are named.
std::string policy_refusal(size_t columns, size_t rows, size_t pixel_bytes, bool short_of_cache) {
    if (columns == 0 || rows == 0) return "";
    const std::string size =
        "the image is " + std::to_string(columns) + " x " + std::to_string(rows) + " pixels, ";
    const MagickSizeType width = GetMagickResourceLimit(WidthResource),
                         height = GetMagickResourceLimit(HeightResource);
    if (columns > width)
        return size + "wider than ImageMagick's width limit of " + std::to_string(width) +
               " pixels" + kPolicyHint;
    if (rows > height)
        return size + "taller than ImageMagick's height limit of " + std::to_string(height) +
               " pixels" + kPolicyHint;
    if (!short_of_cache) return "";
    const MagickSizeType bytes = (MagickSizeType)columns * rows * pixel_bytes;
    return size + "more than ImageMagick's limits leave room for: its pixels take " +
           bytes_text(bytes) + ", and the area limit is " +
           std::to_string(GetMagickResourceLimit(AreaResource)) + " pixels, the memory limit " +
           bytes_text(GetMagickResourceLimit(MemoryResource)) + " and the disk limit " +
           bytes_text(GetMagickResourceLimit(DiskResource)) + kPolicyHint;
}

// ---- reading: only plain image files reach ImageMagick -------------------------

bool starts(const unsigned char *b, size_t n, const char *magic, size_t len) {
    return n >= len && memcmp(b, magic, len) == 0;
}

}  // namespace

// The formats accepted, in the order the messages list them. A new format
// is a row: its name for ImageMagick, the test of its first bytes (at most
// kImgHeadBytes are looked at) and the suffixes that write it.
const std::vector<ImgFormat> &img_formats() {
    static const std::vector<ImgFormat> formats = {
        {"JPEG",
         [](const unsigned char *b, size_t n) { return starts(b, n, "\xFF\xD8\xFF", 3); },
         {{"jpg", "JPEG"}, {"jpeg", "JPEG"}}},
        {"PNG",
         [](const unsigned char *b, size_t n) { return starts(b, n, "\x89PNG\r\n\x1A\n", 8); },
         {{"png", "PNG"}}},
        {"GIF",
         [](const unsigned char *b, size_t n) {
             return starts(b, n, "GIF87a", 6) || starts(b, n, "GIF89a", 6);
         },
         {{"gif", "GIF"}}},
        {"TIFF",
         [](const unsigned char *b, size_t n) {
             return starts(b, n, "II*\0", 4) || starts(b, n, "MM\0*", 4) ||
                    starts(b, n, "II+\0", 4) || starts(b, n, "MM\0+", 4);
         },
         {{"tif", "TIFF"}, {"tiff", "TIFF"}}},
        {"BMP",
         [](const unsigned char *b, size_t n) { return starts(b, n, "BM", 2) && n >= 26; },
         {{"bmp", "BMP"}}},
        // P1..P6 followed by white space or a comment.
        {"PNM",
         [](const unsigned char *b, size_t n) {
             return n >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '6' &&
                    (isspace(b[2]) || b[2] == '#');
         },
         {{"pgm", "PGM"}, {"ppm", "PPM"}, {"pnm", "PNM"}}},
    };
    return formats;
}

namespace {

// The accepted format that the first bytes show. The name's suffix plays no
// part, and ImageMagick is told the format, so it never guesses from the
// name or the content (an SVG called .jpg stays refused).
const char *sniff_format(const unsigned char *b, size_t n) {
    for (const ImgFormat &f : img_formats())
        if (f.content(b, n)) return f.name;
    return nullptr;
}

// "a, b or c" of the format names.
std::string format_names() {
    const std::vector<ImgFormat> &formats = img_formats();
    std::string text;
    for (size_t i = 0; i < formats.size(); i++) {
        if (i > 0) text += i + 1 == formats.size() ? " or " : ", ";
        text += formats[i].name;
    }
    return text;
}

// "a, b, c" of every suffix that writes a file.
std::string format_suffixes() {
    std::string text;
    for (const ImgFormat &f : img_formats())
        for (const ImgSuffix &s : f.suffixes)
            text += (text.empty() ? "" : ", ") + std::string(s.suffix);
    return text;
}

// The bytes of one plain file and the format its content shows.
struct Source {
    Buffer<unsigned char> bytes;
    size_t size = 0;
    const char *magick = nullptr;
};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Opens `filename` as a path, literally, and reads it whole: a regular file
// of at most IMG_MAX_FILE_BYTES in an accepted format. Otherwise prints the
// reason naming the file on standard error and returns false.
bool load_source(const char *filename, Source *src) {
    const char *what = "Cannot read image";
    // Non-blocking: opening a FIFO without a writer would wait for ever.
    Fd in{open(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (in.fd < 0) {
        tell(what, filename, errno_text(errno));
        return false;
    }
    struct stat st;
    if (fstat(in.fd, &st) != 0) {
        tell(what, filename, errno_text(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        tell(what, filename,
             S_ISDIR(st.st_mode) ? "it is a directory, not an image file"
                                 : "it is not a regular file");
        return false;
    }
    if ((unsigned long long)st.st_size > IMG_MAX_FILE_BYTES) {
        tell(what, filename,
             "the file has " + std::to_string((long long)st.st_size) +
                 " bytes, more than the limit of " + std::to_string(IMG_MAX_FILE_BYTES));
        return false;
    }
    size_t want = (size_t)st.st_size;
    src->bytes.reset((unsigned char *)malloc(want > 0 ? want : 1));
    if (!src->bytes) {
        tell(what, filename, "out of memory for " + std::to_string(want) + " bytes");
        return false;
    }
    size_t got = 0;
    while (got < want) {
        ssize_t r = read(in.fd, src->bytes.get() + got, want - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            tell(what, filename, errno_text(errno));
            return false;
        }
        if (r == 0) break;  // the file shrank meanwhile: what is there is read
        got += (size_t)r;
    }
    src->size = got;
    if (got == 0) {
        tell(what, filename, "the file is empty");
        return false;
    }
    src->magick = sniff_format(src->bytes.get(), std::min(got, kImgHeadBytes));
    if (!src->magick) {
        tell(what, filename, "its content is not a " + format_names() + " image");
        return false;
    }
    return true;
}

// Settings for ImageMagick: the format stated, no file name (ImageMagick
// would parse prefixes and "[...]" suffixes in it), the first frame only.
ImageInfoPtr blob_info(const char *magick) {
    ImageInfoPtr info(CloneImageInfo(nullptr));
    if (!info) return nullptr;
    CopyMagickString(info->magick, magick, MaxTextExtent);
    info->filename[0] = '\0';
    info->affirm = MagickTrue;
    info->scene = 0;
    info->number_scenes = 1;
    return info;
}

// The pixel count of width x height, if at most IMG_MAX_PIXELS.
bool within_pixel_limit(size_t columns, size_t rows) {
    return columns > 0 && rows > 0 && columns <= IMG_MAX_PIXELS && rows <= IMG_MAX_PIXELS &&
           (unsigned long long)columns * rows <= IMG_MAX_PIXELS;
}

std::string pixel_text(size_t columns, size_t rows) {
    return std::to_string(columns) + " x " + std::to_string(rows) +
           " pixels, more than the limit of " + std::to_string(IMG_MAX_PIXELS) + " pixels";
}

std::string size_refusal(size_t columns, size_t rows) {
    return "the image is " + (columns == 0 || rows == 0
                                  ? std::string("empty (") + std::to_string(columns) + " x " +
                                        std::to_string(rows) + " pixels)"
                                  : pixel_text(columns, rows));
}

unsigned be16(const unsigned char *p) { return (unsigned)p[0] << 8 | p[1]; }
unsigned le16(const unsigned char *p) { return (unsigned)p[1] << 8 | p[0]; }
unsigned long be32(const unsigned char *p) { return (unsigned long)be16(p) << 16 | be16(p + 2); }

// The size that the header of a JPEG (its frame header), PNG (IHDR) or GIF
// (first image descriptor) states, read here; false when not found.
// ImageMagick's own look at the header of these formats is already held to
// its width and height limits, so it would refuse a huge image before the
// pixel limit of these programs could say why.
bool stated_size(const Source &src, size_t *columns, size_t *rows) {
    const unsigned char *b = src.bytes.get();
    const size_t n = src.size;
    if (strcmp(src.magick, "PNG") == 0) {
        if (n < 24 || memcmp(b + 12, "IHDR", 4) != 0) return false;
        *columns = be32(b + 16);
        *rows = be32(b + 20);
    } else if (strcmp(src.magick, "GIF") == 0) {
        if (n < 13) return false;
        size_t at = 13 + ((b[10] & 0x80) ? 3u << ((b[10] & 7) + 1) : 0);  // global colours
        // Extensions (label, then sub-blocks up to an empty one) come first.
        while (at + 2 < n && b[at] == 0x21) {
            at += 2;
            while (at < n && b[at] != 0) at += 1 + b[at];
            at++;
        }
        if (at + 9 > n || b[at] != 0x2C) return false;
        *columns = le16(b + at + 5);
        *rows = le16(b + at + 7);
    } else if (strcmp(src.magick, "JPEG") == 0) {
        size_t at = 2;
        for (;;) {
            if (at >= n || b[at] != 0xFF) return false;
            while (at < n && b[at] == 0xFF) at++;  // fill bytes before a marker code
            if (at >= n) return false;
            const unsigned char marker = b[at++];
            if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
            if (marker == 0xD9 || marker == 0xDA || at + 2 > n) return false;    // no frame first
            const unsigned len = be16(b + at);
            // Start of frame: any of C0..CF but DHT (C4), JPG (C8) and DAC (CC).
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                marker != 0xCC) {
                if (len < 7 || at + 7 > n) return false;
                *rows = be16(b + at + 3);
                *columns = be16(b + at + 5);
                break;
            }
            if (len < 2) return false;
            at += len;
        }
    } else {
        return false;
    }
    return *columns > 0 && *rows > 0;  // a height of 0 is given later (DNL): not known here
}

// What the header says, for the decoding that follows.
struct Header {
    size_t columns = 0, rows = 0;
    size_t pixel_bytes = sizeof(PixelPacket);  // in ImageMagick's pixel cache
};

// Reads the header only and refuses an image whose first frame holds more
// pixels than IMG_MAX_PIXELS, before any pixel is decoded and before
// ImageMagick's resource policy is asked; a header refused by the policy
// is said so, with the limit.
bool ping_ok(const Source &src, const char *filename, Header *header) {
    size_t columns = 0, rows = 0;
    if (stated_size(src, &columns, &rows) && !within_pixel_limit(columns, rows)) {
        tell("Cannot read image", filename, size_refusal(columns, rows));
        return false;
    }
    ImageInfoPtr info = blob_info(src.magick);
    MagickException exception;
    if (!info) {
        tell("Cannot read image", filename, "out of memory");
        return false;
    }
    info->ping = MagickTrue;
    ImagePtr head(PingBlob(info.get(), src.bytes.get(), src.size, exception.get()));
    if (!head) {
        std::string why = policy_refusal(columns, rows, header->pixel_bytes,
                                         first_problem(exception.get(), out_of_resources));
        tell("Cannot read image", filename,
             !why.empty() ? why
                          : std::string("not a readable ") + src.magick + " image: " +
                                magick_text(exception.get(), "ImageMagick could not decode it"));
        return false;
    }
    if (!within_pixel_limit(head->columns, head->rows)) {
        tell("Cannot read image", filename, size_refusal(head->columns, head->rows));
        return false;
    }
    header->columns = head->columns;
    header->rows = head->rows;
    // Colour-mapped and CMYK images keep an index per pixel as well.
    if (head->storage_class == PseudoClass || head->colorspace == CMYKColorspace)
        header->pixel_bytes += sizeof(IndexPacket);
    return true;
}

// Colour samples are taken in sRGB: CMYK, Lab, YCbCr, ... are converted first,
// so that intensities and drawn colours mean the same as in an RGB file.
// RGB and grey images are left exactly as decoded.
bool to_rgb_family(Image *image) {
    switch (image->colorspace) {
        case UndefinedColorspace:
        case RGBColorspace:
        case sRGBColorspace:
        case scRGBColorspace:
        case GRAYColorspace:
        case LinearGRAYColorspace:
        case TransparentColorspace: return true;
        default: return TransformImageColorspace(image, sRGBColorspace) != MagickFalse;
    }
}

// Takes the orientation entry (tag 0x0112) out of the first directory of an
// EXIF profile ("Exif\0\0" and a TIFF structure), in place: the entries
// after it and the link to the next directory move up, the other entries'
// data stays where it is. False when the profile is not well formed.
bool remove_exif_orientation(unsigned char *d, size_t n) {
    if (n >= 6 && memcmp(d, "Exif\0\0", 6) == 0) d += 6, n -= 6;
    if (n < 8 || !((d[0] == 'I' && d[1] == 'I') || (d[0] == 'M' && d[1] == 'M'))) return false;
    const bool little = d[0] == 'I';
    auto u16 = [&](size_t at) { return little ? le16(d + at) : be16(d + at); };
    const size_t ifd = little ? (size_t)le16(d + 4) | (size_t)le16(d + 6) << 16 : be32(d + 4);
    if (ifd > n || n - ifd < 2) return false;
    const size_t count = u16(ifd), first = ifd + 2;
    if ((n - first) / 12 < count || n - first - 12 * count < 4) return false;
    for (size_t k = 0; k < count; k++) {
        unsigned char *entry = d + first + 12 * k;
        if (u16(first + 12 * k) != 0x0112) continue;
        memmove(entry, entry + 12, 12 * (count - k - 1) + 4);
        memset(d + first + 12 * (count - 1) + 4, 0, 12);
        const unsigned left = (unsigned)count - 1;
        d[ifd] = (unsigned char)(little ? left : left >> 8);
        d[ifd + 1] = (unsigned char)(little ? left >> 8 : left);
        break;
    }
    return true;
}

// The pixels are used as stored, and every output is made in that grid;
// an orientation kept with the image would make viewers turn a saved copy
// (the marked image) against the maps. The image then claims none, and its
// EXIF profile loses the tag (the whole profile, when it cannot be read),
// which ImageMagick would otherwise write back into a JPEG.
void drop_orientation(Image *image) {
    if (image->orientation == UndefinedOrientation || image->orientation == TopLeftOrientation)
        return;
    image->orientation = UndefinedOrientation;
    (void)DeleteImageProperty(image, "exif:Orientation");
    const StringInfo *exif = GetImageProfile(image, "exif");
    if (exif && !remove_exif_orientation(GetStringInfoDatum(exif), GetStringInfoLength(exif)))
        (void)DeleteImageProfile(image, "exif");
}

// Reads the first frame of `filename`; later frames of a multi-frame file are
// dropped so that the caller owns exactly one image. The name is a path,
// used literally; only regular files in an accepted format and within the
// pixel limit are decoded. Prints the reason on standard error and
// "File Can't Open!" on standard output when nothing was read.
ImagePtr read_first_frame(const char *filename) {
    img_init();
    if (!name_fits(filename)) {
        if (filename) say("File name too long!\n");
        say(kCantOpen);
        return nullptr;
    }
    Source src;
    Header header;
    if (!load_source(filename, &src) || !ping_ok(src, filename, &header)) {
        say(kCantOpen);
        return nullptr;
    }
    MagickException exception;
    ImageInfoPtr info = blob_info(src.magick);
    if (!info) {
        say(kCantOpen);
        return nullptr;
    }
    ImagePtr image(BlobToImage(info.get(), src.bytes.get(), src.size, exception.get()));
    // Decoders record their problems in the caller's record or in the
    // image's own (libjpeg's warnings); an image that lost pixels is refused.
    const ExceptionInfo *own = image ? &image->exception : nullptr;
    const ExceptionInfo *loss =
        image ? first_problem(exception.get(), loses_pixels) : exception.get();
    if (!loss) loss = first_problem(own, loses_pixels);
    if (loss) {
        const bool short_of_cache = first_problem(exception.get(), out_of_resources) ||
                                    first_problem(own, out_of_resources);
        std::string why =
            policy_refusal(header.columns, header.rows, header.pixel_bytes, short_of_cache);
        if (why.empty())
            why = image ? std::string("its ") + src.magick + " data is damaged or incomplete: " +
                              magick_text(loss, "pixels were lost")
                        : std::string("not a readable ") + src.magick +
                              " image: " + magick_text(loss, "ImageMagick could not decode it");
        tell("Cannot read image", filename, why);
        say(kCantOpen);
        return nullptr;
    }
    if (exception.get()->severity != UndefinedException)
        tell("Warning for image", filename, magick_text(exception.get(), "warning"));
    if (image->next) DestroyImageList(SplitImageList(image.get()));
    // The header was checked; the decoded frame is held to the same limit.
    if (!within_pixel_limit(image->columns, image->rows)) {
        tell("Cannot read image", filename,
             "the image is " + pixel_text(image->columns, image->rows));
        say(kCantOpen);
        return nullptr;
    }
    if (!to_rgb_family(image.get())) {
        tell("Cannot read image", filename,
             "its colours cannot be converted to sRGB: " +
                 magick_text(&image->exception, "conversion failed"));
        say(kCantOpen);
        return nullptr;
    }
    drop_orientation(image.get());
    // For ImageMagick's own messages about this image; never parsed again.
    CopyMagickString(image->filename, filename, MaxTextExtent);
    CopyMagickString(image->magick_filename, filename, MaxTextExtent);
    return image;
}

// ---- intensities straight from the pixel cache ---------------------------------

// ImageMagick's export of "I" calls a function per pixel, which costs more
// than decoding the JPEG. For the images the readers give (grey, and sRGB,
// with no intensity method set) its arithmetic is repeated here on whole
// rows; every other image goes through ImageMagick.
enum class Intensity { kMagick, kRed, kLuma };

// One row as ImageMagick's "I" export in doubles gives it: the red sample,
// or Rec. 709 luma of the stored samples, times QuantumScale, in the same
// order of operations (never fused: the build keeps ISO floating point).
__attribute__((target_clones("avx2", "default"))) void intensity_row(const PixelPacket *p, size_t w,
                                                                     bool luma, double *q) {
    if (!luma) {
        for (size_t x = 0; x < w; x++) q[x] = QuantumScale * (MagickRealType)p[x].red;
        return;
    }
    for (size_t x = 0; x < w; x++) {
        const MagickRealType red = p[x].red, green = p[x].green, blue = p[x].blue;
        q[x] = QuantumScale * (0.212656 * red + 0.715158 * green + 0.072186 * blue);
    }
}

bool intensity_rows(const Image *image, Intensity kind, double *dest, ExceptionInfo *ex) {
    const size_t w = image->columns;
    for (size_t y = 0; y < image->rows; y++) {
        const PixelPacket *p = GetVirtualPixels(image, 0, (ssize_t)y, w, 1, ex);
        if (!p) return false;
        intensity_row(p, w, kind == Intensity::kLuma, dest + y * w);
    }
    return true;
}

// Which rule gives ImageMagick's doubles bit for bit for sRGB and for grey
// images, found once on a probe of extreme, grey and scattered colour
// samples read both ways (ImageMagick releases differ: some take a grey
// image's red sample, others its luma). kMagick where neither does.
struct IntensityRules {
    Intensity srgb = Intensity::kMagick, gray = Intensity::kMagick;
};

const IntensityRules &intensity_rules() {
    static const IntensityRules rules = [] {
        IntensityRules found;
        img_init();
        const size_t w = 64, h = 64;
        std::vector<unsigned short> rgb(w * h * 3);
        uint32_t state = 12345;
        for (size_t i = 0; i < w * h; i++) {
            unsigned short *px = &rgb[i * 3];
            for (int c = 0; c < 3; c++) {
                state = state * 1664525u + 1013904223u;
                px[c] = (unsigned short)(state >> 16);
            }
            if (i % 5 == 0) px[1] = px[2] = px[0];  // grey
            if (i < 8) px[0] = px[1] = px[2] = i % 2 ? 65535 : 0;
        }
        MagickException exception;
        ImagePtr probe(ConstituteImage(w, h, "RGB", ShortPixel, rgb.data(), exception.get()));
        if (!probe) return found;
        std::vector<double> theirs(w * h), ours(w * h);
        auto rule_for = [&](ColorspaceType space, std::initializer_list<Intensity> candidates) {
            probe->colorspace = space;  // the samples stay; only how they are read changes
            probe->intensity = UndefinedPixelIntensityMethod;
            if (!ExportImagePixels(probe.get(), 0, 0, w, h, "I", DoublePixel, theirs.data(),
                                   exception.get()))
                return Intensity::kMagick;
            for (Intensity kind : candidates)
                if (intensity_rows(probe.get(), kind, ours.data(), exception.get()) &&
                    memcmp(theirs.data(), ours.data(), w * h * sizeof(double)) == 0)
                    return kind;
            return Intensity::kMagick;
        };
        found.srgb = rule_for(sRGBColorspace, {Intensity::kLuma});
        found.gray = rule_for(GRAYColorspace, {Intensity::kRed, Intensity::kLuma});
        return found;
    }();
    return rules;
}

Intensity intensity_kind(const Image *image) {
    if (image->intensity != UndefinedPixelIntensityMethod) return Intensity::kMagick;
    if (image->colorspace == GRAYColorspace) return intensity_rules().gray;
    if (image->colorspace == sRGBColorspace) return intensity_rules().srgb;
    return Intensity::kMagick;
}

// Exports the whole image through `map` into `dest`, which must hold
// columns * rows * strlen(map) elements of `type`.
bool export_pixels(const Image *image, const char *map, StorageType type, void *dest) {
    MagickException exception;
    if (type == DoublePixel && strcmp(map, "I") == 0) {
        const Intensity kind = intensity_kind(image);
        if (kind != Intensity::kMagick)
            return intensity_rows(image, kind, (double *)dest, exception.get());
    }
    return ExportImagePixels(image, 0, 0, image->columns, image->rows, map, type, dest,
                             exception.get()) != MagickFalse;
}

// ---- writing: literal names, whole files or none -----------------------------

// The format of a written file, chosen by the name's suffix (letter case
// ignored) from img_formats() only; ImageMagick never sees the name.
const char *format_for_name(const char *filename) {
    const char *base = strrchr(filename, '/');
    base = base ? base + 1 : filename;
    const char *dot = strrchr(base, '.');
    if (!dot) return nullptr;
    for (const ImgFormat &f : img_formats())
        for (const ImgSuffix &s : f.suffixes)
            if (strcasecmp(dot + 1, s.suffix) == 0) return s.coder;
    return nullptr;
}

// ImageMagick writes `image` to the open stream `fp` as `magick`; neither
// the settings nor the image carry a name it could interpret. The image's
// file name is cleared (pass a copy of an image that is not one's own).
bool magick_write(Image *image, const char *magick, FILE *fp, std::string *why) {
    ImageInfoPtr info(CloneImageInfo(nullptr));
    if (!info) {
        *why = "out of memory";
        return false;
    }
    CopyMagickString(info->magick, magick, MaxTextExtent);
    info->filename[0] = '\0';
    info->affirm = MagickTrue;
    info->adjoin = MagickFalse;
    SetImageInfoFile(info.get(), fp);
    image->filename[0] = '\0';
    CopyMagickString(image->magick, magick, MaxTextExtent);
    if (WriteImage(info.get(), image) != MagickFalse) return true;
    *why = magick_text(&image->exception, "the encoder failed");
    return false;
}

// ---- JPEG files by libjpeg itself (jpegwrite.h) ------------------------------

// ImageMagick's scaling of 16-bit samples to 8 bits, on whole rows.
__attribute__((target_clones("avx2", "default"))) void eight_bit_row(const unsigned short *q,
                                                                     size_t n, unsigned char *out) {
    for (size_t x = 0; x < n; x++) {
        const unsigned v = q[x] + 128u;
        out[x] = (unsigned char)((v - (v >> 8)) >> 8);
    }
}

// The samples ImageMagick's JPEG coder takes from a row of its pixel cache,
// by the inline functions of its headers: red, green and blue scaled to 8
// bits, or for a grey file the pixel's luma, rounded and scaled.
__attribute__((target_clones("avx2", "default"))) void rgb_row(const PixelPacket *p, size_t n,
                                                               unsigned char *out) {
    for (size_t x = 0; x < n; x++) {
        out[3 * x] = ScaleQuantumToChar(p[x].red);
        out[3 * x + 1] = ScaleQuantumToChar(p[x].green);
        out[3 * x + 2] = ScaleQuantumToChar(p[x].blue);
    }
}

__attribute__((target_clones("avx2", "default"))) bool gray_pixels(const PixelPacket *p, size_t n) {
    unsigned differ = 0;  // no early exit: the loop runs on whole vectors
    for (size_t x = 0; x < n; x++)
        differ |= (unsigned)(p[x].red ^ p[x].green) | (unsigned)(p[x].green ^ p[x].blue);
    return differ == 0;
}

__attribute__((target_clones("avx2", "default"))) void red_row(const PixelPacket *p, size_t n,
                                                               unsigned char *out) {
    for (size_t x = 0; x < n; x++) out[x] = ScaleQuantumToChar(p[x].red);
}

// Whether eight_bit_row and red_row agree with the coder's arithmetic on
// grey pixels (their luma, rounded and scaled) for every 16-bit value.
bool gray16_scaling_exact() {
    static const bool exact = [] {
        std::vector<PixelPacket> pixels(65536);
        std::vector<unsigned short> values(65536);
        for (unsigned i = 0; i < 65536; i++) {
            values[i] = (unsigned short)i;
            pixels[i] = PixelPacket{};
            pixels[i].red = pixels[i].green = pixels[i].blue = (Quantum)i;
        }
        ImagePtr any(AcquireImage(nullptr));
        if (!any) return false;
        std::vector<unsigned char> ours(65536), red(65536), theirs(65536);
        eight_bit_row(values.data(), values.size(), ours.data());
        red_row(pixels.data(), pixels.size(), red.data());
        for (unsigned i = 0; i < 65536; i++)
            theirs[i] = ScaleQuantumToChar(ClampToQuantum(GetPixelLuma(any.get(), &pixels[i])));
        return ours == theirs && red == theirs;
    }();
    return exact;
}

void luma_row(const Image *image, const PixelPacket *p, size_t n, unsigned char *out) {
    // A row of grey pixels (as a grey image holds) has the luma of its red
    // samples, rounded back to them: gray16_scaling_exact checks that.
    if (gray_pixels(p, n) && gray16_scaling_exact()) return red_row(p, n, out);
    for (size_t x = 0; x < n; x++)
        out[x] = ScaleQuantumToChar(ClampToQuantum(GetPixelLuma(image, p + x)));
}

// Every pixel has equal red, green and blue samples: ImageMagick then
// writes a grey JPEG (its SetImageGray).
bool all_pixels_gray(const Image *image, ExceptionInfo *ex) {
    for (size_t y = 0; y < image->rows; y++) {
        const PixelPacket *p = GetVirtualPixels(image, 0, (ssize_t)y, image->columns, 1, ex);
        if (!p || !gray_pixels(p, image->columns)) return false;
    }
    return true;
}

const size_t kJpegMaxSide = 65500;  // libjpeg's JPEG_MAX_DIMENSION
const int kJpegComponents = 10;     // libjpeg's MAX_COMPONENTS

// The sampling factors ImageMagick reads from a list such as "2x2,1x1,1x1"
// (its SamplingFactorToList and ParseGeometry), the components not named
// being 1x1; false for a list libjpeg would refuse.
bool parse_sampling(const char *text, std::vector<std::pair<int, int>> *factors) {
    factors->assign(kJpegComponents, {1, 1});
    const char *p = text;
    for (int i = 0; i < kJpegComponents; i++) {
        const char *q = p;
        while (*q != '\0' && *q != ',') q++;
        const std::string item(p, q);
        GeometryInfo geometry{};
        const MagickStatusType flags = ParseGeometry(item.c_str(), &geometry);
        if ((flags & SigmaValue) == 0) geometry.sigma = geometry.rho;
        if (!(geometry.rho >= 1 && geometry.rho <= 4 && geometry.sigma >= 1 && geometry.sigma <= 4))
            return false;
        (*factors)[i] = {(int)geometry.rho, (int)geometry.sigma};
        if (*q == '\0') break;
        p = q + 1;
    }
    return true;
}

// What ImageMagick's JPEG writer chooses for `image` (its WriteJPEGImage
// given settings that carry no options): grey or RGB, quality, DCT,
// sampling, density, comment and profiles. False for an image whose
// writing is left to ImageMagick: other colour spaces, an image that
// claims to be grey, a quality beyond 100, other profiles than ICC and
// EXIF, an unusual density or sampling list.
bool magick_jpeg_layout(const Image *image, JpegLayout *layout, ExceptionInfo *ex) {
    if (image->columns == 0 || image->rows == 0 || image->columns > kJpegMaxSide ||
        image->rows > kJpegMaxSide || image->quality > 100)
        return false;
    if (image->colorspace == GRAYColorspace) {
        layout->gray = true;
    } else if (image->colorspace == sRGBColorspace) {
        if (image->type == BilevelType || image->type == GrayscaleType ||
            image->type == GrayscaleMatteType ||
            GetImageProperty(image, "colorspace:auto-grayscale") != nullptr)
            return false;
        layout->gray = all_pixels_gray(image, ex);
    } else {
        return false;
    }
    layout->width = image->columns;
    layout->height = image->rows;
    if (image->x_resolution != 0.0 && image->y_resolution != 0.0) {
        if (!(image->x_resolution >= 1 && image->x_resolution < 65536 && image->y_resolution >= 1 &&
              image->y_resolution < 65536))
            return false;
        layout->density = true;
        layout->x_density = (unsigned short)image->x_resolution;
        layout->y_density = (unsigned short)image->y_resolution;
        if (image->units == PixelsPerInchResolution) layout->density_unit = 1;
        if (image->units == PixelsPerCentimeterResolution) layout->density_unit = 2;
    }
    layout->quality = image->quality != 0 ? (int)image->quality : 92;  // 0: none of its own
    layout->fast_dct = layout->quality <= 90;
    // The sampling of the file an image was read from, when it was of the
    // same colour model; else 1x1 from quality 90 up, libjpeg's below.
    const int model = layout->gray ? 1 : 2;  // libjpeg's JCS_GRAYSCALE, JCS_RGB
    const char *space = GetImageProperty(image, "jpeg:colorspace");
    const char *sampling = GetImageProperty(image, "jpeg:sampling-factor");
    if (sampling && (space ? (int)strtol(space, nullptr, 10) : model) == model) {
        if (!parse_sampling(sampling, &layout->sampling)) return false;
    } else if (layout->quality >= 90) {
        layout->sampling.assign(kJpegComponents, {1, 1});
    }
    if (const char *comment = GetImageProperty(image, "comment")) {
        const size_t length = strlen(comment);
        for (size_t i = 0; i < length; i += 65533)
            layout->markers.push_back(
                {0xFE, std::string(comment + i, std::min(length - i, (size_t)65533))});
    }
    if (image->profiles) {
        ResetImageProfileIterator(image);
        for (const char *name = GetNextImageProfile(image); name;
             name = GetNextImageProfile(image)) {
            const StringInfo *profile = GetImageProfile(image, name);
            const char *datum = (const char *)GetStringInfoDatum(profile);
            const size_t length = GetStringInfoLength(profile);
            if (LocaleCompare(name, "EXIF") == 0 && length <= 65533) {
                layout->markers.push_back({0xE1, std::string(datum, length)});
            } else if (LocaleCompare(name, "ICC") == 0) {
                // In pieces of at most 65519 bytes, each after "ICC_PROFILE",
                // its number and the count.
                for (size_t i = 0; i < length; i += 65519) {
                    std::string piece("ICC_PROFILE", 12);
                    piece += (char)(unsigned char)(i / 65519 + 1);
                    piece += (char)(unsigned char)(length / 65519 + 1);
                    piece.append(datum + i, std::min(length - i, (size_t)65519));
                    layout->markers.push_back({0xE2, piece});
                }
            } else {
                return false;
            }
        }
    }
    return true;
}

// ImageMagick optimizes the Huffman tables only when its memory limit
// leaves room for the samples once more; otherwise its coder decides.
bool optimized_coding_allowed(const JpegLayout &layout) {
    const MagickSizeType bytes =
        (MagickSizeType)layout.width * layout.height * (layout.gray ? 1 : 3);
    if (AcquireMagickResource(MemoryResource, bytes) == MagickFalse) return false;
    RelinquishMagickResource(MemoryResource, bytes);
    return true;
}

// The rows of `image` as the coder would hand them to libjpeg.
JpegRows image_rows(const Image *image, bool gray, ExceptionInfo *ex) {
    return [image, gray, ex](size_t y, unsigned char *out) {
        const PixelPacket *p = GetVirtualPixels(image, 0, (ssize_t)y, image->columns, 1, ex);
        if (!p) return false;
        if (gray)
            luma_row(image, p, image->columns, out);
        else
            rgb_row(p, image->columns, out);
        return true;
    };
}

// The grey image of 16-bit samples that gray16_to_im writes, as ImageMagick
// would lay it out (made in memory: quality 92, nothing else of its own).
JpegLayout gray16_layout(size_t width, size_t height) {
    JpegLayout layout;
    layout.width = width;
    layout.height = height;
    layout.gray = true;
    layout.sampling.assign(kJpegComponents, {1, 1});
    return layout;
}

JpegRows gray16_rows(const unsigned short *q, size_t width) {
    return [q, width](size_t y, unsigned char *out) {
        eight_bit_row(q + y * width, width, out);
        return true;
    };
}

// The bytes of each route, in memory, for the checks below.
std::vector<unsigned char> magick_jpeg_bytes(Image *image) {
    std::vector<unsigned char> bytes;
    char *text = nullptr;
    size_t size = 0;
    std::string why;
    if (FILE *fp = open_memstream(&text, &size)) {
        const bool ok = magick_write(image, "JPEG", fp, &why);
        if (fclose(fp) == 0 && ok) bytes.assign(text, text + size);
    }
    free(text);
    return bytes;
}

std::vector<unsigned char> own_jpeg_bytes(const JpegLayout &layout, const JpegRows &rows) {
    std::vector<unsigned char> bytes;
    std::string why;
    if (!write_jpeg(layout, rows, nullptr, &bytes, &why)) bytes.clear();
    return bytes;
}

// Whether the route by libjpeg gives the very bytes of ImageMagick's,
// tried once on small probes (45 x 29 pixels: no whole number of blocks).
// Another ImageMagick may choose otherwise; then its coder writes every
// JPEG.
struct Probe {
    std::vector<unsigned short> rgb, gray, ramp;  // colour, equal channels, 16-bit grey
    Probe() : rgb(kW * kH * 3), gray(kW * kH * 3), ramp(kW * kH) {
        uint32_t state = 6789;
        for (size_t i = 0; i < kW * kH; i++) {
            for (int c = 0; c < 3; c++) {
                state = state * 1664525u + 1013904223u;
                rgb[i * 3 + c] = (unsigned short)(state >> 16);
            }
            gray[i * 3] = gray[i * 3 + 1] = gray[i * 3 + 2] = rgb[i * 3];
            // A ramp over the first rows, the extremes, then scattered values.
            ramp[i] = i < kW * 8 ? (unsigned short)(i * 65535 / (kW * 8 - 1)) : rgb[i * 3 + 1];
        }
        ramp[kW * 8] = 0;
        ramp[kW * 8 + 1] = 65535;
    }
    static const size_t kW = 45, kH = 29;
};

// Images as files leave them, through every branch of the layout: colour
// with the sampling, density and comment of a file, at the fast DCT; grey
// samples in an sRGB image; a grey image.
bool image_route_exact() {
    static const bool exact = [] {
        img_init();
        const Probe probe;
        const struct {
            const unsigned short *pixels;
            ColorspaceType space;
            size_t quality;
            double resolution;
            ResolutionType units;
            const char *comment, *jpeg_space, *sampling;
        } cases[] = {
            {probe.rgb.data(), sRGBColorspace, 90, 72.0, PixelsPerInchResolution, "probe", "2",
             "2x2,1x1,1x1"},
            {probe.gray.data(), sRGBColorspace, 95, 0.0, UndefinedResolution, nullptr, nullptr,
             nullptr},
            {probe.gray.data(), GRAYColorspace, 75, 28.3, PixelsPerCentimeterResolution, nullptr,
             "1", "1x1"},
        };
        MagickException exception;
        for (const auto &c : cases) {
            ImagePtr image(ConstituteImage(Probe::kW, Probe::kH, "RGB", ShortPixel, c.pixels,
                                           exception.get()));
            if (!image) return false;
            image->colorspace = c.space;
            image->quality = c.quality;
            image->x_resolution = image->y_resolution = c.resolution;
            image->units = c.units;
            if (c.comment) SetImageProperty(image.get(), "comment", c.comment);
            if (c.jpeg_space) SetImageProperty(image.get(), "jpeg:colorspace", c.jpeg_space);
            if (c.sampling) SetImageProperty(image.get(), "jpeg:sampling-factor", c.sampling);
            JpegLayout layout;
            if (!magick_jpeg_layout(image.get(), &layout, exception.get())) return false;
            const std::vector<unsigned char> ours =
                own_jpeg_bytes(layout, image_rows(image.get(), layout.gray, exception.get()));
            ImagePtr copy(CloneImage(image.get(), 0, 0, MagickTrue, exception.get()));
            if (!copy || ours.empty() || magick_jpeg_bytes(copy.get()) != ours) return false;
        }
        return true;
    }();
    return exact;
}

// The 16-bit grey samples of gray16_to_im.
bool gray16_route_exact() {
    static const bool exact = [] {
        img_init();
        if (!gray16_scaling_exact()) return false;
        const Probe probe;
        MagickException exception;
        ImagePtr image(ConstituteImage(Probe::kW, Probe::kH, "I", ShortPixel, probe.ramp.data(),
                                       exception.get()));
        if (!image) return false;
        image->depth = MAGICKCORE_QUANTUM_DEPTH;  // as write_pixels leaves it
        const std::vector<unsigned char> ours = own_jpeg_bytes(
            gray16_layout(Probe::kW, Probe::kH), gray16_rows(probe.ramp.data(), Probe::kW));
        return !ours.empty() && magick_jpeg_bytes(image.get()) == ours;
    }();
    return exact;
}

// Whether ImageMagick's route for the 16-bit grey samples would hold the
// image it makes of them in memory (its width, height, area and memory
// limits; the area taken in bytes, the stricter of its releases' readings).
// If not, that route is left to do what it does.
bool room_for_image(size_t width, size_t height) {
    if (width > GetMagickResourceLimit(WidthResource) ||
        height > GetMagickResourceLimit(HeightResource))
        return false;
    const MagickSizeType bytes = (MagickSizeType)width * height * sizeof(PixelPacket);
    if (AcquireMagickResource(AreaResource, bytes) == MagickFalse) return false;
    const bool memory = AcquireMagickResource(MemoryResource, bytes) != MagickFalse;
    if (memory) RelinquishMagickResource(MemoryResource, bytes);
    RelinquishMagickResource(AreaResource, bytes);
    return memory;
}

// Writes `image` to `filename` in the format of the name's suffix. Prints the
// reason naming the file on standard error on failure.
bool encode_to_file(Image *image, const char *filename) {
    const char *what = "Cannot write image";
    if (!name_fits(filename)) {
        if (filename) tell(what, filename, "the name is too long");
        return false;
    }
    const char *magick = format_for_name(filename);
    if (!magick) {
        tell(what, filename, "its suffix names no known image format (" + format_suffixes() + ")");
        return false;
    }
    std::string why;
    // A JPEG by libjpeg itself when ImageMagick would write the same bytes;
    // should that fail, ImageMagick tries and reports in its own words.
    MagickException exception;
    JpegLayout layout;
    if (strcmp(magick, "JPEG") == 0 && image_route_exact() &&
        magick_jpeg_layout(image, &layout, exception.get()) && optimized_coding_allowed(layout)) {
        const JpegRows rows = image_rows(image, layout.gray, exception.get());
        auto encode = [&](FILE *fp, std::string *why) {
            return write_jpeg(layout, rows, fp, nullptr, why);
        };
        if (store_file(filename, encode, &why)) return true;
    }
    auto encode = [&](FILE *fp, std::string *why) { return magick_write(image, magick, fp, why); };
    if (!store_file(filename, encode, &why)) {
        tell(what, filename, why);
        return false;
    }
    return true;
}

// Builds an image from an interleaved buffer and writes it.
bool write_pixels(const char *filename, int width, int height, const char *map, StorageType type,
                  const void *pixels) {
    img_init();
    if (!pixels || width <= 0 || height <= 0) return false;
    MagickException exception;
    ImagePtr image(
        ConstituteImage((size_t)width, (size_t)height, map, type, pixels, exception.get()));
    if (!image) return false;
    // Built from doubles, the image claims a wider depth, which some
    // encoders (PNM) write as a sample range no reader understands; files
    // carry ImageMagick's own quantum depth instead.
    image->depth = MAGICKCORE_QUANTUM_DEPTH;
    return encode_to_file(image.get(), filename);
}

// Interleaves the three channels pixel by pixel; null when memory is short.
Buffer<double> interleave(const colormatrix *cm) {
    int64_t n = 0;
    if (cm->width <= 0 || cm->height <= 0 ||
        !checked_size({cm->width, cm->height, 3, (int64_t)sizeof(double)}, INT64_MAX, &n))
        return nullptr;
    Buffer<double> buf((double *)malloc((size_t)n));
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
    // A function-local static is initialised once, also when several
    // threads arrive at once; no other mutable state is kept here.
    static const bool ready = [] {
        if (IsMagickCoreInstantiated() == MagickFalse) {
            // No signal handlers: the programs keep the default ones.
            MagickCoreGenesis(nullptr, MagickFalse);
            atexit(MagickCoreTerminus);
        }
        // The programs are single-threaded; one thread also keeps a forked
        // child from waiting on a thread pool it did not inherit.
        SetMagickResourceLimit(ThreadResource, 1);
        return true;
    }();
    (void)ready;
}

int img_file_size(const char *filename, int *width, int *height) {
    img_init();
    if (!name_fits(filename)) {
        if (filename) tell("Cannot read image", filename, "the name is too long");
        return 0;
    }
    Source src;
    Header header;
    if (!load_source(filename, &src) || !ping_ok(src, filename, &header)) return 0;
    *width = (int)header.columns;  // within IMG_MAX_PIXELS
    *height = (int)header.rows;
    return 1;
}

int img_check_file(const char *filename) {
    int width = 0, height = 0;
    return img_file_size(filename, &width, &height);
}

// ---- file level --------------------------------------------------------------

Image *LoadImage(const char *filename) { return read_first_frame(filename).release(); }

int SaveImage(Image *image, const char *filename) {
    img_init();
    if (!image) return 0;
    // The encoder changes the image it writes (its file name and format):
    // it writes a copy, which shares the caller's pixels until either changes.
    MagickException exception;
    ImagePtr copy(CloneImage(image, 0, 0, MagickTrue, exception.get()));
    if (!copy) {
        if (filename)
            tell("Cannot write image", filename, magick_text(exception.get(), "out of memory"));
        return 0;
    }
    // The copy shares the caller's pixels and blob record; every encoder
    // closes the blob when done, which leaves the record unused again.
    return encode_to_file(copy.get(), filename) ? 1 : 0;
}

int imread(const char *filename, const char *map, StorageType type, int *width, int *height,
           void **pixels) {
    ImagePtr image = read_first_frame(filename);
    if (!image) return 0;
    int64_t bytes = 0;
    if (!fits_int(image->columns) || !fits_int(image->rows) ||
        !checked_size({(int64_t)image->columns, (int64_t)image->rows,
                       (int64_t)(map ? strlen(map) : 0), (int64_t)storage_size(type)},
                      INT64_MAX, &bytes) ||
        bytes == 0) {
        say(kReadError);
        return 0;
    }
    Buffer<void> buf(malloc((size_t)bytes));
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
    return write_pixels(filename, width, height, "I", DoublePixel, pixels) ? 1 : 0;
}

int imwritergb(const char *filename, int width, int height, const double *pixels) {
    return write_pixels(filename, width, height, "RGB", DoublePixel, pixels) ? 1 : 0;
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

int gray16_to_im(const unsigned short *q, int width, int height, const char *filename) {
    img_init();
    // Straight from the samples, without an image, when ImageMagick would
    // write the same bytes; should that fail, its route tries and reports.
    const char *magick = name_fits(filename) ? format_for_name(filename) : nullptr;
    if (q && width > 0 && height > 0 && (size_t)width <= kJpegMaxSide &&
        (size_t)height <= kJpegMaxSide && magick && strcmp(magick, "JPEG") == 0 &&
        gray16_route_exact() && room_for_image((size_t)width, (size_t)height)) {
        const JpegLayout layout = gray16_layout((size_t)width, (size_t)height);
        if (optimized_coding_allowed(layout)) {
            const JpegRows rows = gray16_rows(q, (size_t)width);
            auto encode = [&](FILE *fp, std::string *why) {
                return write_jpeg(layout, rows, fp, nullptr, why);
            };
            std::string why;
            if (store_file(filename, encode, &why)) return 1;
        }
    }
    if (!q || !write_pixels(filename, width, height, "I", ShortPixel, q)) {
        say(kCantWrite);
        return 0;
    }
    return 1;
}

int rgbmtx2im(colormatrix *cm, const char *filename) {
    if (!cm || cm->chanum != 3 || strcmp(cm->colortype, "RGB") != 0 || !colormtx_complete(cm)) {
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
    MagickException exception;
    return ConstituteImage((size_t)m->ncols, (size_t)m->nrows, "I", DoublePixel, m->pix[0],
                           exception.get());
}

Image *colormatrix2Image(colormatrix *cm) {
    img_init();
    if (!colormtx_complete(cm)) {
        say(kWrongDepth);
        return nullptr;
    }
    Buffer<double> buf = interleave(cm);
    if (!buf) return nullptr;
    MagickException exception;
    return ConstituteImage((size_t)cm->width, (size_t)cm->height, "RGB", DoublePixel, buf.get(),
                           exception.get());
}

const char *img_file_format(const char *filename) {
    const int fd = open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    unsigned char head[kImgHeadBytes];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, head, sizeof head);
    close(fd);
    return n > 0 ? sniff_format(head, (size_t)n) : nullptr;
}
