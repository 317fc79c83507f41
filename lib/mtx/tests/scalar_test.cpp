#include <gtest/gtest.h>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

TEST(Scalar, Codes) {
    auto a = held(mk(1, 3, {0.2, 0.5, 0.7}));
    auto r = held(mtxsc_bmathd(a, 0.5, 'T'));
    EXPECT_EQ(elems(r), (std::vector<double>{0, 0, 1}));
    inp_mtxsc_bmathd(a, 0.5, r, 't');
    EXPECT_EQ(elems(r), (std::vector<double>{1, 0, 0}));
    inp_mtxsc_bmathd(a, 0.5, r, '=');
    EXPECT_EQ(elems(r), (std::vector<double>{0, 1, 0}));
    inp_mtxsc_bmathd(a, 2.0, r, 'e');
    EXPECT_EQ(elems(r), (std::vector<double>{0.2 * 0.2, 0.25, 0.7 * 0.7}));
    r = mtxsc_bmath(a, 2, '/');
    EXPECT_EQ(elems(r), (std::vector<double>{0.1, 0.25, 0.35}));
    inp_mtxsc_bmathd(a, 10.0, a, '*');  // in place
    EXPECT_EQ(elems(a), (std::vector<double>{2, 5, 7}));
}

TEST(ScalarDeath, RepresentativeFailures) {
    auto a = held(alloc_mtx(2, 2));
    auto b = held(alloc_mtx(1, 4));
    EXPECT_EXIT(inp_mtxsc_bmathd(a, 1.0, b, '+'), ExitedWithCode(1),
                "^mtxsc_bmathd: Incompatible dimensions...\n$");
    EXPECT_EXIT(mtxsc_bmathd(a, 1.0, 'x'), ExitedWithCode(1),
                "^Unknown operation in mtx_bmath...\n$");
    EXPECT_EXIT(mtxsc_bmath(a, 2, 'e'), ExitedWithCode(1), "^Unknown operation in mtx_bmath...\n$");
}
