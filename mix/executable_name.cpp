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
    // The table maps one unit to one unit: names of other lengths never match.
    if (a.size() != b.size()) return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// argv is in the process's code page (UTF-8: the manifest asks for it, and
// Linux has no other). A value it cannot convert is no name at all, rather
// than one with U+FFFD in it, which would match every other such name.
std::wstring AppNameFromArgument(const char* text) {
    // Enough to be too long; a sequence cut here leaves a name refused either way.
    const int length = static_cast<int>(std::min<size_t>(strlen(text), 4 * MAX_PATH + 4));
    if (length == 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');  // never more units than bytes
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, length, wide.data(), length);
    wide.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return wide;
}

// What Windows refuses in a file name: the separators ('/' is one too), the
// characters it reserves (':' also makes "C:name" a drive-relative path),
// control characters, and a trailing dot or space, which it strips.
bool IsValidAppName(std::wstring_view name) {
    if (name.empty() || name.size() > MAX_PATH || name.back() == L'.' || name.back() == L' ') return false;
    return std::none_of(name.begin(), name.end(), [](wchar_t unit) {
        return unit < 0x20 || std::wstring_view(L"\\/<>:\"|?*").find(unit) != std::wstring_view::npos;
    });
}
