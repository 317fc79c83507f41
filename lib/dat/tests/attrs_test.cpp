#include <cstdint>
#include <string>

#include "dat.h"
#include "scratch.h"

namespace {

class Attrs : public Scratch {
protected:
    DATFILE *open_with(const std::string &descriptor) {
        make_datfile(path("a"), descriptor, "");
        testing::internal::CaptureStderr();
        DATFILE *h = d_open(path("a").c_str(), "r+");
        testing::internal::GetCapturedStderr();
        return h;
    }
};

}  // namespace

TEST_F(Attrs, Dimensions) {
    DATFILE *h = open_with("");
    ASSERT_NE(h, nullptr);
    int32_t sets = -5, chans = -5, dims[10] = {-5};
    EXPECT_EQ(d_getdim(h, &sets, &chans, dims, 3), 0);  // empty header: 1 set, 1 channel
    EXPECT_EQ(sets, 1);
    EXPECT_EQ(chans, 1);
    EXPECT_EQ(dims[0], -5);
    int size = 0;
    EXPECT_EQ(d_gettype(h, &size), 0);
    EXPECT_EQ(size, 1);
    d_close(h);

    h = open_with("(_data_sets 4)\n(_channels x)\n(_dimensions 480 640 )\n");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d_getdim(h, &sets, &chans, dims, 10), 2);
    EXPECT_EQ(sets, 4);
    EXPECT_EQ(chans, 1);
    EXPECT_EQ(dims[0], 480);
    EXPECT_EQ(dims[1], 640);
    int32_t one[2] = {0, -9};
    EXPECT_EQ(d_getdim(h, nullptr, nullptr, one, 1), 2);
    EXPECT_EQ(one[0], 640);
    EXPECT_EQ(one[1], -9);
    d_close(h);
}

TEST_F(Attrs, SetDimChangesOnlyPositiveParts) {
    DATFILE *h = open_with("(_data_sets 2)\n(_channels 3)\n");
    ASSERT_NE(h, nullptr);
    int32_t dims[2] = {5, 7};
    EXPECT_EQ(d_setdim(h, 0, 0, dims, 2), 0);
    EXPECT_EQ(d_setdim(h, 9, -1, dims, 0), 0);
    d_close(h);
    EXPECT_EQ(slurp(path("a/descriptor")), "(_data_sets 9)\n(_channels 3)\n(_dimensions 5 7 )\n");
}

TEST_F(Attrs, SetTypeWritesTypeThenMachineOrder) {
    DATFILE *h = d_open(path("t").c_str(), "w");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d_settype(h, 'q'), -1);
    EXPECT_EQ(h->db_h, nullptr);
    EXPECT_EQ(d_settype(h, 'F'), 0);
    // Already on disk before the close.
    EXPECT_EQ(slurp(path("t/descriptor")), "(_data_type double)\n(_byte_order lsb)\n");
    int size;
    EXPECT_EQ(d_gettype(h, &size), 'F');
    EXPECT_EQ(size, 8);
    EXPECT_EQ(d_settype(h, 'b'), 0);  // byte order kept, type replaced
    d_close(h);
    EXPECT_EQ(slurp(path("t/descriptor")), "(_data_type unsigned_1)\n(_byte_order lsb)\n");

    h = d_open(path("u").c_str(), "w");
    d_settype(h, 'c');  // single bytes need no byte order
    d_close(h);
    EXPECT_EQ(slurp(path("u/descriptor")), "(_data_type signed_1)\n");
}

TEST_F(Attrs, SetTypeOnForeignOrderWarns) {
    DATFILE *h = open_with("(_byte_order msb)\n");
    ASSERT_NE(h, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_settype(h, 'd'), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ATTN: byte order conversion will occur.\n");
    EXPECT_EQ(d_get_byte_order(h), MSB);
    d_close(h);
}

TEST_F(Attrs, TypeAndOrderNamesMatchExactly) {
    DATFILE *h = open_with("(_data_type  double)\n(_byte_order LSB)\n");
    ASSERT_NE(h, nullptr);
    int size = 0;
    EXPECT_EQ(d_gettype(h, &size), 0);  // the second blank belongs to the value
    EXPECT_EQ(size, 1);
    EXPECT_EQ(d_get_byte_order(h), -1);
    EXPECT_EQ(d_set_byte_order(h, 2), -1);
    EXPECT_STREQ(d_getkey(h, "_byte_order"), "LSB");
    EXPECT_EQ(d_set_byte_order(h, LSB), 0);
    EXPECT_EQ(d_get_byte_order(h), LSB);
    d_close(h);
}
