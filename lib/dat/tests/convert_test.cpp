#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "dat.h"

namespace {

template <typename T>
std::vector<T> from_doubles(int code, const std::vector<double> &in) {
    std::vector<T> out(in.size());
    convert_datatype(out.data(), code, in.data(), 'F', (int)in.size());
    return out;
}

const double NaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(Convert, IntegerTargetsClampThenRoundHalfAway) {
    std::vector<double> v = {2.5, -2.5, 0.49, 300, -7};
    EXPECT_EQ(from_doubles<uint8_t>('b', v), (std::vector<uint8_t>{3, 0, 0, 255, 0}));
    EXPECT_EQ(from_doubles<int8_t>('c', v), (std::vector<int8_t>{3, -3, 0, 127, -7}));
    EXPECT_EQ(from_doubles<int8_t>('a', v), (std::vector<int8_t>{3, -3, 0, 127, -7}));
    EXPECT_EQ(from_doubles<int32_t>('D', {2147483648.0, -3e9, 0.49999999999999994, -1.5}),
              (std::vector<int32_t>{2147483647, INT32_MIN, 0, -2}));
    EXPECT_EQ(from_doubles<uint32_t>('U', {-1.0, 5e9, 4294967294.5}),
              (std::vector<uint32_t>{0, 4294967295u, 4294967295u}));
    EXPECT_EQ(from_doubles<int16_t>('d', {40000, -40000, 1.5}),
              (std::vector<int16_t>{32767, -32768, 2}));
    EXPECT_EQ(from_doubles<uint16_t>('u', {70000, -1, 2.5}), (std::vector<uint16_t>{65535, 0, 3}));
    EXPECT_EQ(from_doubles<int16_t>('x', {1.5, -0.001953125, 200}),
              (std::vector<int16_t>{384, -1, 32767}));
    EXPECT_EQ(from_doubles<int32_t>('X', {1.5, -40000}), (std::vector<int32_t>{98304, INT32_MIN}));
}

TEST(Convert, NaNStoresZeroInIntegerTypes) {
    EXPECT_EQ(from_doubles<uint8_t>('b', {NaN}), (std::vector<uint8_t>{0}));
    EXPECT_EQ(from_doubles<int16_t>('x', {NaN}), (std::vector<int16_t>{0}));
    EXPECT_EQ(from_doubles<int32_t>('D', {NaN}), (std::vector<int32_t>{0}));
    EXPECT_EQ(from_doubles<uint32_t>('U', {NaN}), (std::vector<uint32_t>{0}));
    EXPECT_TRUE(std::isnan(from_doubles<float>('f', {NaN})[0]));
}

TEST(Convert, ComplexAndIndirectPairs) {
    EXPECT_EQ(from_doubles<double>('F', {1.5, 2.0}), (std::vector<double>{1.5, 2.0}));  // a copy
    float zc[2] = {-1, -1};
    double real = 1.5;
    convert_datatype(zc, 'z', &real, 'F', 1);
    EXPECT_EQ(std::vector<float>(zc, zc + 2), (std::vector<float>{1.5f, 0.0f}));
    double Z[4] = {1.5, 2.5, -1, 4};
    float z[4] = {};
    convert_datatype(z, 'z', Z, 'Z', 2);
    EXPECT_EQ(std::vector<float>(z, z + 4), (std::vector<float>{1.5f, 2.5f, -1.0f, 4.0f}));
    double back[4] = {};
    convert_datatype(back, 'Z', z, 'z', 2);
    EXPECT_EQ(std::vector<double>(back, back + 4), (std::vector<double>{1.5, 2.5, -1, 4}));
    double cplx[2] = {-1, -1};
    double one = 3.0;
    convert_datatype(cplx, 'Z', &one, 'F', 1);
    EXPECT_EQ(cplx[1], 0.0);
    uint8_t byte = 7;
    convert_datatype(&one, 'F', &byte, 'v', 1);  // variant converts to nothing
    EXPECT_EQ(one, 3.0);

    // Through doubles in chunks: more than one chunk, clamped on the way.
    std::vector<uint8_t> bytes(600);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (uint8_t)(i % 256);
    std::vector<int8_t> sbytes(600, 0);
    convert_datatype(sbytes.data(), 'c', bytes.data(), 'b', 600);
    EXPECT_EQ(sbytes[100], 100);
    EXPECT_EQ(sbytes[200], 127);
    EXPECT_EQ(sbytes[599], 87);
}

TEST(Convert, EndianReversesEachUnit) {
    uint8_t d[4] = {1, 2, 3, 4};
    convert_endian(d, 'd', 2);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 4), (std::vector<uint8_t>{2, 1, 4, 3}));
    uint8_t f[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    convert_endian(f, 'F', 1);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 8), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    uint8_t z[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    convert_endian(z, 'z', 1);
    EXPECT_EQ(std::vector<uint8_t>(z, z + 8), (std::vector<uint8_t>{4, 3, 2, 1, 8, 7, 6, 5}));
    uint8_t Z[16];
    for (int i = 0; i < 16; i++) Z[i] = (uint8_t)i;
    convert_endian(Z, 'Z', 1);
    EXPECT_EQ(Z[0], 7);
    EXPECT_EQ(Z[8], 15);
    uint8_t b[2] = {1, 2};
    convert_endian(b, 'b', 2);
    EXPECT_EQ(b[0], 1);
}

TEST(Convert, SubsampleInPlace) {
    int16_t v[7] = {0, 1, 2, 3, 4, 5, 6};
    subsample(v, v, 2, 3, 3);
    EXPECT_EQ(std::vector<int16_t>(v, v + 3), (std::vector<int16_t>{0, 3, 6}));
}

TEST(ConvertDeath, UnknownTypeIsFatal) {
    double x = 1;
    EXPECT_EXIT(convert_datatype(&x, 'q', &x, 'F', 1), testing::ExitedWithCode(1),
                "^_dsize: data type q. not supported\n$");
}
