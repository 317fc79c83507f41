// Channel maps: the response of one DCT basis filter on its pyramid level,
// turned by the map kind's transform (mapkinds.cpp) into either a power of
// the response (power_channel) or a bounded function of the log-likelihood
// ratio between two generalized Gaussian models (loglikely_channel), then
// enlarged to full size (enlarge.cpp). The ratio weighs the query class's
// model (its column of the parameter matrices) against the background
// class's (column 0); a query for class 0 therefore compares the background
// with itself and gives zero channels.
//
// loglikely_channel: with L = max(ln p_obj(x) - ln p_back(x), 0) and
// s = sigmoid(L), t = sigmoid(-L), the value is s ln s + t ln t + ln 2, in
// [0, ln 2). Where L > 709.78, exp(L) overflows, t is 0 and t ln t would be
// 0 * -inf; the limit 0 is used, so the channel tends to ln 2. A model whose
// scale or shape is not a positive finite number has no density: such a
// channel is all zero.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "classstat.h"
#include "files.h"
#include "imgconv.h"
#include "lumivar.h"
#include "mapkinds.h"

namespace {

bool usable(double v) { return std::isfinite(v) && v > 0.0; }

}  // namespace

double genSalConst(double alphaOb, double betaOb, double alphaBack, double betaBack) {
    double g1 = gamma_exp(1.0 / betaBack);
    double numerator = g1 * (betaOb * alphaBack);
    double g2 = gamma_exp(1.0 / betaOb);
    double denominator = g2 * (alphaOb * betaBack);
    double K = log(numerator / denominator);
    if (!std::isfinite(K)) {
        // Gamma overflows for shapes below about 1/171; the logarithms do not.
        K = (lgamma(1.0 / betaBack) - lgamma(1.0 / betaOb)) + log(betaOb) + log(alphaBack) -
            log(alphaOb) - log(betaBack);
    }
    return K;
}

void BoundarySup(matrix *m) {
    const int H = m->nrows, W = m->ncols;
    auto zero_row = [&](int r) {
        if (r >= 0 && r < H)
            for (int j = 0; j < W; j++) m->pix[r][j] = 0.0;
    };
    auto zero_col = [&](int c) {
        if (c >= 0 && c < W)
            for (int i = 0; i < H; i++) m->pix[i][c] = 0.0;
    };
    for (int i = 0; i < 3; i++) {
        zero_col(i);
        zero_row(i);
    }
    for (int r = H - 4; r < H; r++) zero_row(r);
    for (int c = W - 4; c < W; c++) zero_col(c);
}

LevelChannelRows::LevelChannelRows(pyramid *G, int l, int k, matrix **dctmtx, int mapnum,
                                   matrix *allalpha, matrix *allbeta, int qclassidx)
    : level_(G->level[l]), filter_(dctmtx[k]), kind_(&map_kind(mapnum)), row_(level_->ncols) {
    // The object is the query class, the background is class 0.
    const int f = 64 * l + k;
    ChannelModels &m = models_;
    m.alphaOb = allalpha->pix[f][qclassidx];
    m.alphaBack = allalpha->pix[f][0];
    m.betaOb = allbeta->pix[f][qclassidx];
    m.betaBack = allbeta->pix[f][0];
    density_ = usable(m.alphaOb) && usable(m.betaOb) && usable(m.alphaBack) && usable(m.betaBack);
    if (kind_->uses_models && density_)
        m.K = genSalConst(m.alphaOb, m.betaOb, m.alphaBack, m.betaBack);
}

const double *LevelChannelRows::row(int r) {
    const int H = level_->nrows, W = level_->ncols;
    // Rows 0..2 and the last four are cleared; so are columns 0..2 and the
    // last four of every other row.
    if (r < 3 || r >= H - 4 || (kind_->uses_models && !density_)) {
        std::fill(row_.begin(), row_.begin() + W, 0.0);
        made_ = 0;  // the buffer no longer holds the rows made
        last_ = r;
        return row_.data();
    }
    if (r >= first_ && r < first_ + made_) {
        last_ = r;
        return row_.data() + (size_t)(r - first_) * W;
    }
    // Rows asked for one after the other are made several at a time (the
    // correlation is cheaper so); a row asked for on its own is made alone.
    constexpr int kMostRows = 16;  // rows one batch may hold
    const int batch = std::min(filter2d_batch(), kMostRows);
    const int count = r == last_ + 1 ? std::min(batch, H - 4 - r) : 1;
    if (row_.size() < (size_t)batch * W) row_.resize((size_t)batch * W);
    double *out[kMostRows];
    for (int t = 0; t < count; t++) out[t] = row_.data() + (size_t)t * W;
    filter2d_rows(level_, filter_, r, count, out);
    for (int t = 0; t < count; t++) finish_row(out[t]);
    first_ = r;
    made_ = count;
    last_ = r;
    return out[0];
}

void power_channel(double *p, int n, const ChannelModels &) { abs_pow_three_halves(p, n); }

void loglikely_channel(double *p, int n, const ChannelModels &m) {
    const double alphaOb = m.alphaOb, betaOb = m.betaOb, alphaBack = m.alphaBack,
                 betaBack = m.betaBack, K = m.K;
    const double ln2 = log(2.0);
    // Where L is not above 0 (or not a number) s = t = 1/2 and the value
    // is exactly 0. Elsewhere s, t and their logarithms are computed in
    // place, with the same operations as sigmoidF and mtxLog.
    for (int i = 0; i < n; i++) {
        const double x = fabs(p[i]);
        const double L = pow(x / alphaBack, betaBack) - pow(x / alphaOb, betaOb) + K;
        if (!(L > 0.0)) {
            p[i] = 0.0;
            continue;
        }
        const double sg = 1.0 / (exp(-L) + 1.0);
        const double tg = 1.0 / (exp(-(-1.0 * L)) + 1.0);
        const double tlogt = tg > 0.0 ? tg * log(tg) : 0.0;
        p[i] = sg * log(sg) + tlogt + ln2;
    }
}

void LevelChannelRows::finish_row(double *p) const {
    const int W = level_->ncols;
    kind_->transform(p, W, models_);
    for (int c : {0, 1, 2, W - 4, W - 3, W - 2, W - 1})
        if (c >= 0 && c < W) p[c] = 0.0;
}

matrix *level_channel(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                      matrix *allbeta, int qclassidx) {
    LevelChannelRows rows(G, l, k, dctmtx, mapnum, allalpha, allbeta, qclassidx);
    matrix *chan = alloc_mtx(rows.rows(), rows.cols());
    for (int r = 0; r < rows.rows(); r++)
        memcpy(chan->pix[r], rows.row(r), sizeof(double) * rows.cols());
    return chan;
}

matrix *sglsaliencymap(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                       matrix *allbeta, int qclassidx) {
    matrix *chan = level_channel(G, l, k, dctmtx, mapnum, allalpha, allbeta, qclassidx);
    matrix *out = enlarge_channel(chan, l);
    free_mtx(chan);
    return out;
}
