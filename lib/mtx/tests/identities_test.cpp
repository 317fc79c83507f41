// Identities that hold bit for bit over every shape and code: a result
// written over its own input equals the allocated one wherever aliasing is
// allowed, one family agrees with another where they share an operation,
// and flips and transposes undo themselves. The families' own tests pin
// the values and the messages.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "mtx.h"
#include "test_util.h"

namespace {

// Every shape kind the flat and the row-by-row loops meet: single elements,
// rows, columns, and blocks longer than a vector.
const int kShapes[][2] = {{1, 1}, {1, 7}, {5, 1}, {3, 4}, {8, 8}, {17, 9}};

bool same_bits(const matrix *a, const matrix *b) {
    return a->nrows == b->nrows && a->ncols == b->ncols &&
           memcmp(a->pix[0], b->pix[0], sizeof(double) * a->nrows * a->ncols) == 0;
}

// `check` on random matrices a and b of every shape (b of a's shape, values
// in [0.5, 2): no zeros, no logarithms of negatives).
void for_shapes(const std::function<void(matrix *a, matrix *b, const std::string &)> &check) {
    unsigned seed = 1;
    for (const auto &s : kShapes) {
        auto a = held(random_matrix(s[0], s[1], seed++, 0.5, 2.0));
        auto b = held(random_matrix(s[0], s[1], seed++, 0.5, 2.0));
        check(a, b, std::to_string(s[0]) + " x " + std::to_string(s[1]));
    }
}

matrix *copy_of(const matrix *m) { return array2mtx(m->pix[0], m->nrows, m->ncols); }

}  // namespace

TEST(Identities, WrittenOverAnInputEqualsAllocated) {
    for_shapes([](matrix *a, matrix *b, const std::string &shape) {
        for (char code : std::string("+-./Mm")) {
            auto want = held(mtx_bmath(a, b, code));
            auto over_a = held(copy_of(a)), over_b = held(copy_of(b));
            inp_mtx_bmath(over_a, b, over_a, code);
            inp_mtx_bmath(a, over_b, over_b, code);
            EXPECT_TRUE(same_bits(over_a, want) && same_bits(over_b, want)) << shape << " " << code;
        }
        for (char code : std::string("*/=Tte")) {
            auto want = held(mtxsc_bmathd(a, 1.25, code));
            auto over = held(copy_of(a));
            inp_mtxsc_bmathd(over, 1.25, over, code);
            EXPECT_TRUE(same_bits(over, want)) << shape << " scalar " << code;
        }
        for (char code : std::string("*/")) {
            auto want = held(mtx_elbmath(a, b, code));
            auto over = held(copy_of(a));
            inp_mtx_elbmath(over, b, over, code);
            EXPECT_TRUE(same_bits(over, want)) << shape << " element " << code;
        }
        for (char code : std::string("Saclst")) {
            auto want = held(mtx_elfun(a, code));
            auto over = held(copy_of(a));
            inp_mtx_elfun(over, over, code);
            EXPECT_TRUE(same_bits(over, want)) << shape << " element function " << code;
        }
        for (char code : std::string("CcEsNnRi")) {
            auto want = held(mtx_fun(a, code));
            auto over = held(copy_of(a));
            inp_mtx_fun(over, over, code);
            EXPECT_TRUE(same_bits(over, want)) << shape << " function " << code;
        }
    });
}

TEST(Identities, FamiliesAgreeAndFlipsUndoThemselves) {
    for_shapes([](matrix *a, matrix *b, const std::string &shape) {
        // The same operation by two families.
        EXPECT_TRUE(same_bits(held(mtx_bmath(a, b, '.')), held(mtx_elbmath(a, b, '*')))) << shape;
        EXPECT_TRUE(same_bits(held(mtx_bmath(a, b, '/')), held(mtx_elbmath(a, b, '/')))) << shape;
        EXPECT_TRUE(same_bits(held(mtxsc_bmathd(a, 3.0, '+')), held(mtxsc_bmath(a, 3, '+'))))
            << shape;
        EXPECT_TRUE(same_bits(held(mtxsc_bmathd(a, 0.75, '-')), held(mtxsc_bmathd(a, -0.75, '+'))))
            << shape;
        EXPECT_TRUE(same_bits(held(mtx_fun(a, 'R')), a)) << shape;
        // Each undoes itself.
        for (char code : std::string("TFf"))
            EXPECT_TRUE(same_bits(held(mtx_fun(held(mtx_fun(a, code)), code)), a))
                << shape << " " << code;
        // (a b)^T = b^T a^T: the same products, summed in the same order.
        auto bt = held(mtx_fun(b, 'T'));
        EXPECT_TRUE(same_bits(held(mtx_fun(held(mtx_bmath(a, bt, '*')), 'T')),
                              held(mtx_bmath(b, held(mtx_fun(a, 'T')), '*'))))
            << shape;
    });
}
