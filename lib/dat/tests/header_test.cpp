#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "dat.h"
#include "scratch.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Parses text; returns the entries and what was printed on stderr.
Entries parse(const std::string &text, std::string *err = nullptr) {
    FILE *fp = fmemopen((void *)text.data(), text.size(), "r");
    testing::internal::CaptureStderr();
    d_token *h = parsehdr(fp);
    std::string msg = testing::internal::GetCapturedStderr();
    fclose(fp);
    if (err) *err = msg;
    Entries out;
    while (h) {
        out.emplace_back(h->d_key, h->d_value ? h->d_value : "<null>");
        d_token *next = h->d_next;
        free(h->d_key);
        free(h->d_value);
        free(h);
        h = next;
    }
    return out;
}

class Header : public Scratch {};

}  // namespace

TEST(Parse, EntriesInFileOrderWithLowerCaseKeys) {
    std::string err;
    EXPECT_EQ(parse("(_data_type double)\n(Key Value)\n (b\t1 2 )\n", &err),
              (Entries{{"_data_type", "double"}, {"key", "Value"}, {"b", "1 2 "}}));
    EXPECT_EQ(err, "");
}

TEST(Parse, ValueTextRules) {
    // Balanced brackets survive unescaped; backslash protects anything;
    // newlines, semicolons and extra blanks belong to the value.
    EXPECT_EQ(parse("(f g(x (y)) z)"), (Entries{{"f", "g(x (y)) z"}}));
    EXPECT_EQ(parse("(e a\\)b\\(c\\\\d\\;)"), (Entries{{"e", "a)b(c\\d;"}}));
    EXPECT_EQ(parse("(k  two;\nlines)"), (Entries{{"k", " two;\nlines"}}));
    EXPECT_EQ(parse("(empty)( alone )"), (Entries{{"empty", ""}, {"alone", ""}}));
}

TEST(Parse, CommentsNeverSwallowAnEntry) {
    std::string err;
    EXPECT_EQ(parse("; note (a 1) rest is comment ) x\n(b 2) ; tail\n", &err),
              (Entries{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(err, "");
}

TEST(Parse, StrayCharactersEndTheScanKeepingEarlierEntries) {
    std::string err;
    EXPECT_EQ(parse("(a 1)\nx (b 2)", &err), (Entries{{"a", "1"}}));
    EXPECT_EQ(err, "parsehdr: Illegal character x outside keys\n");
    EXPECT_EQ(parse("(a 1)) (b 2)", &err), (Entries{{"a", "1"}}));
    EXPECT_EQ(err, "parsehdr: Unbalanced LTOKEN and RTOKENs\n");
    EXPECT_EQ(parse("(a 1)(b 2 (c", &err), (Entries{{"a", "1"}, {"b", "2 (c"}}));
    EXPECT_EQ(err, "parsehdr: Unbalanced LTOKEN and RTOKENs\n");
}

TEST(Parse, KeysAndValuesHaveNoLengthLimit) {
    std::string key(700, 'k'), value(1500, 'v');
    EXPECT_EQ(parse("(" + key + " " + value + ")"), (Entries{{key, value}}));
}

TEST_F(Header, WriterEscapesAndReaderRestores) {
    const std::string name = path("h.dat");
    const char *tricky = "a(b)c;d\\e";
    DATFILE *h = d_open(name.c_str(), "w");
    ASSERT_NE(h, nullptr);
    d_setkey(h, "t", tricky);
    d_setkey(h, "e", "");
    d_setkey(h, "Caps", "x");
    EXPECT_EQ(d_close(h), 0);
    EXPECT_EQ(slurp(name + "/descriptor"), "(t a\\(b\\)c\\;d\\\\e)\n(e )\n(Caps x)\n");

    h = d_open(name.c_str(), "r");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey(h, "t"), tricky);
    EXPECT_STREQ(d_getkey(h, "e"), "");
    EXPECT_EQ(d_getkey(h, "Caps"), nullptr);
    EXPECT_STREQ(d_getkey(h, "caps"), "x");
    d_close(h);
}

TEST_F(Header, MalformedDescriptorStillOpens) {
    make_datfile(path("m"), "(a 1)\n(b 2)\n@ (c 3)\n", "");
    testing::internal::CaptureStderr();
    DATFILE *h = d_open(path("m").c_str(), "r");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "parsehdr: Illegal character @ outside keys\n");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d_getkey(h, "b"), "2");
    EXPECT_EQ(d_getkey(h, "c"), nullptr);
    d_close(h);
}
