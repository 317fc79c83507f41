#include <filesystem>
#include <string>
#include <vector>

#include "dat.h"
#include "imgconv.h"
#include "scratch.h"

namespace {

std::vector<double> values(matrix *m) {
    return std::vector<double>(m->pix[0], m->pix[0] + (size_t)m->nrows * m->ncols);
}

class ImgBridge : public Scratch {};

}  // namespace

TEST_F(ImgBridge, GreyMatrixStoredAsBytes) {
    const double v[6] = {0, 0.5, 1, 1.2, -0.1, 0.2};
    auto m = held(array2mtx(v, 2, 3));
    mtx2dat_img(m, path("g").c_str());
    EXPECT_EQ(values(m)[1], 0.5);  // the caller's matrix is not scaled
    EXPECT_EQ(slurp(path("g/data")), std::string("\0\200\377\377\0\63", 6));
    auto r = held(dat2mtx_img(path("g").c_str()));
    EXPECT_EQ(values(r), (std::vector<double>{0, 128 / 255.0, 1, 1, 0, 51 / 255.0}));
}

TEST_F(ImgBridge, ColourChannelsOneAfterAnother) {
    auto cm = held(calloc_colormtx("RGB", 3, 1, 2));
    for (int c = 0; c < 3; c++) {
        const double v[2] = {c / 255.0, (10 + c) / 255.0};
        cm->chans[c] = array2mtx(v, 1, 2);
    }
    clrmtx2dat(cm, path("c").c_str());
    EXPECT_EQ(slurp(path("c/data")), std::string("\0\12\1\13\2\14", 6));
    EXPECT_EQ(slurp(path("c/descriptor")),
              "(_data_type unsigned_1)\n(_data_sets 1)\n(_channels 3)\n(_dimensions 1 2 )\n");
    cm = dat2clrmtx(path("c").c_str());
    EXPECT_STREQ(cm->colortype, "RGB");
    EXPECT_EQ(values(cm->chans[2]), (std::vector<double>{2 / 255.0, 12 / 255.0}));

    EXPECT_EXIT(dat2clrmtx(path("g").c_str()), testing::ExitedWithCode(1), "d_open: File");
    auto m = held(calloc_mtx(1, 1));
    mtx2dat(m, path("grey").c_str());
    EXPECT_EXIT(dat2clrmtx(path("grey").c_str()), testing::ExitedWithCode(1),
                "^load_mtx: can only handle RGB image and 2D matrices...\n$");
}

TEST_F(ImgBridge, WrongDepthWritesNothing) {
    auto cm = held(calloc_colormtx("RGB", 2, 1, 1));
    testing::internal::CaptureStdout();
    clrmtx2dat(cm, path("x").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: Wrong Matrix Depth, Image can't be written!\n");
    EXPECT_FALSE(std::filesystem::exists(path("x")));
}

TEST_F(ImgBridge, ImageFilesThroughDatfiles) {
    const double v[4] = {0, 1, 1, 0};
    auto m = held(array2mtx(v, 2, 2));
    ASSERT_EQ(mtx2im(m, path("in.png").c_str()), 1);
    im2dat_gray(path("in.png").c_str(), path("gd").c_str());
    EXPECT_EQ(slurp(path("gd/data")), std::string("\0\377\377\0", 4));
    dat2im_gray(path("gd").c_str(), path("out.png").c_str());
    auto r = held(im2mtx(path("out.png").c_str(), "I"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(values(r), (std::vector<double>{0, 1, 1, 0}));

    im2dat_rgb(path("in.png").c_str(), path("cd").c_str());
    EXPECT_EQ(slurp(path("cd/data")), std::string("\0\377\377\0\0\377\377\0\0\377\377\0", 12));
    dat2im_rgb(path("cd").c_str(), path("out2.png").c_str());
    auto cm = held(im2colormtx(path("out2.png").c_str()));
    ASSERT_NE(cm, nullptr);
    EXPECT_EQ(values(cm->chans[1]), (std::vector<double>{0, 1, 1, 0}));

    EXPECT_EXIT(im2dat_gray(path("none.png").c_str(), path("z").c_str()),
                testing::ExitedWithCode(1),
                "im2dat_gray: cannot read image " + path("none.png") + "\n");
}
