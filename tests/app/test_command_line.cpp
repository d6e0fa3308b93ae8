#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "tests/doubles/scripted_test.h"

namespace {

struct DecimalCase {
    const char* text;
    uint64_t max;
    uint64_t expected;
};

class ParseDecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(ParseDecimalTest, ConvertsAsTheCLibraryDoes) {
    const DecimalCase& c = GetParam();
    EXPECT_EQ(ParseDecimal(c.text, c.max), c.expected) << "text \"" << c.text << "\"";
}

constexpr uint64_t k32 = UINT32_MAX;
constexpr uint64_t k64 = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Conversions, ParseDecimalTest,
    ::testing::Values(DecimalCase{"1234", k32, 1234}, DecimalCase{"", k32, 0}, DecimalCase{"abc", k32, 0},
                      DecimalCase{"12abc", k32, 12}, DecimalCase{" \t\n\v\f\r12", k32, 12},
                      DecimalCase{"+7", k32, 7}, DecimalCase{"-1", k32, 4294967295u},
                      DecimalCase{"-4294967295", k32, 1}, DecimalCase{"-0", k32, 0},
                      DecimalCase{"- 5", k32, 0}, DecimalCase{"+-5", k32, 0},
                      DecimalCase{"4294967295", k32, 4294967295u}, DecimalCase{"4294967296", k32, 4294967295u},
                      DecimalCase{"-4294967296", k32, 4294967295u},
                      DecimalCase{"99999999999999999999999", k32, 4294967295u},
                      DecimalCase{"0x10", k32, 0}, DecimalCase{"0x10", k64, 0}, DecimalCase{"010", k32, 10},
                      DecimalCase{"18446744073709551615", k64, k64}, DecimalCase{"18446744073709551616", k64, k64},
                      DecimalCase{"-1", k64, k64}, DecimalCase{"4294967296", k64, 4294967296u},
                      DecimalCase{"\xa0" "5", k32, 0}));

struct LineCase {
    std::vector<std::string> args;
    DWORD pid;
    bool exclude;
    bool mix;
};

class ParseCommandLineTest : public ScriptedTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ParseCommandLineTest, PairsPrecedenceAndLastPidWins) {
    const LineCase& c = GetParam();
    scripted::SetWindow(777, 31);
    scripted::SetWindow(uint64_t{1} << 40, 32);
    std::vector<std::string> strings{"pcmtap"};
    strings.insert(strings.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const CommandLine line = ParseCommandLine(static_cast<int>(strings.size()), argv.data());
    EXPECT_EQ(line.pid, c.pid);
    EXPECT_EQ(line.exclude, c.exclude);
    EXPECT_EQ(line.mix, c.mix);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseCommandLineTest,
    ::testing::Values(
        LineCase{{"--include", "5"}, 5, false, false}, LineCase{{"--exclude", "5"}, 5, true, false},
        LineCase{{"--mix", "5"}, 5, false, true}, LineCase{{"--include", "5", "--include", "7"}, 7, false, false},
        LineCase{{"--exclude", "5", "--include", "7"}, 7, true, false},
        LineCase{{"--mix", "5", "--exclude", "7"}, 7, true, true},
        LineCase{{"--include", "5", "--frobnicate", "9"}, 5, false, false},
        LineCase{{"--include", "5", "--exclude"}, 5, false, false},  // unpaired last word is ignored
        LineCase{{"--frobnicate", "9"}, 0, false, false},
        LineCase{{"--Include", "5", "--mixer", "6", "--hwnd2", "777", "--include "}, 0, false, false},
        LineCase{{"--include", "abc"}, 0, false, false}, LineCase{{"--include", "0"}, 0, false, false},
        LineCase{{"--include", "5", "--include", "0"}, 0, false, false},
        LineCase{{"--include", "4294967296"}, 4294967295u, false, false},
        LineCase{{"--hwnd", "777"}, 31, false, false}, LineCase{{"--hwnd", "1099511627776"}, 32, false, false},
        LineCase{{"--exclude", "3", "--hwnd", "777"}, 31, true, false},
        // A handle that names no window leaves the pid as it was.
        LineCase{{"--include", "9", "--hwnd", "778"}, 9, false, false},
        LineCase{{"--hwnd", "0x10"}, 0, false, false},
        // The value word is consumed even when it looks like an option.
        LineCase{{"--include", "--mix", "8"}, 0, false, false}));

TEST_F(ScriptedTest, ListIsAWordAloneAndAppTakesEveryNameFromTheCodePage) {
    struct Case {
        Arguments args;
        bool list;
        DWORD pid;
        bool mix;
        std::vector<std::wstring> app_names;
        std::vector<DWORD> add_include = {}, add_exclude = {};
    };
    scripted::SetWindow(777, 31);
    Case cases[] = {
        {{"--list"}, true, 0, false, {}},
        {{"--include", "5", "--list", "--mix", "6"}, true, 6, true, {}},  // the pairs go on after it
        {{"--app", "--list"}, false, 0, false, {L"--list"}},
        {{"--app", "a", "--include", "3", "--app", "B.exe"}, false, 3, false, {L"a", L"B.exe"}},
        {{"--app", "caf\xc3\xa9 \xf0\x9f\x8e\xb5"}, false, 0, false, {L"caf\u00e9 \xd83c\xdfb5"}},
        // Added pids never set the pid of the four options.
        {{"--include", "3", "--add-include", "12abc", "--add-hwnd", "777", "--add-hwnd", "778", "--add-exclude", "-1"},
         false, 3, false, {}, {12, 31, 0}, {4294967295u}},
    };
    for (Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.args.argc(), c.args.argv());
        EXPECT_EQ(line.list, c.list);
        EXPECT_EQ(line.pid, c.pid);
        EXPECT_EQ(line.mix, c.mix);
        EXPECT_EQ(line.app, !c.app_names.empty());
        EXPECT_EQ(line.app_names, c.app_names);
        EXPECT_EQ(line.add_include, c.add_include);
        EXPECT_EQ(line.add_exclude, c.add_exclude);
    }
}

TEST_F(ScriptedTest, HwndConvertsTheHandleWithoutTruncation) {
    scripted::SetWindow(0x123456789ABull, 44);
    Arguments args{"--hwnd", "1250999896491"};
    EXPECT_EQ(ParseCommandLine(args.argc(), args.argv()).pid, 44u);
    EXPECT_EQ(scripted::CallCount("GetWindowThreadProcessId"), 1);
}

// A Store app's top-level window belongs to the frame host; the app owns
// the frame's CoreWindow child, while it is not suspended or minimised.
TEST_F(ScriptedTest, HwndOfAStoreAppFrameCapturesTheApp) {
    struct Case {
        const char* label;
        const wchar_t* owner_exe;
        const wchar_t* child_class;  // null: no child window
        DWORD pid;
    };
    const Case cases[] = {
        {"frame host with its CoreWindow", L"ApplicationFrameHost.exe", L"Windows.UI.Core.CoreWindow", 71},
        {"frame host of a suspended app", L"ApplicationFrameHost.exe", nullptr, 70},
        {"frame host with another child", L"ApplicationFrameHost.exe", L"Chrome_WidgetWin_0", 70},
        {"an ordinary window", L"player.exe", L"Windows.UI.Core.CoreWindow", 70},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        scripted::SetProcesses({{70, 1, c.owner_exe}, {71, 1, L"Music.UI.exe"}});
        scripted::SetWindow(500, 70);
        if (c.child_class != nullptr) scripted::SetChildWindow(501, 500, 71, c.child_class);
        Arguments args{"--hwnd", "500"};
        EXPECT_EQ(ParseCommandLine(args.argc(), args.argv()).pid, c.pid);
        EXPECT_THAT(scripted::OpenHandles(), ::testing::IsEmpty());
    }
}

}  // namespace
