// Lumivar, the detector: command line, trained model of the query class,
// channel maps, salient location search, scale map, marking and the run
// over a query list.
#ifndef LUMIVAR_H
#define LUMIVAR_H

#include <magick/MagickCore.h>

#include <string>
#include <vector>

#include "mtx.h"

// ---- command line ---------------------------------------------------------

// Prints the usage text on standard output and exits with status 1.
[[noreturn]] void exit_with_help(void);

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

// Largest element (the first in row-major order among equals, starting from
// element (0,0)); row and col may be null.
double mtx_max_idx(matrix *m, int *row, int *col);

// ---- channel maps (salmap.cpp) ---------------------------------------------

// Constant part of ln p(x; aO, bO) - ln p(x; aB, bB) for two zero-centred
// generalized Gaussian densities.
double genSalConst(double alphaOb, double betaOb, double alphaBack, double betaBack);

// Zeroes rows and columns 0..2 and the last four rows and columns.
void BoundarySup(matrix *m);

// The channel of feature (level l, zig-zag index k) at the level's own
// resolution, borders cleared. Map kind 0: |coefficient|^1.5; kinds 1 and 2:
// ln 2 minus the binary entropy of the sigmoid of the (non-negative part of
// the) log-likelihood ratio of the query class's model (column qclassidx of
// allalpha/allbeta) against the background class's (column 0).
matrix *level_channel(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                      matrix *allbeta, int qclassidx);

// Enlarges a level-l channel by 2^l exactly as passing it through a grey
// ImageMagick image, ResizeImage with the cubic filter and reading it back
// would (samples clamped to 0..1, 16-bit steps), by the own route of
// enlarge.h where it has been checked against this ImageMagick, else by
// ImageMagick itself. Null after a message when ImageMagick fails.
matrix *enlarge_channel(matrix *chan, int l);

// The full-size channel map of one feature: level_channel, then
// enlarge_channel. Null when ImageMagick fails.
matrix *sglsaliencymap(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                       matrix *allbeta, int qclassidx);

// ---- location search and scale map (salpts.cpp) -----------------------------

// Most locations one search returns.
constexpr int kMaxSalPts = 500000;

// Scale radius of pyramid level l: 2^(l+2), truncated.
int scale_radius(int l);

// Repeatedly takes the largest positive value of SM (first in row-major
// order among equals) as a location (row, col, level of the dominant
// channel there, value) and clears the square of half-width
// scale_radius(level) around it, or, with nowta, only that pixel. SM is
// overwritten. Returns an n x 4 matrix, n >= 1 (a single zero row when SM
// has no positive value). Levels are 0..29.
matrix *SearchSalPts(matrix *SM, matrix **channels, int *ftpydlevels, int ftnum4smap, int nowta);

// imgscales(i,j) = radius of the feature whose channel is strictly largest
// at (i,j) (feature 0 where none is positive).
void GetScaleMap(matrix *imgscales, matrix **channels, int *ftpydlevels, int ftnum4smap);

// ---- marking (draw.cpp) -----------------------------------------------------

// Circles the first min(spnum, rows of SPs) locations.
void DrawSPs_img(Image *image, matrix *SPs, int spnum, const char *color);
// Draws an unfilled circle outline, 3 pixels wide, centred at column x,
// row y, through (x, y + radius).
void DrawCircle_img(Image *image, int x, int y, int radius, const char *color);

// ---- run (run.cpp) ----------------------------------------------------------

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
};

// The trained model of the query class and the fixed filters.
struct LumivarModel {
    int pyddepth = 0;
    int ftnum4smap = 0;
    std::vector<double> ftcost, ftmd;
    std::vector<int> ftpydlevel, ftsubidx;
    matrix *allalpha = nullptr;
    matrix *allbeta = nullptr;
    matrix *dctmtx[64] = {};
    matrix *gaufilt = nullptr;
};

// The 64 8x8 DCT basis filters, entry k = basis function k.
void make_dct_filters(matrix **dctmtx);
void free_model(LumivarModel *model);

// Base name of an image file: after the last "/", up to the last "." (the
// whole last component when it holds no ".").
std::string image_basename(const std::string &filename);

// Processes one query image and writes its outputs. Returns 1 when the
// image was processed or skipped for being too small, 0 when it could not
// be read or an output could not be written.
int process_image(const char *filename, const LumivarSettings &set, const LumivarModel &model);

// The whole program; returns the exit status.
int lumivar_main(int argc, char **argv);

#endif
