#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "dat.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

class Open : public Scratch {
protected:
    void TearDown() override {
        unsetenv("PICPATH");
        Scratch::TearDown();
    }
    // Opens and returns what the open printed on stderr.
    std::string open_msg(const std::string &name, const char *mode, DATFILE **out) {
        testing::internal::CaptureStderr();
        *out = d_open(name.c_str(), mode);
        return testing::internal::GetCapturedStderr();
    }
};

}  // namespace

TEST_F(Open, WriteReplacesOldDatfileAndRegularFile) {
    make_datfile(path("old"), "(stale 1)\n", "0123456789");
    fs::create_directories(path("old/nested/deeper"));
    DATFILE *h = d_open(path("old").c_str(), "w");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d_getkey(h, "stale"), nullptr);
    EXPECT_EQ(d_close(h), 0);
    EXPECT_FALSE(fs::exists(path("old/nested")));
    EXPECT_EQ(slurp(path("old/descriptor")), "");
    EXPECT_EQ(fs::file_size(path("old/data")), 0u);

    spit(path("plain"), "text");
    h = d_open(path("plain").c_str(), "w");
    ASSERT_NE(h, nullptr);
    d_close(h);
    EXPECT_TRUE(fs::is_directory(path("plain")));
}

TEST_F(Open, RefusalsLeaveEverythingInPlace) {
    DATFILE *h;
    fs::create_directories(path("notdat"));
    spit(path("notdat/keep"), "k");
    EXPECT_EQ(open_msg(path("notdat"), "w", &h),
              "d_open: non datfile directory " + path("notdat") + "\n");
    EXPECT_EQ(slurp(path("notdat/keep")), "k");
    EXPECT_EQ(open_msg(path("notdat"), "r", &h),
              "d_open: Directory " + path("notdat") + " not datfile\n");
    EXPECT_EQ(open_msg(path("none"), "r", &h),
              "d_open: File " + path("none") + " does not exist\n");
    EXPECT_EQ(open_msg(path("none"), "x", &h),
              "d_open: unknown mode x for file " + path("none") + "\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(fs::exists(path("none")));
    DATFILE fake{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_close(&fake), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "d_close: File not open!?\n");
}

TEST_F(Open, PlainFileOpensWithoutHeader) {
    spit(path("raw"), "abc");
    DATFILE *h = d_open(path("raw").c_str(), "r");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->db_h, D_NOHEADER);
    EXPECT_EQ(d_getkey(h, "_data_type"), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_setkey(h, "k", "v"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "d_setkey: No header file\n");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(path("raw")), "abc");
}

TEST_F(Open, SearchPathResolution) {
    make_datfile(path("a/x"), "", "");
    make_datfile(path("b/y"), "", "");
    setenv("PICPATH", (path("a") + ":" + path("b")).c_str(), 1);
    std::string out;
    EXPECT_EQ(d_path("y", out), 1);
    EXPECT_EQ(out, path("b/y"));
    EXPECT_EQ(d_path("new", out), 0);
    EXPECT_EQ(out, path("a/new"));
    char buf[512];
    EXPECT_EQ(d_path("x", buf), 1);
    EXPECT_STREQ(buf, path("a/x").c_str());
    DATFILE *h = d_open("y", "r");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->db_name, path("b/y").c_str());
    d_close(h);

    setenv("PICPATH", (path("a") + "::" + path("b")).c_str(), 1);  // an empty entry ends the search
    EXPECT_EQ(d_path("y", out), 0);
    EXPECT_EQ(d_path("a/x", out), 0);  // names with "/" are taken as they are
    EXPECT_EQ(out, "a/x");
    unsetenv("PICPATH");
    EXPECT_EQ(d_path("q", out), 0);
    EXPECT_EQ(out, "./q");

    setenv("PICPATH", (":" + path("b")).c_str(), 1);
    EXPECT_EQ(d_path("y", out), -1);
    EXPECT_EQ(out, "./q");
    EXPECT_EQ(open_msg("y", "w", &h), "d_open: search path has no first entry for y\n");
    EXPECT_EQ(h, nullptr);
}

TEST_F(Open, LongPathsWork) {
    std::string deep = dir;
    for (int i = 0; i < 5; i++) deep += "/" + std::string(200, 'a' + i);
    fs::create_directories(deep);
    DATFILE *h = d_open((deep + "/m.dat").c_str(), "w");
    ASSERT_NE(h, nullptr);
    d_open_subfile(h, "sub", "w");  // closed at the end of the test
    d_setkey(h, "k", "v");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(deep + "/m.dat/descriptor"), "(k v)\n");
    EXPECT_TRUE(fs::exists(deep + "/m.dat/sub/descriptor"));
    setenv("PICPATH", deep.c_str(), 1);
    h = d_open("m.dat", "r");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey(h, "k"), "v");
    d_close(h);
    while (d_lastbuf > d_iob) d_close(d_iob[0]);
}

TEST_F(Open, HeaderOnlyHandle) {
    make_datfile(path("d"), "(a 1)\n", "");
    DATFILE *h = d_descr(path("d").c_str());
    ASSERT_NE(h, nullptr);
    d_setkey(h, "b", "2");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(path("d/descriptor")), "(a 1)\n(b 2)\n");
    fs::create_directories(path("nodesc"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_descr(path("nodesc").c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "loadhdr: No such file or directory\nd_descr: header of " + path("nodesc") +
                  " not found\n");
}

TEST_F(Open, TableLimitRefusesCleanlyAndAnyDescriptorWorks) {
    make_datfile(path("d"), "", "");
    std::vector<DATFILE *> hs;
    for (int i = 0; i < D_MAXFILES; i++) hs.push_back(d_descr(path("d").c_str()));
    DATFILE *h;
    EXPECT_EQ(open_msg(path("e"), "w", &h),
              "d_open: too many open datfiles, cannot open " + path("e") + "\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(fs::exists(path("e")));
    for (DATFILE *x : hs) d_close(x);

    // A parent that leaves hundreds of descriptors open: the data files land
    // far above the handle count, and transfers still find their state.
    std::vector<int> fds;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0) {
        fds.push_back(fd);
        if (fd > 300) break;
    }
    if (fd < 0) {
        for (int f : fds) close(f);
        GTEST_SKIP() << "descriptor limit below 300";
    }
    auto m = held(random_matrix(3, 4, 7));
    mtx2dat(m, path("hi").c_str());
    auto back = held(dat2mtx(path("hi").c_str()));
    for (int f : fds) close(f);
    EXPECT_EQ(memcmp(back->pix[0], m->pix[0], 12 * sizeof(double)), 0);
    EXPECT_EQ(d_lastbuf, d_iob);
}

TEST_F(Open, ExitAndFatalErrorsFlushOpenHandles) {
    const std::string name = path("x.dat");
    EXPECT_EXIT(
        {
            d_setkey(d_open(name.c_str(), "w"), "at", "exit");
            exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(slurp(name + "/descriptor"), "(at exit)\n");
    EXPECT_EXIT(
        {
            d_setkey(d_open(name.c_str(), "w"), "at", "fatal");
            _daterrh("broken %d on %s\n", 7, "x");
        },
        testing::ExitedWithCode(1), "^broken 7 on x\n$");
    EXPECT_EQ(slurp(name + "/descriptor"), "(at fatal)\n");
}

TEST_F(Open, ByteOrderWarnings) {
    DATFILE *h;
    make_datfile(path("nobo"), "(_data_type double)\n", "");
    EXPECT_EQ(open_msg(path("nobo"), "r", &h), "d_open: Warning--no byte order flag.\n");
    d_close(h);
    EXPECT_EQ(open_msg(path("nobo"), "a", &h), "d_open: Warning--no byte order flag for append.\n");
    d_close(h);
    make_datfile(path("msb"), "(_data_type signed_2)\n(_byte_order msb)\n", "");
    EXPECT_EQ(open_msg(path("msb"), "r", &h), "ATTN: byte order conversion will occur.\n");
    d_close(h);
}
