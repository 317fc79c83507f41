#include "reference_search.h"

#include <algorithm>
#include <vector>

#include "lumivar.h"

matrix *rescanning_search(matrix *SM, matrix **ch, int *levels, int nft, int nowta) {
    std::vector<double> rows;
    int r, c;
    double maxval = mtx_max_idx(SM, &r, &c);
    while (maxval > 0 && rows.size() < 4u * kMaxSalPts) {
        int idx = 0;
        double best = 0.0;
        for (int i = 0; i < nft; i++)
            if (ch[i]->pix[r][c] > best) best = ch[i]->pix[r][c], idx = i;
        rows.insert(rows.end(), {(double)r, (double)c, (double)levels[idx], maxval});
        const int h = nowta ? 0 : scale_radius(levels[idx]);
        for (int i = std::max(r - h, 0); i <= std::min(r + h, SM->nrows - 1); i++)
            for (int j = std::max(c - h, 0); j <= std::min(c + h, SM->ncols - 1); j++)
                SM->pix[i][j] = 0;
        maxval = mtx_max_idx(SM, &r, &c);
    }
    if (rows.empty()) rows.assign(4, 0.0);
    return array2mtx(rows.data(), (int)rows.size() / 4, 4);
}
