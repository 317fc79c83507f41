// Dense matrices of doubles and their containers.
//
// Every matrix keeps its elements in ONE contiguous row-major block that
// starts at pix[0], with pix[i] == pix[0] + i * ncols. Element-wise code,
// block copies, image import/export and datfile transfer all rely on it.
#ifndef MTX_H
#define MTX_H

typedef struct {
    double **pix;
    int nrows;
    int ncols;
} matrix;

typedef struct {
    matrix **level;
    int depth;
} pyramid;

typedef struct {
    matrix **frame;
    int nframes;
} volume;

typedef struct {
    matrix *U;
    matrix *W;
    matrix *V;
} singvs;

typedef struct {
    matrix *L;
    matrix *V;
} eigvs;

typedef struct {
    double ***pix;
    int depth;
    int nrows;
    int ncols;
} matrix3d;

typedef struct {
    int **pix;
    int nrows;
    int ncols;
} image;

typedef struct {
    int x;  // column
    int y;  // row
} coords;

// ---- allocation -----------------------------------------------------------
// Only the pointer is looked at, never what it points to.
void check_alloc(const void *p) __attribute__((access(none, 1)));
void **alloc_pix(int nrows, int ncols, int code);
void **calloc_pix(int nrows, int ncols, int code);
void free_pix(void **pix);
void ***calloc_3d_array(int depth, int nrows, int ncols, int code);

matrix *alloc_mtx(int nrows, int ncols);
matrix *calloc_mtx(int nrows, int ncols);
void free_mtx(matrix *m);

pyramid *alloc_pyr(int depth, int nrows, int ncols);
pyramid *calloc_pyr(int depth, int nrows, int ncols);
void free_pyr(pyramid *p);

volume *alloc_vol(int nframes, int nrows, int ncols);
volume *calloc_vol(int nframes, int nrows, int ncols);
void free_vol(volume *v);

singvs *alloc_singvs(int m, int n);
void free_singvs(singvs *s);
eigvs *alloc_eigvs(int n);
void free_eigvs(eigvs *e);

matrix3d *calloc_3d(int depth, int nrows, int ncols);
void free_3d(matrix3d *m);

image *alloc_img(int nrows, int ncols);
image *calloc_img(int nrows, int ncols);
void free_img(image *im);

// ---- small constructors and queries ----------------------------------------
int same_size(matrix *a, matrix *b);
matrix *ident(int n);
matrix *ones(int nrows, int ncols);
void fill_mtx(matrix *m, double value);
matrix *array2mtx(const double *data, int nrows, int ncols);
matrix *array2D2mtx(double **rows, int nrows, int ncols);
void prt_mtx(matrix *m);

// ---- arithmetic by operation code ------------------------------------------
void inp_mtx_bmath(matrix *a, matrix *b, matrix *r, int code);
matrix *mtx_bmath(matrix *a, matrix *b, int code);
void inp_mtx_fun(matrix *a, matrix *b, int code);
matrix *mtx_fun(matrix *a, int code);
void inp_mtxsc_bmathd(matrix *a, double s, matrix *r, int code);
matrix *mtxsc_bmathd(matrix *a, double s, int code);
matrix *mtxsc_bmath(matrix *a, int s, int code);
void inp_mtx_elbmath(matrix *a, matrix *b, matrix *r, int code);
matrix *mtx_elbmath(matrix *a, matrix *b, int code);
void inp_mtx_elfun(matrix *a, matrix *b, int code);
matrix *mtx_elfun(matrix *a, int code);

double sum(matrix *m);
double vsum(const double *v, int n);
double vmax(const double *v, int n);
double mtx_max(matrix *m);

void submtx(matrix *out, matrix *src, int r0, int rstep, int r1, int c0, int cstep, int c1);
// Plain nine-argument function: it never competes with std::move, which
// callers always write qualified.
void move(matrix *a, matrix *b, coords a_start, coords a_step, coords a_stop, coords b_start,
          coords b_step, coords b_stop, int verbose);
matrix *isrt(matrix *v);

// ---- vector and matrix summaries --------------------------------------------
int isdiagonal(matrix *a);
double vnorm(const double *v, int n);
double vdotp(const double *a, const double *b, int n);
double vprod(const double *v, int n);
// type 1: L1 distance, type 2: Euclidean distance
double vdistance(const double *a, const double *b, int n, int type);
// The *loc functions return the position of the last of equal extremes,
// or -1 when no value beats the start value (-3e50 / 3e50).
int vmaxloc(const double *v, int n);
double vmin(const double *v, int n);
int vminloc(const double *v, int n);
// Fraction of elements equal to ('='), above ('a') or below ('b') value.
double perc(matrix *a, double value, int mode);

// ---- cutting, copying and reshaping ----------------------------------------
// sel a column of a.nrows: the rows of a whose sel element equals value;
// sel a row of a.ncols: those columns; sel of a's size: a 0/1 mask of the
// elements of sel equal to value. extract returns null when no row or
// column matches.
void inp_extract(matrix *a, matrix *sel, double value, matrix *out);
matrix *extract(matrix *a, matrix *sel, double value);
// Rows i of src for i = r0, r0+rstep, ... <= r1 go to rows o0, o0+ostep, ...
// of out.
void rowcp(matrix *out, matrix *src, int r0, int rstep, int r1, int o0, int ostep);
// First n elements of a vector, in its orientation, zero-padded.
matrix *top(matrix *v, int n);
// Swaps the rows row .. nrows-1 of two matrices of one shape in place;
// mtx_xover leaves a and b alone and returns both children as a volume.
void inp_mtx_xover(matrix *a, matrix *b, int row);
volume *mtx_xover(matrix *a, matrix *b, int row);
// Frame k of v becomes column k (frame elements in block order), and back.
matrix *vectorize(volume *v);
volume *unvectorize(matrix *a, int nrows, int ncols);
matrix *mtx_mkdiag(matrix *v);
// a = a - b, element by element, in place.
void subtract(image *a, image *b);

// ---- sorting ------------------------------------------------------------------
// Codes: 'C' permutes rows (sorting by one column), 'R' permutes columns
// (sorting by one row). idx holds positions as doubles, e.g. from isrt; the
// result has as many rows ('C') or columns ('R') as idx has elements.
matrix *mtx_reorder(matrix *a, matrix *idx, int code);
// Largest key first, or smallest first when ascending is non-zero; key is
// the column ('C') or row ('R') number. mtx_best keeps the first n.
matrix *mtx_sort(matrix *a, int code, int key, int ascending);
matrix *mtx_best(matrix *a, int code, int key, int n, int ascending);

// ---- linear algebra ---------------------------------------------------------
double pythag(double a, double b);
void inp_svdcmp(matrix *A, singvs *s);
singvs *svdcmp(matrix *A);
void svdtresh(singvs *s, double abs_thresh, double rel_thresh, int verbose);
void svbksb(singvs *s, matrix *x, matrix *b);
singvs *inp_lsys(matrix *A, matrix *x, matrix *b, double abs_thresh, double rel_thresh,
                 int verbose);
matrix *lsys(matrix *A, matrix *b, double abs_thresh, double rel_thresh, int verbose);
void gaussj(matrix *a, matrix *b);

// Eigen-decomposition of symmetric matrices. jacobi destroys the upper
// triangle of a, fills e (sized for a) and returns the number of rotations.
int jacobi(matrix *a, eigvs *e);
void eig(matrix *a, eigvs *e, int method);  // method 'J'
void eigsrt(eigvs *e);
// x = V diag(1/L) V' b over the eigenvalues above thresh.
matrix *normeq(matrix *a, matrix *b, double thresh);
double Determ(matrix *a);
double Trace(matrix *a);
matrix *mtx_sqrt(matrix *a);

#endif
