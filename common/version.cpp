// The version report: kept apart from the other command-line helpers, as
// it is the only one that needs ImageMagick.
#include <cstdio>

#include <magick/MagickCore.h>

#include "cli.h"

std::string magick_version_text(void) {
    size_t number = 0;
    return GetMagickVersion(&number);
}

void print_version(const char *program) {
    size_t number = 0;
    printf("%s %s\n", program, SENDRAL_VERSION);
    printf("%s\n", GetMagickVersion(&number));
    fflush(stdout);
}
