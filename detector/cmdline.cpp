// Lumivar's command line: options before the four positional arguments,
// each option picked by its first letter after the dash.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "lumivar.h"
#include "fail.h"

namespace {

const char kUsage[] =
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
    "-m #:\t\tmap number 0:I(x;y)|x|^1.5(default)   1:Sum of loglikely    2:Weighted sum of "
    "loglikely\n"
    "-nowta:\tget all possible salient locations without winner-take-all stage.\n\n";

}  // namespace

void lumivar_cli::exit_with_help(void) {
    lib_fatal(1, "", kUsage);
}

namespace {

// Options added after the usage text above took its form: listed by --help.
const char kMoreOptions[] =
    "-j n:\t\trun n images at a time (default: the cores this process may use)\n"
    "-v:\t\talso write the saliency map before normalisation as NAME_sm.dat\n"
    "--json FILE:\twrite a record of the run (settings, model, every image) as JSON\n"
    "--quiet:\tprint only errors, warnings and the time line\n"
    "--learned:\tuse the feature weights and smoothing that Sendral --boxes fitted\n"
    "--smooth SIGMA:\tsmooth the map with a Gaussian of SIGMA pixels before the search\n"
    "query_filelist - reads the image names from standard input\n"
    "--help:\t\tprint this text\n"
    "--version:\tprint the version of Lumivar and of ImageMagick\n\n";

[[noreturn]] void unknown_option() {
    lib_puts(2, "unknown option\n");
    exit_with_help();
}

[[noreturn]] void not_a_number(const char *what, const char *text) {
    fflush(stdout);
    lib_printf(2, "Error: %s must be a whole decimal number, not \"%s\"\n", what, text);
    exit_with_help();
}

// The value of an option that takes one; a missing value is a usage error.
int option_value(int argc, char **argv, int *i) {
    if (*i + 1 >= argc) exit_with_help();
    const char *opt = argv[*i];
    ++*i;
    int v = 0;
    if (!parse_whole_number(argv[*i], &v)) not_a_number(opt, argv[*i]);
    return v;
}

// A length in pixels: a decimal number, 0 or more.
double pixels_value(int argc, char **argv, int *i) {
    if (*i + 1 >= argc) exit_with_help();
    const char *opt = argv[*i];
    const char *text = argv[++*i];
    char *end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (!*text || *end || errno != 0 || !std::isfinite(v) || v < 0.0) {
        fflush(stdout);
        lib_printf(2, "Error: %s needs a number of pixels, 0 or more, not \"%s\"\n", opt, text);
        exit_with_help();
    }
    return v;
}

}  // namespace

void parse_settings(int argc, char **argv, LumivarSettings *set) {
    *set = LumivarSettings();
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *opt = argv[i];
        switch (opt[1]) {
            case '-':
                if (strcmp(opt, "--help") == 0) {
                    lib_fatal(0, "", std::string(kUsage) + kMoreOptions);
                }
                if (strcmp(opt, "--version") == 0) {
                    print_version("Lumivar");
                    lib_fatal(0, "");
                }
                if (strcmp(opt, "--learned") == 0) {
                    set->learned = true;
                    break;
                }
                if (strcmp(opt, "--smooth") == 0) {
                    set->smooth = pixels_value(argc, argv, &i);
                    break;
                }
                unknown_option();
            case 'd':
                set->drawnum = option_value(argc, argv, &i);
                if (set->drawnum < 0) exit_with_help();
                break;
            case 'f':
                set->ftnum4smap = option_value(argc, argv, &i);
                if (set->ftnum4smap <= 0) exit_with_help();
                break;
            case 'm':
                set->mapnum = option_value(argc, argv, &i);
                if (set->mapnum < 0 || set->mapnum > 2) exit_with_help();
                break;
            case 'j':
                set->jobs = option_value(argc, argv, &i);
                if (set->jobs < 1) exit_with_help();
                break;
            case 'v':
                if (strcmp(opt, "-v") != 0) unknown_option();
                set->writemapdat = 1;
                break;
            case 'e':
                if (strcmp(opt, "-enforce") != 0) unknown_option();
                set->isenforce = 1;
                break;
            case 'n':
                if (strcmp(opt, "-nosm") == 0)
                    set->nosm = 1;
                else if (strcmp(opt, "-nowta") == 0)
                    set->nowta = 1;
                else
                    unknown_option();
                break;
            case 's': set->scalemap = 1; break;
            default: unknown_option();
        }
    }
    if (argc - i < 4) exit_with_help();
    // An option after the positional arguments would otherwise be ignored
    // and the run would quietly use the defaults.
    for (int k = i + 4; k < argc; k++)
        if (argv[k][0] == '-') {
            fflush(stdout);
            lib_printf(2, "Error: option %s comes after the positional arguments; options go before "
                    "salientfeaturepath\n",
                    argv[k]);
            exit_with_help();
        }
    set->SFPath = argv[i];
    if (!parse_whole_number(argv[i + 1], &set->qclassidx))
        not_a_number("queryclassidx", argv[i + 1]);
    if (set->qclassidx == INT_MAX || set->qclassidx == INT_MIN) {
        lib_fatalf(1, "Error: class index %s is out of range\n", argv[i + 1]);
    }
    set->QueryFileList = argv[i + 2];
    set->savepath = argv[i + 3];
}

void parse_command_line(int argc, char **argv, std::string *SFPath, int *qclassidx,
                        std::string *QueryFileList, std::string *savepath, int *ftnum4smap,
                        int *drawnum, int *mapnum, int *nosm, int *nowta, int *scalemap,
                        int *isenforce) {
    LumivarSettings set;
    parse_settings(argc, argv, &set);
    *SFPath = set.SFPath;
    *qclassidx = set.qclassidx;
    *QueryFileList = set.QueryFileList;
    *savepath = set.savepath;
    *ftnum4smap = set.ftnum4smap;
    *drawnum = set.drawnum;
    *mapnum = set.mapnum;
    *nosm = set.nosm;
    *nowta = set.nowta;
    *scalemap = set.scalemap;
    *isenforce = set.isenforce;
}
