// The location search as first described: every location rescans the whole
// map for its maximum. Slow (quadratic), kept as the reference that the
// program's search must reproduce exactly, for tests and benchmarks.
#ifndef REFERENCE_SEARCH_H
#define REFERENCE_SEARCH_H

#include "mtx.h"

matrix *rescanning_search(matrix *SM, matrix **channels, int *levels, int nft, int nowta);

#endif
