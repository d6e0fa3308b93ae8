#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mix/process_table.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ProcessTableTest : public ScriptedTest {};

TEST_F(ProcessTableTest, LowerCasesAsciiCapitalsOnly) {
    struct Case {
        std::wstring snapshot_name;
        std::wstring stored;
    };
    const Case cases[] = {
        {L"PLAYER.EXE", L"player.exe"},
        {L"Player.Exe", L"player.exe"},
        {L"AZ", L"az"},
        {L"@[`{", L"@[`{"},  // the neighbours of 'A'..'Z' and 'a'..'z'
        {L"CAF\u00C9.EXE", L"caf\u00C9.exe"},
        {L"\u0391\u03A3\uFF21", L"\u0391\u03A3\uFF21"},  // Greek and full-width capitals stay
        {L" Spaced Name.EXE ", L" spaced name.exe "},
        {L"", L""},
        {std::wstring(259, L'Q'), std::wstring(259, L'q')},
    };
    std::vector<scripted::Process> processes;
    DWORD pid = 100;
    for (const Case& c : cases) processes.push_back({pid++, 1, c.snapshot_name});
    scripted::SetProcesses(processes);

    const ProcessTable table = SnapshotProcesses();

    ASSERT_EQ(table.size(), std::size(cases));
    pid = 100;
    for (const Case& c : cases) {
        const auto found = table.find(pid++);
        ASSERT_NE(found, table.end());
        EXPECT_EQ(found->second.exe_name, c.stored);
    }
}

TEST_F(ProcessTableTest, StoresEveryRecordAsGivenAndTheLastRecordForAPidWins) {
    scripted::SetProcesses({
        {0, 0, L"[System Process]"},
        {700, 4, L"old.exe"},
        {4, 0, L"System"},
        {0xFFFFFFFF, 12345, L"orphan.exe"},  // parent names no process
        {700, 9, L"New.exe"},
    });

    const ProcessTable table = SnapshotProcesses();

    ASSERT_EQ(table.size(), 4u);
    std::vector<DWORD> pids;
    for (const auto& [pid, entry] : table) pids.push_back(pid);
    EXPECT_THAT(pids, ElementsAre(0u, 4u, 700u, 0xFFFFFFFFu));
    EXPECT_EQ(table.at(0).exe_name, L"[system process]");
    EXPECT_EQ(table.at(0).parent_pid, 0u);
    EXPECT_EQ(table.at(700).parent_pid, 9u);
    EXPECT_EQ(table.at(700).exe_name, L"new.exe");
    EXPECT_EQ(table.at(0xFFFFFFFF).parent_pid, 12345u);
}

TEST_F(ProcessTableTest, WalksTheSnapshotOnceAndClosesIt) {
    scripted::SetProcesses({{1, 0, L"a"}, {2, 1, L"b"}, {3, 1, L"c"}});

    SnapshotProcesses();

    EXPECT_THAT(scripted::Calls(), ElementsAre("CreateToolhelp32Snapshot", "Process32FirstW", "Process32NextW",
                                               "Process32NextW", "Process32NextW", "CloseHandle(snapshot)"));
    EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
}

TEST_F(ProcessTableTest, FailuresGivePartialTablesAndAlwaysCloseWhatWasOpened) {
    struct Case {
        const char* call;
        int nth;
        std::vector<DWORD> pids;
        bool closes;
    };
    const Case cases[] = {
        {"CreateToolhelp32Snapshot", 1, {}, false},
        {"Process32FirstW", 1, {}, true},
        {"Process32NextW", 1, {10}, true},
        {"Process32NextW", 2, {10, 20}, true},
        {"Process32NextW", 3, {10, 20, 30}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        scripted::Reset();
        scripted::SetProcesses({{10, 0, L"a"}, {20, 10, L"b"}, {30, 10, L"c"}, {40, 30, L"d"}});
        scripted::SetResult(c.call, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), c.nth);

        const ProcessTable table = SnapshotProcesses();

        std::vector<DWORD> pids;
        for (const auto& [pid, entry] : table) pids.push_back(pid);
        EXPECT_EQ(pids, c.pids);
        EXPECT_EQ(scripted::CallCount("CloseHandle(snapshot)"), c.closes ? 1 : 0);
        EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
        EXPECT_THAT(scripted::Violations(), IsEmpty());
    }
}

}  // namespace
