// What the tests share: running a program, scratch folders, whole-file
// helpers, random matrices, generated scenes and one small trained model.
// Free of GoogleTest, so that the benchmarks can use it too.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <array>
#include <string>
#include <vector>

#include "imgstructs.h"
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

// This build's programs, for the suites given their paths as SENDRAL_EXE
// and LUMIVAR_EXE; `args` come after the program's name.
#ifdef SENDRAL_EXE
inline RunResult run_sendral(std::vector<std::string> args, int timeout_seconds = 60) {
    args.insert(args.begin(), SENDRAL_EXE);
    return run_program(args, timeout_seconds);
}
#endif
#ifdef LUMIVAR_EXE
inline RunResult run_lumivar(std::vector<std::string> args, int timeout_seconds = 60) {
    args.insert(args.begin(), LUMIVAR_EXE);
    return run_program(args, timeout_seconds);
}
#endif

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

// Writes `m` (which it frees) as the image file `path`; false when it cannot.
bool write_scene(matrix *m, const std::string &path);

// A result directory trained once per process by `sendral` at depth 3 on 4
// background scenes (class 0) and 4 scenes with two discs each (class 1);
// its lists lie beside it (train.txt, bg.txt, ob.txt). Empty when the
// training failed. Tests must not change it.
const std::string &trained_model(const std::string &sendral);
#ifdef SENDRAL_EXE
inline const std::string &trained_model() { return trained_model(SENDRAL_EXE); }
#endif

// A record the test owns, handed to the C API as its plain pointer: freed
// at the end of its scope, also when a failed assertion returns early.
// Assigning a new record frees the one held before.
template <class T, void (*Free)(T *)>
class Held {
public:
    Held() = default;
    explicit Held(T *p) : p_(p) {}
    Held(Held &&o) noexcept : p_(o.release()) {}
    Held &operator=(Held &&o) noexcept {
        reset(o.release());
        return *this;
    }
    Held &operator=(T *p) {
        reset(p);
        return *this;
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() { reset(); }

    operator T *() const { return p_; }
    T *operator->() const { return p_; }
    T *get() const { return p_; }
    T *release() {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p = nullptr) {
        if (p_ && p_ != p) Free(p_);
        p_ = p;
    }

private:
    T *p_ = nullptr;
};

using HeldMatrix = Held<matrix, free_mtx>;
using HeldPyramid = Held<pyramid, free_pyr>;
using HeldVolume = Held<volume, free_vol>;
using HeldColor = Held<colormatrix, free_colormtx>;
inline HeldMatrix held(matrix *m) { return HeldMatrix(m); }
inline HeldPyramid held(pyramid *p) { return HeldPyramid(p); }
inline HeldVolume held(volume *v) { return HeldVolume(v); }
inline HeldColor held(colormatrix *c) { return HeldColor(c); }
inline Held<singvs, free_singvs> held(singvs *s) { return Held<singvs, free_singvs>(s); }
inline Held<eigvs, free_eigvs> held(eigvs *e) { return Held<eigvs, free_eigvs>(e); }
inline Held<matrix3d, free_3d> held(matrix3d *m) { return Held<matrix3d, free_3d>(m); }
inline Held<image, free_img> held(image *im) { return Held<image, free_img>(im); }

#endif
