// Kurtosis of the zero-centred GGD by shape, for the moment-matching fit.
// kurttable[i] = beta_i = 0.30 + 0.01 i (i = 0..370) and
// kurttable[kurttblen + i] = Gamma(5/b) Gamma(1/b) / Gamma(3/b)^2 at b = beta_i,
// rounded to six decimals; the kurtosis decreases strictly with i.
// The values are generated at build time (gen_kurttable.cpp).
#ifndef KURTTABLE_LONG_H
#define KURTTABLE_LONG_H

constexpr int kurttblen = 371;
extern const double kurttable[2 * kurttblen];

#endif
