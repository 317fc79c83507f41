// The routes that go around ImageMagick's pixel export and its JPEG coder
// give its very doubles and bytes, for the images the programs meet.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imgconv.h"
#include "owners.h"
#include "test_support.h"

namespace {

// w x h pixels of 16-bit samples: as an 8-bit decoder leaves them (v * 257),
// any 16-bit value, or grey (equal channels).
enum class Samples { kEightBit, kSixteenBit, kGrey };

ImagePtr make_image(size_t w, size_t h, Samples kind, unsigned seed) {
    img_init();
    std::mt19937 rng(seed);
    std::vector<unsigned short> rgb(w * h * 3);
    for (size_t i = 0; i < rgb.size(); i++) {
        const unsigned v = rng() & 0xFFFF;
        rgb[i] = kind == Samples::kEightBit ? (unsigned short)((v >> 8) * 257) : (unsigned short)v;
        if (kind == Samples::kGrey && i % 3) rgb[i] = rgb[i - i % 3];
    }
    MagickException ex;
    return ImagePtr(ConstituteImage(w, h, "RGB", ShortPixel, rgb.data(), ex.get()));
}

// ImageMagick's own JPEG coder on a copy of `image`.
std::string magick_jpeg(const Image *image) {
    MagickException ex;
    ImagePtr copy(CloneImage(image, 0, 0, MagickTrue, ex.get()));
    ImageInfoPtr info(CloneImageInfo(nullptr));
    CopyMagickString(info->magick, "JPEG", MaxTextExtent);
    CopyMagickString(copy->magick, "JPEG", MaxTextExtent);
    size_t n = 0;
    void *blob = ImageToBlob(info.get(), copy.get(), &n, ex.get());
    std::string bytes(blob ? (const char *)blob : "", n);
    RelinquishMagickMemory(blob);
    return bytes;
}

void set_profile(Image *image, const char *name, const std::string &bytes) {
    StringInfo *profile = BlobToStringInfo(bytes.data(), bytes.size());
    SetImageProfile(image, name, profile);
    DestroyStringInfo(profile);
}

TEST(MagickParity, IntensityMatrixHoldsImageMagicksDoubles) {
    const struct {
        ColorspaceType space;
        PixelIntensityMethod method;
        Samples kind;
    } cases[] = {
        {sRGBColorspace, UndefinedPixelIntensityMethod, Samples::kEightBit},
        {sRGBColorspace, UndefinedPixelIntensityMethod, Samples::kSixteenBit},
        {GRAYColorspace, UndefinedPixelIntensityMethod, Samples::kGrey},
        {GRAYColorspace, UndefinedPixelIntensityMethod, Samples::kSixteenBit},
        // Left to ImageMagick: another weighing, linear samples.
        {sRGBColorspace, Rec601LumaPixelIntensityMethod, Samples::kSixteenBit},
        {RGBColorspace, UndefinedPixelIntensityMethod, Samples::kSixteenBit},
    };
    for (const auto &c : cases) {
        ImagePtr image = make_image(67, 31, c.kind, 11);
        image->colorspace = c.space;
        image->intensity = c.method;
        std::vector<double> theirs(67 * 31);
        MagickException ex;
        ASSERT_TRUE(ExportImagePixels(image.get(), 0, 0, 67, 31, "I", DoublePixel, theirs.data(),
                                      ex.get()));
        MatrixPtr m(Image2matrix(image.get(), "I"));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(memcmp(m->pix[0], theirs.data(), theirs.size() * sizeof(double)), 0)
            << "colour space " << c.space << ", method " << c.method;
    }
}

TEST(MagickParity, SavedJpegHoldsImageMagicksBytes) {
    ScratchDir dir("parity");
    const struct {
        const char *name;
        ColorspaceType space;
        Samples kind;
        size_t quality;
        double resolution;
        ResolutionType units;
        const char *sampling, *comment, *profile;
    } cases[] = {
        {"defaults", sRGBColorspace, Samples::kEightBit, 0, 0, UndefinedResolution, nullptr,
         nullptr, nullptr},
        {"photo", sRGBColorspace, Samples::kEightBit, 90, 72, PixelsPerInchResolution,
         "2x2,1x1,1x1", "a comment", nullptr},
        {"low quality", sRGBColorspace, Samples::kSixteenBit, 40, 28.35,
         PixelsPerCentimeterResolution, "2x1", nullptr, "exif"},
        {"grey in sRGB", sRGBColorspace, Samples::kGrey, 93, 300, UndefinedResolution, nullptr,
         nullptr, "icc"},
        {"grey", GRAYColorspace, Samples::kGrey, 85, 0, UndefinedResolution, "1x1", "long",
         nullptr},
        {"xmp", sRGBColorspace, Samples::kEightBit, 92, 0, UndefinedResolution, nullptr, nullptr,
         "xmp"},
    };
    for (const auto &c : cases) {
        ImagePtr image = make_image(45, 29, c.kind, 5);
        image->colorspace = c.space;
        image->quality = c.quality;
        image->x_resolution = image->y_resolution = c.resolution;
        image->units = c.units;
        if (c.sampling) {
            SetImageProperty(image.get(), "jpeg:colorspace", c.space == GRAYColorspace ? "1" : "2");
            SetImageProperty(image.get(), "jpeg:sampling-factor", c.sampling);
        }
        if (c.comment)
            SetImageProperty(
                image.get(), "comment",
                strcmp(c.comment, "long") ? c.comment : std::string(70000, 'c').c_str());
        if (c.profile) set_profile(image.get(), c.profile, std::string(70000, 'p').substr(0, 900));
        const std::string file = dir.path("out.jpg");
        ASSERT_EQ(SaveImage(image.get(), file.c_str()), 1) << c.name;
        EXPECT_EQ(slurp(file), magick_jpeg(image.get())) << c.name;
    }
}

TEST(MagickParity, MapJpegHoldsImageMagicksBytes) {
    ScratchDir dir("parity");
    std::mt19937 rng(3);
    for (size_t side : {256, 37}) {
        std::vector<unsigned short> q(side * side);
        for (size_t i = 0; i < q.size(); i++)
            q[i] = side == 256 ? (unsigned short)i : (unsigned short)(rng() & 0xFFFF);
        const std::string file = dir.path("map.jpg");
        ASSERT_EQ(gray16_to_im(q.data(), (int)side, (int)side, file.c_str()), 1);
        MagickException ex;
        ImagePtr image(ConstituteImage(side, side, "I", ShortPixel, q.data(), ex.get()));
        image->depth = MAGICKCORE_QUANTUM_DEPTH;
        EXPECT_EQ(slurp(file), magick_jpeg(image.get())) << side << " x " << side;
    }
}

}  // namespace
