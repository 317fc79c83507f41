// List-file reading: layout independence, long names, empty and missing lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "mtxown.h"
#include "test_support.h"

namespace {

class ListFileTest : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::string &text) {
        std::string path = dir_ + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        return path;
    }

    // Reads a list, checking the progress text, and frees it.
    std::vector<std::string> read(const std::string &path) {
        int count = -1;
        testing::internal::CaptureStdout();
        std::unique_ptr<char *[], FreeDeleter> names(getFilename(path.c_str(), &count));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "Read filenames from " + path + "...Done\n");
        EXPECT_NE(names, nullptr);
        std::vector<std::string> result;
        for (int i = 0; i < count; i++) {
            std::unique_ptr<char, FreeDeleter> name(names[i]);
            result.push_back(name.get());
        }
        return result;
    }

    ScratchDir scratch_{"listtest"};
    std::string dir_ = scratch_.path();
};

TEST_F(ListFileTest, LayoutOfWhiteSpaceDoesNotMatter) {
    std::vector<std::string> expected = {"bg.list", "cars/list.txt", "faces.lst"};
    EXPECT_EQ(read(write("plain", "bg.list\ncars/list.txt\nfaces.lst\n")), expected);
    EXPECT_EQ(read(write("messy", "\n\nbg.list   \n\n \t cars/list.txt\t\t\n\n\nfaces.lst   \n\n")),
              expected);
    EXPECT_EQ(read(write("crlf", "bg.list\r\ncars/list.txt\r\nfaces.lst\r\n")), expected);
    EXPECT_EQ(read(write("oneline", "bg.list cars/list.txt faces.lst")), expected);
}

TEST_F(ListFileTest, NamesLongerThanTheUsualLimitAreKeptWhole) {
    std::string a(199, 'a'), b(200, 'b'), c(4096, 'c');
    EXPECT_EQ(read(write("long", a + "\n" + b + "\n" + c)), (std::vector<std::string>{a, b, c}));
}

TEST_F(ListFileTest, EntryBeyond4096BytesEndsTheReadAtOnce) {
    int count = 0;
    std::string path = write("toolong", "a.jpg\n" + std::string(4097, 'x') + "\nb.jpg\n");
    EXPECT_EXIT(getFilename(path.c_str(), &count), ::testing::ExitedWithCode(1),
                "list file " + path + " holds an entry longer than 4096 bytes");
    // An endless entry: the read stops at the limit instead of filling memory.
    EXPECT_EXIT(getFilename("/dev/zero", &count), ::testing::ExitedWithCode(1),
                "list file /dev/zero holds an entry longer than 4096 bytes");
}

TEST_F(ListFileTest, EmptyListGivesNoNames) {
    EXPECT_TRUE(read(write("empty", "")).empty());
    EXPECT_TRUE(read(write("blank", " \n\t\n\n")).empty());
}

TEST_F(ListFileTest, MissingListEndsWithMessageNamingIt) {
    std::string path = dir_ + "/no_such_list";
    int count = 0;
    EXPECT_EXIT(getFilename(path.c_str(), &count), ::testing::ExitedWithCode(1),
                "Error: can't open list file " + path);
    EXPECT_EXIT(getFilename(dir_.c_str(), &count), ::testing::ExitedWithCode(1),
                "list file " + dir_);
}

// Class files: the lines read up to the first unreadable one, never more
// than asked for; the classic reader stops on too few.
TEST_F(ListFileTest, ClassFilesGiveTheirReadableLines) {
    const std::string path = write("Qor_class_1", "0.5\t2.25\t1\t7\n1e-3\t-4\t0\t63\nx\t1\t2\t3\n");
    std::vector<ClassFileLine> lines;
    ASSERT_TRUE(read_class_file(path.c_str(), 100, &lines));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].cost, 1e-3);
    EXPECT_EQ(lines[1].md, -4.0);
    EXPECT_EQ(lines[1].index, 63);
    ASSERT_TRUE(read_class_file(path.c_str(), 1, &lines));
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_FALSE(read_class_file((dir_ + "/none").c_str(), 1, &lines));
    double cost[3], md[3];
    int level[3], index[3];
    ReadSalientFeatures(path.c_str(), 2, cost, md, level, index);
    EXPECT_EQ(level[0], 1);
    EXPECT_EQ(index[0], 7);
    EXPECT_EXIT(ReadSalientFeatures(path.c_str(), 3, cost, md, level, index),
                ::testing::ExitedWithCode(1),
                "Class file " + path + " holds 2 readable lines; 3 are needed");
}

}  // namespace
