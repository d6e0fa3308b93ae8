#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EntryTest : public ScriptedTest {
protected:
    scripted::RunResult RunMain(Arguments args) {
        return scripted::Run([&] { return PcmtapMain(args.argc(), args.argv()); });
    }
};

class ArgumentErrorTest : public EntryTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ArgumentErrorTest, ReportsArgsAndTouchesNothing) {
    std::vector<std::string> strings{"pcmtap"};
    strings.insert(strings.end(), GetParam().begin(), GetParam().end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const auto run = scripted::Run([&] { return PcmtapMain(static_cast<int>(strings.size()), argv.data()); });
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ERROR args 0x80070057\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(scripted::CallCount("_setmode"), 0);
    EXPECT_EQ(scripted::CallCount("CoInitializeEx"), 0);
    EXPECT_THAT(scripted::Activations(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Lines, ArgumentErrorTest,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--include"},
                                           std::vector<std::string>{"5"},
                                           std::vector<std::string>{"--include", "abc"},
                                           std::vector<std::string>{"--include", "0"},
                                           std::vector<std::string>{"--frobnicate", "9"},
                                           std::vector<std::string>{"--Include", "5"},
                                           std::vector<std::string>{"--hwnd", "0x10"},
                                           std::vector<std::string>{"--hwnd", "778"}));

TEST_F(EntryTest, FailedComInitialisationEndsBeforeAnyAudio) {
    scripted::SetResult("CoInitializeEx", static_cast<HRESULT>(0x8001010Eu));
    const auto run = RunMain({"--include", "5"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ERROR coinit 0x8001010e\n");
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(scripted::CallsMatching({"_setmode", "CoInitializeEx", "Activate"}),
                ElementsAre("_setmode", "CoInitializeEx"));
}

// A console gets no PCM: the run ends before stdout's mode is touched, COM
// is joined or any audio is opened, whatever the mode.
TEST_F(EntryTest, AConsoleOnStdoutIsRefusedBeforeAnythingIsOpened) {
    for (const char* option : {"--include", "--exclude", "--mix"}) {
        scripted::Reset();
        scripted::SetStdoutConsole(true);
        const auto run = RunMain({option, "5"});
        EXPECT_EQ(run.exit_code, 1) << option;
        EXPECT_EQ(run.err, "ERROR output 0x80070032\n") << option;
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(scripted::CallsMatching({"_setmode", "CoInitializeEx", "Activate*", "CoCreateInstance"}), IsEmpty())
            << option;
    }
    scripted::Reset();
    scripted::SetHorizon(100);
    const auto piped = RunMain({"--include", "5"});
    EXPECT_EQ(piped.err, "READY 5\n") << "a pipe, a file or the NUL device is no console";
}

struct ModeCase {
    std::vector<std::string> args;
    DWORD pid;
    DWORD mode;
    const char* ready;
};

class ModeTest : public EntryTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeTest, OpensTheChosenStreamAndAnnouncesIt) {
    const ModeCase& c = GetParam();
    scripted::SetWindow(777, 31);
    scripted::SetResult("CoInitializeEx", S_FALSE);  // already initialised: goes on
    scripted::SetHorizon(2500);
    std::vector<std::string> strings{"pcmtap"};
    strings.insert(strings.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const auto run = scripted::Run([&] { return PcmtapMain(static_cast<int>(strings.size()), argv.data()); });
    EXPECT_FALSE(run.exit_code.has_value()) << "the relay runs until stdout fails";
    EXPECT_EQ(run.err, c.ready);
    const auto activations = scripted::Activations();
    ASSERT_EQ(activations.size(), 1u);
    EXPECT_EQ(activations[0].params.ProcessLoopbackParams.TargetProcessId, c.pid);
    EXPECT_EQ(static_cast<DWORD>(activations[0].params.ProcessLoopbackParams.ProcessLoopbackMode), c.mode);
    EXPECT_THAT(scripted::CallsMatching({"_setmode", "CoInitializeEx", "ActivateAudioInterfaceAsync"}),
                ElementsAre("_setmode", "CoInitializeEx", "ActivateAudioInterfaceAsync"));
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeTest,
                         ::testing::Values(ModeCase{{"--include", "5"}, 5, 0, "READY 5\n"},
                                           ModeCase{{"--exclude", "5"}, 5, 1, "READY 5\n"},
                                           ModeCase{{"--exclude", "5", "--include", "7"}, 7, 1, "READY 7\n"},
                                           ModeCase{{"--include", "5", "extra"}, 5, 0, "READY 5\n"},
                                           ModeCase{{"--hwnd", "777"}, 31, 0, "READY 31\n"},
                                           ModeCase{{"--include", "4294967296"}, 4294967295u, 0,
                                                    "READY 4294967295\n"}));

}  // namespace
