// The /proc snapshot against the real system: this test process and children
// it starts from copies of sleep(1) under chosen names.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

extern char** environ;

namespace {

struct Found {
    DWORD parent;
    std::wstring exe;
};

std::optional<Found> FindInSnapshot(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    PROCESSENTRY32W record;
    std::memset(&record, 0xAB, sizeof record);
    record.dwSize = sizeof record;
    std::optional<Found> found;
    BOOL more = Process32FirstW(snapshot, &record);
    for (; more; more = Process32NextW(snapshot, &record))
        if (record.th32ProcessID == pid) found = Found{record.th32ParentProcessID, record.szExeFile};
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(CloseHandle(snapshot));
    return found;
}

std::wstring Units(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

// A child running a copy of sleep(1) named `name`; removed and reaped on destruction.
struct Child {
    std::filesystem::path dir;
    std::filesystem::path exe;
    pid_t pid = -1;

    explicit Child(const std::string& name) {
        dir = std::filesystem::temp_directory_path() / ("pcmtap-process-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        exe = dir / name;
        std::filesystem::copy_file("/bin/sleep", exe, std::filesystem::copy_options::overwrite_existing);
        std::string path = exe.string(), seconds = "30";
        char* argv[] = {path.data(), seconds.data(), nullptr};
        // glibc's posix_spawn returns once the child has run exec.
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid = -1;
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

TEST(ProcessSnapshot, FindsThisProcessWithItsParentAndExecutableName) {
    const std::optional<Found> self = FindInSnapshot(static_cast<DWORD>(getpid()));
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->parent, static_cast<DWORD>(getppid()));
    // argv[0]'s base name, which glibc keeps apart from /proc.
    const std::string own_name = program_invocation_short_name;
    EXPECT_EQ(self->exe, std::wstring(own_name.begin(), own_name.end()));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

struct NameCase {
    const char* label;
    std::string file_name;  // bytes on disk
    std::u16string expected;
};

TEST(ProcessSnapshot, ExecutableNamesArriveAsUtf16CodeUnits) {
    const NameCase cases[] = {
        {"ascii", "Player.EXE", u"Player.EXE"},
        {"two-byte", "pl\xC3\xA4yer", u"pl\u00E4yer"},
        {"three-byte", "\xE5\xA3\xB0\xE9\x9F\xB3", u"\u58F0\u97F3"},
        {"beyond the BMP", "tone-\xF0\x9F\x8E\xB5", u"tone-\U0001F3B5"},
        {"named as if removed", "player (deleted)", u"player (deleted)"},
        // Bytes Windows has no name for: no name, not one U+FFFD name for all.
        {"stray byte", "a\xFFz", u""},
        {"overlong slash", "a\xC0\xAFz", u""},
        {"encoded surrogate", "a\xED\xA0\x80z", u""},
        {"cut short at the end", "a\xE2\x82", u""},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.label);
        Child child(c.file_name);
        ASSERT_GT(child.pid, 0);
        const std::optional<Found> found = FindInSnapshot(static_cast<DWORD>(child.pid));
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->parent, static_cast<DWORD>(getpid()));
        EXPECT_EQ(found->exe, Units(c.expected));
    }
}

TEST(ProcessSnapshot, RemovedExecutableKeepsItsPlainName) {
    Child child("gone-player");
    ASSERT_GT(child.pid, 0);
    std::filesystem::remove(child.exe);
    const std::optional<Found> found = FindInSnapshot(static_cast<DWORD>(child.pid));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->exe, L"gone-player");
}

// The native list, with a name that ends its /proc/PID/stat field twice.
TEST(ProcessSnapshot, NativeListGivesEveryProcessItsParentAndCreationTime) {
    Child child("player) (1");
    ASSERT_GT(child.pid, 0);
    ULONG size = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemProcessInformation, nullptr, 0, &size), STATUS_INFO_LENGTH_MISMATCH);
    std::vector<LONGLONG> buffer(size / sizeof(LONGLONG) + 4096);
    ASSERT_EQ(NtQuerySystemInformation(SystemProcessInformation, buffer.data(), buffer.size() * 8, &size), 0);
    std::map<uintptr_t, SYSTEM_PROCESS_INFORMATION> listed;  // by pid
    for (ULONG offset = 0, next = 1; next != 0; offset += next) {
        ASSERT_LE(offset + sizeof(SYSTEM_PROCESS_INFORMATION), size);
        SYSTEM_PROCESS_INFORMATION record;
        std::memcpy(&record, reinterpret_cast<const BYTE*>(buffer.data()) + offset, sizeof record);
        listed[reinterpret_cast<uintptr_t>(record.UniqueProcessId)] = record;
        next = record.NextEntryOffset;
    }
    const SYSTEM_PROCESS_INFORMATION &self = listed[getpid()], &parent = listed[getppid()], &started = listed[child.pid];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(self.InheritedFromUniqueProcessId), static_cast<uintptr_t>(getppid()));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(started.InheritedFromUniqueProcessId), static_cast<uintptr_t>(getpid()));
    EXPECT_GT(parent.CreateTime.QuadPart, 0);
    EXPECT_LE(parent.CreateTime.QuadPart, self.CreateTime.QuadPart);
    EXPECT_LE(self.CreateTime.QuadPart, started.CreateTime.QuadPart);
}

TEST(ProcessSnapshot, RefusesBadArgumentsAsWindowsDoes) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    struct Case {
        const char* label;
        HANDLE handle;
        bool null_record;
        DWORD size;
        DWORD error;
    };
    const Case cases[] = {
        {"null handle", nullptr, false, sizeof(PROCESSENTRY32W), ERROR_INVALID_HANDLE},
        {"invalid handle value", INVALID_HANDLE_VALUE, false, sizeof(PROCESSENTRY32W), ERROR_INVALID_HANDLE},
        {"an event", event, false, sizeof(PROCESSENTRY32W), ERROR_INVALID_HANDLE},
        {"null record", snapshot, true, 0, ERROR_INVALID_PARAMETER},
        {"size not set", snapshot, false, 0, ERROR_BAD_LENGTH},
        {"size one short", snapshot, false, sizeof(PROCESSENTRY32W) - 1, ERROR_BAD_LENGTH},
    };
    for (const Case& c : cases) {
        for (const bool first : {true, false}) {
            SCOPED_TRACE(std::string(c.label) + (first ? " (first)" : " (next)"));
            PROCESSENTRY32W record;
            std::memset(&record, 0xAB, sizeof record);
            record.dwSize = c.size;
            SetLastError(0xDEADBEEF);
            PROCESSENTRY32W* const target = c.null_record ? nullptr : &record;
            const BOOL ok = first ? Process32FirstW(c.handle, target) : Process32NextW(c.handle, target);
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(record.th32ProcessID, 0xABABABABu) << "a refused call wrote the record";
        }
    }
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(snapshot));
}

TEST(ProcessSnapshot, FirstStartsTheWalkAgainAndEndsWithNoMoreFiles) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W record{};
    record.dwSize = sizeof record;
    std::vector<DWORD> walks[2];
    for (std::vector<DWORD>& walk : walks) {
        for (BOOL more = Process32FirstW(snapshot, &record); more; more = Process32NextW(snapshot, &record))
            walk.push_back(record.th32ProcessID);
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_FALSE(Process32NextW(snapshot, &record));
    }
    EXPECT_FALSE(walks[0].empty());
    EXPECT_EQ(walks[0], walks[1]) << "the snapshot changed between walks";
    EXPECT_TRUE(CloseHandle(snapshot));
}

TEST(ProcessSnapshot, WithoutTheProcessFlagHoldsNoProcesses) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(0, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W record{};
    record.dwSize = sizeof record;
    EXPECT_FALSE(Process32FirstW(snapshot, &record));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(CloseHandle(snapshot));
}

}  // namespace

// OpenProcess and QueryFullProcessImageNameW: a live child's path; one unit
// too little room refused; an exited child (a zombie, then reaped) has no
// path, and once reaped its pid opens no more, nor does pid 0.
TEST(ProcessHandle, GivesImagePathsAsWindowsDoes) {
    Child child("pl\xC3\xA4yer");
    ASSERT_GT(child.pid, 0);
    const auto pid = static_cast<DWORD>(child.pid);
    const std::string dir = child.dir.string();
    const std::wstring expected = std::wstring(dir.begin(), dir.end()) + L"/pl\u00E4yer";
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(process, nullptr) << "error " << GetLastError();
    WCHAR path[MAX_PATH];
    DWORD size = static_cast<DWORD>(expected.size());
    EXPECT_FALSE(QueryFullProcessImageNameW(process, 0, path, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    size = MAX_PATH;
    ASSERT_TRUE(QueryFullProcessImageNameW(process, 0, path, &size));
    EXPECT_EQ(std::wstring(path, size + 1), expected + L'\0');

    kill(child.pid, SIGKILL);
    siginfo_t exited{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &exited, WEXITED | WNOWAIT), 0);
    for (const HANDLE handle : {process, OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)}) {
        size = MAX_PATH;
        EXPECT_FALSE(QueryFullProcessImageNameW(handle, 0, path, &size));
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE) << "a zombie opens, without a path";
        EXPECT_TRUE(CloseHandle(handle));
    }
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
    for (const DWORD gone : {0u, pid}) {
        EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, gone), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

// A handle held for waiting: it answers WAIT_TIMEOUT while the child runs and
// WAIT_OBJECT_0 from its end on (a zombie, then reaped, whatever holds its pid
// later); GetProcessTimes keeps its creation time throughout. Without
// SYNCHRONIZE, waiting is refused.
TEST(ProcessHandle, HeldHandleSeesTheEndAndKeepsTheCreationTime) {
    Child child("player");
    ASSERT_GT(child.pid, 0);
    const auto pid = static_cast<DWORD>(child.pid);
    const HANDLE held = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    const HANDLE query = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(held, nullptr) << "error " << GetLastError();
    ASSERT_NE(query, nullptr);
    const auto created = [](HANDLE process) {
        FILETIME times[4] = {{0xdeadbeef, 0xdeadbeef}};
        EXPECT_TRUE(GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3])) << GetLastError();
        return (uint64_t{times[0].dwHighDateTime} << 32) | times[0].dwLowDateTime;
    };
    const uint64_t at_open = created(held);
    EXPECT_NE(at_open, 0u);
    EXPECT_NE(at_open, 0xdeadbeefdeadbeefu);
    EXPECT_EQ(WaitForSingleObject(held, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(query, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    kill(child.pid, SIGKILL);
    EXPECT_EQ(WaitForSingleObject(held, 5000), WAIT_OBJECT_0) << "ended, not yet reaped";
    // Not reaped, it has no executable, so no name (its comm is no name), but
    // stays in the table with its parent.
    const std::optional<Found> zombie = FindInSnapshot(pid);
    ASSERT_TRUE(zombie.has_value());
    EXPECT_EQ(zombie->parent, static_cast<DWORD>(getpid()));
    EXPECT_EQ(zombie->exe, L"");
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
    EXPECT_EQ(WaitForSingleObject(held, 0), WAIT_OBJECT_0);
    EXPECT_EQ(created(held), at_open);
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_TRUE(CloseHandle(query));
}
