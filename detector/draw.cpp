// Circles on an ImageMagick image, drawn in-process with DrawImage.
#include <string>

#include "imgconv.h"
#include "lumivar.h"
#include "owners.h"

void DrawCircle_img(Image *image, int x, int y, int radius, const char *color) {
    img_init();
    ImageInfoPtr image_info(CloneImageInfo(nullptr));
    DrawInfoPtr draw_info(CloneDrawInfo(image_info.get(), nullptr));
    // Composed without a fixed buffer: the colour text may be of any length.
    std::string primitive = std::string("fill none stroke ") + color + " stroke-width 3 circle " +
                            std::to_string(x) + ", " + std::to_string(y) + ", " +
                            std::to_string(x) + ", " + std::to_string(y + radius);
    (void)CloneString(&draw_info->primitive, primitive.c_str());
    (void)DrawImage(image, draw_info.get());
}

void DrawSPs_img(Image *image, matrix *SPs, int spnum, const char *color) {
    const int n = spnum < SPs->nrows ? spnum : SPs->nrows;
    for (int i = 0; i < n; i++) {
        const double *r = SPs->pix[i];
        DrawCircle_img(image, (int)r[1], (int)r[0], scale_radius((int)r[2]), color);
    }
}
