// Sendral's command line: options first (one table of them), then
// training_filelist, pyr_depth and salientfeaturepath.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <string>

#include "cli.h"
#include "sendral.h"
#include "fail.h"
#include "options.h"

namespace {

const char kUsage[] =
    "\nUsage: Sendral [options] training_filelist pyr_depth salientfeaturepath\n"
    "options:\n"
    "-fast : \t \tusing the pre-computed feature statistics\n"
    "-b bkghistpath : \tusing the pre-computed histgram of the background class (with "
    "index 0).\n"
    "-w weight_filelist: \tthe list of files (same format as \"training_filelist\") for "
    "assigning\n"
    "\t\t\tweight to each pixel in the image. These weights are normally saliency\n"
    "\t\t\tmeasures from the previous saliency detection. \n"
    "-h: \t\t\tadd Hue as a new feature\n"
    "-nodenoise :\t\tdo not threshold features with small variance.\n"
    "-exBfea: \t\texclude features more informative to background \n"
    " \t\t\t(default is using all) \n";

// Options added after the usage text above took its form: listed by --help.
const char kMoreOptions[] =
    "-j n : \t\t\tread and analyse images on n threads (default: one per CPU)\n"
    "-shard k/n, -merge shardlist: training in parts, on many machines (README)\n"
    "--json FILE : \t\twrite a record of the run (settings, classes, images) as JSON\n"
    "--quiet : \t\tprint only errors, warnings and the time line\n"
    "--boxes FILE : \t\tboxes of the objects (entry,top,bottom,left,right): also learn\n"
    "\t\t\tfeature weights for Lumivar --learned\n"
    "--help : \t\tprint this text\n"
    "--version : \t\tprint the version of Sendral and of ImageMagick\n";

}  // namespace

void sendral_cli::exit_with_help(void) { lib_fatal(1, "", kUsage); }

namespace {

[[noreturn]] void usage_error(const char *fmt, const char *arg) {
    lib_printf(2, fmt, arg);
    exit_with_help();
}

// Copies a path into a SENDRAL_PATHLEN buffer, refusing what does not fit.
void copy_path(char *dst, const char *src, const char *what) {
    if (strlen(src) >= SENDRAL_PATHLEN) {
        lib_printf(2, "%s is longer than %d characters\n", what, SENDRAL_PATHLEN - 1);
        exit_with_help();
    }
    strcpy(dst, src);
}

int parse_depth(const char *s) {
    int v = 0;
    if (!parse_whole_number(s, &v) || v < 1 || v > SENDRAL_MAXDEPTH) {
        lib_printf(2, "pyr_depth must be a whole number from 1 to %d, not \"%s\"\n",
                   SENDRAL_MAXDEPTH, s);
        exit_with_help();
    }
    return v;
}

int parse_threads(const char *s) {
    int v = 0;
    if (!parse_whole_number(s, &v) || v < 1) {
        lib_printf(2, "-j needs a whole number of threads from 1, not \"%s\"\n", s);
        exit_with_help();
    }
    return v;
}

// --help and --version answer before anything else is looked at.
void answer_info_options(int argc, char **argv) {
    for (int i = 1; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            lib_fatal(0, "", std::string(kUsage) + kMoreOptions);
        }
        if (strcmp(argv[i], "--version") == 0) {
            print_version("Sendral");
            lib_fatal(0, "");
        }
    }
}

}  // namespace

void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise) {
    int threads;
    parse_command_line(argc, argv, ListFilename, savepath, pyddepth, isfast, exBfea, isbkpath,
                       bkhistpath, isweight, wtfilelist, ishue, isdenoise, &threads);
}

void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise, int *threads) {
    answer_info_options(argc, argv);
    *isfast = 0;
    *exBfea = 0;
    *isbkpath = 0;
    *isweight = 0;
    *ishue = 0;
    *isdenoise = 1;
    bkhistpath[0] = '\0';
    wtfilelist[0] = '\0';
    *threads = default_thread_count();

    auto path_row = [](const char *word, int *flag, char *path, const char *what) {
        return OptionRow{word, OptionRow::first_letter, OptionRow::next,
                         [flag, path, what](const char *w, const char *v) {
                             if (!v) usage_error("option %s needs a value\n", w);
                             *flag = 1;
                             copy_path(path, v, what);
                         }};
    };
    auto set_row = [](const char *word, OptionRow::Match match, int *field, int value) {
        return OptionRow{word, match, OptionRow::none,
                         [field, value](const char *, const char *) { *field = value; }};
    };
    // The word options must match whole: -fastx is a typo, not -fast.
    const std::vector<OptionRow> rows = {
        path_row("-b", isbkpath, bkhistpath, "bkghistpath"),
        path_row("-w", isweight, wtfilelist, "weight_filelist"),
        set_row("-h", OptionRow::first_letter, ishue, 1),
        {"-j", OptionRow::first_letter, OptionRow::attached_or_next,
         [threads](const char *w, const char *v) {
             if (!v) usage_error("option %s needs a value\n", w);
             *threads = parse_threads(v);
         }},
        set_row("-fast", OptionRow::whole, isfast, 1),
        set_row("-exBfea", OptionRow::whole, exBfea, 1),
        set_row("-nodenoise", OptionRow::whole, isdenoise, 0),
    };
    const int i = parse_options(argc, argv, rows, [](const char *) {
        lib_puts(2, "unknown option\n");
        exit_with_help();
    });
    if (argc - i < 3) exit_with_help();
    copy_path(ListFilename, argv[i], "training_filelist");
    *pyddepth = parse_depth(argv[i + 1]);
    copy_path(savepath, argv[i + 2], "salientfeaturepath");
    // A late option would be ignored silently, and the run would not be the
    // one asked for.
    if (const char *late = late_option(argc, argv, i + 3))
        usage_error("options go before training_filelist: %s comes after it\n", late);
    // An empty result path would put every result file at the file-system root.
    if (savepath[0] == '\0') {
        lib_puts(2, "salientfeaturepath is empty\n");
        exit_with_help();
    }
}
