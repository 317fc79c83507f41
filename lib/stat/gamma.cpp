// The gamma function, kept in its own object so that programs needing only
// it (the detector) pull nothing else from this library.
#include <cmath>

#include "classstat.h"

double gamma_exp(double a) { return std::exp(std::lgamma(a)); }
