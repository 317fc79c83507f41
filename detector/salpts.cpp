// Salient location search and scale map.
//
// The search must return exactly what repeatedly rescanning the whole map
// for its maximum would return (largest positive value first, equal values
// in row-major order, each location clearing its own pixel or a square
// around it), but rescanning is quadratic in the map size when most pixels
// become locations. Instead the map is cut into 8x8 tiles; every tile
// remembers its largest positive value (first in row-major order), and a
// tournament tree over the tiles yields the map's maximum. Clearing a
// square rescans only the tiles whose maximum it clears and replays their
// paths up the tree. Ties between tiles go to the smaller row-major pixel
// index, which is the rescanning search's tie rule. The tiles are read in
// place: an 8x8 tile spans eight cache lines whether the map is stored by
// rows or by tiles, so a tile-major copy would only add two passes.
//
// Without winner-take-all a location clears only its own pixel, so the
// locations are simply the positive pixels sorted by value and index.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <immintrin.h>

#include "files.h"
#include "lumivar.h"

namespace {

constexpr int kTile = 8;

typedef double v8d __attribute__((vector_size(64)));
typedef long long v8l __attribute__((vector_size(64)));
static_assert(kTile == 8, "a tile row is one AVX-512 vector");

// Index of the first largest positive value of rows r0..r1-1, columns
// c0..c1-1 (row-major: rows, then columns), its value in *best; -1 and 0
// when none is positive. This is what scanning for a strictly larger value
// finds (NaN never is).
long scan_block(const double *p, int W, int r0, int r1, int c0, int c1, double *best) {
    double top = 0.0;
    long at = -1;
    for (int r = r0; r < r1; r++) {
        const double *row = p + (long)r * W;
        for (int c = c0; c < c1; c++)
            if (row[c] > top) {
                top = row[c];
                at = (long)r * W + c;
            }
    }
    *best = top;
    return at;
}

// A whole tile one row per vector: its largest value first, then the first
// pixel holding it.
__attribute__((target("avx512f"))) long scan_tile_avx512(const double *p, int W, int r0, int c0,
                                                         double *best) {
    const double *q = p + (long)r0 * W + c0;
    v8d m = {};
    for (int r = 0; r < kTile; r++) {
        v8d v;
        memcpy(&v, q + (long)r * W, sizeof v);
        m = v > m ? v : m;
    }
    double top = 0.0;
    for (int k = 0; k < kTile; k++) top = m[k] > top ? m[k] : top;
    *best = top > 0.0 ? top : 0.0;
    if (!(top > 0.0)) return -1;
    const __m512d t = _mm512_set1_pd(top);
    for (int r = 0;; r++)
        if (const unsigned hit =
                _mm512_cmp_pd_mask(_mm512_loadu_pd(q + (long)r * W), t, _CMP_EQ_OQ))
            return (long)(r0 + r) * W + c0 + __builtin_ctz(hit);
}

long tile_maximum(const double *p, int W, int r0, int r1, int c0, int c1, double *best) {
    static const bool wide = __builtin_cpu_supports("avx512f");
    if (wide && r1 - r0 == kTile && c1 - c0 == kTile) return scan_tile_avx512(p, W, r0, c0, best);
    return scan_block(p, W, r0, r1, c0, c1, best);
}

// Zeroes rows ra..rb, columns ca..cb of one tile: at most eight short
// runs, one masked store each where the machine has AVX-512, else stored
// directly (a memset call per run would cost more than the run).
__attribute__((target("avx512f"))) void zero_runs_avx512(double *p, int W, int ra, int rb, int ca,
                                                         int cb) {
    const __mmask8 run = (__mmask8)(((1u << (cb - ca + 1)) - 1));
    const __m512d zero = _mm512_setzero_pd();
    for (int r = ra; r <= rb; r++) _mm512_mask_storeu_pd(p + (long)r * W + ca, run, zero);
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void zero_block(double *p, int W,
                                                                              int ra, int rb,
                                                                              int ca, int cb) {
    static const bool wide = __builtin_cpu_supports("avx512f");
    if (wide && cb - ca < kTile) return zero_runs_avx512(p, W, ra, rb, ca, cb);
    for (int r = ra; r <= rb; r++) {
        double *row = p + (long)r * W;
        for (int c = ca; c <= cb; c++) row[c] = 0.0;
    }
}

class MaxTree {
public:
    // Works on the map itself. With `keep_map`, every cleared value is
    // really set to 0, leaving the map as the rescanning search would;
    // without, tiles holding no positive value are left as they are (the
    // search cannot tell).
    MaxTree(double *p, const unsigned char *dom, int H, int W, bool keep_map)
        : H_(H), W_(W), tc_((W + kTile - 1) / kTile), keep_(keep_map), p_(p), dom_(dom) {
        const int ntiles = ((H + kTile - 1) / kTile) * tc_;
        leaves_ = 1;
        while (leaves_ < ntiles) leaves_ *= 2;
        node_.assign(2 * (size_t)leaves_, Entry{});
        for (int t = 0; t < ntiles; t++) node_[leaves_ + t] = scan(t);
        for (int i = leaves_ - 1; i >= 1; i--) node_[i] = node_[winner(2 * i)];
    }

    // Pixel index of the current maximum, or -1 when no value is positive;
    // its value and the level of its dominant channel.
    long top() const { return node_[1].empty() ? -1 : node_[1].at(); }
    double top_value() const { return node_[1].v; }
    int top_level() const { return node_[1].level(); }

    // Zeroes rows r0..r1, columns c0..c1. A tile's first maximum changes
    // only when the cleared part holds it; only then is the tile rescanned
    // and its path up the tree replayed, as far as the winners change.
    void clear(int r0, int r1, int c0, int c1) {
        for (int ti = r0 / kTile; ti <= r1 / kTile; ti++)
            for (int tj = c0 / kTile; tj <= c1 / kTile; tj++) {
                const int t = ti * tc_ + tj;
                const Entry &leaf = node_[leaves_ + t];
                if (leaf.empty() && !keep_) continue;
                const int ra = std::max(r0, ti * kTile), rb = std::min(r1, ti * kTile + kTile - 1);
                const int ca = std::max(c0, tj * kTile), cb = std::min(c1, tj * kTile + kTile - 1);
                zero_block(p_, W_, ra, rb, ca, cb);
                if (leaf.empty()) continue;
                const long at = leaf.at(), ar = at / W_, ac = at - ar * W_;
                if (ar < ra || ar > rb || ac < ca || ac > cb) continue;
                replay(t, scan(t));
            }
    }

private:
    // A tile's or a subtree's first maximum: its value and, packed in one
    // word, its pixel index and the level of its dominant channel (looked
    // up when the tile is scanned, while its neighbourhood is in cache).
    // Packing keeps the order of the indices, so one comparison of the
    // words is the tie rule; no positive value is value 0 and the largest
    // word, which every entry beats.
    struct Entry {
        double v = 0.0;
        long long key = kNone;
        static constexpr long long kNone = 0x7fffffffffffffffll;
        bool empty() const { return key == kNone; }
        long at() const { return (long)(key >> 8); }
        int level() const { return (int)(key & 0xff); }
    };

    Entry scan(int t) const {
        const int r0 = (t / tc_) * kTile, c0 = (t % tc_) * kTile;
        const int r1 = std::min(r0 + kTile, H_), c1 = std::min(c0 + kTile, W_);
        Entry e;
        const long at = tile_maximum(p_, W_, r0, r1, c0, c1, &e.v);
        if (at >= 0) e.key = ((long long)at << 8) | dom_[at];
        return e;
    }

    // Of siblings i and i+1 (i even), the node holding the larger value,
    // equal values going to the smaller pixel index; without branches, as
    // the outcome is a coin toss.
    int winner(int i) const {
        const Entry &a = node_[i], &b = node_[i + 1];
        const bool left = (a.v > b.v) | ((a.v == b.v) & (a.key < b.key));
        return left ? i : i + 1;
    }

    // A node whose winner stays the same leaves every node above it as it
    // is: the replay stops there.
    void replay(int t, Entry e) {
        int i = leaves_ + t;
        node_[i] = e;
        for (; i > 1; i /= 2) {
            const Entry &up = node_[winner(i & ~1)];
            Entry &parent = node_[i / 2];
            if (up.key == parent.key && up.v == parent.v) return;
            parent = up;
        }
    }

    int H_, W_, tc_, leaves_;
    bool keep_;
    double *p_;
    const unsigned char *dom_;
    std::vector<Entry> node_;
};

}  // namespace

DominantLevels::DominantLevels(long npix, int first_level)
    : best_(npix, 0.0), level_(npix, (unsigned char)first_level) {}

void DominantLevels::add(const matrix *chan, int level) {
    const double *v = chan->pix[0];
    const long npix = (long)level_.size();
    for (long j = 0; j < npix; j++)
        if (v[j] > best_[j]) {
            best_[j] = v[j];
            level_[j] = (unsigned char)level;
        }
}

// Eight pixels at a time (one AVX-512 vector, two AVX2 ones or four SSE2
// ones, chosen at run time): each lane does the scalar loop's operations in
// its order.
__attribute__((target_clones("avx512f", "avx2", "default"))) void DominantLevels::add_weighted(
    const double *c, double weight, double *sum, int level, long first, long count, bool fresh) {
    typedef signed char v8c __attribute__((vector_size(8)));
    const v8c lv = (v8c){} + (signed char)level;
    const bool scaled = weight != 1.0;
    double *best = best_.data() + first;
    unsigned char *lev = level_.data() + first;
    long j = 0;
    if (fresh) {
        // The first channel of a restart: the sums and the best values are
        // zero, which need not be read (0.0 + v is still formed: it turns
        // -0.0 into 0.0 as the sum always did).
        const v8d zero = {};
        for (; j + 8 <= count; j += 8) {
            v8d v;
            memcpy(&v, c + j, sizeof v);
            if (scaled) v = v * weight;
            const v8d s = zero + v, b = v > zero ? v : zero;
            memcpy(sum + j, &s, sizeof s);
            memcpy(best + j, &b, sizeof b);
        }
        for (; j < count; j++) {
            const double v = scaled ? c[j] * weight : c[j];
            sum[j] = 0.0 + v;
            best[j] = v > 0.0 ? v : 0.0;
        }
        memset(lev, level, count);
        return;
    }
    for (; j + 8 <= count; j += 8) {
        v8d v, s, b;
        v8c l;
        memcpy(&v, c + j, sizeof v);
        memcpy(&s, sum + j, sizeof s);
        memcpy(&b, best + j, sizeof b);
        memcpy(&l, lev + j, sizeof l);
        if (scaled) v = v * weight;
        s += v;
        const v8l larger = v > b;
        b = larger ? v : b;
        l = __builtin_convertvector(larger, v8c) ? lv : l;
        memcpy(sum + j, &s, sizeof s);
        memcpy(best + j, &b, sizeof b);
        memcpy(lev + j, &l, sizeof l);
    }
    for (; j < count; j++) {
        const double v = scaled ? c[j] * weight : c[j];
        sum[j] += v;
        if (v > best[j]) {
            best[j] = v;
            lev[j] = (unsigned char)level;
        }
    }
}

void DominantLevels::done_adding() { std::vector<double>().swap(best_); }

void DominantLevels::restart(int first_level) {
    best_.assign(level_.size(), 0.0);
    std::fill(level_.begin(), level_.end(), (unsigned char)first_level);
}

namespace {

DominantLevels levels_of(matrix **channels, const int *levels, int n, long npix) {
    DominantLevels dom(npix, levels[0]);
    for (int i = 0; i < n; i++) dom.add(channels[i], levels[i]);
    dom.done_adding();
    return dom;
}

}  // namespace

matrix *search_locations(matrix *SM, const unsigned char *dom, int nowta, bool *cut,
                         bool leave_cleared_map) {
    const int H = SM->nrows, W = SM->ncols;
    double *p = SM->pix[0];
    std::vector<double> found;
    bool more = false;
    auto add = [&](long at, int level, double v) {
        const long r = at / W;
        found.insert(found.end(), {(double)r, (double)(at - r * W), (double)level, v});
    };
    // A not-a-number first element ends a search that starts from it.
    if (!std::isnan(p[0])) {
        if (nowta) {
            // Each location clears only itself: the locations are the
            // positive pixels by decreasing value, equal values by index.
            struct Px {
                double v;
                long at;
            };
            std::vector<Px> pos;
            for (long i = 0; i < (long)H * W; i++)
                if (p[i] > 0.0) pos.push_back({p[i], i});
            std::sort(pos.begin(), pos.end(), [](const Px &a, const Px &b) {
                return a.v > b.v || (a.v == b.v && a.at < b.at);
            });
            if (pos.size() > (size_t)kMaxSalPts) {
                pos.resize(kMaxSalPts);
                more = true;
            }
            found.reserve(4 * pos.size());
            for (const Px &x : pos) {
                add(x.at, dom[x.at], x.v);
                p[x.at] = 0.0;
            }
        } else {
            MaxTree tree(p, dom, H, W, leave_cleared_map);
            int n = 0;
            for (long at = tree.top(); at >= 0 && n < kMaxSalPts; at = tree.top(), n++) {
                const long r = at / W, c = at - r * W;
                const int level = tree.top_level();
                add(at, level, tree.top_value());
                const int h = scale_radius(level);
                tree.clear((int)std::max(r - h, 0L), (int)std::min(r + h, (long)H - 1),
                           (int)std::max(c - h, 0L), (int)std::min(c + h, (long)W - 1));
            }
            more = tree.top() >= 0;
        }
    }
    if (cut) *cut = more;
    if (found.empty()) found.assign(4, 0.0);
    return array2mtx(found.data(), (int)(found.size() / 4), 4);
}

matrix *SearchSalPts(matrix *SM, matrix **channels, int *ftpydlevels, int ftnum4smap, int nowta) {
    const DominantLevels dom =
        levels_of(channels, ftpydlevels, ftnum4smap, (long)SM->nrows * SM->ncols);
    return search_locations(SM, dom.levels(), nowta, nullptr);
}

void scale_map_from_levels(matrix *imgscales, const unsigned char *levels) {
    double *out = imgscales->pix[0];
    const long npix = (long)imgscales->nrows * imgscales->ncols;
    for (long j = 0; j < npix; j++) out[j] = scale_radius(levels[j]);
}

void GetScaleMap(matrix *imgscales, matrix **channels, int *ftpydlevels, int ftnum4smap) {
    const DominantLevels dom =
        levels_of(channels, ftpydlevels, ftnum4smap, (long)imgscales->nrows * imgscales->ncols);
    scale_map_from_levels(imgscales, dom.levels());
}
