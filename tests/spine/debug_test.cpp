// Debug output: prefix, newlines, conditions, cut lines (whole lines from
// two threads: the burst of tests/faults, through tr111d); the com_mode key
// of the configuration file; the debug key of the configuration database.
#include "main/tr111_main.h"
#include "tests/support/capture.h"
#include "tests/support/script_db.h"

using namespace tr111test;

static constexpr char TR111_MODULE[] = "TR111_test";

namespace {

// Each returns the line of its logging statement.
// clang-format off
int log_error() { TR111_ERR("plain error"); return __LINE__; }
int log_info() { TR111_INFOF("formatted %d\n", 42); return __LINE__; }
int log_unterminated() { TR111_ERRF("no newline %s", "here"); return __LINE__; }
// clang-format on

std::string prefix(const char* function, int line) {
    return "TR111_test[" + std::to_string(line) + "] In " + function + ": ";
}

} // namespace

TEST(DebugOutput, PrefixNewlinesConditionsAndCutLines) {
    // Debug activation, level, and which lines show: error, informational.
    const std::tuple<int, unsigned, bool, bool> cases[] = {
        {0, 9, false, false}, {1, 2, true, false}, {-1, 3, true, true}, {1, ~0u, true, true}};
    for (const auto& [activ, level, error, info] : cases) {
        DebugSwitches sw(activ, level);
        CaptureStdout cap;
        int el = log_error(), il = log_info();
        std::string want;
        if (error) want += prefix("log_error", el) + "plain error\n\n";
        if (info) want += prefix("log_info", il) + "formatted 42\n\n";
        EXPECT_EQ(cap.text(), want) << "activ " << activ << " level " << level;
    }
    DebugSwitches sw(1, 0);
    CaptureStdout cap;
    int ul = log_unterminated();
    // Longer than a line: cut, and still followed by its empty line.
    std::string big(10000, 'x');
    TR111_ERR(big.c_str());
    TR111_ERRF("%s", big.c_str());
    auto ls = lines(cap.text());
    ASSERT_EQ(ls.size(), 5u);
    EXPECT_EQ(ls[0], prefix("log_unterminated", ul) + "no newline here");
    EXPECT_TRUE(std::max(ls[1].size(), ls[3].size()) < TR111_LINE_MAX && ls[2] + ls[4] == "");
}

TEST(ConfigFile, ComModeTable) {
    TempDir dir;
    std::string path = dir.path() + "/config.txt";
    const std::pair<const char*, int32_t> cases[] = {
        {"com_mode 0\n", 2},
        {"  com_mode\t2\r\n", 0},
        {"com_mode 2x\n", -1},
        {"com_mode 1\ncom_mode 0\n", 2},              // the last one wins
        {"com_mode 1\ncom_mode 7\ncom_mode 0\n", -1}, // a bad one stops reading
        {"com_modeX 1\n#com_mode 0\n", 1},            // the key's first 8 characters
    };
    for (const auto& [text, mode] : cases) {
        write_file(path, text);
        EXPECT_EQ(get_lib_msg_comm_mode(path.c_str()), mode) << '"' << text << '"';
    }
}

TEST(DebugKey, OnlyZeroOrOneKept) {
    ScriptDb server;        // (the other values: through tr111d in tests/daemon)
    DebugSwitches sw(0, 0); // its lines are written whatever the switches
    server.set("/KELMO/TR111/tr111_debug", "-1");
    CaptureStdout cap;
    EXPECT_EQ(get_debug_activation_status(), 0);
    EXPECT_EQ(cap.text(), "get_debug_activation_status : activ_status=-1\n"
                          "get_debug_activation_status :return 0\n");
    server.stop();
    EXPECT_EQ(get_debug_activation_status(), -1); // no database: debug output on
}
