// Salient location search and scale map.
//
// The search must return exactly what repeatedly rescanning the whole map
// for its maximum would return (largest positive value first, equal values
// in row-major order, each location clearing its own pixel or a square
// around it), but rescanning is quadratic in the map size when most pixels
// become locations. Instead the map is cut into 8x8 tiles; every tile
// remembers its largest positive value (first in row-major order), and a
// tournament tree over the tiles yields the map's maximum. Clearing a
// square rescans only the tiles it touches and replays their paths up the
// tree. Ties between tiles go to the smaller row-major pixel index, which
// is the literal search's tie rule.
#include <cmath>
#include <vector>

#include "lumivar.h"

int scale_radius(int l) { return (int)pow(2.0, (double)(l + 2)); }

namespace {

constexpr int kTile = 8;

class MaxTree {
public:
    MaxTree(const double *p, int H, int W)
        : p_(p), H_(H), W_(W), tr_((H + kTile - 1) / kTile), tc_((W + kTile - 1) / kTile) {
        const int ntiles = tr_ * tc_;
        best_.assign(ntiles, 0.0);
        at_.assign(ntiles, -1);
        leaves_ = 1;
        while (leaves_ < ntiles) leaves_ *= 2;
        tree_.assign(2 * (size_t)leaves_, -1);
        for (int t = 0; t < ntiles; t++) {
            scan(t);
            tree_[leaves_ + t] = t;
        }
        for (int i = leaves_ - 1; i >= 1; i--) tree_[i] = pick(tree_[2 * i], tree_[2 * i + 1]);
    }

    // Pixel index of the current maximum, or -1 when no value is positive.
    long top() const {
        const int t = tree_[1];
        return t < 0 ? -1 : at_[t];
    }

    // Rescans every tile that meets rows r0..r1, columns c0..c1.
    void refresh(int r0, int r1, int c0, int c1) {
        for (int ti = r0 / kTile; ti <= r1 / kTile; ti++)
            for (int tj = c0 / kTile; tj <= c1 / kTile; tj++) {
                const int t = ti * tc_ + tj;
                scan(t);
                for (int i = (leaves_ + t) / 2; i >= 1; i /= 2)
                    tree_[i] = pick(tree_[2 * i], tree_[2 * i + 1]);
            }
    }

private:
    void scan(int t) {
        const int r0 = (t / tc_) * kTile, c0 = (t % tc_) * kTile;
        const int r1 = std::min(r0 + kTile, H_), c1 = std::min(c0 + kTile, W_);
        double best = 0.0;
        long at = -1;
        for (int r = r0; r < r1; r++) {
            const double *row = p_ + (long)r * W_;
            for (int c = c0; c < c1; c++)
                if (row[c] > best) {
                    best = row[c];
                    at = (long)r * W_ + c;
                }
        }
        best_[t] = best;
        at_[t] = at;
    }

    int pick(int a, int b) const {
        if (a < 0 || at_[a] < 0) return (b >= 0 && at_[b] >= 0) ? b : -1;
        if (b < 0 || at_[b] < 0) return a;
        if (best_[a] != best_[b]) return best_[a] > best_[b] ? a : b;
        return at_[a] < at_[b] ? a : b;
    }

    const double *p_;
    int H_, W_, tr_, tc_, leaves_;
    std::vector<double> best_;
    std::vector<long> at_;
    std::vector<int> tree_;
};

// Index of the first channel strictly largest at (r, c) starting from 0.0;
// 0 when none is positive.
int dominant(matrix **channels, int n, int r, int c) {
    int idx = 0;
    double best = 0.0;
    for (int i = 0; i < n; i++) {
        const double v = channels[i]->pix[r][c];
        if (v > best) {
            best = v;
            idx = i;
        }
    }
    return idx;
}

}  // namespace

matrix *SearchSalPts(matrix *SM, matrix **channels, int *ftpydlevels, int ftnum4smap, int nowta) {
    const int H = SM->nrows, W = SM->ncols;
    double *p = SM->pix[0];
    std::vector<double> found;
    // A not-a-number first element stops a search that starts from it.
    if (!std::isnan(p[0])) {
        MaxTree tree(p, H, W);
        int n = 0;
        for (long at = tree.top(); at >= 0 && n < kMaxSalPts; at = tree.top(), n++) {
            const int r = (int)(at / W), c = (int)(at % W);
            const int level = ftpydlevels[dominant(channels, ftnum4smap, r, c)];
            found.insert(found.end(), {(double)r, (double)c, (double)level, p[at]});
            int r0 = r, r1 = r, c0 = c, c1 = c;
            if (!nowta) {
                const int h = scale_radius(level);
                r0 = std::max(r - h, 0);
                r1 = std::min(r + h, H - 1);
                c0 = std::max(c - h, 0);
                c1 = std::min(c + h, W - 1);
            }
            for (int i = r0; i <= r1; i++)
                for (int j = c0; j <= c1; j++) SM->pix[i][j] = 0.0;
            tree.refresh(r0, r1, c0, c1);
        }
    }
    if (found.empty()) found.assign(4, 0.0);
    return array2mtx(found.data(), (int)(found.size() / 4), 4);
}

void GetScaleMap(matrix *imgscales, matrix **channels, int *ftpydlevels, int ftnum4smap) {
    std::vector<int> radius(ftnum4smap);
    for (int i = 0; i < ftnum4smap; i++) radius[i] = scale_radius(ftpydlevels[i]);
    for (int r = 0; r < imgscales->nrows; r++)
        for (int c = 0; c < imgscales->ncols; c++)
            imgscales->pix[r][c] = radius[dominant(channels, ftnum4smap, r, c)];
}
