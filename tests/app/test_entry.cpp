#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "app/command_line.h"
#include "app/json_text.h"
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

    scripted::SetHorizon(100);  // a line taken for a capture ends here, without an exit code
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
                                           std::vector<std::string>{"--hwnd", "778"},
                                           std::vector<std::string>{"--app", ""},
                                           std::vector<std::string>{"--app", "bin/player"},
                                           std::vector<std::string>{"--include", "5", "--app", "C:\\player.exe"},
                                           std::vector<std::string>{"--app", std::string(261, 'a')},
                                           // Names no Windows file can have, so that none ever matches.
                                           std::vector<std::string>{"--app", "C:player.exe"},
                                           std::vector<std::string>{"--app", "player."},
                                           std::vector<std::string>{"--app", "player.exe "},
                                           std::vector<std::string>{"--app", "play\x1f" "er"},
                                           std::vector<std::string>{"--app", "play|er"},
                                           std::vector<std::string>{"--app", "play*"},
                                           std::vector<std::string>{"--app", "caf\xe9"},  // not UTF-8
                                           // Include-side and exclude-side words together, or an added 0.
                                           std::vector<std::string>{"--mix", "5", "--app", "a"},
                                           std::vector<std::string>{"--exclude", "5", "--add-include", "6"},
                                           std::vector<std::string>{"--add-hwnd", "777", "--add-exclude", "6"},
                                           std::vector<std::string>{"--hwnd", "777", "--add-exclude", "3"},
                                           std::vector<std::string>{"--add-include", "5", "--add-include", "0"},
                                           std::vector<std::string>{"--add-hwnd", "778"},
                                           // Format values read strictly, each word once, in every mode.
                                           std::vector<std::string>{"--include", "5", "--rate", "7999"},
                                           std::vector<std::string>{"--rate", "192001", "--exclude", "5"},
                                           std::vector<std::string>{"--include", "5", "--rate", "+16000"},
                                           std::vector<std::string>{"--include", "5", "--rate", " 16000"},
                                           std::vector<std::string>{"--include", "5", "--rate", "16000 "},
                                           std::vector<std::string>{"--include", "5", "--rate", ""},
                                           std::vector<std::string>{"--include", "5", "--rate",
                                                                    "99999999999999999999948000"},
                                           std::vector<std::string>{"--mix", "5", "--channels", "0"},
                                           std::vector<std::string>{"--app", "a", "--channels", "3"},
                                           std::vector<std::string>{"--include", "5", "--format", "S16LE"},
                                           std::vector<std::string>{"--hwnd", "777", "--format", "f32"},
                                           std::vector<std::string>{"--include", "5", "--rate", "16000", "--rate",
                                                                    "16000"},
                                           std::vector<std::string>{"--format", "f32le", "--add-exclude", "5",
                                                                    "--format", "s16le"},
                                           std::vector<std::string>{"--rate", "16000"}));

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
    PcmFormat format = {};
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
    const WAVEFORMATEX asked = WaveFormatOf(c.format);
    ASSERT_EQ(scripted::Streams().size(), 1u);
    EXPECT_EQ(std::memcmp(&scripted::Streams()[0].format, &asked, sizeof(asked)), 0);
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
                                                    "READY 4294967295\n"},
                                           // One distinct pid however named: the one stream.
                                           ModeCase{{"--include", "5", "--add-include", "5"}, 5, 0, "READY 5\n"},
                                           ModeCase{{"--include", "0", "--add-hwnd", "777"}, 31, 0, "READY 31\n"},
                                           ModeCase{{"--add-exclude", "6", "--exclude", "6"}, 6, 1, "READY 6\n"},
                                           ModeCase{{"--rate", "8000", "--include", "5", "--channels", "1"}, 5, 0,
                                                    "READY 5\n", {8000, 1, SampleType::kS16}},
                                           ModeCase{{"--format", "f32le", "--hwnd", "777", "--rate", "0192000"}, 31,
                                                    0, "READY 31\n", {192000, 2, SampleType::kF32}},
                                           ModeCase{{"--exclude", "5", "--format", "s16le", "--channels", "2",
                                                     "--rate", "48000"}, 5, 1, "READY 5\n"}));

// App mode probes on pcmtap's own tree; with nothing running the app it
// opens no other stream, and writes silence.
TEST_F(EntryTest, AppModeAnnouncesTheTreesItFoundAfterItsProbe) {
    scripted::SetHorizon(2500);
    const auto run = RunMain({"--app", std::string(260, 'a'), "--app", "b"});
    EXPECT_EQ(run.err, "READY app 0\n");
    ASSERT_EQ(scripted::Activations().size(), 1u);
    EXPECT_EQ(scripted::Activations()[0].params.ProcessLoopbackParams.TargetProcessId, 4242u);
    EXPECT_GE(run.out.size(), 2 * 48000 * 4u);
    EXPECT_EQ(run.out.find_first_not_of('\0'), std::string::npos);
}

// Several trees on mix mode's machinery, after a probe on pcmtap's own: the
// named ones (one named twice, one inside another's tree), or every audible
// one but those named.
TEST_F(EntryTest, SeveralTargetsMixTheirTreesAndAnnounceTheCount) {
    struct Case {
        Arguments args;
        const char* ready;
        std::vector<DWORD> opened;
    };
    Case cases[] = {
        {{"--include", "5", "--add-include", "7", "--add-include", "5", "--add-include", "8"}, "READY include 2\n",
         {4242, 5, 7}},
        {{"--add-include", "7", "--app", "Player"}, "READY include 2\n", {4242, 7, 9}},
        {{"--exclude", "5", "--add-exclude", "7", "--rate", "16000", "--channels", "1"}, "READY exclude 1\n",
         {4242, 9}},
    };
    for (Case& c : cases) {
        scripted::Reset();
        scripted::SetProcesses({{1, 0, L"shell.exe"}, {5, 1, L"a.exe"}, {7, 1, L"discord.exe"}, {8, 7, L"c.exe"},
                                {9, 1, L"player.exe"}});
        scripted::SetEndpoints({{{{AudioSessionStateActive, false, 5}, {AudioSessionStateActive, false, 8},
                                  {AudioSessionStateActive, false, 9}}}});
        scripted::SetHorizon(1500);
        const auto run = scripted::Run([&] { return PcmtapMain(c.args.argc(), c.args.argv()); });
        EXPECT_EQ(run.err, c.ready);
        std::vector<DWORD> opened;
        for (const scripted::Activation& activation : scripted::Activations()) {
            opened.push_back(activation.params.ProcessLoopbackParams.TargetProcessId);
            EXPECT_EQ(activation.params.ProcessLoopbackParams.ProcessLoopbackMode, 0);
        }
        EXPECT_EQ(opened, c.opened);
    }
}

TEST(JsonTextTest, EscapesWhateverAProcessCallsItself) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"plain.exe", R"("plain.exe")"},
        {L"say \"hi\"\\ok", R"("say \"hi\"\\ok")"},
        {std::wstring(L"\x01\t\n\x1f\x7f") + L'\0', "\"\\u0001\\u0009\\u000A\\u001F\x7f\\u0000\""},
        {std::wstring(L"caf\u00e9 \u266b ") + wchar_t(0xD83C) + wchar_t(0xDFB5), "\"caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5\""},
        {std::wstring{L'a', wchar_t(0xD83C), L'b', wchar_t(0xDFB5), wchar_t(0xDFB5), wchar_t(0xD83C)},
         R"("a\uFFFDb\uFFFD\uFFFD\uFFFD")"},
    };
    for (const auto& [text, json] : cases) {
        std::string out;
        AppendJsonString(out, text);
        EXPECT_EQ(out, json);
    }
}

// Three processes own sessions: one paused, one protected, one whose
// parent's pid was reused; windows: an owned dialog, an invisible one and
// an untitled one come before the main window in z-order.
TEST_F(EntryTest, ListPrintsEachProcessWithASessionOnceAsJsonAndExits) {
    scripted::SetProcesses({{1, 0, L"Shell.exe", 10, L"C:\\shell.exe"},
                            {20, 1, L"Zed.exe", 20, L"C:\\Apps\\Zed.exe"},
                            {30, 1, L"audiodg.exe", 20, L"C:\\audiodg.exe", true},
                            {40, 50, L"b\"\\.exe", 20, L"C:\\other.exe"},
                            {50, 1, L"late.exe", 30}});
    scripted::Endpoint speakers, headset;
    speakers.sessions = {{AudioSessionStateInactive, false, 20}, {AudioSessionStateActive, false, 40},
                         {AudioSessionStateExpired, false, 1}, {AudioSessionStateActive, true, 0}};
    headset.sessions = {{AudioSessionStateActive, false, 20}, {AudioSessionStateInactive, false, 30},
                        {AudioSessionStateActive, false, 99}};  // 99 has gone
    scripted::SetEndpoints({speakers, headset});
    for (const uint64_t hwnd : {100, 101, 102, 103, 104}) scripted::SetWindow(hwnd, 20);
    scripted::SetWindowLook(100, L"Save as", true, 104);
    scripted::SetWindowLook(101, L"hidden", false);
    scripted::SetWindowLook(103, L"Zed \u2014 song");
    scripted::SetWindowLook(104, L"later");
    const auto run = RunMain({"--include", "5", "--list"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "{\"pid\":40,\"parent\":null,\"name\":\"b\\\"\\\\.exe\",\"path\":null,\"active\":true,\"window\":null,"
              "\"host\":null}\n"
              "{\"pid\":20,\"parent\":1,\"name\":\"Zed.exe\",\"path\":\"C:\\\\Apps\\\\Zed.exe\",\"active\":true,"
              "\"window\":\"Zed \xe2\x80\x94 song\",\"host\":null}\n"
              "{\"pid\":30,\"parent\":1,\"name\":\"audiodg.exe\",\"path\":null,\"active\":false,\"window\":null,"
              "\"host\":null}\n");
    EXPECT_THAT(scripted::Activations(), IsEmpty());
    EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
}

// A desktop as users meet it: a browser playing from its windowless audio
// service, an app playing through WebView2's, a tray process started by
// the shell, and a WebView2 process whose app has gone. A console gets the
// lines as UTF-16.
TEST_F(EntryTest, ListNamesWindowlessPlayersByTheirAppOnAConsole) {
    scripted::SetProcesses({{1, 0, L"explorer.exe", 10},
                            {60, 1, L"Browser.exe", 20}, {61, 60, L"Browser.exe", 30},
                            {70, 1, L"Chat.exe", 20}, {71, 70, L"msedgewebview2.exe", 30},
                            {72, 71, L"MSEdgeWebView2.exe", 40}, {80, 1, L"tray.exe", 20},
                            {90, 99, L"msedgewebview2.exe", 20}});
    scripted::Endpoint speakers;
    for (const DWORD pid : {61, 72, 80, 90}) speakers.sessions.push_back({AudioSessionStateActive, false, pid});
    scripted::SetEndpoints({speakers});
    const std::wstring chat_title{L'C', L'h', L'a', L't', L' ', wchar_t(0xD83C), wchar_t(0xDFB5)};
    const std::pair<uint64_t, DWORD> windows[] = {{200, 1}, {201, 1}, {210, 60}, {220, 70}};
    for (const auto& [hwnd, pid] : windows) scripted::SetWindow(hwnd, pid);
    scripted::SetShellWindow(200);
    scripted::SetWindowLook(200, L"Program Manager");
    scripted::SetWindowLook(201, L"Downloads");
    scripted::SetWindowLook(210, L"P\u00e1gina \u2014 Browser");
    scripted::SetWindowLook(220, chat_title);
    scripted::SetStdoutConsole(true);
    const auto run = RunMain({"--list"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.console,
              L"{\"pid\":61,\"parent\":60,\"name\":\"Browser.exe\",\"path\":null,\"active\":true,"
              L"\"window\":\"P\u00e1gina \u2014 Browser\",\"host\":null}\n"
              L"{\"pid\":72,\"parent\":71,\"name\":\"MSEdgeWebView2.exe\",\"path\":null,\"active\":true,"
              L"\"window\":\"" + chat_title + L"\",\"host\":\"Chat.exe\"}\n"
              L"{\"pid\":90,\"parent\":null,\"name\":\"msedgewebview2.exe\",\"path\":null,\"active\":true,"
              L"\"window\":null,\"host\":null}\n"
              L"{\"pid\":80,\"parent\":1,\"name\":\"tray.exe\",\"path\":null,\"active\":true,"
              L"\"window\":null,\"host\":null}\n");
}

}  // namespace
