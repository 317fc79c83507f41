// Class statistics and generalized Gaussian (GGD) modelling of block-DCT
// features.
//
// A feature is (pyramid level l, zig-zag index k), row f = 64*l + k of every
// per-feature matrix. Allmnt holds, per class j, the first four raw moments
// of every feature in columns 4j..4j+3. From it every class, its complement
// and the whole population are fitted with a zero-centred GGD
//   p(x) = beta / (2 alpha Gamma(1/beta)) * exp(-(|x|/alpha)^beta)
// by moment matching; features are scored by KL divergences and ranked.
//
// Progress goes to standard output, the fits and the selection report on
// standard error (through lib_printf). Failures go to the fatal hook
// (fail.h) with a clear message and status 1. Reading images and lists is
// the trainer's (trainer/classes.h).
#ifndef CLASSSTAT_H
#define CLASSSTAT_H

#include "mtx.h"

// ---- per-class moments of the DCT features ------------------------------------

// Ends the run (status 1, a message naming `path` when given) unless
// Allmnt is 64*pyddepth x 4*classnum.
void check_moment_shape(const matrix *Allmnt, const char *path, int pyddepth, int classnum);
// A new 64 x 4 matrix: row k, column m = the mean over the block grid of one
// pyramid level of (DCT coefficient k)^(m+1). Block steps max(W/250, 1)
// horizontally and max(H/250, 1) vertically. Computed block by block
// without any N x 64 intermediate. Both routes read the level through its
// row pointers only, so it may be a view of the top-left part of a larger
// matrix (that matrix's pix, fewer rows or columns).
matrix *mnts_DCT(matrix *level, matrix *dctarr);
// The same moments through ovlapDct and whole-matrix products: the slow
// reference route, kept for tests and benchmarks.
matrix *mnts_DCT_ovlap(matrix *level, matrix *dctarr);

// Adds the per-level moments of one image into acc (pyddepth frames of
// 64 x 4): crop to multiples of 2^(pyddepth-1), build the pyramid, take the
// moments of every level (mnts_DCT, or mnts_DCT_ovlap when slow != 0).
// Returns 0 and adds nothing when the cropped image is too small (the
// "Image too small, Skip!" message is printed), 1 otherwise. img is not freed.
int add_image_mnts_DCT(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr,
                       int slow);

// add_image_mnts_DCT without the message: 0 (nothing added) when too small.
int image_mnts_DCT(matrix *img, volume *acc, int pyddepth, matrix *gaufilt, matrix *dctarr,
                   int slow);
// acc += add, frame by frame (both pyddepth frames of 64 x 4).
void add_mnts_volume(volume *acc, const volume *add);
// The sums of class j's `used` images (acc, divided in place) as its
// averages into columns 4j..4j+3 of Allmnt, one 64-row block per level.
void set_class_mnts(volume *acc, int used, int j, matrix *Allmnt);
// Stops the training (message, status 1) unless 1 <= pyddepth and the
// moment matrix's rows fit an int.
void check_mnts_depth(int pyddepth);

// ---- GGD fitting, divergence and entropy ---------------------------------------

// Gamma(a) as exp(lgamma(a)); a > 0.
double gamma_exp(double a);

// Fit of class i (indicateBar 0, i < classnum), of its complement
// (indicateBar 1), or of all classes (indicateBar 0, i >= classnum) into the
// ftnum x 1 columns betas, alphas and variance.
void ggd_each_param(matrix *Allmnt, int i, int indicateBar, matrix *betas, matrix *alphas,
                    matrix *variance);
// Shape from kurtosis through the kurtosis table (no interpolation); a
// kurtosis below the table or not a number gives 4.0.
void ggdfit_beta_moment_mtx(matrix *kurt, matrix *beta);
// alpha = sqrt(Gamma(1/beta) var / Gamma(3/beta)), 0 when that is not positive.
void ggdfit_alpha_moment_mtx(matrix *var, matrix *beta, matrix *alpha);
// KL(GGD(alpha1, beta1) || GGD(alpha2, beta2)); 0 for degenerate parameters.
double kl_ggd(double alpha1, double beta1, double alpha2, double beta2);
// Differential entropy in nats; 0 for degenerate parameters.
double ent_ggd(double alpha, double beta);

// MD scores (classnum x ftnum), StandVar (variance of the all-class fit,
// ftnum x 1), Allalpha and Allbeta (ftnum x classnum); all caller-allocated.
void classStat_GGD(matrix *Allmnt, int classnum, matrix *classMD, matrix *StandVar,
                   matrix *Allalpha, matrix *Allbeta);
// A new 1 x ftnum matrix: entropy of the fit ggd_each_param makes.
matrix *entropy_GGD(matrix *Allmnt, int i, int indicateBar);
// A new array of ftnum variance thresholds (caller frees with free());
// StandVar[highfreq] is taken as the noise variance.
double *imgdenoise_GGD(matrix *Allmnt, int highfreq, matrix *StandVar);

// ---- discriminant feature selection -------------------------------------------

// Fills rows of sortMDs, sortCosts, sortidx (classnum x ftnum, caller's) and
// returns a new array of classnum valid-feature counts (caller frees with free()).
int *SalientFeatures_Qor_GGD(matrix *Allmnt, matrix *Allbeta, int classnum, int exBfea,
                             matrix *StandVar, matrix *classMD, int ishue, matrix *sortMDs,
                             matrix *sortCosts, matrix *sortidx, int isdenoise);

#endif
