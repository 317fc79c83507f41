// Lumivar's command line: options before the four positional arguments,
// each option picked by its first letter after the dash.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumivar.h"

void exit_with_help(void) {
    printf(
        "\nUsage: Lumivar [options] salientfeaturepath queryclassidx query_filelist outpath\n"
        "options:\n"
        "-d drawcirclenum: set the number of salient locations drawn on the image (default 5).\n"
        "   \t\t   if 0 then no circle is drawn.\n"
        "-f featurenum: set the number of salient features used for saliency detection (default "
        "5)\n"
        "-enforce\tenforce to generate saliency map with assigned number of features\n"
        "-nosm: \tno saliency map will be stored.\n"
        "-s: \t\tgenerate a scale map (the spatial scale at each pixel) for the image, \n"
        "\t\tthe value at each pixel is the radius of the scale at each pixel\n"
        "-m #:\t\tmap number 0:I(x;y)|x|^2(default)   1:Sum of loglikely    2:Weighted sum of "
        "loglikely\n"
        "-nowta:\tget all possible salient locations without winner-take-all stage.\n\n");
    fflush(stdout);
    exit(1);
}

namespace {

[[noreturn]] void unknown_option() {
    fputs("unknown option\n", stderr);
    exit_with_help();
}

// Decimal text as atoi reads it (leading digits, anything else 0), but a
// value beyond int is clamped instead of wrapping into a different number.
int decimal_int(const char *text) {
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

// The value of an option that takes one; a missing value is a usage error.
int option_value(int argc, char **argv, int *i) {
    if (*i + 1 >= argc) exit_with_help();
    ++*i;
    return decimal_int(argv[*i]);
}

}  // namespace

void parse_command_line(int argc, char **argv, std::string *SFPath, int *qclassidx,
                        std::string *QueryFileList, std::string *savepath, int *ftnum4smap,
                        int *drawnum, int *mapnum, int *nosm, int *nowta, int *scalemap,
                        int *isenforce) {
    *ftnum4smap = 5;
    *drawnum = 5;
    *mapnum = 0;
    *nosm = 0;
    *nowta = 0;
    *scalemap = 0;
    *isenforce = 0;

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *opt = argv[i];
        switch (opt[1]) {
            case 'd':
                *drawnum = option_value(argc, argv, &i);
                if (*drawnum < 0) exit_with_help();
                break;
            case 'f':
                *ftnum4smap = option_value(argc, argv, &i);
                if (*ftnum4smap <= 0) exit_with_help();
                break;
            case 'm':
                *mapnum = option_value(argc, argv, &i);
                if (*mapnum < 0 || *mapnum > 2) exit_with_help();
                break;
            case 'e':
                if (strcmp(opt, "-enforce") != 0) unknown_option();
                *isenforce = 1;
                break;
            case 'n':
                if (strcmp(opt, "-nosm") == 0)
                    *nosm = 1;
                else if (strcmp(opt, "-nowta") == 0)
                    *nowta = 1;
                else
                    unknown_option();
                break;
            case 's':
                *scalemap = 1;
                break;
            default:
                unknown_option();
        }
    }
    if (argc - i < 4) exit_with_help();
    *SFPath = argv[i];
    *qclassidx = decimal_int(argv[i + 1]);
    if (*qclassidx == INT_MAX || *qclassidx == INT_MIN) {
        fprintf(stderr, "Error: class index %s is out of range\n", argv[i + 1]);
        exit(1);
    }
    *QueryFileList = argv[i + 2];
    *savepath = argv[i + 3];
}
