#include "mres.h"
