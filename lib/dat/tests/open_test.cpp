#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dat.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

class Open : public Scratch {
protected:
    std::string saved_picpath;
    bool had_picpath = false;

    void SetUp() override {
        Scratch::SetUp();
        if (const char *p = getenv("PICPATH")) {
            had_picpath = true;
            saved_picpath = p;
        }
    }
    void TearDown() override {
        if (had_picpath)
            setenv("PICPATH", saved_picpath.c_str(), 1);
        else
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

TEST_F(Open, WriteMakesDirectoryWithDescriptorAndData) {
    DATFILE *h = d_open(path("n.dat").c_str(), "w");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->db_name, path("n.dat").c_str());
    EXPECT_NE(h->db_h, D_NOHEADER);
    EXPECT_EQ(h->db_h, nullptr);
    EXPECT_EQ(d_close(h), 0);
    EXPECT_TRUE(fs::is_directory(path("n.dat")));
    EXPECT_EQ(slurp(path("n.dat/descriptor")), "");
    EXPECT_TRUE(fs::is_regular_file(path("n.dat/data")));
}

TEST_F(Open, WriteReplacesOldDatfileAndRegularFile) {
    make_datfile(path("old"), "(stale 1)\n", "0123456789");
    fs::create_directories(path("old/nested/deeper"));
    spit(path("old/nested/deeper/f"), "x");
    DATFILE *h = d_open(path("old").c_str(), "w");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d_getkey(h, "stale"), nullptr);
    d_close(h);
    EXPECT_FALSE(fs::exists(path("old/nested")));
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
    EXPECT_EQ(open_msg(path("notdat"), "w", &h), "d_open: non datfile directory " + path("notdat") + "\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(slurp(path("notdat/keep")), "k");
    EXPECT_EQ(open_msg(path("notdat"), "r", &h), "d_open: Directory " + path("notdat") + " not datfile\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(open_msg(path("none"), "r", &h), "d_open: File " + path("none") + " does not exist\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(open_msg(path("none"), "x", &h),
              "d_open: unknown mode x for file " + path("none") + "\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(fs::exists(path("none")));
}

TEST_F(Open, PlainFileOpensWithoutHeader) {
    spit(path("raw"), "abc");
    DATFILE *h = d_open(path("raw").c_str(), "r");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->db_h, D_NOHEADER);
    EXPECT_EQ(d_getkey(h, "_data_type"), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_setkey(h, "k", "v"), -1);
    EXPECT_EQ(d_appkey(h, "k", "v"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "d_setkey: No header file\nd_appkey: No header file\n");
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
    EXPECT_EQ(d_path("x", out), 1);
    EXPECT_EQ(out, path("a/x"));
    EXPECT_EQ(d_path("new", out), 0);
    EXPECT_EQ(out, path("a/new"));
    char buf[512];
    EXPECT_EQ(d_path("y", buf), 1);
    EXPECT_STREQ(buf, path("b/y").c_str());

    DATFILE *h = d_open("y", "r");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->db_name, path("b/y").c_str());
    d_close(h);
    h = d_open("z", "w");  // created in the first entry
    ASSERT_NE(h, nullptr);
    d_close(h);
    EXPECT_TRUE(fs::exists(path("a/z/descriptor")));

    // An empty entry ends the search.
    setenv("PICPATH", (path("a") + "::" + path("b")).c_str(), 1);
    EXPECT_EQ(d_path("y", out), 0);
    EXPECT_EQ(out, path("a/y"));

    // Names with "/" are taken as they are.
    EXPECT_EQ(d_path(path("b/y").c_str(), out), 1);
    EXPECT_EQ(d_path("a/x", out), 0);
    EXPECT_EQ(out, "a/x");
}

TEST_F(Open, SearchPathDefaultsToCurrentDirectory) {
    unsetenv("PICPATH");
    std::string out;
    EXPECT_EQ(d_path("q", out), 0);
    EXPECT_EQ(out, "./q");
}

TEST_F(Open, SearchPathWithoutFirstEntryFailsCleanly) {
    setenv("PICPATH", (":" + path("a")).c_str(), 1);
    std::string out = "untouched";
    EXPECT_EQ(d_path("q", out), -1);
    EXPECT_EQ(out, "untouched");
    DATFILE *h;
    EXPECT_EQ(open_msg("q", "w", &h), "d_open: search path has no first entry for q\n");
    EXPECT_EQ(h, nullptr);
    setenv("PICPATH", "", 1);
    EXPECT_EQ(d_open("q", "r"), nullptr);
}

TEST_F(Open, LongPathsWork) {
    std::string deep = dir;
    for (int i = 0; i < 5; i++) deep += "/" + std::string(200, 'a' + i);
    fs::create_directories(deep);
    std::string name = deep + "/m.dat";
    DATFILE *h = d_open(name.c_str(), "w");
    ASSERT_NE(h, nullptr);
    d_setkey(h, "k", "v");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(name + "/descriptor"), "(k v)\n");

    setenv("PICPATH", deep.c_str(), 1);
    h = d_open("m.dat", "r");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey(h, "k"), "v");
    d_close(h);
}

TEST_F(Open, SubfilesLiveInsideTheParent) {
    DATFILE *p = d_open(path("p").c_str(), "w");
    ASSERT_NE(p, nullptr);
    DATFILE *s = d_open_subfile(p, "s", "w");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->db_name, path("p/s").c_str());
    d_setkey(s, "inner", "1");
    EXPECT_EQ(d_close_subfile(s), 0);
    d_close(p);
    EXPECT_EQ(slurp(path("p/s/descriptor")), "(inner 1)\n");
}

TEST_F(Open, HeaderOnlyHandle) {
    make_datfile(path("d"), "(a 1)\n", "");
    DATFILE *h = d_descr(path("d").c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->db_fp, nullptr);
    d_setkey(h, "b", "2");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(path("d/descriptor")), "(a 1)\n(b 2)\n");

    fs::create_directories(path("nodesc"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_descr(path("nodesc").c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "loadhdr: No such file or directory\nd_descr: header of " + path("nodesc") + " not found\n");
}

TEST_F(Open, CloseOfUnknownHandle) {
    DATFILE fake{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_close(&fake), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "d_close: File not open!?\n");
}

TEST_F(Open, TableOrderAfterClose) {
    DATFILE *a = d_open(path("a").c_str(), "w");
    DATFILE *b = d_open(path("b").c_str(), "w");
    DATFILE *c = d_open(path("c").c_str(), "w");
    EXPECT_EQ(d_lastbuf - d_iob, 3);
    d_close(a);  // the last slot moves into the freed one
    EXPECT_EQ(d_lastbuf - d_iob, 2);
    EXPECT_EQ(d_iob[0], c);
    EXPECT_EQ(d_iob[1], b);
    d_close(b);
    d_close(c);
    EXPECT_EQ(d_lastbuf, d_iob);
}

TEST_F(Open, MoreThanTableSizeIsRefused) {
    make_datfile(path("d"), "", "");
    std::vector<DATFILE *> hs;
    for (int i = 0; i < D_MAXFILES; i++) {
        DATFILE *h = d_descr(path("d").c_str());
        ASSERT_NE(h, nullptr);
        hs.push_back(h);
    }
    DATFILE *h;
    EXPECT_EQ(open_msg(path("e"), "w", &h), "d_open: too many open datfiles, cannot open " + path("e") + "\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(fs::exists(path("e")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(d_descr(path("d").c_str()), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    for (DATFILE *x : hs) d_close(x);
    EXPECT_EQ(d_lastbuf, d_iob);
}

TEST_F(Open, HighDescriptorIsRefused) {
    // Occupy every descriptor below the bound so the data file lands above it.
    std::vector<int> held;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0) {
        held.push_back(fd);
        if (fd >= D_MAXFILES) break;
    }
    if (fd < 0) {
        for (int f : held) close(f);
        GTEST_SKIP() << "descriptor limit below " << D_MAXFILES;
    }
    DATFILE *h;
    std::string msg = open_msg(path("hi"), "w", &h);
    for (int f : held) close(f);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(msg.rfind("d_open: descriptor ", 0), 0u) << msg;
    EXPECT_NE(msg.find("out of range"), std::string::npos) << msg;
    EXPECT_EQ(d_lastbuf, d_iob);
}

TEST_F(Open, ExitFlushesOpenHandles) {
    const std::string name = path("exit.dat");
    EXPECT_EXIT(
        {
            DATFILE *h = d_open(name.c_str(), "w");
            d_setkey(h, "kept", "yes");
            exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(slurp(name + "/descriptor"), "(kept yes)\n");
}

TEST_F(Open, FatalHandlerFlushesAndEndsOnlyThisProcess) {
    const std::string name = path("fatal.dat");
    EXPECT_EXIT(
        {
            DATFILE *h = d_open(name.c_str(), "w");
            d_setkey(h, "kept", "yes");
            _daterrh("broken %d on %s\n", 7, "x");
        },
        testing::ExitedWithCode(1), "^broken 7 on x\n$");
    EXPECT_EQ(slurp(name + "/descriptor"), "(kept yes)\n");
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
    make_datfile(path("one"), "(_data_type unsigned_1)\n", "");
    EXPECT_EQ(open_msg(path("one"), "r", &h), "");
    d_close(h);
}
