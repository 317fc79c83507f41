#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "mtx.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

static matrix *counting(int nrows, int ncols) {
    matrix *m = alloc_mtx(nrows, ncols);
    for (int i = 0; i < nrows * ncols; i++) m->pix[0][i] = i;
    return m;
}

TEST(Cut, SubmtxStridedBlock) {
    auto src = held(counting(5, 3));
    auto out = held(alloc_mtx(3, 1));
    submtx(out, src, 0, 2, 4, 1, 1, 1);
    EXPECT_EQ(elems(out), (std::vector<double>{1, 7, 13}));
    auto crop = held(alloc_mtx(4, 2));
    submtx(crop, src, 0, 1, 3, 1, 1, 2);
    EXPECT_EQ(elems(crop), (std::vector<double>{1, 2, 4, 5, 7, 8, 10, 11}));
}

TEST(CutDeath, SubmtxRanges) {
    auto src = held(counting(5, 3));
    auto out = held(alloc_mtx(3, 1));
    EXPECT_EXIT(submtx(out, src, 0, 2, 5, 1, 1, 1), ExitedWithCode(1),
                "^submtx: Invalid range parameters\n$");
    EXPECT_EXIT(submtx(out, src, 0, 0, 4, 1, 1, 1), ExitedWithCode(1),
                "^submtx: Invalid range parameters\n$");
    EXPECT_EXIT(submtx(out, src, 0, 1, 4, 1, 1, 1), ExitedWithCode(1),
                "^submtx: matrix a has invalid dimensions\n$");
}

TEST(Cut, MoveScattersIntoStridedWindow) {
    auto a = held(counting(2, 3));
    auto b = held(calloc_mtx(4, 6));
    // A strided grid counts (stop - start + 1) / step points, so its stop may
    // lie past the matrix as long as every visited point is inside.
    move(a, b, {0, 0}, {1, 1}, {2, 1}, {1, 0}, {2, 2}, {6, 3}, 0);
    EXPECT_EQ(b->pix[0][1], 0);
    EXPECT_EQ(b->pix[0][3], 1);
    EXPECT_EQ(b->pix[0][5], 2);
    EXPECT_EQ(b->pix[2][3], 4);
    EXPECT_EQ(sum(b), 15);  // nothing else touched
}

TEST(CutDeath, MoveRanges) {
    auto src = held(counting(63, 4));
    auto dst = held(calloc_mtx(128, 8));
    // Destination window of 64 rows and 4 columns, source grid of 63 rows.
    EXPECT_EXIT(move(src, dst, {0, 0}, {1, 1}, {3, 62}, {4, 64}, {1, 1}, {7, 127}, 0),
                ExitedWithCode(1), "^Sizes do not match...\n$");
    EXPECT_EXIT(move(src, dst, {4, 0}, {1, 1}, {4, 0}, {0, 0}, {1, 1}, {0, 0}, 0),
                ExitedWithCode(1), "^move: Invalid coordinates for a ...\n$");
    EXPECT_EXIT(move(src, dst, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {0, 1}, {0, 0}, 0),
                ExitedWithCode(1), "^move: Invalid coordinates for b ...\n$");
    // A stop past the matrix would write outside it: refused.
    EXPECT_EXIT(move(src, dst, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {1, 1}, {8, 0}, 0),
                ExitedWithCode(1), "Invalid coordinates for b");
    // a's loop visits columns 0 and 2 while the grid counts one column: the
    // second destination point would lie past b's last column.
    auto narrow = held(calloc_mtx(1, 1));
    EXPECT_EXIT(move(src, narrow, {0, 0}, {2, 1}, {2, 0}, {0, 0}, {1, 1}, {0, 0}, 0),
                ExitedWithCode(1), "Invalid coordinates for b");
}

TEST(Cut, MovePrintsPointsWhenVerbose) {
    auto a = held(counting(1, 1));
    auto b = held(calloc_mtx(1, 1));
    testing::internal::CaptureStdout();
    move(a, b, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {1, 1}, {0, 0}, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a: start(0,0) step(1,1) stop(0,0)\nb: start(0,0) step(1,1) stop(0,0)\n");
}

TEST(Cut, StdMoveStillUsable) {
    std::string s = "kept";
    std::string t = std::move(s);
    std::vector<coords> pts;
    pts.push_back(coords{1, 2});
    std::vector<coords> other = std::move(pts);
    EXPECT_EQ(t, "kept");
    EXPECT_EQ(other[0].y, 2);
}

TEST(Cut, RowcpExtractTop) {
    auto src = held(counting(4, 2));
    auto out = held(calloc_mtx(3, 2));
    rowcp(out, src, 1, 2, 3, 0, 2);
    EXPECT_EQ(elems(out), (std::vector<double>{2, 3, 0, 0, 6, 7}));
    EXPECT_EXIT(rowcp(out, src, 0, 1, 3, 0, 1), ExitedWithCode(1),
                "^rowcp: Invalid range parameters\n$");

    auto sel = held(mk(4, 1, {1, 0, 1, 1}));
    auto rows = held(extract(src, sel, 1.0));
    EXPECT_EQ(elems(rows), (std::vector<double>{0, 1, 4, 5, 6, 7}));
    EXPECT_EQ(extract(src, sel, 5.0), nullptr);
    auto csel = held(mk(1, 2, {0, 3}));
    auto cols = held(extract(src, csel, 3.0));
    EXPECT_EQ(elems(cols), (std::vector<double>{1, 3, 5, 7}));
    auto mask = held(extract(src, src, 5.0));
    EXPECT_EQ(elems(mask), (std::vector<double>{0, 0, 0, 0, 0, 1, 0, 0}));

    auto head = held(top(sel, 6));
    EXPECT_EQ(head->ncols, 1);
    EXPECT_EQ(elems(head), (std::vector<double>{1, 0, 1, 1, 0, 0}));
}
