#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "imgconv.h"

RunResult run_program(const std::vector<std::string> &argv, int timeout_seconds) {
    ScratchDir capture("run");
    const std::string out = capture.path("stdout"), err = capture.path("stderr");
    RunResult r;
    if (argv.empty()) return r;
    pid_t pid = fork();
    if (pid == 0) {
        int i = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (i < 0 || o < 0 || e < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(127);
        std::vector<char *> args;
        for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) return r;
    int ws = 0;
    for (long waited = 0; waited < 100L * timeout_seconds; waited++) {
        if (waitpid(pid, &ws, WNOHANG) == pid) {
            r.finished = true;
            break;
        }
        usleep(10000);
    }
    if (!r.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &ws, 0);
    }
    r.signaled = WIFSIGNALED(ws);
    if (r.signaled) r.signal = WTERMSIG(ws);
    if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

ScratchDir::ScratchDir(const std::string &prefix) {
    std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    dir_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (getenv("KEEP_SCRATCH")) return;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines(const std::string &path) {
    std::vector<std::string> v;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);) v.push_back(l);
    return v;
}

matrix *random_matrix(int rows, int cols, unsigned seed, double lo, double hi) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(lo, hi);
    matrix *m = alloc_mtx(rows, cols);
    for (long i = 0; i < (long)rows * cols; i++) m->pix[0][i] = u(gen);
    return m;
}

matrix *scene(int H, int W, unsigned seed, const std::vector<std::array<int, 3>> &discs) {
    matrix *m = random_matrix(H, W, seed);
    for (int pass = 0; pass < 2; pass++)  // soften into a texture
        for (int i = 0; i < H; i++)
            for (int j = 0; j < W; j++) {
                double s = 0;
                for (int d = -1; d <= 1; d++)
                    s += m->pix[i][(j + d + W) % W] + m->pix[(i + d + H) % H][j];
                m->pix[i][j] = s / 6;
            }
    for (long i = 0; i < (long)H * W; i++) m->pix[0][i] = 0.3 + 0.4 * m->pix[0][i];
    for (auto [r, c, rad] : discs)
        for (int i = std::max(r - rad, 0); i <= std::min(r + rad, H - 1); i++)
            for (int j = std::max(c - rad, 0); j <= std::min(c + rad, W - 1); j++)
                if ((i - r) * (i - r) + (j - c) * (j - c) <= rad * rad) m->pix[i][j] = 0.95;
    return m;
}

bool write_scene(matrix *m, const std::string &path) { return mtx2im(held(m), path.c_str()) == 1; }

namespace {

std::string train_model(const std::string &sendral, const ScratchDir &dir) {
    std::filesystem::create_directory(dir.path("bg"));
    std::filesystem::create_directory(dir.path("ob"));
    std::string bg, ob;
    for (int i = 0; i < 4; i++) {
        const std::string b = dir.path("bg/b" + std::to_string(i) + ".png");
        const std::string o = dir.path("ob/o" + std::to_string(i) + ".png");
        if (!write_scene(scene(64, 64, 10 + i), b) ||
            !write_scene(scene(64, 64, 20 + i, {{16 + 8 * i, 20, 6}, {44, 40 - 4 * i, 6}}), o))
            return "";
        bg += b + "\n";
        ob += o + "\n";
    }
    spit(dir.path("bg.txt"), bg);
    spit(dir.path("ob.txt"), ob);
    spit(dir.path("train.txt"), dir.path("bg.txt") + "\n" + dir.path("ob.txt") + "\n");
    const std::string res = dir.path("res");
    RunResult r = run_program({sendral, dir.path("train.txt"), "3", res}, 300);
    return r.status == 0 ? res : "";
}

}  // namespace

const std::string &trained_model(const std::string &sendral) {
    static ScratchDir dir("trained_model");
    static const std::string res = train_model(sendral, dir);
    return res;
}

double cpu_ms(void) {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}
