// What the tests share: running a program, scratch folders, whole-file
// helpers, random matrices, generated scenes and one small trained model.
// Free of GoogleTest, so that the benchmarks can use it too.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <array>
#include <string>
#include <vector>

#include "mtx.h"

// How a program run ended, and what it printed.
struct RunResult {
    bool finished = false;  // ended by itself within the time limit
    bool signaled = false;  // ended by a signal (after the limit: SIGKILL)
    int status = -1;        // exit status, or -1 when it did not exit normally
    int signal = 0;         // the signal number when signaled
    std::string out, err;
};

// argv[0] is the executable's path. Standard input is /dev/null; the
// program is killed when it runs longer than `timeout_seconds`.
RunResult run_program(const std::vector<std::string> &argv, int timeout_seconds = 60);

// A fresh folder under /tmp, removed with everything in it at the end of
// its scope unless the environment variable KEEP_SCRATCH is set.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix = "test");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string slurp(const std::string &path);
void spit(const std::string &path, const std::string &text);
std::vector<std::string> lines(const std::string &path);

// rows x cols elements drawn in row-major order from a uniform
// distribution on [lo, hi) with an mt19937 seeded by `seed`.
matrix *random_matrix(int rows, int cols, unsigned seed, double lo = 0.0, double hi = 1.0);

// CPU time of this process in milliseconds, for benchmarks: the machine is
// shared, so wall time says more about the neighbours than about the code.
double cpu_ms(void);

// Textured grey background in 0.3..0.7 with bright discs (row, col, radius).
matrix *scene(int H, int W, unsigned seed, const std::vector<std::array<int, 3>> &discs = {});

// A result directory trained once per process by `sendral` at depth 3 on 4
// background scenes (class 0) and 4 scenes with two discs each (class 1).
// Empty when the training failed. Tests must not change it.
const std::string &trained_model(const std::string &sendral);

#endif
