// In process, every layer reports a failure as sendral::Error carrying the
// message and status the programs print and end with (the death tests of
// each library pin those), and messages follow the thread's sink.
#include <gtest/gtest.h>

#include <sendral/lumivar.hpp>
#include <sendral/sendral.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "classstat.h"
#include "cli.h"
#include "dat.h"
#include "fail.h"
#include "mres.h"
#include "owners.h"
#include "test_support.h"

namespace {

// The hook off for the scope: failures throw, as in any program but ours.
struct Throwing {
    fatal_handler prev = set_fatal_handler(nullptr);
    ~Throwing() { set_fatal_handler(prev); }
};

}  // namespace

TEST(InProcess, EveryLayerRaisesTheProgramsMessage) {
    Throwing throwing;
    MatrixPtr a(calloc_mtx(2, 3)), b(calloc_mtx(2, 3)), sq(calloc_mtx(4, 4));
    struct Case {
        const char *what;
        std::function<void()> call;
        std::string message;
    } cases[] = {
        {"matrix", [&] { held(mtx_bmath(a.get(), b.get(), '*')); },
         "Matrix mult: Incompatible dimensions...\n"},
        {"dct", [&] { held(dct(sq.get(), 8, nullptr)); }, "dct: DCT matrix must be sz by sz\n"},
        {"datfile", [] { held(dat2mtx("/nonexistent/m.dat")); },
         "load_mtx: Cannot open file /nonexistent/m.dat\nAborting...\n"},
        {"statistics", [&] { check_moment_shape(a.get(), nullptr, 1, 1); },
         "\n!!!FATAL : Allmnt file is not in the right dimension!!!\n"},
        {"pipeline", [] { die("Cannot open %s\n", "x"); }, "Cannot open x\n"},
        {"model", [] { lumivar::Model("/nonexistent", 1); },
         "Cannot open /nonexistent/salientfeaturenum\n"},
    };
    for (const Case &c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << ": no failure";
        } catch (const sendral::Error &e) {
            EXPECT_EQ(e.what(), c.message) << c.what;
            EXPECT_EQ(e.status(), 1) << c.what;
        }
    }
}

TEST(InProcess, AHookThatReturnsStillStopsTheCall) {
    static std::string seen;
    const fatal_handler prev =
        set_fatal_handler([](const fatal_report *r) { seen = std::string(r->out) + "|" + r->err; });
    EXPECT_THROW(lib_fatal(3, "err\n", "out\n"), sendral::Error);
    set_fatal_handler(prev);
    EXPECT_EQ(seen, "out\n|err\n");
}

TEST(InProcess, MessagesFollowTheThreadsSinkAndAFailedTrainingLeavesNoTrace) {
    Throwing throwing;
    ScratchDir dir("inprocess");
    std::string kept;
    {
        sendral::MessageCapture capture([&](int stream, const std::string &text) {
            kept += std::to_string(stream) + ":" + text;
        });
        lib_printf(1, "a%d\n", 1);
        lib_puts(2, "b\n");
        // Too small for depth 2 (8 * 2 samples a side): refused, nothing written.
        const std::vector<double> tiny(12 * 12, 0.5);
        sendral::TrainImage t{"tiny", {tiny.data(), 12, 12, 12}};
        EXPECT_THROW(sendral::train({{t}, {t}}, 2, dir.path("model")), sendral::Error);
    }
    EXPECT_EQ(kept.rfind("1:a1\n2:b\n", 0), 0u) << kept;
    EXPECT_NE(kept.find("1:Image too small, Skip!\n"), std::string::npos) << kept;
    // No staging folder is left, and the lock is released for the next training.
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir.path("model")))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{".sendral-lock"});
    const int fd = open(dir.path("model/.sendral-lock").c_str(), O_RDWR);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}
