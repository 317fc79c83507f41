// Discriminant feature selection: per class, rank every feature by its MD
// score and put the valid features (those that pass the entropy, variance,
// DC and shape rules) first, keeping the order of the sort within both
// parts. Costs are scores relative to the weakest valid feature.
#include <cstdio>
#include <cstdlib>

#include "classstat.h"
#include "fail.h"
#include "mtxown.h"

namespace {

constexpr double kMinShape = 0.65;  // flatter-than-Laplacian limit on beta

}  // namespace

int *SalientFeatures_Qor_GGD(matrix *Allmnt, matrix *Allbeta, int classnum, int exBfea,
                             matrix *StandVar, matrix *classMD, int ishue, matrix *sortMDs,
                             matrix *sortCosts, matrix *sortidx, int isdenoise) {
    const int ftnum = Allmnt->nrows;
    std::unique_ptr<int, FreeDeleter> finuse_owner(
        (int *)calloc(classnum > 0 ? (size_t)classnum : 1, sizeof(int)));
    int *finuse = finuse_owner.get();
    check_alloc(finuse);
    MatrixPtr ftmask(calloc_mtx(1, ftnum));
    double *mask = ftmask->pix[0];
    const int nlevels = ishue ? (ftnum - 1) / 64 : ftnum / 64;
    std::unique_ptr<double, FreeDeleter> thresh_owner(imgdenoise_GGD(Allmnt, 63, StandVar));
    const double *thresh = thresh_owner.get();

    for (int i = 0; i < classnum; i++) {
        lib_printf(1, "class # %d...", i);
        for (int f = 0; f < ftnum; f++) mask[f] = 1;
        MatrixPtr entQ(entropy_GGD(Allmnt, i, 0));
        MatrixPtr entDB(entropy_GGD(Allmnt, i, 1));

        if (exBfea == 1)  // keep features in which the class is less predictable
            for (int f = 0; f < ftnum; f++) mask[f] = entQ->pix[0][f] > entDB->pix[0][f] ? 1 : 0;
        if (isdenoise == 1) {
            lib_printf(1, "denoising...\n");
            fflush(stdout);
            for (int f = 0; f < ftnum; f++)
                if (StandVar->pix[f][0] < thresh[f] * thresh[f]) mask[f] = 0;
        }
        for (int L = 0; L < nlevels; L++) mask[64 * L] = 0;
        for (int f = 0; f < ftnum; f++) {
            double minb = Allbeta->pix[f][0];
            for (int j = 1; j < classnum; j++)
                if (Allbeta->pix[f][j] < minb) minb = Allbeta->pix[f][j];
            if (minb < kMinShape) mask[f] = 0;
        }
        int valid_total = 0;
        for (int f = 0; f < ftnum; f++) valid_total += (int)mask[f];
        finuse[i] = valid_total;

        MatrixPtr scores(calloc_mtx(1, ftnum));
        for (int f = 0; f < ftnum; f++) scores->pix[0][f] = classMD->pix[i][f];
        MatrixPtr order(isrt(scores.get()));

        int valid = 0, other = 0;
        for (int p = 0; p < ftnum; p++) {
            const int f = (int)order->pix[0][p];
            const double score = scores->pix[0][p];
            const bool ok = mask[f] == 1;
            const int pos = ok ? valid++ : finuse[i] + other++;
            sortMDs->pix[i][pos] = score;
            sortidx->pix[i][pos] = f;
            if (p == 0) {
                if (ok)
                    lib_progress(2, "\nFirst MD idx is %d\n", f);
                else
                    lib_progress(2, "\nFirst MD idx is %d valid features are %d\n", f, finuse[i]);
            }
        }
        for (int k = 0; k < ftnum; k++)
            sortCosts->pix[i][k] =
                k < finuse[i] ? sortMDs->pix[i][k] / sortMDs->pix[i][finuse[i] - 1] : 0;

        lib_printf(1, "Done.\n");
    }
    return finuse_owner.release();
}
