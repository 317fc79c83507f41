// Channel maps: the response of one DCT basis filter on its pyramid level,
// turned into either a power of the response (map kind 0) or a bounded
// function of the log-likelihood ratio between two generalized Gaussian
// models (kinds 1 and 2), then enlarged to full size (enlarge.cpp). The
// ratio weighs the query class's model (its column of the parameter
// matrices) against the background class's (column 0); a query for class 0
// therefore compares the background with itself and gives zero channels.
//
// Kinds 1 and 2: with L = max(ln p_obj(x) - ln p_back(x), 0) and
// s = sigmoid(L), t = sigmoid(-L), the value is s ln s + t ln t + ln 2, in
// [0, ln 2). Where L > 709.78, exp(L) overflows, t is 0 and t ln t would be
// 0 * -inf; the limit 0 is used, so the channel tends to ln 2. A model whose
// scale or shape is not a positive finite number has no density: such a
// channel is all zero.
#include <cmath>
#include <cstdio>

#include "classstat.h"
#include "files.h"
#include "imgconv.h"
#include "lumivar.h"

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

matrix *level_channel(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                      matrix *allbeta, int qclassidx) {
    // The object is the query class, the background is class 0.
    const int f = 64 * l + k;
    const double alphaOb = allalpha->pix[f][qclassidx], alphaBack = allalpha->pix[f][0];
    const double betaOb = allbeta->pix[f][qclassidx], betaBack = allbeta->pix[f][0];

    matrix *chan = filter2d(G->level[l], dctmtx[k]);
    double *p = chan->pix[0];
    const long n = (long)chan->nrows * chan->ncols;
    if (mapnum == 0) {
        abs_pow_three_halves(p, n);
    } else if (!usable(alphaOb) || !usable(betaOb) || !usable(alphaBack) || !usable(betaBack)) {
        fill_mtx(chan, 0.0);
    } else {
        const double K = genSalConst(alphaOb, betaOb, alphaBack, betaBack);
        const double ln2 = log(2.0);
        // Where L is not above 0 (or not a number) s = t = 1/2 and the value
        // is exactly 0. Elsewhere s, t and their logarithms are computed in
        // place, with the same operations as sigmoidF and mtxLog, so the
        // channel needs no scratch of its size.
        for (long i = 0; i < n; i++) {
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
    BoundarySup(chan);
    return chan;
}

matrix *sglsaliencymap(pyramid *G, int l, int k, matrix **dctmtx, int mapnum, matrix *allalpha,
                       matrix *allbeta, int qclassidx) {
    matrix *chan = level_channel(G, l, k, dctmtx, mapnum, allalpha, allbeta, qclassidx);
    matrix *out = enlarge_channel(chan, l);
    free_mtx(chan);
    return out;
}
