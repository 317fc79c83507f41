// Sendral, the trainer: command line and run.
#ifndef SENDRAL_H
#define SENDRAL_H

#include <string>
#include <vector>

#include "owners.h"

// Every path the command line takes is held in a buffer of this size.
#define SENDRAL_PATHLEN 1024
// Deepest pyramid whose crop and size arithmetic (8 * 2^(depth-1)) fits an int.
#define SENDRAL_MAXDEPTH 28

// Prints the usage text on standard output and stops with status 1 (the fatal hook).
// (--help prints it and ends with status 0; --version prints the version.)
// (Each program has its own; the namespaces keep both in one library.)
namespace sendral_cli {
[[noreturn]] void exit_with_help(void);
}
using sendral_cli::exit_with_help;

// Fills the run options from argv. ListFilename, savepath, bkhistpath and
// wtfilelist are buffers of SENDRAL_PATHLEN bytes. Usage errors stop with
// status 1 (the fatal hook).
void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise);

// The same, also giving the -j thread count (default: default_thread_count()).
void parse_command_line(int argc, char **argv, char *ListFilename, char *savepath, int *pyddepth,
                        int *isfast, int *exBfea, int *isbkpath, char *bkhistpath, int *isweight,
                        char *wtfilelist, int *ishue, int *isdenoise, int *threads);

// Creates the result directory (and its missing parents) when needed,
// makes sure files can be created in it and locks it; returns the lock's
// descriptor (result_dir_unlock). Stops the training otherwise.
int prepare_result_dir(const char *savepath);

// Creates or truncates a small text file of the write phase (a step the
// write-fault injection counts) and writes `text`; ends with status 1 after
// a message naming the file on failure.
void write_text(const std::string &path, const std::string &text);

// ---- the training as steps ----------------------------------------------------
// The program, the tests, the shard code and the in-process API all call
// these: the training set (classes.h) -> class moments (classes.h) -> GGD
// fits -> feature selection -> the result directory. Failures go to the
// fatal hook (fail.h); each step prints what Sendral prints for it.

// GGD fits of every class, its complement and all classes, and MD scores.
struct GgdFits {
    MatrixPtr classMD, StandVar, Allalpha, Allbeta;
};
GgdFits fit_classes(matrix *Allmnt, int classnum);

// Validity and ranking of the features of every class.
struct FeatureRanking {
    MatrixPtr sortMDs, sortCosts, sortidx;
    std::vector<int> counts;  // valid (salient) features per class
};
FeatureRanking select_features(matrix *Allmnt, GgdFits &fits, int classnum, int exBfea, int ishue,
                               int isdenoise);

// A warning on standard error for every object class (1..) left with no
// salient feature, naming its list and what to try; nothing else changes.
void warn_featureless_classes(const FeatureRanking &ranking,
                              const std::vector<std::string> &class_lists);

// The result directory of one training: prepared and locked when made,
// written into a staging folder and swapped in whole by commit(). Destroyed
// uncommitted (a failure in a process that goes on), it leaves the
// directory as it was and releases the lock.
class ResultWriter {
public:
    explicit ResultWriter(const std::string &dir);
    ~ResultWriter();
    ResultWriter(const ResultWriter &) = delete;
    ResultWriter &operator=(const ResultWriter &) = delete;

    const std::string &dir() const { return dir_; }
    // "Saving..." the moments, fits and (when given) image counts, "Done.".
    void write_fits(const matrix *Allmnt, int pyddepth, const GgdFits &fits, const int *imgnum,
                    int classnum);
    // "Saving..." the rankings, pyddepth and salientfeaturenum, "Done.",
    // then the class files.
    void write_ranking(const FeatureRanking &ranking, int pyddepth, int classnum);
    // A further text file of the model (learned_class_<j>), staged with the
    // others and swapped in by commit().
    void write_extra(const std::string &name, const std::string &text);
    // timeusage, then the swap.
    void commit(const std::string &timeusage);

private:
    const std::string &stage();
    std::string dir_, staging_;
    int lock_ = -1;
    bool committed_ = false;
};

// The whole run, from the command line to the result directory; returns 0.
int sendral_run(int argc, char **argv);

#endif
