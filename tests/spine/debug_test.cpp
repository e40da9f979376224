// Debug output: prefix, newlines, conditions, and whole lines from two
// threads; the com_mode table of the configuration file.
#include "main/tr111.h"
#include "main/tr111_main.h"
#include "tests/support/capture.h"
#include "tests/support/proc.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>

using namespace tr111test;

static constexpr char TR111_MODULE[] = "TR111_test";

namespace {

// Each returns the line of its logging statement.
// clang-format off
int log_error() { TR111_ERR("plain error"); return __LINE__; }
int log_info() { TR111_INFOF("formatted %d\n", 42); return __LINE__; }
int log_unterminated() { TR111_ERRF("no newline %s", "here"); return __LINE__; }
// clang-format on

} // namespace

TEST(DebugOutput, PrefixNewlinesAndConditions) {
    struct Case {
        int activ;
        unsigned level;
        bool error, info;
    } cases[] = {
        {0, 0, false, false},         {0, 9, false, false}, {1, 0, true, false},
        {1, 2, true, false},          {1, 3, true, true},   {-1, 3, true, true},
        {1, 0xFFFFFFFFu, true, true},
    };
    for (const auto& c : cases) {
        DebugSwitches sw(c.activ, c.level);
        CaptureStdout cap;
        int el = log_error();
        int il = log_info();
        std::string want;
        if (c.error) want += "TR111_test[" + std::to_string(el) + "] In log_error: plain error\n\n";
        if (c.info) want += "TR111_test[" + std::to_string(il) + "] In log_info: formatted 42\n\n";
        EXPECT_EQ(cap.text(), want) << "activ " << c.activ << " level " << c.level;
    }
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    int ul = log_unterminated();
    EXPECT_EQ(cap.text(),
              "TR111_test[" + std::to_string(ul) + "] In log_unterminated: no newline here\n");
}

TEST(DebugOutput, LongLinesAreCutAndStillEnd) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    std::string big(10000, 'x');
    TR111_ERR(big.c_str());
    TR111_ERRF("%s", big.c_str());
    auto out = cap.text();
    auto ls = lines(out);
    ASSERT_EQ(ls.size(), 4u); // two lines, each followed by an empty one
    EXPECT_LT(ls[0].size(), TR111_LINE_MAX);
    EXPECT_EQ(ls[1], "");
    EXPECT_LT(ls[2].size(), TR111_LINE_MAX);
    EXPECT_EQ(ls[3], "");
}

TEST(DebugOutput, TwoThreadsWriteWholeLinesToAFile) {
    DebugSwitches sw(1, 3);
    CaptureStdout cap; // a regular file
    auto writer = [](char c) {
        std::string body(300, c);
        for (int i = 0; i < 2000; ++i)
            TR111_INFOF("%s %d\n", body.c_str(), i);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    const std::regex line("TR111_test\\[\\d+\\] In operator\\(\\): (a{300}|b{300}) \\d+");
    int whole = 0;
    for (const auto& l : lines(cap.text())) {
        if (l.empty()) continue;
        ASSERT_TRUE(std::regex_match(l, line)) << l.substr(0, 80);
        ++whole;
    }
    EXPECT_EQ(whole, 4000);
}

TEST(ConfigFile, ComModeTable) {
    TempDir dir;
    std::string path = dir.path() + "/config.txt";
    struct Case {
        const char* text;
        int32_t mode;
    } cases[] = {
        {"com_mode 0\n", 2},
        {"com_mode 1\n", 1},
        {"com_mode\t2\r\n", 0},
        {"other 5\nmore text\n", 2},
        {"", 2},
        {"com_mode\n", -1},
        {"com_mode abc\n", -1},
        {"com_mode 3\n", -1},
        {"com_mode 2x\n", -1},
        {"com_mode 1\ncom_mode 0\n", 2},              // the last one wins
        {"com_mode 1\ncom_mode 7\ncom_mode 0\n", -1}, // a bad one stops reading
        {"#com_mode 1\n", 2},                         // anything in front: not the key
        {"com_modeX 1\n", 1},                         // only 8 characters compared
        {"   com_mode   2   \n", 0},
    };
    for (const auto& c : cases) {
        write_file(path, c.text);
        EXPECT_EQ(get_lib_msg_comm_mode(path.c_str()), c.mode) << '"' << c.text << '"';
    }
    // A line of more than 79 characters is read in pieces, each a line.
    write_file(path, std::string(79, 'x') + "com_mode 1\n");
    EXPECT_EQ(get_lib_msg_comm_mode(path.c_str()), 1);
    EXPECT_EQ(get_lib_msg_comm_mode((dir.path() + "/missing").c_str()), -1);
}
