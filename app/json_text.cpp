#include "app/json_text.h"

#include <cstdint>

namespace {

bool IsHigh(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

void AppendJsonString(std::string& out, std::wstring_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        // A wchar_t wider than 16 bits (Linux) holds one UTF-16 unit; a
        // larger value is no unit at all.
        uint32_t code = static_cast<uint32_t>(text[i]);
        if (IsHigh(code) && i + 1 < text.size() && IsLow(static_cast<uint32_t>(text[i + 1]))) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
        } else if (IsHigh(code) || IsLow(code) || code > 0xFFFF) {
            out += "\\uFFFD";
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20) {
            out += "\\u00";
            out += kHex[code >> 4];
            out += kHex[code & 0xF];
        } else {
            AppendUtf8(out, code);
        }
    }
    out += '"';
}
