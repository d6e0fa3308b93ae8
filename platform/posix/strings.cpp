// Strings as Windows converts and compares them: the process's code page,
// which is UTF-8 here, and ordinal comparison through an upper-case table.
#include <locale.h>
#include <wctype.h>

#include <string>

#include "platform/win32.h"

namespace {

// Invalid UTF-8 (Linux file names are bytes) becomes U+FFFD, one per bad
// byte; false if there was any.
bool Utf16FromUtf8(const char* bytes, size_t size, std::wstring& units) {
    bool clean = true;
    size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        size_t length = 1;
        char32_t code = 0xFFFD;
        char32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            minimum = 0x10000;
        }
        bool valid = lead < 0x80 || length > 1;
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = i + k < size ? static_cast<unsigned char>(bytes[i + k]) : 0;
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            units.push_back(static_cast<wchar_t>(0xFFFD));
            clean = false;
            i += 1;
            continue;
        }
        if (code >= 0x10000) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(code));
        }
        i += length;
    }
    return clean;
}

// The C library's simple upper-case mapping of Unicode, one UTF-16 unit at a
// time (surrogates map to themselves), as Windows' table does; ASCII only
// where the C.UTF-8 locale is missing. Windows' table never takes a letter
// outside ASCII into it: dotless i (U+0131) and long s (U+017F) stay
// themselves, where Unicode's mapping gives I and S.
WCHAR Upper(WCHAR unit) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (unit >= L'a' && unit <= L'z') return static_cast<WCHAR>(unit - L'a' + L'A');
    if (unit < 0x80 || unicode == static_cast<locale_t>(0) || (unit >= 0xD800 && unit <= 0xDFFF)) return unit;
    const wint_t upper = towupper_l(static_cast<wint_t>(unit), unicode);
    return upper >= 0x80 && upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
}

size_t Length(LPCWCH text, int count) {
    if (count >= 0) return static_cast<size_t>(count);
    size_t length = 0;
    while (text[length] != L'\0') ++length;
    return length;
}

}  // namespace

int CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2, BOOL bIgnoreCase) {
    if (lpString1 == nullptr || lpString2 == nullptr || cchCount1 < -1 || cchCount2 < -1 ||
        (bIgnoreCase != FALSE && bIgnoreCase != TRUE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length1 = Length(lpString1, cchCount1), length2 = Length(lpString2, cchCount2);
    for (size_t i = 0; i < length1 && i < length2; ++i) {
        const WCHAR a = bIgnoreCase ? Upper(lpString1[i]) : lpString1[i];
        const WCHAR b = bIgnoreCase ? Upper(lpString2[i]) : lpString2[i];
        // Units compare as unsigned 16-bit values.
        if (a != b) return static_cast<uint16_t>(a) < static_cast<uint16_t>(b) ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return length1 == length2 ? CSTR_EQUAL : length1 < length2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if ((CodePage != CP_ACP && CodePage != CP_UTF8) || (dwFlags & ~MB_ERR_INVALID_CHARS) != 0 ||
        lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // With -1 the NUL is converted too.
    const size_t size = cbMultiByte >= 0 ? static_cast<size_t>(cbMultiByte) : std::char_traits<char>::length(lpMultiByteStr) + 1;
    std::wstring units;
    if (!Utf16FromUtf8(lpMultiByteStr, size, units) && (dwFlags & MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (units.size() > INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(units.size());
    if (units.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    units.copy(lpWideCharStr, units.size());
    return static_cast<int>(units.size());
}
