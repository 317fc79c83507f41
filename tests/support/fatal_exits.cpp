// Linked into every unit test: failures end the process as in the
// programs, so that death tests see the programs' messages and statuses.
// Tests of the in-process (throwing) path set the hook back to null.
#include "fail.h"

namespace {
const bool installed = (set_fatal_handler(fatal_exit_handler), true);
}
