// Cutting and copying parts of matrices: strided blocks (submtx, move),
// strided rows (rowcp), rows or columns picked by a selector (extract) and
// the head of a vector (top).
//
// Every copy checks that each position it touches lies inside its matrix;
// index arithmetic is done in 64 bits so that no range can wrap.
#include <cstdint>
#include <cstring>

#include "mtx.h"
#include "mtx_internal.h"
#include "mtxown.h"
#include "fail.h"

void submtx(matrix *out, matrix *src, int r0, int rstep, int r1, int c0, int cstep, int c1) {
    if (r0 < 0 || c0 < 0 || r1 > src->nrows - 1 || c1 > src->ncols - 1 || rstep < 1 ||
        rstep > src->nrows || cstep < 1 || cstep > src->ncols)
        mtx_fail("submtx: Invalid range parameters\n");
    const int64_t rows = ((int64_t)r1 - r0) / rstep + 1;
    const int64_t cols = ((int64_t)c1 - c0) / cstep + 1;
    if (out->nrows != rows || out->ncols != cols) {
        lib_printf(1, "R: %d : %d : %d \n", r0, rstep, r1);
        lib_printf(1, "C: %d : %d : %d \n", c0, cstep, c1);
        lib_printf(1, "a is %d by %d \n", out->nrows, out->ncols);
        mtx_fail("submtx: matrix a has invalid dimensions\n");
    }
    int orow = 0;
    for (int64_t r = r0; r <= r1; r += rstep, orow++) {
        const double *s = src->pix[r];
        double *o = out->pix[orow];
        if (cstep == 1) {
            if (c1 >= c0) memcpy(o, s + c0, (size_t)(c1 - c0 + 1) * sizeof(double));
            continue;
        }
        int ocol = 0;
        for (int64_t c = c0; c <= c1; c += cstep) o[ocol++] = s[c];
    }
}

namespace {

void print_points(char name, coords s, coords p, coords e) {
    lib_printf(1, "%c: start(%d,%d) step(%d,%d) stop(%d,%d)\n", name, s.y, s.x, p.y, p.x, e.y, e.x);
}

// Positions visited by "for (v = start; v <= stop; v += step)".
int64_t visits(int start, int step, int stop) {
    return stop < start ? 0 : ((int64_t)stop - start) / step + 1;
}

// The last position of n visits must lie inside [0, size).
bool last_inside(int start, int step, int64_t n, int size) {
    return n == 0 || start + (n - 1) * step < size;
}

bool points_valid(const matrix *m, coords s, coords p, coords e) {
    if (s.x < 0 || s.x >= m->ncols || s.y < 0 || s.y >= m->nrows || p.x < 1 || p.y < 1)
        return false;
    return last_inside(s.x, p.x, visits(s.x, p.x, e.x), m->ncols) &&
           last_inside(s.y, p.y, visits(s.y, p.y, e.y), m->nrows);
}

}  // namespace

void move(matrix *a, matrix *b, coords a_start, coords a_step, coords a_stop, coords b_start,
          coords b_step, coords b_stop, int verbose) {
    if (!points_valid(a, a_start, a_step, a_stop)) {
        print_points('a', a_start, a_step, a_stop);
        mtx_fail("move: Invalid coordinates for a ...\n");
    }
    if (!points_valid(b, b_start, b_step, b_stop)) {
        print_points('b', b_start, b_step, b_stop);
        mtx_fail("move: Invalid coordinates for b ...\n");
    }
    const int64_t acols = ((int64_t)a_stop.x - a_start.x + 1) / a_step.x;
    const int64_t arows = ((int64_t)a_stop.y - a_start.y + 1) / a_step.y;
    const int64_t bcols = ((int64_t)b_stop.x - b_start.x + 1) / b_step.x;
    const int64_t brows = ((int64_t)b_stop.y - b_start.y + 1) / b_step.y;
    if (acols != bcols || arows != brows) {
        print_points('a', a_start, a_step, a_stop);
        print_points('b', b_start, b_step, b_stop);
        mtx_fail("Sizes do not match...\n");
    }
    // The copy runs as long as a's grid does, which can be one point more
    // than the grid count when a step does not divide the span: b must
    // hold that point too.
    const int64_t nx = visits(a_start.x, a_step.x, a_stop.x);
    const int64_t ny = visits(a_start.y, a_step.y, a_stop.y);
    if (!last_inside(b_start.x, b_step.x, nx, b->ncols) ||
        !last_inside(b_start.y, b_step.y, ny, b->nrows)) {
        print_points('b', b_start, b_step, b_stop);
        mtx_fail("move: Invalid coordinates for b ...\n");
    }
    if (verbose) {
        print_points('a', a_start, a_step, a_stop);
        print_points('b', b_start, b_step, b_stop);
    }
    for (int64_t i = 0; i < ny; i++) {
        const double *src = a->pix[a_start.y + i * a_step.y];
        double *dst = b->pix[b_start.y + i * b_step.y];
        for (int64_t j = 0; j < nx; j++)
            dst[b_start.x + j * b_step.x] = src[a_start.x + j * a_step.x];
    }
}

void rowcp(matrix *out, matrix *src, int r0, int rstep, int r1, int o0, int ostep) {
    if (out->ncols != src->ncols || r0 < 0 || r1 < r0 || r1 >= src->nrows || rstep < 1 || o0 < 0 ||
        ostep < 1)
        mtx_fail("rowcp: Invalid range parameters\n");
    const int64_t n = visits(r0, rstep, r1);
    if (!last_inside(o0, ostep, n, out->nrows)) mtx_fail("rowcp: Invalid range parameters\n");
    const size_t width = (size_t)src->ncols * sizeof(double);
    for (int64_t k = 0; k < n; k++)
        memmove(out->pix[o0 + k * ostep], src->pix[r0 + k * rstep], width);
}

namespace {

enum class Pick { Rows, Cols, Mask };

Pick pick_mode(const matrix *a, const matrix *sel) {
    if (sel->ncols == 1 && sel->nrows == a->nrows) return Pick::Rows;
    if (sel->nrows == 1 && sel->ncols == a->ncols) return Pick::Cols;
    if (sel->nrows == a->nrows && sel->ncols == a->ncols) return Pick::Mask;
    mtx_fail("extract: Incompatible dimensions...\n");
}

int matches(const matrix *sel, double value) {
    const double *p = sel->pix[0];
    const size_t n = mtx_count(sel);
    int k = 0;
    for (size_t i = 0; i < n; i++) k += p[i] == value;
    return k;
}

}  // namespace

void inp_extract(matrix *a, matrix *sel, double value, matrix *out) {
    const Pick mode = pick_mode(a, sel);
    const double *s = sel->pix[0];
    if (mode == Pick::Mask) {
        if (out->nrows != a->nrows || out->ncols != a->ncols)
            mtx_fail("extract: Incompatible dimensions...\n");
        const size_t n = mtx_count(sel);
        for (size_t i = 0; i < n; i++) out->pix[0][i] = s[i] == value ? 1.0 : 0.0;
        return;
    }
    const int k = matches(sel, value);
    if (mode == Pick::Rows) {
        if (out->nrows != k || out->ncols != a->ncols)
            mtx_fail("extract: Incompatible dimensions...\n");
        int o = 0;
        for (int i = 0; i < a->nrows; i++)
            if (s[i] == value) memcpy(out->pix[o++], a->pix[i], (size_t)a->ncols * sizeof(double));
    } else {
        if (out->nrows != a->nrows || out->ncols != k)
            mtx_fail("extract: Incompatible dimensions...\n");
        for (int i = 0; i < a->nrows; i++) {
            int o = 0;
            for (int j = 0; j < a->ncols; j++)
                if (s[j] == value) out->pix[i][o++] = a->pix[i][j];
        }
    }
}

matrix *extract(matrix *a, matrix *sel, double value) {
    const Pick mode = pick_mode(a, sel);
    const int k = mode == Pick::Mask ? 1 : matches(sel, value);
    if (k == 0) return nullptr;
    MatrixPtr out(mode == Pick::Rows   ? alloc_mtx(k, a->ncols)
                  : mode == Pick::Cols ? alloc_mtx(a->nrows, k)
                                       : alloc_mtx(a->nrows, a->ncols));
    inp_extract(a, sel, value, out.get());
    return out.release();
}

matrix *top(matrix *v, int n) {
    if (!mtx_is_vector(v)) mtx_fail("top: can only take vectors ...\n");
    if (n < 1) mtx_fail("top: Invalid number of elements\n");
    matrix *r = (v->nrows == 1 && v->ncols > 1) ? calloc_mtx(1, n) : calloc_mtx(n, 1);
    const size_t len = mtx_vec_len(v) < (size_t)n ? mtx_vec_len(v) : (size_t)n;
    memcpy(r->pix[0], v->pix[0], len * sizeof(double));
    return r;
}
