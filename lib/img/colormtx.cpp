// The colormatrix record: one matrix per channel.
#include <cstdlib>
#include <cstring>

#include "imgstructs.h"

colormatrix *calloc_colormtx(const char *colortype, int chanum, int height, int width) {
    colormatrix *cm = (colormatrix *)calloc(1, sizeof(colormatrix));
    check_alloc(cm);
    // The name field holds 9 characters; longer names are cut there.
    if (colortype) strncpy(cm->colortype, colortype, sizeof cm->colortype - 1);
    cm->chanum = chanum;
    cm->height = height;
    cm->width = width;
    cm->chans = (matrix **)calloc(chanum > 0 ? (size_t)chanum : 1, sizeof(matrix *));
    check_alloc(cm->chans);
    return cm;
}

void free_colormtx(colormatrix *cm) {
    if (!cm) return;
    for (int i = 0; i < cm->chanum; i++)
        if (cm->chans[i]) free_mtx(cm->chans[i]);
    free(cm->chans);
    free(cm);
}

int colormtx_complete(const colormatrix *cm) {
    if (!cm || cm->chanum != 3 || !cm->chans || cm->width <= 0 || cm->height <= 0) return 0;
    for (int ch = 0; ch < 3; ch++) {
        const matrix *m = cm->chans[ch];
        if (!m || m->nrows != cm->height || m->ncols != cm->width) return 0;
    }
    return 1;
}
