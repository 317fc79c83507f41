// Program helpers shared by Sendral and Lumivar: list files, class files,
// location files and small element-wise helpers.
#ifndef FILES_H
#define FILES_H

#include <cstdio>

#include "mtx.h"

// ---- list files ----

// ---- class files ----

// ---- location files ----

// ---- element-wise helpers ----

#endif
