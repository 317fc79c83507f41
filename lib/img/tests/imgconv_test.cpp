// Image files and images to and from matrices, on files written here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "imgconv.h"

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
    void SetUp() override {
        char tmpl[] = "/tmp/imgtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes a binary PNM by hand, then lets ImageMagick convert it to the
    // format of `name`'s suffix, so the fixtures do not depend on the code
    // under test.
    std::string make(const std::string &name, int w, int h, bool colour,
                     Rgb (*at)(int, int)) {
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
        ExceptionInfo *ex = AcquireExceptionInfo();
        ImageInfo *info = CloneImageInfo(nullptr);
        strcpy(info->filename, pnm.c_str());
        Image *im = ReadImage(info, ex);
        EXPECT_NE(im, nullptr);
        std::string out = path(name);
        EXPECT_TRUE(WriteImages(info, im, out.c_str(), ex));
        DestroyImage(im);
        DestroyImageInfo(info);
        DestroyExceptionInfo(ex);
        return out;
    }

    std::string dir_;
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
        matrix *m = im2mtx(make(std::string("grey") + suffix, 24, 16, false, grey_at).c_str(), "I");
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->nrows, 16);
        EXPECT_EQ(m->ncols, 24);
        EXPECT_NEAR(m->pix[0][0], 1.0, tol);
        EXPECT_NEAR(m->pix[7][7], 1.0, tol);
        EXPECT_NEAR(m->pix[0][20], 0.0, tol);  // right of the white block
        EXPECT_NEAR(m->pix[12][3], 0.0, tol);  // below it
        free_mtx(m);
    }
}

TEST_F(ImgTest, ColourFilesReadAsIntensityAndAsThreeChannels) {
    for (const char *suffix : {".png", ".jpg"}) {
        SCOPED_TRACE(suffix);
        double tol = std::string(suffix) == ".jpg" ? 0.06 : 0.0;
        std::string file = make(std::string("colour") + suffix, 32, 16, true, pattern_at);

        matrix *grey = im2mtx(file.c_str(), "I");
        ASSERT_NE(grey, nullptr);
        EXPECT_EQ(grey->nrows, 16);
        EXPECT_EQ(grey->ncols, 32);
        EXPECT_NEAR(grey->pix[4][28], 1.0, tol);  // white
        EXPECT_NEAR(grey->pix[12][4], 0.0, tol);  // black
        for (int block = 0; block < 3; block++) {  // pure primaries lie strictly between
            EXPECT_GT(grey->pix[4][block * 8 + 4], 0.03);
            EXPECT_LT(grey->pix[4][block * 8 + 4], 0.8);
        }
        free_mtx(grey);

        colormatrix *cm = im2colormtx(file.c_str());
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
        free_colormtx(cm);
    }
}

TEST_F(ImgTest, GreyJpegOf640By480GivesRowsByColumns) {
    auto ramp = [](int row, int col) -> Rgb {
        unsigned char v = (unsigned char)((row + col) % 256);
        return {v, v, v};
    };
    matrix *m = im2mtx(make("big.jpg", 640, 480, false, ramp).c_str(), "I");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->nrows, 480);
    EXPECT_EQ(m->ncols, 640);
    for (int k = 0; k < 480 * 640; k++) {
        ASSERT_GE(m->pix[0][k], 0.0);
        ASSERT_LE(m->pix[0][k], 1.0);
    }
    free_mtx(m);
}

TEST_F(ImgTest, RawReadersInterleaveChannelsPerPixel) {
    std::string file = make("raw.png", 32, 16, true, pattern_at);
    int w = 0, h = 0;
    double *rgb = nullptr;
    ASSERT_EQ(imreadrgb(file.c_str(), &w, &h, &rgb), 1);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 16);
    const double *green = rgb + (4 * w + 12) * 3;  // row 4, column 12
    EXPECT_EQ(green[0], 0.0);
    EXPECT_EQ(green[1], 1.0);
    EXPECT_EQ(green[2], 0.0);
    free(rgb);

    void *bytes = nullptr;
    ASSERT_EQ(imread(file.c_str(), "B", CharPixel, &w, &h, &bytes), 1);
    EXPECT_EQ(((unsigned char *)bytes)[4 * w + 20], 255);  // blue block
    EXPECT_EQ(((unsigned char *)bytes)[4 * w + 4], 0);     // red block
    free(bytes);
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
    matrix *m = gradient(48, 64);
    struct {
        const char *name;
        double tol;
    } cases[] = {{"map_sm.jpg", 0.03}, {"map.png", 1.0 / 255}, {"map.pgm", 1.0 / 255}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mtx2im(m, path(c.name).c_str()), 1);
        matrix *back = im2mtx(path(c.name).c_str(), "I");
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->nrows, 48);
        ASSERT_EQ(back->ncols, 64);
        EXPECT_LE(max_diff(m, back), c.tol);
        free_mtx(back);
    }
    // Values outside 0..1 are stored as white and black.
    m->pix[0][0] = 7.5;
    m->pix[0][1] = -3.0;
    ASSERT_EQ(mtx2im(m, path("over.png").c_str()), 1);
    matrix *back = im2mtx(path("over.png").c_str(), "I");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->pix[0][0], 1.0);
    EXPECT_EQ(back->pix[0][1], 0.0);
    free_mtx(back);
    free_mtx(m);
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
    matrix *m = gradient(4, 4);
    std::string huge = dir_ + "/" + std::string(5000, 'x') + ".png";
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtx2im(m, path("no/such/dir/x.png").c_str()), 0);
    EXPECT_EQ(mtx2im(m, huge.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: can't write image!\nError: can't write image!\n");
    free_mtx(m);
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
    colormatrix *cm = pattern_colormatrix("RGB");
    ASSERT_EQ(rgbmtx2im(cm, path("c.png").c_str()), 1);
    colormatrix *back = im2colormtx(path("c.png").c_str());
    ASSERT_NE(back, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(cm->chans[ch], back->chans[ch]), 0.0);
    free_colormtx(back);
    free_colormtx(cm);
}

TEST_F(ImgTest, ColourTypeIsCheckedOnlyWhenWritingAFile) {
    colormatrix *cm = pattern_colormatrix("rgb");
    const char depth[] = "ERROR: Wrong Matrix Depth, Image can't be written!\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(rgbmtx2im(cm, path("lower.png").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), depth);
    EXPECT_NE(access(path("lower.png").c_str(), F_OK), 0);

    Image *im = colormatrix2Image(cm);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->columns, 32u);
    EXPECT_EQ(im->rows, 16u);
    colormatrix *back = Image2colormatrix(im);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->colortype, "RGB");
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(cm->chans[ch], back->chans[ch]), 0.0);
    free_colormtx(back);
    DestroyImage(im);

    // Two channels, or a missing channel: refused by both, never read.
    free_mtx(cm->chans[1]);
    cm->chans[1] = nullptr;
    colormatrix *two = calloc_colormtx("RGB", 2, 16, 32);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rgbmtx2im(cm, path("hole.png").c_str()), 0);
    EXPECT_EQ(colormatrix2Image(cm), nullptr);
    EXPECT_EQ(rgbmtx2im(two, path("two.png").c_str()), 0);
    EXPECT_EQ(colormatrix2Image(two), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(depth) + depth + depth + depth);
    free_colormtx(two);
    free_colormtx(cm);
}

TEST_F(ImgTest, MatrixThroughImageKeepsLayoutAndValues) {
    matrix *m = gradient(5, 7);
    Image *im = matrix2Image(m);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->columns, 7u);
    EXPECT_EQ(im->rows, 5u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Image2matrix(im, "IR"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Wrong channel number!!!\n");
    matrix *back = Image2matrix(im, "I");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nrows, 5);
    EXPECT_EQ(back->ncols, 7);
    EXPECT_LE(max_diff(m, back), 1.0 / 65535);
    free_mtx(back);
    DestroyImage(im);
    free_mtx(m);
}

TEST_F(ImgTest, LoadedImageIsSavedAndStaysTheCallers) {
    std::string file = make("in.png", 32, 16, true, pattern_at);
    Image *im = LoadImage(file.c_str());
    ASSERT_NE(im, nullptr);
    ASSERT_EQ(SaveImage(im, path("out.jpg").c_str()), 1);
    ASSERT_EQ(SaveImage(im, path("out.png").c_str()), 1);  // still usable
    EXPECT_EQ(SaveImage(im, path("no/dir/out.png").c_str()), 0);
    DestroyImage(im);
    colormatrix *a = im2colormtx(file.c_str());
    colormatrix *b = im2colormtx(path("out.png").c_str());
    ASSERT_NE(b, nullptr);
    for (int ch = 0; ch < 3; ch++) EXPECT_EQ(max_diff(a->chans[ch], b->chans[ch]), 0.0);
    free_colormtx(a);
    free_colormtx(b);
}

TEST_F(ImgTest, MultiFrameFileLoadsAsOneImage) {
    // Two frames in one GIF, written with MagickCore directly.
    matrix *m = gradient(8, 8);
    Image *first = matrix2Image(m);
    Image *second = matrix2Image(m);
    AppendImageToList(&first, second);
    ExceptionInfo *ex = AcquireExceptionInfo();
    ImageInfo *info = CloneImageInfo(nullptr);
    ASSERT_TRUE(WriteImages(info, first, path("two.gif").c_str(), ex));
    DestroyImageList(first);
    DestroyImageInfo(info);
    DestroyExceptionInfo(ex);

    Image *im = LoadImage(path("two.gif").c_str());
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(GetImageListLength(im), 1u);
    DestroyImage(im);
    matrix *back = im2mtx(path("two.gif").c_str(), "I");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->nrows, 8);
    free_mtx(back);
    free_mtx(m);
}

TEST_F(ImgTest, ImagesAreReadInAForkedChild) {
    std::string file = make("fork.png", 24, 16, false, grey_at);
    matrix *m = im2mtx(file.c_str(), "I");  // the parent has used ImageMagick
    ASSERT_NE(m, nullptr);
    free_mtx(m);
    EXPECT_EXIT(
        {
            matrix *c = im2mtx(file.c_str(), "I");
            int ok = c && mtx2im(c, path("child.jpg").c_str());
            fprintf(stderr, ok ? "child read\n" : "child failed\n");
            exit(ok ? 1 : 2);
        },
        ::testing::ExitedWithCode(1), "child read");
}

}  // namespace
