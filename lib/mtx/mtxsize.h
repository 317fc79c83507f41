// Sizes formed in 64 bits with an overflow check, before anything is
// allocated: a product of dimensions must never wrap into a small number
// that a later allocation or loop bound would accept.
#ifndef MTXSIZE_H
#define MTXSIZE_H

#include <cstdint>
#include <initializer_list>

// The product of `factors` in *n, and true, when it neither overflows 64 bits
// nor exceeds `limit`; false (and *n untouched) otherwise. A single factor
// is checked against the limit alone. Negative factors are multiplied as
// they are: the callers refuse non-positive sizes with their own messages.
bool checked_size(std::initializer_list<int64_t> factors, int64_t limit, int64_t *n);

#endif
