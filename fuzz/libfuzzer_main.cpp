// libFuzzer glue: FUZZ_ENTRY names the entry function of the target.
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The code under test reports every refusal on stdout/stderr; at tens of
    // thousands of runs a second that drowns the fuzzer's own output.
    // Sanitizer reports and failed checks write to descriptor 2 directly.
    if (!getenv("FUZZ_VERBOSE")) {
        FILE *null = fopen("/dev/null", "w");
        if (null) {
            stdout = null;
            stderr = null;
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FUZZ_ENTRY(data, size);
    return 0;
}
