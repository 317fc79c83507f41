#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dat.h"
#include "scratch.h"

namespace {

template <typename T>
std::string bytes_of(const std::vector<T> &v) {
    return std::string((const char *)v.data(), v.size() * sizeof(T));
}

std::string reversed_each(std::string raw, size_t unit) {
    for (size_t i = 0; i < raw.size(); i += unit)
        std::reverse(raw.begin() + i, raw.begin() + i + unit);
    return raw;
}

std::string desc(const std::string &type, const std::string &dims, const std::string &extra = "") {
    return "(_data_type " + type + ")\n(_byte_order lsb)\n" + extra + "(_dimensions " + dims +
           ")\n";
}

class Transfer : public Scratch {
protected:
    // A datfile of int16 values 10*row + col over the given rows and columns.
    DATFILE *grid(int rows, int cols, const char *mode = "r") {
        std::vector<int16_t> v;
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < cols; c++) v.push_back((int16_t)(10 * r + c));
        make_datfile(path("g"), desc("signed_2", std::to_string(rows) + " " + std::to_string(cols)),
                     bytes_of(v));
        return d_open(path("g").c_str(), mode);
    }
};

d_addr addr(std::initializer_list<int32_t> flat) {
    d_addr a{};
    int32_t *p = &a.dset;
    int i = 0;
    for (int32_t v : flat) {
        if (i < 2)
            p[i] = v;
        else
            a.dim[i - 2] = v;
        i++;
    }
    return a;
}

}  // namespace

TEST_F(Transfer, ReadStopsAtTheEndOfTheSelection) {
    std::vector<double> v = {1, 2, 3, 4, 5, 6};
    make_datfile(path("s"), desc("double", "2 3"), bytes_of(v));
    DATFILE *h = d_open(path("s").c_str(), "r");
    ASSERT_NE(h, nullptr);
    std::vector<double> buf(10, -1);
    EXPECT_EQ(_dread(h, buf.data(), 10, 'F'), 6);
    EXPECT_EQ(buf, (std::vector<double>{1, 2, 3, 4, 5, 6, -1, -1, -1, -1}));
    EXPECT_EQ(_dread(h, buf.data(), 10, 0), 0);
    EXPECT_EXIT(_dwrite(h, buf.data(), 1, 'F'), testing::ExitedWithCode(1),
                "^_dwrite: write out of bounds on " + path("s") + "\n$");
    d_close(h);

    // n < 0 reads the rest of the current row.
    h = grid(3, 4);
    d_addr start = addr({0, 0, 1, 2});
    d_submatrix(h, &start, nullptr, nullptr);
    EXPECT_EQ(_dread(h, buf.data(), -1, 'F'), 2);
    EXPECT_EQ(_dread(h, buf.data() + 2, -1, 'F'), 2);
    EXPECT_EQ(std::vector<double>(buf.begin(), buf.begin() + 4),
              (std::vector<double>{12, 13, 22, 23}));
    d_close(h);
}

TEST_F(Transfer, SteppedSelections) {
    DATFILE *h = grid(1, 5);
    ASSERT_NE(h, nullptr);
    d_addr step = addr({1, 1, 1, 2});
    EXPECT_EQ(d_submatrix(h, nullptr, nullptr, &step), 0);
    d_addr size;
    EXPECT_EQ(d_getsubdim(h, &size), 2);
    EXPECT_EQ(size.dim[0], 1);
    EXPECT_EQ(size.dim[1], 3);
    std::vector<int16_t> raw(4, -1);
    EXPECT_EQ(_dread(h, raw.data(), 4, 0), 3);
    EXPECT_EQ(raw, (std::vector<int16_t>{0, 2, 4, -1}));
    d_close(h);

    h = grid(4, 5);
    d_addr start = addr({0, 0, 1, 1}), end = addr({1, 1, 4, 5}), st = addr({1, 1, 2, 2});
    EXPECT_EQ(d_submatrix(h, &start, &end, &st), 6);
    std::vector<double> d(5, -1);
    EXPECT_EQ(_dread(h, d.data(), 5, 'F'), 4);
    EXPECT_EQ(d, (std::vector<double>{11, 13, 31, 33, -1}));
    d_close(h);
}

TEST_F(Transfer, SelectionOverChannelsAndSets) {
    std::vector<uint8_t> v(16);
    for (int i = 0; i < 16; i++) v[i] = (uint8_t)i;  // 2 sets x 2 channels x 2 x 2
    make_datfile(path("c"),
                 "(_data_type unsigned_1)\n(_data_sets 2)\n(_channels 2)\n(_dimensions 2 2 )\n",
                 bytes_of(v));
    DATFILE *h = d_open(path("c").c_str(), "r");
    ASSERT_NE(h, nullptr);
    d_addr start = addr({0, 1, 0, 1});
    d_submatrix(h, &start, nullptr, nullptr);  // second channel, last column
    std::vector<double> d(4);
    EXPECT_EQ(_dread(h, d.data(), 4, 'F'), 4);
    EXPECT_EQ(d, (std::vector<double>{5, 7, 13, 15}));
    d_addr size;
    EXPECT_EQ(d_getsubdim(h, &size), 2);
    EXPECT_EQ(size.dset, 2);
    EXPECT_EQ(size.chan, 1);
    d_close(h);
}

TEST_F(Transfer, SeekWithinTheSelection) {
    DATFILE *h = grid(3, 4);
    ASSERT_NE(h, nullptr);
    d_addr off = addr({0, 0, 1, 2});
    EXPECT_EQ(d_seek(h, &off, 0), 6);
    int16_t x;
    _dread(h, &x, 1, 0);
    EXPECT_EQ(x, 12);
    off = addr({0, 0, 0, 3});  // carries into the next row
    EXPECT_EQ(d_seek(h, &off, 1), 10);
    _dread(h, &x, 1, 0);
    EXPECT_EQ(x, 22);
    off = addr({0, 0, 0, -1});
    EXPECT_EQ(d_seek(h, &off, 2), 11);
    _dread(h, &x, 1, 0);
    EXPECT_EQ(x, 23);
    EXPECT_EQ(d_seek(h, nullptr, 2), 12);
    EXPECT_EQ(_dread(h, &x, 1, 0), 0);
    EXPECT_EQ(d_seek(h, nullptr, 1), 12);  // stays one past the end
    off = addr({0, 0, 0, -12});
    EXPECT_EQ(d_seek(h, &off, 1), 0);
    _dread(h, &x, 1, 0);
    EXPECT_EQ(x, 0);
    off = addr({0, 0, 0, -1});
    EXPECT_EXIT(d_seek(h, &off, 0), testing::ExitedWithCode(1),
                "^d_seek: seek out of bounds on " + path("g") + "\n$");
    off = addr({0, 0, 0, 1});
    EXPECT_EXIT(d_seek(h, &off, 2), testing::ExitedWithCode(1), "d_seek: seek out of bounds");
    d_close(h);
}

TEST_F(Transfer, SteppedWriteKeepsTheElementsBetween) {
    DATFILE *h = grid(2, 5, "r+");
    ASSERT_NE(h, nullptr);
    d_addr start = addr({0, 0, 1, 0}), step = addr({1, 1, 1, 2});
    d_submatrix(h, &start, nullptr, &step);
    double v[3] = {-1.4, -2.6, 99};
    EXPECT_EQ(_dwrite(h, v, 3, 'F'), 3);
    d_close(h);
    std::vector<int16_t> expect = {0, 1, 2, 3, 4, -1, 11, -3, 13, 99};
    EXPECT_EQ(slurp(path("g/data")), bytes_of(expect));

    // On a new file the unselected places are zero (reading back needs "w+").
    h = d_open(path("n").c_str(), "w+");
    d_settype(h, 'u');
    int32_t dims[1] = {5};
    d_setdim(h, 1, 1, dims, 1);
    d_addr st = addr({1, 1, 2});
    d_submatrix(h, nullptr, nullptr, &st);
    uint16_t u[3] = {7, 8, 9};
    EXPECT_EQ(_dwrite(h, u, 3, 0), 3);
    d_close(h);
    EXPECT_EQ(slurp(path("n/data")), bytes_of(std::vector<uint16_t>{7, 0, 8, 0, 9}));
}

TEST_F(Transfer, ReadsAndWritesShareOneWalk) {
    std::vector<double> v = {1, 2, 3, 4};
    make_datfile(path("w"), desc("double", "4"), bytes_of(v));
    DATFILE *h = d_open(path("w").c_str(), "a+");
    ASSERT_NE(h, nullptr);
    double x;
    _dread(h, &x, 1, 'F');
    double y = 20;
    _dwrite(h, &y, 1, 'F');  // the second element
    _dread(h, &x, 1, 'F');
    EXPECT_EQ(x, 3);
    d_close(h);
    EXPECT_EQ(slurp(path("w/data")), bytes_of(std::vector<double>{1, 20, 3, 4}));
}

TEST_F(Transfer, MostSignificantFirstFilesMatchTheirTwins) {
    struct Case {
        const char *name;
        std::string raw;
        size_t unit;
    };
    std::vector<Case> cases = {
        {"signed_2", bytes_of(std::vector<int16_t>{-300, 2}), 2},
        {"unsigned_2", bytes_of(std::vector<uint16_t>{60000, 2}), 2},
        {"signed_4", bytes_of(std::vector<int32_t>{-70000, 2}), 4},
        {"unsigned_4", bytes_of(std::vector<uint32_t>{4000000000u, 2}), 4},
        {"float", bytes_of(std::vector<float>{-1.25f, 3e9f}), 4},
        {"double", bytes_of(std::vector<double>{-1.25, 1e300}), 8},
        {"complex", bytes_of(std::vector<float>{0.5f, 9, -3, 9}), 4},
        {"double_complex", bytes_of(std::vector<double>{0.5, 9, -3, 9}), 8},
        {"fixed_point_2", bytes_of(std::vector<int16_t>{384, -512}), 2},
        {"fixed_point_4", bytes_of(std::vector<int32_t>{98304, -1}), 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make_datfile(
            path("lsb"),
            std::string("(_data_type ") + c.name + ")\n(_byte_order lsb)\n(_dimensions 2 )\n",
            c.raw);
        make_datfile(
            path("msb"),
            std::string("(_data_type ") + c.name + ")\n(_byte_order msb)\n(_dimensions 2 )\n",
            reversed_each(c.raw, c.unit));
        double a[2], b[2];
        DATFILE *h = d_open(path("lsb").c_str(), "r");
        ASSERT_EQ(_dread(h, a, 2, 'F'), 2);
        d_close(h);
        testing::internal::CaptureStderr();
        h = d_open(path("msb").c_str(), "r");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ATTN: byte order conversion will occur.\n");
        ASSERT_EQ(_dread(h, b, 2, 'F'), 2);
        d_close(h);
        EXPECT_EQ(std::vector<double>(a, a + 2), std::vector<double>(b, b + 2));
    }
    // Writing an msb file stores reversed bytes.
    DATFILE *h = d_open(path("msb").c_str(), "r+");
    int32_t w[2] = {1, 2};
    testing::internal::CaptureStderr();
    _dwrite(h, w, 2, 0);  // the file's own type: fixed_point_4
    testing::internal::GetCapturedStderr();
    d_close(h);
    EXPECT_EQ(slurp(path("msb/data")).substr(0, 8), std::string("\0\0\0\1\0\0\0\2", 8));
}

TEST_F(Transfer, LongTransfersCrossBufferChunks) {
    std::vector<float> v(2000);
    for (int i = 0; i < 2000; i++) v[i] = (float)i;
    make_datfile(path("l"), desc("float", "2 1000"), bytes_of(v));
    DATFILE *h = d_open(path("l").c_str(), "r");
    d_addr step = addr({1, 1, 1, 3});
    d_submatrix(h, nullptr, nullptr, &step);
    std::vector<double> d(700);
    EXPECT_EQ(_dread(h, d.data(), 700, 'F'), 668);
    EXPECT_EQ(d[333], 999);
    EXPECT_EQ(d[334], 1000);
    EXPECT_EQ(d[335], 1003);
    EXPECT_EQ(d[667], 1999);
    d_close(h);
}

TEST_F(Transfer, FatalSelections) {
    DATFILE *h = grid(2, 3);
    ASSERT_NE(h, nullptr);
    const std::string tail = " for " + path("g") + "\n$";
    d_addr a = addr({0, 0, 1, 0}), b = addr({1, 1, 1, 3});
    EXPECT_EXIT(d_submatrix(h, &a, &b, nullptr), testing::ExitedWithCode(1),
                "^d_submatrix: arguments out of range" + tail);
    d_addr zero = addr({1, 1, 1, 0});
    EXPECT_EXIT(d_submatrix(h, nullptr, nullptr, &zero), testing::ExitedWithCode(1),
                "arguments out of range");
    d_addr past = addr({1, 1, 2, 4});
    EXPECT_EXIT(d_submatrix(h, nullptr, &past, nullptr), testing::ExitedWithCode(1),
                "arguments out of range");
    d_close(h);

    // A level-0 step wider than the transfer buffer.
    make_datfile(path("wide"), desc("double", "1 200"), std::string(1600, '\0'));
    h = d_open(path("wide").c_str(), "r");
    d_addr wide = addr({1, 1, 1, 129}), fits = addr({1, 1, 1, 128});
    EXPECT_EQ(d_submatrix(h, nullptr, nullptr, &fits), 0);
    EXPECT_EXIT(d_submatrix(h, nullptr, nullptr, &wide), testing::ExitedWithCode(1),
                "^d_submatrix: arguments out of range for " + path("wide") + "\n$");
    d_close(h);

    spit(path("plain"), "abcd");
    h = d_open(path("plain").c_str(), "r");
    char c[4];
    EXPECT_EXIT(_dread(h, c, 4, 0), testing::ExitedWithCode(1),
                "^d_submatrix: dimensions of " + path("plain") + " unknown\n$");
    d_close(h);
}

TEST_F(Transfer, ShortDataIsFatal) {
    make_datfile(path("short"), desc("double", "2 2"), std::string(24, '\0'));
    DATFILE *h = d_open(path("short").c_str(), "r");
    double d[4];
    EXPECT_EXIT(_dread(h, d, 4, 'F'), testing::ExitedWithCode(1),
                "^_dread: early EOF on " + path("short") + "\n$");
    d_close(h);
}
