#include "mix/executable_name.h"

#include <algorithm>
#include <cstring>

namespace {

std::wstring_view WithoutExe(std::wstring_view name) {
    constexpr std::wstring_view kExe = L".exe";
    if (name.size() > kExe.size() &&
        CompareStringOrdinal(name.data() + name.size() - kExe.size(), static_cast<int>(kExe.size()), kExe.data(),
                             static_cast<int>(kExe.size()), TRUE) == CSTR_EQUAL)
        name.remove_suffix(kExe.size());
    return name;
}

}  // namespace

bool IsExecutableNamed(std::wstring_view exe_name, std::wstring_view wanted) {
    if (exe_name.empty() || wanted.empty()) return false;
    const std::wstring_view a = WithoutExe(exe_name), b = WithoutExe(wanted);
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// argv is in the process's code page (UTF-8 on Linux); what it cannot
// convert becomes U+FFFD, which no file name holds on Windows.
std::wstring AppNameFromArgument(const char* text) {
    const int length = static_cast<int>(std::min<size_t>(strlen(text), 4 * MAX_PATH + 4));  // enough to be too long
    if (length == 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');  // never more units than bytes
    const int units = MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), length);
    wide.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return wide;
}

// '/' is a separator on Windows too.
bool IsValidAppName(std::wstring_view name) {
    return !name.empty() && name.size() <= MAX_PATH && name.find_first_of(L"\\/") == std::wstring_view::npos;
}
