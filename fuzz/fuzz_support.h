// Shared pieces of the fuzz entry functions: a private scratch directory,
// whole-file writes and the property check that stops the run.
//
// Every entry function takes one input and returns normally when the code
// under test behaved; a broken property ends the process through abort(),
// which the fuzzer reports as a crash and the replay test as a failure.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// The three fuzzed inputs.
void fuzz_dat_header(const uint8_t *data, size_t size);
void fuzz_dat_read(const uint8_t *data, size_t size);
void fuzz_list_file(const uint8_t *data, size_t size);

// A directory private to this process, removed at exit; sub names a
// subdirectory inside it, created on first use.
const std::string &fuzz_scratch(const char *sub);

// Replaces the file with exactly these bytes.
void fuzz_write_file(const std::string &path, const void *bytes, size_t len);

// Names the input now being fed, for the message of a failed check.
void fuzz_set_label(const std::string &label);

[[noreturn]] void fuzz_check_failed(const char *expr, const char *file, int line);

#define FUZZ_CHECK(cond)                                           \
    do {                                                           \
        if (!(cond)) fuzz_check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

#endif
