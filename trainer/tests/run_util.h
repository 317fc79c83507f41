// Runs the Sendral executable with its standard streams captured.
#ifndef SENDRAL_RUN_UTIL_H
#define SENDRAL_RUN_UTIL_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct RunResult {
    int status;  // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string make_temp_dir() {
    std::string t = "/tmp/sendral_test_XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    return buf.data();
}

// `scratch` receives the two capture files.
inline RunResult run_sendral(const std::vector<std::string> &args, const std::string &scratch) {
    std::vector<std::string> all{SENDRAL_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out = scratch + "/stdout", err = scratch + "/stderr";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    RunResult r{-1, "", ""};
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) {
        int ws = 0;
        waitpid(pid, &ws, 0);
        if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

#endif
