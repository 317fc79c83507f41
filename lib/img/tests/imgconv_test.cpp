// Image files and images to and from matrices, on files written here.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "imgconv.h"
#include "owners.h"
#include "test_support.h"

namespace {

struct Rgb {
    unsigned char r, g, b;
};

// Colour test pattern, 32 x 16 in 8 x 8 blocks (JPEG-friendly): top row
// red, green, blue, white; bottom row black everywhere.
Rgb pattern_at(int row, int col) {
    if (row >= 8) return {0, 0, 0};
    switch (col / 8) {
        case 0: return {255, 0, 0};
        case 1: return {0, 255, 0};
        case 2: return {0, 0, 255};
        default: return {255, 255, 255};
    }
}

class ImgTest : public ::testing::Test {
protected:
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes a binary PNM by hand, then lets ImageMagick convert it to the
    // format of `name`'s suffix, so the fixtures do not depend on the code
    // under test.
    std::string make(const std::string &name, int w, int h, bool colour, Rgb (*at)(int, int)) {
        std::string pnm = path(name + (colour ? ".ppm" : ".pgm"));
        FILE *f = fopen(pnm.c_str(), "wb");
        fprintf(f, "%s\n%d %d\n255\n", colour ? "P6" : "P5", w, h);
        for (int i = 0; i < h; i++)
            for (int j = 0; j < w; j++) {
                Rgb p = at(i, j);
                if (colour) {
                    fputc(p.r, f), fputc(p.g, f), fputc(p.b, f);
                } else {
                    fputc(p.r, f);
                }
            }
        fclose(f);
        img_init();
        MagickException ex;
        ImageInfoPtr info(CloneImageInfo(nullptr));
        strcpy(info->filename, pnm.c_str());
        ImagePtr im(ReadImage(info.get(), ex.get()));
        EXPECT_NE(im, nullptr);
        std::string out = path(name);
        EXPECT_TRUE(WriteImages(info.get(), im.get(), out.c_str(), ex.get()));
        return out;
    }

    std::string spit(const std::string &name, const std::string &bytes) const {
        std::string file = path(name);
        FILE *f = fopen(file.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return file;
    }

    std::string slurp(const std::string &file) const {
        std::string text;
        FILE *f = fopen(file.c_str(), "rb");
        if (!f) return "<missing>";
        for (int c; (c = fgetc(f)) != EOF;) text.push_back((char)c);
        fclose(f);
        return text;
    }

    // The names in the test folder.
    std::set<std::string> listing() const {
        std::set<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = d ? readdir(d) : nullptr)
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        if (d) closedir(d);
        return names;
    }

    ScratchDir scratch_{"imgtest"};
    std::string dir_ = scratch_.path();
};

// Grey pattern: the top-left 8 x 8 block white, the rest black.
Rgb grey_at(int row, int col) {
    unsigned char v = (row < 8 && col < 8) ? 255 : 0;
    return {v, v, v};
}

TEST_F(ImgTest, GreyFilesReadWhiteAsOneAndBlackAsZero) {
    for (const char *suffix : {".png", ".jpg"}) {
        SCOPED_TRACE(suffix);
        double tol = std::string(suffix) == ".jpg" ? 0.03 : 0.0;
        auto m =
            held(im2mtx(make(std::string("grey") + suffix, 24, 16, false, grey_at).c_str(), "I"));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->nrows, 16);
        EXPECT_EQ(m->ncols, 24);
        EXPECT_NEAR(m->pix[0][0], 1.0, tol);
        EXPECT_NEAR(m->pix[7][7], 1.0, tol);
        EXPECT_NEAR(m->pix[0][20], 0.0, tol);  // right of the white block
        EXPECT_NEAR(m->pix[12][3], 0.0, tol);  // below it
    }
}

TEST_F(ImgTest, ColourFilesReadAsIntensityAndAsThreeChannels) {
    for (const char *suffix : {".png", ".jpg"}) {
        SCOPED_TRACE(suffix);
        double tol = std::string(suffix) == ".jpg" ? 0.06 : 0.0;
        std::string file = make(std::string("colour") + suffix, 32, 16, true, pattern_at);

        auto grey = held(im2mtx(file.c_str(), "I"));
        ASSERT_NE(grey, nullptr);
        EXPECT_EQ(grey->nrows, 16);
        EXPECT_EQ(grey->ncols, 32);
        EXPECT_NEAR(grey->pix[4][28], 1.0, tol);   // white
        EXPECT_NEAR(grey->pix[12][4], 0.0, tol);   // black
        for (int block = 0; block < 3; block++) {  // pure primaries lie strictly between
            EXPECT_GT(grey->pix[4][block * 8 + 4], 0.03);
            EXPECT_LT(grey->pix[4][block * 8 + 4], 0.8);
        }

        auto cm = held(im2colormtx(file.c_str()));
        ASSERT_NE(cm, nullptr);
        EXPECT_STREQ(cm->colortype, "RGB");
        ASSERT_EQ(cm->chanum, 3);
        EXPECT_EQ(cm->height, 16);
        EXPECT_EQ(cm->width, 32);
        for (int ch = 0; ch < 3; ch++) {
            ASSERT_NE(cm->chans[ch], nullptr);
            EXPECT_EQ(cm->chans[ch]->nrows, 16);
            EXPECT_EQ(cm->chans[ch]->ncols, 32);
            for (int block = 0; block < 4; block++) {
                double want = (block == ch || block == 3) ? 1.0 : 0.0;
                EXPECT_NEAR(cm->chans[ch]->pix[4][block * 8 + 4], want, tol)
                    << "channel " << ch << " block " << block;
            }
            EXPECT_NEAR(cm->chans[ch]->pix[12][20], 0.0, tol);
        }
    }
}

TEST_F(ImgTest, GreyJpegOf640By480GivesRowsByColumns) {
    auto ramp = [](int row, int col) -> Rgb {
        unsigned char v = (unsigned char)((row + col) % 256);
        return {v, v, v};
    };
    auto m = held(im2mtx(make("big.jpg", 640, 480, false, ramp).c_str(), "I"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->nrows, 480);
    EXPECT_EQ(m->ncols, 640);
    for (int k = 0; k < 480 * 640; k++) {
        ASSERT_GE(m->pix[0][k], 0.0);
        ASSERT_LE(m->pix[0][k], 1.0);
    }
}

TEST_F(ImgTest, RawReadersInterleaveChannelsPerPixel) {
    std::string file = make("raw.png", 32, 16, true, pattern_at);
    int w = 0, h = 0;
    double *rgb = nullptr;
    const int read_rgb = imreadrgb(file.c_str(), &w, &h, &rgb);
    std::unique_ptr<double, FreeDeleter> rgb_owned(rgb);
    ASSERT_EQ(read_rgb, 1);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 16);
    const double *green = rgb + (4 * w + 12) * 3;  // row 4, column 12
    EXPECT_EQ(green[0], 0.0);
    EXPECT_EQ(green[1], 1.0);
    EXPECT_EQ(green[2], 0.0);

    void *bytes = nullptr;
    const int read_bytes = imread(file.c_str(), "B", CharPixel, &w, &h, &bytes);
    std::unique_ptr<void, FreeDeleter> bytes_owned(bytes);
    ASSERT_EQ(read_bytes, 1);
    EXPECT_EQ(((unsigned char *)bytes)[4 * w + 20], 255);  // blue block
    EXPECT_EQ(((unsigned char *)bytes)[4 * w + 4], 0);     // red block
}

matrix *gradient(int rows, int cols) {
    matrix *m = alloc_mtx(rows, cols);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) m->pix[i][j] = (double)(i * cols + j) / (rows * cols - 1);
    return m;
}

double max_diff(matrix *a, matrix *b) {
    double d = 0;
    for (int k = 0; k < a->nrows * a->ncols; k++) d = fmax(d, fabs(a->pix[0][k] - b->pix[0][k]));
    return d;
}

TEST_F(ImgTest, MatrixWrittenAndReadBackAgrees) {
    auto m = held(gradient(48, 64));
    struct {
        const char *name;
        double tol;
    } cases[] = {{"map_sm.jpg", 0.03}, {"map.png", 1.0 / 255}, {"map.pgm", 1.0 / 255}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mtx2im(m, path(c.name).c_str()), 1);
        auto back = held(im2mtx(path(c.name).c_str(), "I"));
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->nrows, 48);
        ASSERT_EQ(back->ncols, 64);
        EXPECT_LE(max_diff(m, back), c.tol);
    }
    // Values outside 0..1 are stored as white and black.
    m->pix[0][0] = 7.5;
    m->pix[0][1] = -3.0;
    ASSERT_EQ(mtx2im(m, path("over.png").c_str()), 1);
    auto back = held(im2mtx(path("over.png").c_str(), "I"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->pix[0][0], 1.0);
    EXPECT_EQ(back->pix[0][1], 0.0);
}

TEST_F(ImgTest, WrongChannelMapIsRefusedBeforeOpeningTheFile) {
    std::string missing = path("absent.png");
    for (const char *map : {"RGB", ""}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(im2mtx(missing.c_str(), map), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Wrong channel number!!!\n");
    }
}

TEST_F(ImgTest, MissingFileGivesReportAndNull) {
    std::string missing = path("absent.jpg");
    int w = 0, h = 0;
    void *buf = nullptr;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(im2mtx(missing.c_str(), "I"), nullptr);
    EXPECT_EQ(im2colormtx(missing.c_str()), nullptr);
    EXPECT_EQ(LoadImage(missing.c_str()), nullptr);
    EXPECT_EQ(imread(missing.c_str(), "I", DoublePixel, &w, &h, &buf), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "File Can't Open!\nFile Can't Open!\nFile Can't Open!\nFile Can't Open!\n");
    EXPECT_NE(err.find("absent.jpg"), std::string::npos);  // ImageMagick's own report

    // A file that is not an image at all, and a name too long for ImageMagick.
    FILE *f = fopen(path("junk.png").c_str(), "w");
    fputs("not an image", f);
    fclose(f);
    std::string huge = dir_ + "/" + std::string(5000, 'x') + ".png";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(im2mtx(path("junk.png").c_str(), "I"), nullptr);
    EXPECT_EQ(im2mtx(huge.c_str(), "I"), nullptr);
    testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "File Can't Open!\nFile name too long!\nFile Can't Open!\n");
}

TEST_F(ImgTest, FailedWritesAreReported) {
    auto m = held(gradient(4, 4));
    std::string huge = dir_ + "/" + std::string(5000, 'x') + ".png";
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtx2im(m, path("no/such/dir/x.png").c_str()), 0);
    EXPECT_EQ(mtx2im(m, huge.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: can't write image!\nError: can't write image!\n");
}

colormatrix *pattern_colormatrix(const char *type) {
    colormatrix *cm = calloc_colormtx(type, 3, 16, 32);
    for (int ch = 0; ch < 3; ch++) cm->chans[ch] = alloc_mtx(16, 32);
    for (int i = 0; i < 16; i++)
        for (int j = 0; j < 32; j++) {
            Rgb p = pattern_at(i, j);
            cm->chans[0]->pix[i][j] = p.r / 255.0;
            cm->chans[1]->pix[i][j] = p.g / 255.0;
            cm->chans[2]->pix[i][j] = p.b / 255.0;
        }
    return cm;
}

TEST_F(ImgTest, ColourMatrixWrittenAndReadBack) {
    auto cm = held(pattern_colormatrix("RGB"));
    ASSERT_EQ(rgbmtx2im(cm, path("c.png").c_str()), 1);
    auto back = held(im2colormtx(path("c.png").c_str()));
    ASSERT_NE(back, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(cm->chans[ch], back->chans[ch]), 0.0);
}

TEST_F(ImgTest, ColourTypeIsCheckedOnlyWhenWritingAFile) {
    auto cm = held(pattern_colormatrix("rgb"));
    const char depth[] = "ERROR: Wrong Matrix Depth, Image can't be written!\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(rgbmtx2im(cm, path("lower.png").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), depth);
    EXPECT_NE(access(path("lower.png").c_str(), F_OK), 0);

    {
        ImagePtr im(colormatrix2Image(cm));
        ASSERT_NE(im, nullptr);
        EXPECT_EQ(im->columns, 32u);
        EXPECT_EQ(im->rows, 16u);
        auto back = held(Image2colormatrix(im.get()));
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back->colortype, "RGB");
        for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(cm->chans[ch], back->chans[ch]), 0.0);
    }

    // Two channels, or a missing channel: refused by both, never read.
    free_mtx(cm->chans[1]);
    cm->chans[1] = nullptr;
    auto two = held(calloc_colormtx("RGB", 2, 16, 32));
    testing::internal::CaptureStdout();
    EXPECT_EQ(rgbmtx2im(cm, path("hole.png").c_str()), 0);
    EXPECT_EQ(colormatrix2Image(cm), nullptr);
    EXPECT_EQ(rgbmtx2im(two, path("two.png").c_str()), 0);
    EXPECT_EQ(colormatrix2Image(two), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(depth) + depth + depth + depth);
}

TEST_F(ImgTest, MatrixThroughImageKeepsLayoutAndValues) {
    auto m = held(gradient(5, 7));
    ImagePtr im(matrix2Image(m));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->columns, 7u);
    EXPECT_EQ(im->rows, 5u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Image2matrix(im.get(), "IR"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Wrong channel number!!!\n");
    auto back = held(Image2matrix(im.get(), "I"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nrows, 5);
    EXPECT_EQ(back->ncols, 7);
    EXPECT_LE(max_diff(m, back), 1.0 / 65535);
}

TEST_F(ImgTest, LoadedImageIsSavedAndStaysTheCallers) {
    std::string file = make("in.png", 32, 16, true, pattern_at);
    {
        ImagePtr im(LoadImage(file.c_str()));
        ASSERT_NE(im, nullptr);
        ASSERT_EQ(SaveImage(im.get(), path("out.jpg").c_str()), 1);
        ASSERT_EQ(SaveImage(im.get(), path("out.png").c_str()), 1);  // still usable
        EXPECT_EQ(SaveImage(im.get(), path("no/dir/out.png").c_str()), 0);
        // Writing a GIF (256 colours) leaves the caller's image as it was.
        ASSERT_EQ(SaveImage(im.get(), path("out.gif").c_str()), 1);
        ASSERT_EQ(SaveImage(im.get(), path("again.jpg").c_str()), 1);
        EXPECT_EQ(slurp(path("again.jpg")), slurp(path("out.jpg")));
    }
    auto a = held(im2colormtx(file.c_str()));
    auto b = held(im2colormtx(path("out.png").c_str()));
    ASSERT_NE(b, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(a->chans[ch], b->chans[ch]), 0.0);
}

TEST_F(ImgTest, MultiFrameFileLoadsAsOneImage) {
    // Two frames in one GIF, written with MagickCore directly.
    auto m = held(gradient(8, 8));
    {
        Image *first = matrix2Image(m);
        AppendImageToList(&first, matrix2Image(m));
        ImagePtr frames(first);  // the list owns both frames
        MagickException ex;
        ImageInfoPtr info(CloneImageInfo(nullptr));
        ASSERT_TRUE(WriteImages(info.get(), frames.get(), path("two.gif").c_str(), ex.get()));
    }

    ImagePtr im(LoadImage(path("two.gif").c_str()));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(GetImageListLength(im.get()), 1u);
    auto back = held(im2mtx(path("two.gif").c_str(), "I"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nrows, 8);
}

TEST_F(ImgTest, ImagesAreReadInAForkedChild) {
    std::string file = make("fork.png", 24, 16, false, grey_at);
    ASSERT_NE(held(im2mtx(file.c_str(), "I")), nullptr);  // the parent has used ImageMagick
    EXPECT_EXIT(
        {
            matrix *c = im2mtx(file.c_str(), "I");
            int ok = c && mtx2im(c, path("child.jpg").c_str());
            fprintf(stderr, ok ? "child read\n" : "child failed\n");
            exit(ok ? 1 : 2);
        },
        ::testing::ExitedWithCode(1), "child read");
}

// ---- only plain image files are read ---------------------------------------------

uint32_t crc32_of(const std::string &bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

std::string be32(uint32_t v) { return {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; }

std::string png_chunk(const std::string &type, const std::string &data) {
    return be32((uint32_t)data.size()) + type + data + be32(crc32_of(type + data));
}

// A grey PNG of a few bytes whose header claims width x height pixels.
std::string forged_png(uint32_t width, uint32_t height) {
    std::string ihdr = be32(width) + be32(height) + std::string("\x08\x00\x00\x00\x00", 5);
    // zlib stream of a few zero bytes: far less data than the header claims.
    std::string idat("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10);
    return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", ihdr) + png_chunk("IDAT", idat) +
           png_chunk("IEND", "");
}

TEST_F(ImgTest, OnlyPlainImageFilesAreRead) {
    std::string good = make("good.png", 16, 16, false, grey_at);
    spit("hostname.txt", "myhost\n");
    spit("draw.mvg", "push graphic-context\nviewbox 0 0 8 8\nimage over 0,0 8,8 '" + good +
                         "'\npop graphic-context\n");
    spit("script.msl", "<?xml version=\"1.0\"?><image><read filename=\"" + good + "\"/></image>\n");
    mkdir(path("folder.jpg").c_str(), 0755);
    mkfifo(path("fifo.jpg").c_str(), 0644);
    struct Case {
        std::string name, reason;  // reason: a part of the line on standard error
    } cases[] = {
        // ImageMagick prefixes and suffixes are part of the file name.
        {"text:" + path("hostname.txt"), "No such file"},
        {"msl:" + path("script.msl"), "No such file"},
        {"mvg:" + path("draw.mvg"), "No such file"},
        {"ftp://127.0.0.1/x.jpg", "No such file"},
        {"rose:", "No such file"},
        {"xc:red", "No such file"},
        {good + "[5000x5000]", "No such file"},
        {good + "[0]", "No such file"},
        // Content decides, not the name.
        {spit("svg.jpg",
              "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"8\">"
              "<image href=\"" +
                  good + "\" width=\"8\" height=\"8\"/></svg>\n"),
         "content is not"},
        {spit("mvg.jpg", slurp(path("draw.mvg"))), "content is not"},
        {spit("msl.png", slurp(path("script.msl"))), "content is not"},
        {spit("text.jpg", "hello\n"), "content is not"},
        {spit("ps.jpg", "%!PS-Adobe-3.0\n0 0 moveto\n"), "content is not"},
        {spit("empty.jpg", ""), "empty"},
        // Not regular files.
        {path("folder.jpg"), "directory"},
        {path("fifo.jpg"), "not a regular file"},
        {"/dev/zero", "not a regular file"},
        // Headers claiming more pixels than the limit.
        {spit("huge.png", forged_png(12500, 12500)), "12500 x 12500 pixels, more than the limit"},
        {spit("huge.pgm", "P5\n20000 20000\n255\n" + std::string(64, '\x80')),
         "20000 x 20000 pixels, more than the limit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int w = 0, h = 0;
        void *buf = nullptr;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(im2mtx(c.name.c_str(), "I"), nullptr);
        EXPECT_EQ(LoadImage(c.name.c_str()), nullptr);
        EXPECT_EQ(imread(c.name.c_str(), "RGB", DoublePixel, &w, &h, &buf), 0);
        EXPECT_EQ(img_check_file(c.name.c_str()), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "File Can't Open!\nFile Can't Open!\nFile Can't Open!\n");
        EXPECT_NE(err.find("Cannot read image " + c.name + ": "), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
    // Nothing was drawn or written by a coder along the way.
    EXPECT_EQ(listing().count("hostname.txt"), 1u);
    // A header within the limit passes the check (a 12000 x 12000 photo).
    testing::internal::CaptureStderr();
    EXPECT_EQ(img_check_file(spit("photo12k.png", forged_png(12000, 12000)).c_str()), 1);
    EXPECT_EQ(img_check_file(good.c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ImgTest, NamesAreUsedLiterallyForWritingAndReading) {
    auto m = held(gradient(16, 24));
    const char *names[] = {"a[1].png", "pic%d.png", "x:y.pgm", "ftp:%s[0].jpg"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(mtx2im(m, path(name).c_str()), 1);
        auto back = held(im2mtx(path(name).c_str(), "I"));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->nrows, 16);
        EXPECT_EQ(back->ncols, 24);
    }
    {
        ImagePtr im(LoadImage(path("a[1].png").c_str()));
        ASSERT_NE(im, nullptr);
        EXPECT_EQ(SaveImage(im.get(), path("pic%d_salloc.jpg").c_str()), 1);
    }
    EXPECT_EQ(listing(), (std::set<std::string>{"a[1].png", "pic%d.png", "x:y.pgm", "ftp:%s[0].jpg",
                                                "pic%d_salloc.jpg"}));
    // Only known suffixes choose a format; nothing else is written.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(mtx2im(m, path("map.svg").c_str()), 0);
    EXPECT_EQ(mtx2im(m, path("map.txt").c_str()), 0);
    EXPECT_EQ(mtx2im(m, path("map").c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find(path("map.svg")), std::string::npos) << err;
    EXPECT_EQ(listing().size(), 5u);
}

TEST_F(ImgTest, EveryFormatIsWrittenByItsSuffixesAndKnownByItsContent) {
    auto m = held(gradient(16, 24));
    std::string suffixes;
    for (const ImgFormat &f : img_formats()) {
        SCOPED_TRACE(f.name);
        EXPECT_FALSE(f.suffixes.empty());
        for (const ImgSuffix &sfx : f.suffixes) {
            suffixes += std::string(suffixes.empty() ? "" : ", ") + sfx.suffix;
            std::string upper = sfx.suffix;
            for (char &c : upper) c = (char)toupper((unsigned char)c);
            // Each suffix, in either case, writes a file that reads back as this format.
            for (const std::string &file :
                 {path(std::string("x.") + sfx.suffix), path("y." + upper)}) {
                SCOPED_TRACE(file);
                ASSERT_EQ(mtx2im(m, file.c_str()), 1);
                EXPECT_STREQ(img_file_format(file.c_str()), f.name);
                auto back = held(im2mtx(file.c_str(), "I"));
                ASSERT_NE(back, nullptr);
                EXPECT_EQ(back->nrows * 100 + back->ncols, 1624);
                // The content test decides within the first bytes.
                const std::string head = slurp(file).substr(0, kImgHeadBytes);
                EXPECT_TRUE(f.content((const unsigned char *)head.data(), head.size()));
            }
        }
    }
    // The refusals list every row, in the words they have always had.
    EXPECT_EQ(suffixes, "jpg, jpeg, png, gif, tif, tiff, bmp, pgm, ppm, pnm");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(im2mtx(spit("text.jpg", "hello\n").c_str(), "I"), nullptr);
    EXPECT_EQ(mtx2im(m, path("map.svg").c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "Cannot read image " + path("text.jpg") +
                       ": its content is not a JPEG, PNG, GIF, TIFF, BMP or PNM image\n"
                       "Cannot write image " +
                       path("map.svg") + ": its suffix names no known image format (" + suffixes +
                       ")\n");
}

// Smooth colours, so that JPEG loses little: red across, green down.
Rgb smooth_at(int row, int col) {
    return {(unsigned char)(col * 4), (unsigned char)(row * 4), (unsigned char)(128 + (row - col))};
}

TEST_F(ImgTest, CmykFileReadsAsTheSameRgbPhoto) {
    std::string rgb = make("photo.jpg", 64, 64, true, smooth_at);
    // The same photo stored as CMYK, written by MagickCore directly.
    {
        MagickException ex;
        ImageInfoPtr info(CloneImageInfo(nullptr));
        strcpy(info->filename, path("photo.jpg.ppm").c_str());
        ImagePtr im(ReadImage(info.get(), ex.get()));
        ASSERT_NE(im, nullptr);
        ASSERT_TRUE(TransformImageColorspace(im.get(), CMYKColorspace));
        ASSERT_TRUE(WriteImages(info.get(), im.get(), path("cmyk.jpg").c_str(), ex.get()));
        strcpy(info->filename, path("cmyk.jpg").c_str());
        im.reset(ReadImage(info.get(), ex.get()));
        ASSERT_NE(im, nullptr);
        ASSERT_EQ(im->colorspace, CMYKColorspace);  // the fixture really is CMYK
    }
    std::string cmyk = path("cmyk.jpg");
    auto a = held(im2mtx(rgb.c_str(), "I"));
    auto b = held(im2mtx(cmyk.c_str(), "I"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_LE(max_diff(a, b), 0.04);
    auto ca = held(im2colormtx(rgb.c_str()));
    auto cb = held(im2colormtx(cmyk.c_str()));
    ASSERT_NE(ca, nullptr);
    ASSERT_NE(cb, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_LE(max_diff(ca->chans[ch], cb->chans[ch]), 0.06) << ch;

    // Drawing white on the loaded copy gives white, as the detector's circles.
    ImagePtr im(LoadImage(cmyk.c_str()));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->colorspace, sRGBColorspace);
    DrawInfoPtr draw(CloneDrawInfo(nullptr, nullptr));
    MagickException ex;
    QueryColorDatabase("white", &draw->fill, ex.get());
    CloneString(&draw->primitive, "rectangle 0,0 15,15");
    ASSERT_TRUE(DrawImage(im.get(), draw.get()));
    auto drawn = held(Image2colormatrix(im.get()));
    ASSERT_NE(drawn, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(drawn->chans[ch]->pix[8][8], 1.0) << ch;
}

// ---- safe writes -----------------------------------------------------------------

matrix *noise(int rows, int cols) {
    matrix *m = alloc_mtx(rows, cols);
    unsigned seed = 12345;
    for (int k = 0; k < rows * cols; k++) {
        seed = seed * 1103515245u + 12345u;
        m->pix[0][k] = (double)((seed >> 16) % 1000) / 999.0;
    }
    return m;
}

TEST_F(ImgTest, FailedWriteLeavesNoPartialFileAndTheOldOneIntact) {
    auto m = held(noise(256, 256));  // tens of kilobytes as JPEG
    ImagePtr im(matrix2Image(m));
    ASSERT_NE(im, nullptr);
    spit("old.jpg", "the previous file");
    // The disk is "full" after 4 KiB: a file size limit fails the writes
    // the way a full disk does, without privileges.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int wrote_new = mtx2im(m, path("new_sm.jpg").c_str());
    int wrote_old = mtx2im(m, path("old.jpg").c_str());
    int saved_img = SaveImage(im.get(), path("marked.jpg").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(wrote_new, 0);
    EXPECT_EQ(wrote_old, 0);
    EXPECT_EQ(saved_img, 0);
    for (const char *name : {"new_sm.jpg", "old.jpg", "marked.jpg"})
        EXPECT_NE(err.find("Cannot write image " + path(name)), std::string::npos) << err;
    EXPECT_EQ(listing(), std::set<std::string>{"old.jpg"});
    EXPECT_EQ(slurp(path("old.jpg")), "the previous file");
    // With room again the same writes succeed.
    EXPECT_EQ(mtx2im(m, path("old.jpg").c_str()), 1);
    EXPECT_EQ(SaveImage(im.get(), path("marked.jpg").c_str()), 1);
    EXPECT_EQ(listing(), (std::set<std::string>{"old.jpg", "marked.jpg"}));
}

TEST_F(ImgTest, LinkAtTheTargetIsReplacedNotFollowed) {
    auto m = held(gradient(8, 8));
    std::string victim = spit("victim.txt", "precious");
    for (const char *name : {"link_sm.jpg", "link_salloc.jpg"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(symlink(victim.c_str(), path(name).c_str()), 0);
        if (std::string(name) == "link_sm.jpg") {
            EXPECT_EQ(mtx2im(m, path(name).c_str()), 1);
        } else {
            ImagePtr im(matrix2Image(m));
            EXPECT_EQ(SaveImage(im.get(), path(name).c_str()), 1);
        }
        EXPECT_EQ(slurp(victim), "precious");
        struct stat st;
        ASSERT_EQ(lstat(path(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        auto back = held(im2mtx(path(name).c_str(), "I"));
        ASSERT_NE(back, nullptr);
        EXPECT_LE(max_diff(m, back), 0.05);
    }
}

// ---- damaged, turned and oversized images ------------------------------------------

TEST_F(ImgTest, DamagedAndOversizedImagesAreRefusedSayingWhy) {
    {
        auto m = held(noise(48, 64));
        for (const char *name : {"photo.jpg", "photo.png", "photo.pgm"})
            ASSERT_EQ(mtx2im(m, path(name).c_str()), 1);
    }
    const std::string jpg = slurp(path("photo.jpg")), png = slurp(path("photo.png"));
    std::string bad_crc = png_chunk("tEXt", std::string("Comment\0hi", 10));
    bad_crc.back() ^= 1;  // libpng drops the chunk with a warning
    const std::string sof = "\xFF\xC0" + be32(11).substr(2) + "\x08" + be32(20000u << 16 | 20000) +
                            std::string("\x01\x01\x11\x00", 4);
    const std::string over =
        ": the image is 20000 x 20000 pixels, more than the limit of 150000000";
    struct Case {
        std::string file, says;  // on standard error; empty: the image is read
        std::vector<std::pair<ResourceType, MagickSizeType>> limits = {};  // lowered for the case
    } cases[] = {
        {spit("cut.jpg", jpg.substr(0, jpg.size() / 2)),
         ": its JPEG data is damaged or incomplete: Premature end of JPEG file\n"},
        {spit("note.png", png.substr(0, 33) + bad_crc + png.substr(33)), ""},
        {path("photo.png"),
         ": the image is 64 x 48 pixels, wider than ImageMagick's width limit of 32 pixels "
         "(ImageMagick's resource policy; \"ImageMagick's limits\" in README.md",
         {{WidthResource, 32}}},
        {path("photo.pgm"),
         ": the image is 64 x 48 pixels, more than ImageMagick's limits leave room for: its pixels "
         "take 24576 bytes, and the area limit is 100 pixels, the memory limit 1000 bytes and the "
         "disk limit 1000 bytes (ImageMagick's resource policy",
         {{AreaResource, 100}, {MemoryResource, 1000}, {DiskResource, 1000}}},
        // The programs' own limit speaks first, though the policy would refuse too.
        {spit("huge.jpg", "\xFF\xD8" + sof + "\xFF\xD9"), over, {{WidthResource, 32}}},
        {spit("huge.png", forged_png(20000, 20000)), over, {{WidthResource, 32}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file + c.says);
        std::vector<std::pair<ResourceType, MagickSizeType>> saved;
        for (const auto &l : c.limits) {
            saved.emplace_back(l.first, GetMagickResourceLimit(l.first));
            SetMagickResourceLimit(l.first, l.second);
        }
        testing::internal::CaptureStderr();
        auto read = held(im2mtx(c.file.c_str(), "I"));
        std::string err = testing::internal::GetCapturedStderr();
        for (const auto &l : saved) SetMagickResourceLimit(l.first, l.second);  // the policy's
        EXPECT_EQ(read != nullptr, c.says.empty()) << err;
        EXPECT_TRUE(c.says.empty() || err.find("Cannot read image " + c.file + c.says) != err.npos)
            << err;
    }
}

TEST_F(ImgTest, TurnedJpegIsSavedInItsStoredGridWithoutOrientation) {
    const std::string jpg = slurp(make("grid.jpg", 32, 16, true, pattern_at));
    for (bool little : {true, false}) {
        SCOPED_TRACE(little);
        auto u16 = [&](unsigned v) {
            return little ? std::string{(char)v, (char)(v >> 8)} : be32(v).substr(2);
        };
        auto u32 = [&](unsigned v) { return little ? u16(v) + u16(v >> 16) : be32(v); };
        // EXIF: orientation 6 (viewers turn it a quarter right), then a Software entry.
        const std::string exif = std::string("Exif\0\0", 6) + (little ? "II" : "MM") + u16(42) +
                                 u32(8) + u16(2) + u16(0x0112) + u16(3) + u32(1) + u16(6) + u16(0) +
                                 u16(0x0131) + u16(2) + u32(4) + std::string("abc\0", 4) + u32(0);
        spit("turned.jpg", jpg.substr(0, 2) + "\xFF\xE1" + be32(exif.size() + 2).substr(2) + exif +
                               jpg.substr(2));
        {
            ImagePtr im(LoadImage(path("turned.jpg").c_str()));
            ASSERT_NE(im, nullptr);
            EXPECT_EQ(im->columns, 32u);
            EXPECT_EQ(im->rows, 16u);
            ASSERT_EQ(SaveImage(im.get(), path("turned_salloc.jpg").c_str()), 1);
        }
        // The saved EXIF keeps the other entry, not the orientation.
        const std::string saved = slurp(path("turned_salloc.jpg"));
        EXPECT_EQ(saved.find(u16(0x0112) + u16(3)), std::string::npos);
        EXPECT_NE(saved.find(u16(0x0131) + u16(2) + u32(4) + "abc"), std::string::npos);
    }
}

}  // namespace
