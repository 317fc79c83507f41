#include <sys/resource.h>

#include <csignal>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dat.h"
#include "scratch.h"

namespace {

template <typename T>
std::string bytes_of(const std::vector<T> &v) {
    return std::string((const char *)v.data(), v.size() * sizeof(T));
}

std::vector<double> values(matrix *m) {
    return std::vector<double>(m->pix[0], m->pix[0] + (size_t)m->nrows * m->ncols);
}

class Bridge : public Scratch {};

}  // namespace

TEST_F(Bridge, RoundTripOfASmallMatrix) {
    const double v[6] = {1.5, -2, 1e-300, 4, 5.25, 6};
    auto m = held(array2mtx(v, 2, 3));
    mtx2dat(m, path("m.dat").c_str());
    std::string data = slurp(path("m.dat/data"));
    ASSERT_EQ(data.size(), 48u);
    EXPECT_EQ(memcmp(data.data(), v, 48), 0);  // row 0 first
    auto r = held(dat2mtx(path("m.dat").c_str()));
    EXPECT_EQ(r->nrows, 2);
    EXPECT_EQ(r->ncols, 3);
    EXPECT_EQ(values(r), values(m));
    EXPECT_EQ(d_lastbuf, d_iob);  // nothing left open
}

TEST_F(Bridge, DescriptorOfAFullImageMatrix) {
    auto m = held(calloc_mtx(480, 640));
    mtx2dat(m, path("big").c_str());
    EXPECT_EQ(slurp(path("big/descriptor")),
              "(_data_type double)\n(_byte_order lsb)\n(_data_sets 1)\n(_channels 1)\n(_dimensions "
              "480 640 )\n");
    EXPECT_EQ(std::filesystem::file_size(path("big/data")), 480u * 640u * 8u);
}

TEST_F(Bridge, WriteConvertsToTheFileType) {
    const double v[5] = {2.5, -2.5, 0.49, 300, -7};
    auto m = held(array2mtx(v, 1, 5));
    EXPECT_EQ(write_mtx(m, 'b', path("b").c_str()), 0);
    EXPECT_EQ(write_mtx(m, 'c', path("c").c_str()), 0);
    EXPECT_EQ(slurp(path("b/data")), std::string("\3\0\0\377\0", 5));
    EXPECT_EQ(slurp(path("c/data")), std::string("\3\375\0\177\371", 5));
    EXPECT_EQ(slurp(path("b/descriptor")),
              "(_data_type unsigned_1)\n(_data_sets 1)\n(_channels 1)\n(_dimensions 1 5 )\n");
}

TEST_F(Bridge, EveryStoredTypeLoadsAsDoubles) {
    struct Case {
        const char *type;
        std::string raw;
        std::vector<double> want;
    };
    std::vector<Case> cases = {
        {"ascii", bytes_of(std::vector<int8_t>{-5, 65}), {-5, 65}},
        {"signed_1", bytes_of(std::vector<int8_t>{-128, 127}), {-128, 127}},
        {"unsigned_1", bytes_of(std::vector<uint8_t>{0, 255}), {0, 255}},
        {"signed_2", bytes_of(std::vector<int16_t>{-32768, 7}), {-32768, 7}},
        {"unsigned_2", bytes_of(std::vector<uint16_t>{65535, 7}), {65535, 7}},
        {"signed_4", bytes_of(std::vector<int32_t>{INT32_MIN, 7}), {-2147483648.0, 7}},
        {"unsigned_4", bytes_of(std::vector<uint32_t>{4294967295u, 7}), {4294967295.0, 7}},
        {"float", bytes_of(std::vector<float>{0.125f, -3}), {0.125, -3}},
        {"double", bytes_of(std::vector<double>{0.1, -3}), {0.1, -3}},
        {"complex", bytes_of(std::vector<float>{0.5f, 8, -1, 8}), {0.5, -1}},
        {"double_complex", bytes_of(std::vector<double>{0.1, 8, -1, 8}), {0.1, -1}},
        {"fixed_point_2", bytes_of(std::vector<int16_t>{384, -128}), {1.5, -0.5}},
        {"fixed_point_4", bytes_of(std::vector<int32_t>{98304, 1}), {1.5, 1 / 65536.0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        std::string name = path(c.type);
        make_datfile(
            name,
            std::string("(_data_type ") + c.type + ")\n(_byte_order lsb)\n(_dimensions 1 2 )\n",
            c.raw);
        auto m = held(dat2mtx(name.c_str()));
        EXPECT_EQ(values(m), c.want);
    }
}

TEST_F(Bridge, OnlyTheFirstMatrixOfAFileIsRead) {
    make_datfile(path("sets"),
                 "(_data_type unsigned_1)\n(_data_sets 2)\n(_channels 2)\n(_dimensions 1 2 )\n",
                 std::string("\1\2\3\4\5\6\7\10", 8));
    auto m = held(load_mtx(path("sets").c_str()));
    EXPECT_EQ(values(m), (std::vector<double>{1, 2}));
}

TEST_F(Bridge, NameResolvedThroughSearchPath) {
    std::filesystem::create_directories(path("p"));
    const double v[2] = {3, 4};
    auto m = held(array2mtx(v, 2, 1));
    mtx2dat(m, path("p/found").c_str());
    setenv("PICPATH", (path("none") + ":" + path("p")).c_str(), 1);
    m = dat2mtx("found");
    unsetenv("PICPATH");
    EXPECT_EQ(values(m), (std::vector<double>{3, 4}));
}

TEST_F(Bridge, FailuresEndTheProcessWithStatusOne) {
    make_datfile(path("three"), "(_data_type double)\n(_byte_order lsb)\n(_dimensions 2 2 2 )\n",
                 std::string(64, '\0'));
    EXPECT_EXIT(dat2mtx(path("three").c_str()), testing::ExitedWithCode(1),
                "^load_mtx: can only handle 2D matrices...\nload_mtx: " + path("three") +
                    " is not a two-dimensional datfile\n$");
    EXPECT_EXIT(dat2mtx(path("missing").c_str()), testing::ExitedWithCode(1),
                "^d_open: File " + path("missing") + " does not exist\nAborting...\n$");
    std::filesystem::create_directories(path("busy"));
    auto m = held(calloc_mtx(1, 1));
    EXPECT_EXIT(mtx2dat(m, path("busy").c_str()), testing::ExitedWithCode(1),
                "^d_open: non datfile directory " + path("busy") + "\nCannot open file " +
                    path("busy") + "\n$");
    make_datfile(path("short"), "(_data_type double)\n(_byte_order lsb)\n(_dimensions 2 2 )\n",
                 std::string(16, '\0'));
    EXPECT_EXIT(dat2mtx(path("short").c_str()), testing::ExitedWithCode(1),
                "_dread: early EOF on ");
}

// The header is rewritten, larger, when the datfile is closed: with a file
// size limit one byte below its final size, everything but that last
// header write succeeds. (Messages may be cut by the same limit.)
TEST_F(Bridge, AHeaderThatCannotBeWrittenEndsTheProcessWithStatusOne) {
    auto m = held(calloc_mtx(1, 1));
    mtx2dat(m, path("whole.dat").c_str());
    const rlim_t header = slurp(path("whole.dat/descriptor")).size();
    ASSERT_GT(header, 9u);
    auto write_limited = [&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {header - 1, header - 1};
        setrlimit(RLIMIT_FSIZE, &limit);
        mtx2dat(m, path("cut.dat").c_str());
        exit(0);
    };
    EXPECT_EXIT(write_limited(), testing::ExitedWithCode(1), "");
}
