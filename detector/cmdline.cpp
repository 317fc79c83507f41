// Lumivar's command line: options before the four positional arguments,
// in one table of options.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "lumivar.h"
#include "fail.h"
#include "mapkinds.h"
#include "options.h"

namespace {

// The usage text; the -m line lists the map kinds of mapkinds.cpp.
const std::string &usage() {
    static const std::string text =
        std::string(
            "\nUsage: Lumivar [options] salientfeaturepath queryclassidx query_filelist "
            "outpath\n"
            "options:\n"
            "-d drawcirclenum: set the number of salient locations drawn on the image "
            "(default 5).\n"
            "   \t\t   if 0 then no circle is drawn.\n"
            "-f featurenum: set the number of salient features used for saliency "
            "detection (default 5)\n"
            "-enforce\tenforce to generate saliency map with assigned number of features\n"
            "-nosm: \tno saliency map will be stored.\n"
            "-s: \t\tgenerate a scale map (the spatial scale at each pixel) for the "
            "image, \n"
            "\t\tthe value at each pixel is the radius of the scale at each pixel\n"
            "-m #:\t\tmap number ") +
        map_kind_help() +
        "\n"
        "-nowta:\tget all possible salient locations without winner-take-all stage.\n\n";
    return text;
}

}  // namespace

void lumivar_cli::exit_with_help(void) { lib_fatal(1, "", usage()); }

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
int whole_value(const char *opt, const char *text) {
    if (!text) exit_with_help();
    int v = 0;
    if (!parse_whole_number(text, &v)) not_a_number(opt, text);
    return v;
}

// A length in pixels: a decimal number, 0 or more.
double pixels_value(const char *opt, const char *text) {
    if (!text) exit_with_help();
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

// A whole number option that must be at least `least`.
OptionRow count_row(const char *word, int *field, int least) {
    return {word, OptionRow::first_letter, OptionRow::next,
            [field, least](const char *w, const char *v) {
                *field = whole_value(w, v);
                if (*field < least) exit_with_help();
            }};
}

OptionRow flag_row(const char *word, OptionRow::Match match, int *field) {
    return {word, match, OptionRow::none, [field](const char *, const char *) { *field = 1; }};
}

}  // namespace

void parse_settings(int argc, char **argv, LumivarSettings *set) {
    *set = LumivarSettings();
    const std::vector<OptionRow> rows = {
        {"--help", OptionRow::whole, OptionRow::none,
         [](const char *, const char *) { lib_fatal(0, "", usage() + kMoreOptions); }},
        {"--version", OptionRow::whole, OptionRow::none,
         [](const char *, const char *) {
             print_version("Lumivar");
             lib_fatal(0, "");
         }},
        {"--learned", OptionRow::whole, OptionRow::none,
         [set](const char *, const char *) { set->learned = true; }},
        {"--smooth", OptionRow::whole, OptionRow::next,
         [set](const char *w, const char *v) { set->smooth = pixels_value(w, v); }},
        count_row("-d", &set->drawnum, 0),
        count_row("-f", &set->ftnum4smap, 1),
        {"-m", OptionRow::first_letter, OptionRow::next,
         [set](const char *w, const char *v) {
             set->mapnum = whole_value(w, v);
             if (!find_map_kind(set->mapnum)) exit_with_help();
         }},
        count_row("-j", &set->jobs, 1),
        flag_row("-v", OptionRow::whole, &set->writemapdat),
        flag_row("-enforce", OptionRow::whole, &set->isenforce),
        flag_row("-nosm", OptionRow::whole, &set->nosm),
        flag_row("-nowta", OptionRow::whole, &set->nowta),
        flag_row("-s", OptionRow::first_letter, &set->scalemap),
    };
    const int i = parse_options(argc, argv, rows, [](const char *) { unknown_option(); });
    if (argc - i < 4) exit_with_help();
    // An option after the positional arguments would otherwise be ignored
    // and the run would quietly use the defaults.
    if (const char *late = late_option(argc, argv, i + 4)) {
        fflush(stdout);
        lib_printf(2,
                   "Error: option %s comes after the positional arguments; options go before "
                   "salientfeaturepath\n",
                   late);
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
