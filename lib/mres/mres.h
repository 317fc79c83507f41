// Multiresolution features: the Gaussian pyramid with separable filtering
// and periodic borders, and the 8x8 block DCT both as a block transform
// (trainer) and as a bank of zig-zag ordered basis filters (detector).
//
// Failures hand a fixed message for standard error and status 1 to the
// fatal hook (fail.h). Border modes and other one-character codes are ints.
#ifndef MRES_H
#define MRES_H

#include "mtx.h"

// ---- Gaussian pyramid and separable filtering -------------------------------

// The five pyramid taps 0.05, 0.25, 0.4, 0.25, 0.05 (sum 1).
extern const double gaufilter[5];
// A new 5x1 matrix holding the gaufilter taps (tap k in row k).
matrix *mk_gaufilter(void);

// Fills pyr (allocated by calloc_pyr(depth, H, W)): level 0 is a copy of
// img, level i the filtered and 2x-subsampled level i-1. mode 'w' or 'z'.
void gpyr(matrix *img, pyramid *pyr, matrix *vfilt, matrix *hfilt, int depth, int mode);
// The same pyramid built on img itself, which becomes its level 0 (taken
// over: free_pyr frees it, and so does a failure), without the copy.
pyramid *gpyr_on(matrix *img, int depth, matrix *vfilt, matrix *hfilt, int mode);
// One level: out (caller's; in->nrows/2 x in->ncols/2 for the pyramid)
// = in filtered and 2x-subsampled, as gpyr forms level i from level i-1.
// in is read through its row pointers only, so it may be a view of the
// top-left part of a larger matrix (that matrix's pix, fewer rows or
// columns).
void gpyr_level(const matrix *in, matrix *out, matrix *vfilt, matrix *hfilt, int mode);

// out(y,x) = sum_k sum_l (cgain*fv(Lv-1-k)) * (rgain*fh(Lh-1-l)) *
//            E(voff + y*vstep + k, hoff + x*hstep + l), E the border-extended
// (and, if ups != 0, zero-inserted by hitp/vitp) input. out is the caller's.
void sep_filt2d(matrix *in, matrix *out, matrix *vfilt, matrix *hfilt, int hstep, int vstep,
                int hoff, int voff, int mode, int hitp, int vitp, int ups, double rgain,
                double cgain);

// Horizontal pass: every input row, out->ncols outputs per row.
void row_convolve(matrix *in, matrix *out, matrix *filt, int step, int offset, double gain);
// Vertical pass: every input column, out->nrows outputs per column.
void col_convolve(matrix *in, matrix *out, matrix *filt, int step, int offset, double gain);

// A new (top+H+bottom) x (left+W+right) matrix: the input in the middle,
// borders periodic ('w', wrapping as often as needed) or zero ('z').
matrix *augment_borders(matrix *in, int top, int bottom, int left, int right, int mode);

// A new zero (vfac*H) x (hfac*W) matrix with in(i,j) at (i*vfac, j*hfac).
matrix *upsample(matrix *in, int hfac, int vfac);

// ---- DCT basis and block transforms -----------------------------------------

// Zig-zag order (JPEG): coefficient k of a block sits at row zz*r[k],
// column zz*c[k] for 8x8 (zzr/zzc), 4x4 (zz4r/zz4c) and 2x2 (zz2r/zz2c).
extern const int zzr[64];
extern const int zzc[64];
extern const int zz4r[16];
extern const int zz4c[16];
extern const int zz2r[4];
extern const int zz2c[4];

// A new sz x sz DCT matrix D (row = sample, column = frequency); sz even.
matrix *initdct(int sz);
// blk <- D' * blk * D in place.
void inp_bkdct(matrix *blk, matrix *D);
// blk <- D * blk * D' in place (inverse of inp_bkdct).
void inp_bkidct(matrix *blk, matrix *D);

// dest[k] = blk(zzr[k], zzc[k]); block size (2, 4 or 8) from blk->nrows.
void zzscan(matrix *blk, double *dest);
// blk(zzr[k], zzc[k]) = src[k]; the inverse of zzscan.
void unzzscan(matrix *blk, const double *src);

// Number of block positions 0, step, 2*step, ... that fit in n
// (0 when none fits).
int decpts(int n, int sz, int step);

// One row per block position (row-major over the grid), sz*sz zig-zag
// coefficients per row. The image must hold at least one block.
matrix *ovlapDct(matrix *img, int sz, matrix *D, int hstep, int vstep);

// Non-overlapping block transform on the grid of (H/sz) x (W/sz) blocks
// centred in the image (rows as in ovlapDct).
matrix *dct(matrix *img, int sz, matrix *D);
// The inverse of dct: a new nrows x ncols image with the blocks of coefs
// placed on the same centred grid; samples outside the grid are 0.
matrix *idct(matrix *coefs, int sz, matrix *D, int nrows, int ncols);

// Blocks whose top-left corners are pos(r,0) (row), pos(r,1) (column):
// one row per position, zig-zag coefficients, or with D == NULL the raw
// block samples row by row.
matrix *sparseDct(matrix *img, matrix *pos, int sz, matrix *D);

// A new sz^2 x sz^2 matrix: column k is basis function k (zig-zag order for
// sz 2, 4, 8, row-major by frequency pair otherwise), element (m,n) in row
// m*sz + n. Correlating a block with column k gives its coefficient k.
matrix *mkDCTBasis(int sz);
// As mkDCTBasis, evaluated on sample coordinates rotated by angle (radians,
// counter-clockwise as seen on the image) about the block centre.
matrix *mkRDCTBasis(int sz, double angle);

#endif
