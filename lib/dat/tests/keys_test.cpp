#include <string>

#include "dat.h"
#include "scratch.h"

namespace {

class Keys : public Scratch {
protected:
    DATFILE *open_with(const std::string &descriptor) {
        make_datfile(path("k"), descriptor, "");
        return d_open(path("k").c_str(), "r+");
    }
};

}  // namespace

TEST_F(Keys, DuplicatesKeptAndFirstOneWins) {
    DATFILE *h = open_with("(k 1)\n(k 2)\n");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey(h, "k"), "1");
    EXPECT_EQ(h->db_flag & 1, 0);
    EXPECT_EQ(d_setkey(h, "k", "one"), 0);
    EXPECT_EQ(h->db_flag & 1, 1);
    EXPECT_EQ(d_appkey(h, "k", "+"), 0);
    EXPECT_EQ(d_setkey(h, "K", "cap"), 0);  // keys compare case-sensitively
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(path("k/descriptor")), "(k one+)\n(k 2)\n(K cap)\n");
}

TEST_F(Keys, AppendBuildsWordLists) {
    DATFILE *h = open_with("");
    ASSERT_NE(h, nullptr);
    const char *words[] = {"alpha", "be(ta"};
    EXPECT_EQ(d_appkey_strvec(h, "list", 2, words), 0);
    EXPECT_STREQ(d_getkey(h, "list"), "alpha be(ta ");
    EXPECT_EQ(d_appkey(h, "new", "x"), 0);
    EXPECT_STREQ(d_getkey(h, "new"), "x");
    EXPECT_EQ(d_flush(h), 0);
    EXPECT_EQ(h->db_flag & 1, 0);
    EXPECT_EQ(slurp(path("k/descriptor")), "(list alpha be\\(ta )\n(new x)\n");
    d_close(h);
}

TEST_F(Keys, ElementLookupByWord) {
    DATFILE *h = open_with("(d 480 640 )\n(lead   7 8)\n");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey_elem(h, "d", 0), "480 640 ");
    EXPECT_STREQ(d_getkey_elem(h, "d", 1), "640 ");
    EXPECT_STREQ(d_getkey_elem(h, "d", 2), "");
    EXPECT_STREQ(d_getkey_elem(h, "d", 9), "");
    EXPECT_STREQ(d_getkey_elem(h, "lead", 0), "  7 8");  // one blank went with the key
    EXPECT_STREQ(d_getkey_elem(h, "lead", 1), "7 8");
    EXPECT_EQ(d_getkey_elem(h, "missing", 0), nullptr);
    d_close(h);
}
