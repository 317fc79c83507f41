// Learned feature weights from boxed training images (Sendral --boxes).
//
// Why a logistic regression on the channels: Lumivar's maps are weighted
// sums of channels, so a linear model over them is a map Lumivar can make
// with its own row-by-row machinery, and a probabilistic loss gives weights
// for "object here" rather than for "unusual in general", which is what the
// cost weights of map kind 0 measure.
//
// What must stay exact:
//  - The channels are Lumivar's (LevelChannelRows and EnlargedRows of
//    lumivar_core: |DCT response|^1.5, borders cleared, enlarged as it
//    enlarges), kept as the 16-bit samples the enlargement gives, so that
//    the maps evaluated here are, on the grid, the maps Lumivar computes.
//  - Every sum runs in a fixed order on one thread (tasks are spread over
//    threads whole), and this file is built without contracted
//    multiply-adds: the files are the same bytes at every -j.
//
// Sampling: a regular grid, every kGridStep-th pixel from kGridStep/2 on in
// both directions (8: a few dozen points in a box of 50 pixels, and about
// half the channel rows of level 0 left unmade) (coarser when the boxed images would hold more than
// kSampleBudget bytes of samples). The boxed images keep the whole grid (the
// held-out maps are made from it); the fit takes, per boxed image, at most
// kPositives points inside the boxes and kNegatives outside, and per
// background image kBackground points, each an even subsample in row-major
// order. Positives and negatives weigh half the loss each.
//
// Cross-validation: the class's boxed images in list order go round robin
// into min(kFolds, n) folds; for each fold and transform, the penalties are
// fitted from the strongest to the weakest (each from the previous
// solution) on the other folds and the background images, and the held-out
// images' maps are made on the grid for every smoothing width. The choice
// maximises the held-out first-location hits, then the mean AUC; the first
// of equals in the order plain/log, strong to weak penalty, narrow to wide
// smoothing wins. The final weights are fitted on all boxed images.
#include "learn.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "cli.h"
#include "enlarge.h"
#include "fail.h"
#include "imgconv.h"
#include "learned.h"
#include "lumivar.h"
#include "mres.h"
#include "owners.h"
#include "record.h"
#include "resultschema.h"

namespace {

constexpr int kGridStep = 8;
constexpr double kSampleBudget = 256.0 * 1024 * 1024;
constexpr int kPositives = 64, kNegatives = 64, kBackground = 64;
constexpr int kFolds = 5;
constexpr int kPenalties = 4, kWidths = 4, kTransforms = 2;
// lambda of the mean (class-balanced) log-loss; C = 1 / lambda.
const double kLambda[kPenalties] = {1.0, 0.1, 0.01, 0.001};
// Smoothing sigma as a share of the median box size ((height + width) / 2).
const double kWidthFactor[kWidths] = {0.0, 0.125, 0.25, 0.5};

struct Feature {
    int level, index;
};

std::vector<Feature> all_features(int depth) {
    std::vector<Feature> f;
    for (int l = 0; l < depth; l++)
        for (int k = 1; k < 64; k++) f.push_back({l, k});
    return f;
}

// Points y = off, off + step, ... below n.
int grid_count(int n, int step) {
    const int off = step / 2;
    return n > off ? (n - off + step - 1) / step : 0;
}

// m of n indices, evenly spread: the middle of each of m equal parts.
std::vector<int> even_choice(int n, int m) {
    std::vector<int> out;
    if (m >= n) {
        for (int i = 0; i < n; i++) out.push_back(i);
        return out;
    }
    for (int k = 0; k < m; k++) out.push_back((int)(((2 * (long)k + 1) * n) / (2 * (long)m)));
    return out;
}

// The grid samples of one image.
struct Sampled {
    bool used = false;  // read and large enough for the pyramid
    int gh = 0, gw = 0;
    std::vector<int> point;     // stored point -> grid index (row-major)
    std::vector<uint16_t> q;    // stored point-major, F per point
    std::vector<char> inside;   // per stored point: in a box
    std::vector<int> pos, neg;  // fit samples: stored point indices
    std::exception_ptr failure;
};

struct Shared {
    int depth, step, F;
    std::vector<Feature> features;
    MatrixPtr gaufilt;
    matrix *dct[64] = {};
    matrix *alpha, *beta;  // only read by the channel rows of kind 0
    ~Shared() {
        for (matrix *m : dct)
            if (m) free_mtx(m);
    }
};

matrix *crop_of(const ImageSource &src, int depth) {
    if (!src.samples) {
        bool too_small = false;
        return read_query(src.name.c_str(), depth, &too_small);
    }
    const int mod = 1 << (depth - 1);
    const int H = src.rows - src.rows % mod, W = src.cols - src.cols % mod;
    if (H <= 0 || W <= 0) return nullptr;
    const long stride = src.stride > 0 ? src.stride : src.cols;
    matrix *m = alloc_mtx(H, W);
    for (int r = 0; r < H; r++)
        std::copy(src.samples + r * stride, src.samples + r * stride + W, m->pix[r]);
    return m;
}

// Channels of every feature at the stored points of one image. `boxes`
// null: a background image (kBackground points), else the whole grid.
void sample_image(const ImageSource &src, const std::vector<ObjectBox> *boxes, const Shared &sh,
                  Sampled *out) {
    MatrixPtr crop(crop_of(src, sh.depth));
    const int mod = 1 << (sh.depth - 1);
    // The trainer's own rule: such an image was left out of the moments too.
    if (!crop || std::min(crop->nrows, crop->ncols) < 8 * mod) return;
    const int H = crop->nrows, W = crop->ncols, s = sh.step, off = s / 2, F = sh.F;
    out->gh = grid_count(H, s);
    out->gw = grid_count(W, s);
    const int G = out->gh * out->gw;
    if (boxes) {
        std::vector<int> in, outside;
        for (int g = 0; g < G; g++) {
            const int y = off + (g / out->gw) * s, x = off + (g % out->gw) * s;
            bool hit = false;
            for (const ObjectBox &b : *boxes) hit = hit || b.holds(y, x);
            out->point.push_back(g);
            out->inside.push_back(hit);
            (hit ? in : outside).push_back(g);
        }
        for (int k : even_choice((int)in.size(), kPositives)) out->pos.push_back(in[k]);
        for (int k : even_choice((int)outside.size(), kNegatives)) out->neg.push_back(outside[k]);
    } else {
        // A sub-grid of rows and columns: only the channel rows near its
        // rows are made.
        const int side = (int)sqrt((double)kBackground);
        for (int gy : even_choice(out->gh, side))
            for (int gx : even_choice(out->gw, side)) out->point.push_back(gy * out->gw + gx);
        out->inside.assign(out->point.size(), 0);
        for (int i = 0; i < (int)out->point.size(); i++) out->neg.push_back(i);
    }
    const int n = (int)out->point.size();
    out->q.assign((size_t)n * F, 0);
    // The stored points of every grid row: (column, stored index).
    std::vector<std::vector<std::pair<int, int>>> by_row(out->gh);
    for (int i = 0; i < n; i++)
        by_row[out->point[i] / out->gw].push_back({off + (out->point[i] % out->gw) * s, i});
    int last_row = -1;
    for (int gy = 0; gy < out->gh; gy++)
        if (!by_row[gy].empty()) last_row = off + gy * s;
    auto wanted = [&](int y) -> const std::vector<std::pair<int, int>> * {
        if (y < off || (y - off) % s != 0) return nullptr;
        const auto &r = by_row[(y - off) / s];
        return r.empty() ? nullptr : &r;
    };

    PyramidPtr Gp(gpyr_on(crop.release(), sh.depth, sh.gaufilt.get(), sh.gaufilt.get(), 'w'));
    bool by_rows = true;
    for (int l = 0; l < sh.depth; l++)
        by_rows = by_rows && enlarge_own_route(Gp->level[l]->nrows, Gp->level[l]->ncols, l);
    matrix **dct = (matrix **)sh.dct;
    if (by_rows) {
        std::vector<std::unique_ptr<LevelChannelRows>> ch;
        std::vector<std::unique_ptr<EnlargedRows>> en;
        for (const Feature &f : sh.features) {
            ch.emplace_back(
                new LevelChannelRows(Gp.get(), f.level, f.index, dct, 0, sh.alpha, sh.beta, 0));
            LevelChannelRows *c = ch.back().get();
            en.emplace_back(new EnlargedRows(
                c->rows(), c->cols(), [c](int r) { return c->row(r); }, f.level));
        }
        for (int y = 0; y <= last_row; y++) {
            const auto *pts = wanted(y);
            for (int f = 0; f < F; f++) {
                if (!pts) {
                    en[f]->skip();
                    continue;
                }
                const double *row = en[f]->next();
                for (const auto &[x, i] : *pts)
                    out->q[(size_t)i * F + f] = (uint16_t)channel_q(row[x]);
            }
        }
    } else {
        for (int f = 0; f < F; f++) {
            const Feature &ft = sh.features[f];
            LevelChannelRows c(Gp.get(), ft.level, ft.index, dct, 0, sh.alpha, sh.beta, 0);
            if (!enlarge_rows(
                    c.rows(), c.cols(), [&](int r) { return c.row(r); }, ft.level,
                    [&](size_t y, const double *row) {
                        if (const auto *pts = wanted((int)y))
                            for (const auto &[x, i] : *pts)
                                out->q[(size_t)i * F + f] = (uint16_t)channel_q(row[x]);
                    }))
                die("Cannot compute a channel of image " + src.name);
        }
    }
    out->used = true;
}

// ---- the regression ----

typedef double v4d __attribute__((vector_size(32)));

// H (P x P, upper triangle, floats) += sum over the m <= 4 rows z[k] of
// d[k] z[k] z[k]^T. Each element adds its four products as
// (p0 + p1) + (p2 + p3) (one at a time in a last block of fewer rows): a
// fixed order for a given n, whatever the vector width. Floats are enough
// for a Newton direction (the gradient, which decides where the fit ends,
// is summed in doubles) and take half the time.
typedef float v8f __attribute__((vector_size(32)));
__attribute__((target_clones("avx2", "default"))) void add_outer(float *H, int P,
                                                                 const float *const *z,
                                                                 const float *d, int m) {
    if (m < 4) {
        for (int k = 0; k < m; k++)
            for (int a = 0; a < P; a++) {
                const float s = d[k] * z[k][a];
                float *h = H + (size_t)a * P;
                for (int b = a; b < P; b++) h[b] += z[k][b] * s;
            }
        return;
    }
    const float *z0 = z[0], *z1 = z[1], *z2 = z[2], *z3 = z[3];
    for (int a = 0; a < P; a++) {
        const float s0 = d[0] * z0[a], s1 = d[1] * z1[a], s2 = d[2] * z2[a], s3 = d[3] * z3[a];
        float *h = H + (size_t)a * P;
        int b = a;
        for (; b + 8 <= P; b += 8) {
            v8f hv, x0, x1, x2, x3;
            memcpy(&hv, h + b, sizeof hv);
            memcpy(&x0, z0 + b, sizeof x0);
            memcpy(&x1, z1 + b, sizeof x1);
            memcpy(&x2, z2 + b, sizeof x2);
            memcpy(&x3, z3 + b, sizeof x3);
            hv += (x0 * s0 + x1 * s1) + (x2 * s2 + x3 * s3);
            memcpy(h + b, &hv, sizeof hv);
        }
        for (; b < P; b++) h[b] += (z0[b] * s0 + z1[b] * s1) + (z2[b] * s2 + z3[b] * s3);
    }
}

// Four running sums (of the elements i = 0, 1, 2, 3 mod 4), then
// (s0 + s1) + (s2 + s3) and the rest in order: one fixed order.
__attribute__((target_clones("avx2", "default"))) double dot(const double *a, const double *b,
                                                             int n) {
    v4d acc = {0, 0, 0, 0};
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        v4d x, y;
        memcpy(&x, a + i, sizeof x);
        memcpy(&y, b + i, sizeof y);
        acc += x * y;
    }
    double s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; i < n; i++) s += a[i] * b[i];
    return s;
}

// y += e * x, element by element.
__attribute__((target_clones("avx2", "default"))) void axpy(double e, const double *x, double *y,
                                                            int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        v4d xv, yv;
        memcpy(&xv, x + i, sizeof xv);
        memcpy(&yv, y + i, sizeof yv);
        yv += xv * e;
        memcpy(y + i, &yv, sizeof yv);
    }
    for (; i < n; i++) y[i] += x[i] * e;
}

// log(1 + e^t) without overflow.
double softplus(double t) { return t > 0 ? t + log1p(exp(-t)) : log1p(exp(t)); }

// In place: the lower Cholesky factor of the symmetric P x P matrix whose
// upper triangle A holds; false when it is not positive definite.
bool cholesky(std::vector<double> &A, int P) {
    for (int j = 0; j < P; j++) {
        double d = A[(size_t)j * P + j];
        for (int k = 0; k < j; k++) d -= A[(size_t)j * P + k] * A[(size_t)j * P + k];
        if (!(d > 0.0)) return false;
        d = sqrt(d);
        A[(size_t)j * P + j] = d;
        for (int i = j + 1; i < P; i++) {
            double v = A[(size_t)j * P + i];  // upper (j, i) = lower (i, j)
            for (int k = 0; k < j; k++) v -= A[(size_t)i * P + k] * A[(size_t)j * P + k];
            A[(size_t)i * P + j] = v / d;
        }
    }
    return true;
}

void cholesky_solve(const std::vector<double> &L, int P, std::vector<double> *x) {
    std::vector<double> &v = *x;
    for (int i = 0; i < P; i++) {
        double s = v[i];
        for (int k = 0; k < i; k++) s -= L[(size_t)i * P + k] * v[k];
        v[i] = s / L[(size_t)i * P + i];
    }
    for (int i = P - 1; i >= 0; i--) {
        double s = v[i];
        for (int k = i + 1; k < P; k++) s -= L[(size_t)k * P + i] * v[k];
        v[i] = s / L[(size_t)i * P + i];
    }
}

double objective(const std::vector<double> &Z, int n, int P, const std::vector<double> &y,
                 const std::vector<double> &c, double lambda, const std::vector<double> &th) {
    double J = 0.0;
    for (int i = 0; i < n; i++) {
        const double t = dot(&Z[(size_t)i * P], th.data(), P);
        J += c[i] * (softplus(t) - y[i] * t);
    }
    double r = 0.0;
    for (int a = 0; a + 1 < P; a++) r += th[a] * th[a];
    return J + 0.5 * lambda * r;
}

}  // namespace

int fit_logistic(const std::vector<double> &Z, int n, int P, const std::vector<double> &y,
                 const std::vector<double> &c, double lambda, std::vector<double> *theta) {
    std::vector<double> &th = *theta;
    th.resize(P, 0.0);
    std::vector<double> H((size_t)P * P), g(P), step(P), trial(P);
    const std::vector<float> Zf(Z.begin(), Z.begin() + (size_t)n * P);
    std::vector<float> Hf((size_t)P * P);
    double J = objective(Z, n, P, y, c, lambda, th);
    int it = 0;
    for (; it < 50; it++) {
        std::fill(Hf.begin(), Hf.end(), 0.0f);
        std::fill(g.begin(), g.end(), 0.0);
        for (int i0 = 0; i0 < n; i0 += 4) {
            const float *zs[4];
            float ds[4];
            const int m = std::min(4, n - i0);
            for (int k = 0; k < m; k++) {
                const int i = i0 + k;
                const double *z = &Z[(size_t)i * P];
                zs[k] = &Zf[(size_t)i * P];
                const double t = dot(z, th.data(), P);
                const double p = 1.0 / (1.0 + exp(-t));
                const double e = c[i] * (p - y[i]);
                axpy(e, z, g.data(), P);
                ds[k] = (float)(c[i] * p * (1.0 - p));
            }
            add_outer(Hf.data(), P, zs, ds, m);
        }
        std::copy(Hf.begin(), Hf.end(), H.begin());
        for (int a = 0; a + 1 < P; a++) {
            g[a] += lambda * th[a];
            H[(size_t)a * P + a] += lambda;
        }
        // The intercept's curvature vanishes only when every p is 0 or 1.
        H[(size_t)P * P - 1] += 1e-12;
        step = g;
        std::vector<double> L = H;
        for (double damp = 1e-10; !cholesky(L, P); damp *= 10) {
            L = H;
            for (int a = 0; a < P; a++) L[(size_t)a * P + a] += damp;
        }
        cholesky_solve(L, P, &step);
        const double decrement = dot(g.data(), step.data(), P);
        // decrement / 2 estimates how far J is above its minimum: 1e-7 of a
        // mean log-loss is far below what the choice can tell apart.
        if (!(decrement > 1e-9)) break;
        // Backtracking: the first halving that decreases J enough.
        double alpha = 1.0, Jn = J;
        bool moved = false;
        for (int k = 0; k < 40; k++, alpha *= 0.5) {
            for (int a = 0; a < P; a++) trial[a] = th[a] - alpha * step[a];
            Jn = objective(Z, n, P, y, c, lambda, trial);
            if (Jn <= J - 1e-4 * alpha * decrement) {
                moved = true;
                break;
            }
        }
        if (!moved) break;
        th = trial;
        J = Jn;
        if (decrement < 1e-7) {
            it++;
            break;
        }
    }
    return it;
}

double area_under_roc(const std::vector<double> &values, const std::vector<char> &inside) {
    const int n = (int)values.size();
    long npos = 0;
    for (char b : inside) npos += b != 0;
    const long nneg = n - npos;
    if (npos == 0 || nneg == 0) return -1.0;
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = i;
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return values[a] < values[b] || (values[a] == values[b] && a < b);
    });
    // Mean ranks (1-based) over runs of equal values.
    double rank_sum = 0.0;
    for (int i = 0; i < n;) {
        int j = i;
        while (j + 1 < n && values[order[j + 1]] == values[order[i]]) j++;
        const double mean_rank = 0.5 * ((i + 1) + (j + 1));
        for (int k = i; k <= j; k++)
            if (inside[order[k]]) rank_sum += mean_rank;
        i = j + 1;
    }
    return (rank_sum - 0.5 * (double)npos * (npos + 1)) / ((double)npos * (double)nneg);
}

namespace {

// The fit samples of some images as a standardised design matrix.
struct Design {
    int n = 0, P = 0;
    std::vector<double> Z, y, c, mean, sd;
};

Design design_of(const std::vector<const Sampled *> &images, bool log, int F) {
    Design d;
    d.P = F + 1;
    std::vector<const uint16_t *> rows;
    long npos = 0, nneg = 0;
    for (const Sampled *s : images) {
        for (int i : s->pos) {
            rows.push_back(&s->q[(size_t)i * F]);
            d.y.push_back(1.0);
            npos++;
        }
        for (int i : s->neg) {
            rows.push_back(&s->q[(size_t)i * F]);
            d.y.push_back(0.0);
            nneg++;
        }
    }
    d.n = (int)rows.size();
    for (int i = 0; i < d.n; i++) d.c.push_back(d.y[i] > 0 ? 0.5 / npos : 0.5 / nneg);
    d.mean.assign(F, 0.0);
    d.sd.assign(F, 0.0);
    const double *t = learned_transform_table(log);
    for (int i = 0; i < d.n; i++)
        for (int f = 0; f < F; f++) d.mean[f] += t[rows[i][f]];
    for (int f = 0; f < F; f++) d.mean[f] /= d.n;
    for (int i = 0; i < d.n; i++)
        for (int f = 0; f < F; f++) {
            const double v = t[rows[i][f]] - d.mean[f];
            d.sd[f] += v * v;
        }
    for (int f = 0; f < F; f++) d.sd[f] = sqrt(d.sd[f] / d.n);
    d.Z.assign((size_t)d.n * d.P, 0.0);
    for (int i = 0; i < d.n; i++) {
        double *z = &d.Z[(size_t)i * d.P];
        for (int f = 0; f < F; f++)
            z[f] = d.sd[f] > 1e-12 ? (t[rows[i][f]] - d.mean[f]) / d.sd[f] : 0.0;
        z[F] = 1.0;
    }
    return d;
}

// Standardised coefficients as weights of the raw transformed channels.
void raw_weights(const Design &d, const std::vector<double> &th, std::vector<double> *w,
                 double *b) {
    const int F = d.P - 1;
    w->assign(F, 0.0);
    double shift = 0.0;
    for (int f = 0; f < F; f++) {
        if (!(d.sd[f] > 1e-12)) continue;
        (*w)[f] = th[f] / d.sd[f];
        shift += (*w)[f] * d.mean[f];
    }
    *b = th[F] - shift;
}

// The learned map on an image's grid, as Lumivar sums it: the weighted
// transformed channels in feature order from 0, then the intercept, then
// the sigmoid.
std::vector<double> grid_map(const Sampled &s, int F, bool log, const std::vector<double> &w,
                             double b) {
    std::vector<double> m(s.point.size());
    const double *t = learned_transform_table(log);
    for (size_t g = 0; g < s.point.size(); g++) {
        const uint16_t *q = &s.q[g * F];
        double sum = 0.0;
        for (int f = 0; f < F; f++) sum += t[q[f]] * w[f];
        m[g] = 1.0 / (1.0 + exp(-(sum + b)));
    }
    return m;
}

struct Score {
    bool hit = false;
    double auc = -1.0;
};

// First location (the largest value, first in row-major order) and AUC of
// a map smoothed by sigma pixels.
Score score_map(std::vector<double> m, const Sampled &s, double sigma, int step) {
    gaussian_smooth(m.data(), s.gh, s.gw, sigma / step);
    size_t best = 0;
    for (size_t g = 1; g < m.size(); g++)
        if (m[g] > m[best]) best = g;
    return {s.inside[best] != 0, area_under_roc(m, s.inside)};
}

// Held-out scores of one fold and transform: [penalty][width][image].
struct FoldResult {
    std::vector<std::vector<std::vector<Score>>> score;
    std::vector<int> images;  // held-out boxed image positions
};

struct ClassData {
    int klass;
    std::vector<int> boxed;  // positions in the class's list of the usable boxed images
    std::vector<const Sampled *> boxed_s, background;
    double box_size = 0;
    int nboxes = 0;
};

std::vector<const Sampled *> training_images(const ClassData &cd, int folds, int fold) {
    std::vector<const Sampled *> v;
    for (size_t i = 0; i < cd.boxed_s.size(); i++)
        if (folds < 2 || (int)i % folds != fold) v.push_back(cd.boxed_s[i]);
    for (const Sampled *s : cd.background) v.push_back(s);
    return v;
}

FoldResult run_fold(const ClassData &cd, int folds, int fold, bool log, int F, int step) {
    FoldResult r;
    const Design d = design_of(training_images(cd, folds, fold), log, F);
    for (size_t i = 0; i < cd.boxed_s.size(); i++)
        if ((int)i % folds == fold) r.images.push_back((int)i);
    r.score.assign(kPenalties, std::vector<std::vector<Score>>(kWidths));
    std::vector<double> th;
    for (int p = 0; p < kPenalties; p++) {
        fit_logistic(d.Z, d.n, d.P, d.y, d.c, kLambda[p], &th);
        std::vector<double> w;
        double b;
        raw_weights(d, th, &w, &b);
        for (int i : r.images) {
            const std::vector<double> m = grid_map(*cd.boxed_s[i], F, log, w, b);
            for (int k = 0; k < kWidths; k++)
                r.score[p][k].push_back(
                    score_map(m, *cd.boxed_s[i], kWidthFactor[k] * cd.box_size, step));
        }
    }
    return r;
}

// Runs jobs 0..n-1 on up to `threads` threads; a failure is raised on the
// calling thread, the first in job order.
template <class Job>
void on_threads(int n, int threads, Job job) {
    std::vector<std::exception_ptr> failed(n);
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i; (i = next++) < n;) {
            recoverable_failures scope;
            try {
                job(i);
            } catch (...) {
                failed[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::min(threads, n); t++) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error &) {
            break;  // fewer threads
        }
    }
    work();
    for (std::thread &t : pool) t.join();
    for (const std::exception_ptr &e : failed)
        if (e) {
            try {
                std::rethrow_exception(e);
            } catch (const sendral::Error &err) {
                lib_fatal(err.status(), err.what());
            } catch (const std::bad_alloc &) {
                lib_fatal(1, "Error: out of memory while learning feature weights\n");
            }
        }
}

std::string fixed(double v, int digits) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string general(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

void learn_from_boxes(const TrainingSet &set, const TrainingBoxes &tb, int pyddepth, int threads,
                      const GgdFits &fits, ResultWriter &writer, Json *record) {
    const double start = now_seconds();
    lib_printf(1, "Learning feature weights from the boxes of %s...\n", tb.path.c_str());
    Shared sh;
    sh.depth = pyddepth;
    sh.features = all_features(pyddepth);
    sh.F = (int)sh.features.size();
    sh.gaufilt.reset(mk_gaufilter());
    make_dct_filters(sh.dct);
    sh.alpha = fits.Allalpha.get();
    sh.beta = fits.Allbeta.get();

    // The grid: every kGridStep-th pixel, coarser if the boxed images'
    // samples would not fit the budget.
    const int K = (int)set.size();
    sh.step = kGridStep;
    for (;; sh.step++) {
        double bytes = 0;
        for (int j = 1; j < K; j++)
            for (size_t i = 0; i < set[j].images.size(); i++)
                if (!tb.boxes[j][i].empty())
                    bytes += (double)grid_count(tb.height[j][i], sh.step) *
                             grid_count(tb.width[j][i], sh.step) * sh.F * 2.0;
        if (bytes <= kSampleBudget) break;
    }

    // Every image the fits use, sampled once: boxed images and background.
    struct Job {
        int j, i;
    };
    std::vector<Job> jobs;
    for (size_t i = 0; i < set[0].images.size(); i++) jobs.push_back({0, (int)i});
    for (int j = 1; j < K; j++)
        for (size_t i = 0; i < set[j].images.size(); i++)
            if (!tb.boxes[j][i].empty()) jobs.push_back({j, (int)i});
    std::vector<Sampled> sampled(jobs.size());
    img_init();
    int deepest = pyddepth - 1;
    enlarge_select(deepest);
    on_threads((int)jobs.size(), threads, [&](int n) {
        const Job &jb = jobs[n];
        sample_image(set[jb.j].images[jb.i], jb.j ? &tb.boxes[jb.j][jb.i] : nullptr, sh,
                     &sampled[n]);
    });
    const double sampled_at = now_seconds();

    std::vector<ClassData> classes;
    for (int j = 1; j < K; j++) {
        ClassData cd;
        cd.klass = j;
        std::vector<double> sizes;
        for (size_t n = 0; n < jobs.size(); n++) {
            if (!sampled[n].used) continue;
            if (jobs[n].j == 0) cd.background.push_back(&sampled[n]);
            if (jobs[n].j != j) continue;
            cd.boxed.push_back(jobs[n].i);
            cd.boxed_s.push_back(&sampled[n]);
            for (const ObjectBox &b : tb.boxes[j][jobs[n].i]) {
                sizes.push_back(0.5 * ((b.bottom - b.top + 1) + (b.right - b.left + 1)));
                cd.nboxes++;
            }
        }
        if (cd.boxed_s.empty())
            die("Class " + std::to_string(j) + " (list " + set[j].list + "): none of its boxed " +
                "images is large enough for the pyramid, so no weights can be learned");
        if (cd.background.empty())
            die("No background image is large enough for the pyramid, so no weights can be "
                "learned");
        long npos = 0;
        for (const Sampled *s : cd.boxed_s) npos += (long)s->pos.size();
        if (npos == 0)
            die("Class " + std::to_string(j) + ": no point of the sampling grid (every " +
                std::to_string(sh.step) + " pixels) lies in one of its boxes in " + tb.path +
                "; boxes must be at least " + std::to_string(sh.step) + " pixels high and wide");
        std::sort(sizes.begin(), sizes.end());
        cd.box_size = sizes[(sizes.size() - 1) / 2];
        classes.push_back(cd);
    }

    // Every fold and transform of every class, spread over the threads.
    struct Task {
        int c, fold;
        bool log;
    };
    std::vector<Task> tasks;
    std::vector<int> folds_of(classes.size());
    for (size_t c = 0; c < classes.size(); c++) {
        const int n = (int)classes[c].boxed_s.size();
        folds_of[c] = n >= 2 ? std::min(kFolds, n) : 0;
        for (int fold = 0; fold < folds_of[c]; fold++)
            for (int t = 0; t < kTransforms; t++) tasks.push_back({(int)c, fold, t == 1});
    }
    std::vector<FoldResult> results(tasks.size());
    on_threads((int)tasks.size(), threads, [&](int n) {
        const Task &t = tasks[n];
        results[n] = run_fold(classes[t.c], folds_of[t.c], t.fold, t.log, sh.F, sh.step);
    });

    // Pooled held-out scores and the choice, per class.
    struct Choice {
        int t = 1, p = 2, k = 2;  // with one boxed image: log, C 100, a quarter box
        int hits = -1, images = 0;
        double auc = 0;
        int table_hits[kTransforms][kPenalties][kWidths] = {};
        double table_auc[kTransforms][kPenalties][kWidths] = {};
    };
    std::vector<Choice> choice(classes.size());
    for (size_t c = 0; c < classes.size(); c++) {
        Choice &ch = choice[c];
        if (!folds_of[c]) continue;
        for (int t = 0; t < kTransforms; t++)
            for (int p = 0; p < kPenalties; p++)
                for (int k = 0; k < kWidths; k++) {
                    int hits = 0, images = 0, aucs = 0;
                    double auc = 0;
                    for (size_t n = 0; n < tasks.size(); n++) {
                        if (tasks[n].c != (int)c || (int)tasks[n].log != t) continue;
                        for (const Score &s : results[n].score[p][k]) {
                            hits += s.hit;
                            images++;
                            if (s.auc >= 0) {
                                auc += s.auc;
                                aucs++;
                            }
                        }
                    }
                    auc = aucs ? auc / aucs : 0.0;
                    ch.table_hits[t][p][k] = hits;
                    ch.table_auc[t][p][k] = auc;
                    if (hits > ch.hits || (hits == ch.hits && auc > ch.auc)) {
                        ch.hits = hits;
                        ch.auc = auc;
                        ch.images = images;
                        ch.t = t;
                        ch.p = p;
                        ch.k = k;
                    }
                }
    }

    // The final weights, on all boxed images, along the penalty path.
    std::vector<LearnedWeights> learned(classes.size());
    on_threads((int)classes.size(), threads, [&](int c) {
        const ClassData &cd = classes[c];
        const Choice &ch = choice[c];
        const bool log = ch.t == 1;
        const Design d = design_of(training_images(cd, 0, 0), log, sh.F);
        std::vector<double> th;
        for (int p = 0; p <= ch.p; p++) fit_logistic(d.Z, d.n, d.P, d.y, d.c, kLambda[p], &th);
        LearnedWeights &w = learned[c];
        w.klass = cd.klass;
        w.depth = pyddepth;
        w.log = log;
        w.epsilon = log ? kLearnedEpsilon : 0.0;
        w.smooth = kWidthFactor[ch.k] * cd.box_size;
        raw_weights(d, th, &w.weight, &w.intercept);
        for (const Feature &f : sh.features) {
            w.level.push_back(f.level);
            w.index.push_back(f.index);
        }
    });

    Json *rec = record ? &((*record)["learned"] = Json::array()) : nullptr;
    const char *tname[kTransforms] = {"plain", "log"};
    for (size_t c = 0; c < classes.size(); c++) {
        const ClassData &cd = classes[c];
        const Choice &ch = choice[c];
        const LearnedWeights &w = learned[c];
        const int j = cd.klass;
        lib_printf(1,
                   "Class %d: %zu boxed images (%d boxes, median size %s pixels) and %zu "
                   "background images; %d features sampled every %d pixels\n",
                   j, cd.boxed_s.size(), cd.nboxes, general(cd.box_size).c_str(),
                   cd.background.size(), sh.F, sh.step);
        std::vector<std::pair<std::string, std::string>> info = {
            {"penalty_lambda", general(kLambda[ch.p])},
            {"penalty_C", general(1.0 / kLambda[ch.p])},
            {"median_box", general(cd.box_size)},
            {"smooth_factor", general(kWidthFactor[ch.k])},
            {"grid_step", std::to_string(sh.step)},
            {"boxed_images", std::to_string(cd.boxed_s.size())},
            {"background_images", std::to_string(cd.background.size())},
            {"cv_folds", std::to_string(folds_of[c])}};
        if (folds_of[c]) {
            lib_printf(1,
                       "  held-out first locations in a box (of %d) and mean AUC, %d folds of "
                       "images:\n  transform  C     ",
                       ch.images, folds_of[c]);
            for (int k = 0; k < kWidths; k++)
                lib_printf(1, "  sigma %-8s", general(kWidthFactor[k] * cd.box_size).c_str());
            lib_printf(1, "\n");
            for (int t = 0; t < kTransforms; t++)
                for (int p = 0; p < kPenalties; p++) {
                    lib_printf(1, "  %-9s  %-5s", tname[t], general(1.0 / kLambda[p]).c_str());
                    for (int k = 0; k < kWidths; k++) {
                        lib_printf(1, "  %3d %-10s", ch.table_hits[t][p][k],
                                   fixed(ch.table_auc[t][p][k], 3).c_str());
                        info.push_back({"cv", std::string(tname[t]) + "\t" +
                                                  general(1.0 / kLambda[p]) + "\t" +
                                                  general(kWidthFactor[k] * cd.box_size) + "\t" +
                                                  std::to_string(ch.table_hits[t][p][k]) + "\t" +
                                                  std::to_string(ch.images) + "\t" +
                                                  fixed(ch.table_auc[t][p][k], 6)});
                    }
                    lib_printf(1, "\n");
                }
            info.push_back({"cv_hit1", std::to_string(ch.hits) + "\t" + std::to_string(ch.images)});
            info.push_back({"cv_auc", fixed(ch.auc, 6)});
            lib_printf(1,
                       "  chosen: transform %s, C %s, smoothing sigma %s pixels (%s of the "
                       "median box): %d of %d held-out first locations in a box, AUC %.3f\n",
                       tname[ch.t], general(1.0 / kLambda[ch.p]).c_str(), general(w.smooth).c_str(),
                       general(kWidthFactor[ch.k]).c_str(), ch.hits, ch.images, ch.auc);
        } else {
            lib_printf(1,
                       "  one boxed image, nothing to hold out: transform %s, C %s, smoothing "
                       "sigma %s pixels\n",
                       tname[ch.t], general(1.0 / kLambda[ch.p]).c_str(),
                       general(w.smooth).c_str());
        }
        const std::string name = result_name(ResultFile::learned_class, j);
        writer.write_extra(name, format_learned(w, info));
        if (rec) {
            Json &e = rec->push(Json::object());
            e["class"] = j;
            e["file"] = name;
            e["boxed_images"] = (int)cd.boxed_s.size();
            e["boxes"] = cd.nboxes;
            e["background_images"] = (int)cd.background.size();
            e["features"] = sh.F;
            e["grid_step"] = sh.step;
            e["median_box"] = cd.box_size;
            e["transform"] = tname[ch.t];
            e["epsilon"] = w.epsilon;
            e["penalty_C"] = 1.0 / kLambda[ch.p];
            e["smooth_sigma"] = w.smooth;
            e["cv_folds"] = folds_of[c];
            if (folds_of[c]) {
                e["cv_hit1"] = ch.hits;
                e["cv_images"] = ch.images;
                e["cv_auc"] = ch.auc;
                Json &tab = e["cv"] = Json::array();
                for (int t = 0; t < kTransforms; t++)
                    for (int p = 0; p < kPenalties; p++)
                        for (int k = 0; k < kWidths; k++) {
                            Json &row = tab.push(Json::object());
                            row["transform"] = tname[t];
                            row["penalty_C"] = 1.0 / kLambda[p];
                            row["smooth_sigma"] = kWidthFactor[k] * cd.box_size;
                            row["hit1"] = ch.table_hits[t][p][k];
                            row["auc"] = ch.table_auc[t][p][k];
                        }
            }
        }
    }
    lib_printf(1, "Done (%.2f s: channels %.2f s, fits %.2f s).\n", now_seconds() - start,
               sampled_at - start, now_seconds() - sampled_at);
}
