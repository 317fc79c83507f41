// Number words and the option table shared by both programs' command lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "cli.h"
#include "options.h"
#include "ordered.h"

TEST(CommandLine, NumbersAreWholeWordsAndCountsHaveNoSign) {
    const struct {
        const char *text;
        bool whole;
        int value;
        bool count;
    } cases[] = {
        {"0", true, 0, true},
        {"42", true, 42, true},
        {"+7", true, 7, false},
        {"-3", true, -3, false},
        {"007", true, 7, true},
        {"99999999999", true, INT_MAX, false},
        {"-99999999999", true, INT_MIN, false},
        {"", false, 0, false},
        {"+", false, 0, false},
        {"1x", false, 0, false},
        {" 1", false, 0, false},
        {"1.0", false, 0, false},
        {"0x10", false, 0, false},
    };
    for (const auto &c : cases) {
        int v = -12345, n = -12345;
        EXPECT_EQ(parse_whole_number(c.text, &v), c.whole) << c.text;
        if (c.whole) {
            EXPECT_EQ(v, c.value) << c.text;
        }
        EXPECT_EQ(parse_count(c.text, &n), c.count) << c.text;
        if (c.count) {
            EXPECT_EQ(n, c.value) << c.text;
        }
    }
}

// Whole words before first letters, attached values, a value missing at
// the end, and the first positional argument.
TEST(CommandLine, OptionRowsTakeTheirWords) {
    std::string seen;
    auto note = [&](const char *w, const char *v) {
        seen += std::string(w) + "=" + (v ? v : "(none)") + " ";
    };
    const std::vector<OptionRow> rows = {
        {"-s", OptionRow::first_letter, OptionRow::none, note},
        {"-smooth", OptionRow::whole, OptionRow::next, note},
        {"-j", OptionRow::first_letter, OptionRow::attached_or_next, note},
        {"-d", OptionRow::first_letter, OptionRow::next, note},
        {"--x", OptionRow::whole, OptionRow::none, note},
    };
    const struct {
        std::vector<const char *> args;
        std::string seen;
        int first;  // -1: an unknown word
    } cases[] = {
        {{"-s", "-scale", "-smooth", "3", "a"}, "-s=(none) -scale=(none) -smooth=3 ", 5},
        {{"-j4", "-j", "2", "--x", "-", "b"}, "-j4=4 -j=2 --x=(none) ", -1},
        {{"-dd", "1", "pos", "-s"}, "-dd=1 ", 3},
        {{"-d"}, "-d=(none) ", 2},
        {{"--xy"}, "", -1},
        {{}, "", 1},
    };
    for (const auto &c : cases) {
        seen.clear();
        std::vector<char *> argv = {(char *)"prog"};
        for (const char *a : c.args) argv.push_back((char *)a);
        int first = 0;
        try {
            first = parse_options((int)argv.size(), argv.data(), rows,
                                  [](const char *w) { throw std::string(w); });
        } catch (const std::string &) {
            first = -1;
        }
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(first, c.first) << c.seen;
    }
    char *late[] = {(char *)"prog", (char *)"a", (char *)"-b", (char *)"-c"};
    EXPECT_STREQ(late_option(4, late, 1), "-b");
    EXPECT_EQ(late_option(2, late, 1), nullptr);
}

// Taken in order whatever the threads do, never more than `ahead` begun
// past the last taken, nothing begun after a stop.
TEST(OrderedRunner, TakesInOrderWithinTheWindow) {
    for (int threads : {1, 2, 5})
        for (int ahead : {0, 1, 3})
            for (int stop_at : {-1, 4}) {
                const int n = 40;
                std::mutex mu;
                int begun = 0, taken = 0, widest = 0;
                std::vector<int> order;
                const bool ran = run_in_order(
                    n, threads, ahead,
                    [&](int i) {
                        {
                            std::lock_guard<std::mutex> hold(mu);
                            begun++;
                            widest = std::max(widest, begun - taken);
                        }
                        std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
                    },
                    [&](int i) {
                        std::lock_guard<std::mutex> hold(mu);
                        order.push_back(i);
                        taken = i + 1;
                        return i != stop_at;
                    });
                ASSERT_TRUE(ran);
                const int expect = stop_at < 0 ? n : stop_at + 1;
                ASSERT_EQ((int)order.size(), expect);
                for (int i = 0; i < expect; i++) EXPECT_EQ(order[i], i);
                EXPECT_TRUE(ahead == 0 || widest <= ahead) << threads << " " << widest;
                EXPECT_TRUE(ahead == 0 || begun <= expect + ahead) << threads << " " << begun;
            }
}
