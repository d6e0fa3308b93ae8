// JSON text for what other processes name themselves, which can hold anything.
#pragma once

#include <string>
#include <string_view>

// Appends text, UTF-16, as a JSON string in UTF-8: quote and backslash
// escaped, control characters as \u00XX, and every unit that is no valid
// UTF-16 (a lone surrogate) as \uFFFD, so that the line always parses.
void AppendJsonString(std::string& out, std::wstring_view text);
