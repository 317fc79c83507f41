// Lumivar, the detector: command line, trained model of the query class,
// channel maps, salient location search, scale map, marking and the run
// over a query list.
#ifndef LUMIVAR_H
#define LUMIVAR_H

#include <magick/MagickCore.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "mapkinds.h"
#include "mtx.h"

// ---- command line ---------------------------------------------------------

// Prints the usage text on standard output and stops with status 1 (the fatal hook).
// (Each program has its own; the namespaces keep both in one library.)
namespace lumivar_cli {
[[noreturn]] void exit_with_help(void);
}
using lumivar_cli::exit_with_help;

// Sets every default, then reads the options and the four positional
// arguments; any usage error ends in exit_with_help.
void parse_command_line(int argc, char **argv, std::string *SFPath, int *qclassidx,
                        std::string *QueryFileList, std::string *savepath, int *ftnum4smap,
                        int *drawnum, int *mapnum, int *nosm, int *nowta, int *scalemap,
                        int *isenforce);

// ---- correlation and maximum search (mtxopr.cpp) ----------------------------

// New N x M matrix: the unflipped correlation of `in` with the h x w filter,
// each window sum (row-major order) stored at the window's top-left corner
// plus ((h+1)/2 - 1, (w+1)/2 - 1); positions no window reaches stay 0.
matrix *filter2d(matrix *in, matrix *filt);
// Row r of filter2d(in, filt) into dst (in->ncols samples).
void filter2d_row(const matrix *in, const matrix *filt, int r, double *dst);
// Rows r .. r + count - 1 of filter2d(in, filt) into dst[0 .. count - 1],
// the same values as filter2d_row; fastest for filter2d_batch() rows.
void filter2d_rows(const matrix *in, const matrix *filt, int r, int count, double *const *dst);
int filter2d_batch();

// Largest element (the first in row-major order among equals, starting from
// element (0,0)); row and col may be null.
double mtx_max_idx(matrix *m, int *row, int *col);

// ---- channel maps (salmap.cpp) ---------------------------------------------

// Constant part of ln p(x; aO, bO) - ln p(x; aB, bB) for two zero-centred
// generalized Gaussian densities.
double genSalConst(double alphaOb, double betaOb, double alphaBack, double betaBack);

// p[i] = pow(|p[i]|, 1.5), the same doubles, several times faster.
void abs_pow_three_halves(double *p, long n);

// Zeroes rows and columns 0..2 and the last four rows and columns.
void BoundarySup(matrix *m);

// The channel of feature (level l, zig-zag index k) at the level's own
// resolution, borders cleared: the transform of map kind `mapnum`
// (mapkinds.h) of the correlation, its models being the query class's
// (column qclassidx of allalpha/allbeta) and the background class's (column
// 0). Kind 0: |coefficient|^1.5; kinds 1 and 2: ln 2 minus the binary
// entropy of the sigmoid of the (non-negative part of the) log-likelihood
// ratio of the two models.
matrix *level_channel(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                      matrix *allbeta, int qclassidx);

// The same channel made one row at a time, so that it is never held whole.
class LevelChannelRows {
public:
    LevelChannelRows(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                     matrix *allbeta, int qclassidx);
    int rows() const { return level_->nrows; }
    int cols() const { return level_->ncols; }
    // Row r; valid until the next call.
    const double *row(int r);

private:
    // The transform and the cleared columns of one correlated row.
    void finish_row(double *p) const;

    const matrix *level_, *filter_;
    const MapKind *kind_;
    ChannelModels models_;
    bool density_ = false;     // both models have a density
    std::vector<double> row_;  // the rows made last, one after the other
    int first_ = -1, made_ = 0, last_ = -2;
};

// Enlarges a level-l channel by 2^l exactly as passing it through a grey
// ImageMagick image, ResizeImage with the cubic filter and reading it back
// would (samples clamped to 0..1, 16-bit steps), by the own route of
// enlarge.h where it has been checked against this ImageMagick, else by
// ImageMagick itself. Null after a message when ImageMagick fails.
matrix *enlarge_channel(matrix *chan, int l);

// Receives an enlarged channel one row at a time, rows in ascending order.
using RowSink = std::function<void(size_t row, const double *samples)>;

// Gives row r of a channel; the row stays valid until the next call.
using RowSource = std::function<const double *(int r)>;

// enlarge_channel of the R x C channel whose rows `source` makes on demand
// (each asked for once, in ascending order), without the full-size result:
// each row goes to `sink` as soon as it is made. False (after a message)
// when ImageMagick fails.
bool enlarge_rows(int R, int C, const RowSource &source, int l, const RowSink &sink);

// True when the own enlargement route (not ImageMagick) serves an R x C
// channel at level l.
bool enlarge_own_route(int R, int C, int l);

// An enlarged channel made one row per call on the own route (only where
// enlarge_own_route holds), pulling the channel's rows from `source` as it
// needs them: several channels can be enlarged side by side, row by row.
class EnlargedRows {
public:
    EnlargedRows(int R, int C, RowSource source, int l);
    ~EnlargedRows();
    EnlargedRows(const EnlargedRows &) = delete;
    EnlargedRows &operator=(const EnlargedRows &) = delete;
    // The next row (valid until the next call).
    const double *next();
    // Passes over the next row without making it (rows are still made in
    // ascending order; the source is asked only for the rows used).
    void skip();
    // The enlargement's working state, also used whole by enlarge.cpp.
    struct State;

private:
    std::unique_ptr<State> s_;
};

// The full-size channel map of one feature: level_channel, then
// enlarge_channel. Null when ImageMagick fails.
matrix *sglsaliencymap(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                       matrix *allbeta, int qclassidx);

// ---- location search and scale map (salpts.cpp) -----------------------------

// Most locations one search returns.
constexpr int kMaxSalPts = 500000;

// For every pixel, the pyramid level of the first channel strictly largest
// there, starting from 0.0 (the first feature's level where none is
// positive). Channels are added one at a time, so the search and the scale
// map need neither every channel map nor more than 9 bytes a pixel.
class DominantLevels {
public:
    DominantLevels(long npix, int first_level);
    void add(const matrix *chan, int level);
    // For `count` pixels from pixel `first` on: the channel times weight
    // (unless 1) is added to sum and to the dominant levels, in one pass.
    // chan and sum point at pixel `first`.
    // With `fresh`, the pixels start as restart(level) leaves them and sum
    // as zeros: neither is read.
    void add_weighted(const double *chan, double weight, double *sum, int level, long first,
                      long count, bool fresh = false);
    // Drops the per-pixel values once every channel is in.
    void done_adding();
    // Starts again with no channel added.
    void restart(int first_level);
    const unsigned char *levels() const { return level_.data(); }
    // Hands the table over (the record is empty afterwards).
    std::vector<unsigned char> take_levels() { return std::move(level_); }

private:
    std::vector<double> best_;
    std::vector<unsigned char> level_;
};

// Repeatedly takes the largest positive value of SM (first in row-major
// order among equals) as a location (row, col, level of the dominant
// channel there, value) and clears the square of half-width
// scale_radius(level) around it, or, with nowta, only that pixel. SM is
// overwritten: left cleared as the locations left it, or, without
// leave_cleared_map, in no particular state (faster). Returns an n x 4
// matrix, n >= 1 (a single zero row when SM has no positive value). *cut
// (may be null) tells whether more locations were left when kMaxSalPts
// was reached.
matrix *search_locations(matrix *SM, const unsigned char *levels, int nowta, bool *cut,
                         bool leave_cleared_map = true);
// The same search with the dominant levels taken from the channel maps.
matrix *SearchSalPts(matrix *SM, matrix **channels, int *ftpydlevels, int ftnum4smap, int nowta);

// imgscales(i,j) = radius of the dominant level at (i,j).
void scale_map_from_levels(matrix *imgscales, const unsigned char *levels);
// imgscales(i,j) = radius of the feature whose channel is strictly largest
// at (i,j) (feature 0 where none is positive).
void GetScaleMap(matrix *imgscales, matrix **channels, int *ftpydlevels, int ftnum4smap);

// ---- marking (draw.cpp) -----------------------------------------------------

// Circles the first min(spnum, rows of SPs) locations.
void DrawSPs_img(Image *image, matrix *SPs, int spnum, const char *color);
// Draws an unfilled circle outline, 3 pixels wide, centred at column x,
// row y, through (x, y + radius).
void DrawCircle_img(Image *image, int x, int y, int radius, const char *color);

// ---- run: the pipeline (run.cpp) ---------------------------------------------

struct LearnedWeights;  // learned.h

struct LumivarSettings {
    std::string SFPath;
    int qclassidx = 0;
    std::string QueryFileList;
    std::string savepath;
    int ftnum4smap = 5;
    int drawnum = 5;
    int mapnum = 0;
    int nosm = 0;
    int nowta = 0;
    int scalemap = 0;
    int isenforce = 0;
    int jobs = 0;          // -j; 0: the cores this process may run on
    int writemapdat = 0;   // -v: NAME_sm.dat, the map before normalisation
    std::string json;      // --json FILE: the run record
    bool quiet = false;    // --quiet: errors, warnings and the time line only
    bool learned = false;  // --learned: the weights Sendral --boxes fitted (learned.h)
    double smooth = -1.0;  // --smooth SIGMA: Gaussian smoothing in pixels; below 0: not given
};

// What became of one image, for the run record.
struct ImageReport {
    std::string status = "failed";     // "ok", "skipped" (too small) or "failed"
    std::vector<std::string> outputs;  // files written
    long locations = -1;               // rows of NAME_salloc
    std::vector<double> first;         // row, column, radius, saliency
    double seconds = 0;
};

// Every setting from the command line (parse_command_line fills the
// original eleven from it). Usage errors stop with status 1 (the fatal hook);
// --help and --version end it with status 0.
void parse_settings(int argc, char **argv, LumivarSettings *set);

// The trained model of the query class and the fixed filters; owns its
// matrices.
struct LumivarModel {
    int pyddepth = 0;
    int ftnum4smap = 0;
    std::vector<double> ftcost, ftmd;
    std::vector<int> ftpydlevel, ftsubidx;
    std::shared_ptr<const LearnedWeights> learned;  // with --learned
    matrix *allalpha = nullptr;
    matrix *allbeta = nullptr;
    matrix *dctmtx[64] = {};
    matrix *gaufilt = nullptr;

    LumivarModel() = default;
    ~LumivarModel();
    LumivarModel(const LumivarModel &) = delete;
    LumivarModel &operator=(const LumivarModel &) = delete;
};

// The 64 8x8 DCT basis filters, entry k = basis function k.
void make_dct_filters(matrix **dctmtx);

// Step 1. Reads and checks the result directory for the query class: the
// feature count (lowering set->ftnum4smap to the trained count without
// -enforce, with the message), the class file, the depth and the GGD
// parameters (shapes, class count, finite non-negative values of the query
// and background classes), then builds the filters. Any disagreement stops
// with status 1 (the fatal hook) after a message naming the file. What it
// reads is one whole model, old or new, while a training commits
// (read_whole_model); a directory left incomplete is refused.
void load_model(LumivarSettings *set, LumivarModel *model);

// Base name of an image file: after the last "/", up to the last "." (the
// whole last component when it holds no ".").
std::string image_basename(const std::string &filename);

// Step 2. The query image as a grey matrix cropped to multiples of
// 2^(depth-1). Null when it cannot be read or is too small (after a message;
// *too_small tells which). With `keep`, the decoded image (full size,
// colour) is handed over too, for drawing, so the file is decoded once.
matrix *read_query(const char *filename, int pyddepth, bool *too_small, Image **keep = nullptr);

// Steps 3-4. The saliency map of a cropped image (which it frees): every
// channel map weighted and added in feature order, pixel by pixel, and
// folded into the dominant level of every pixel, which is kept beside the
// map; no full-size channel map is held. Channels are made side by side,
// one map row at a time, unless a level needs ImageMagick's enlargement or
// `by_channels` asks for one channel after the other (the same map). Null
// (after a message) when a channel cannot be made.
matrix *saliency_map(matrix *crop, const LumivarSettings &set, const LumivarModel &model,
                     std::vector<unsigned char> *levels, bool by_channels = false);

// Steps 5-6. Writes the outputs of one image (map image and -v datfile,
// locations, scale map, marked copy), each under a temporary name renamed
// into place. SM is overwritten by the search. `decoded` (taken over; null:
// the file is read again) is the image the circles are drawn on. False when an output could
// not be written (after a message naming the file).
bool search_and_write(const char *filename, matrix *SM, const std::vector<unsigned char> &levels,
                      const LumivarSettings &set, Image *decoded = nullptr,
                      ImageReport *report = nullptr);

// The whole of one image. Returns 1 when the image was processed or skipped
// for being too small, 0 when it could not be read, an output could not be
// written or its work failed (out of memory, say): every failure on the way
// is this image's, reported with its name, never the end of the process.
int process_image(const char *filename, const LumivarSettings &set, const LumivarModel &model,
                  ImageReport *report = nullptr);

// Two entries of a query list whose outputs would have one name, or an
// empty pair.
std::pair<std::string, std::string> colliding_entries(char **files, int n);

// The whole program; returns the exit status.
int lumivar_main(int argc, char **argv);

#endif
