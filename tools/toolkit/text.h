// Text and numbers of the operator tools: checked numbers, hex bytes, floats that read back
// exactly, and quoting for people and for JSON. Pure functions; nothing here fails loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

using Bytes = std::vector<uint8_t>;

// Decimal or 0x-hexadecimal, no sign, no trailing text, at most max; *out untouched on false.
bool parseUnsigned(const std::string& text, uint32_t max, uint32_t* out);
// Hex digit pairs; ':', '-', '.' and blanks between pairs are skipped. False on an odd digit
// count or any other character.
bool parseHex(const std::string& text, Bytes* out);
// Lower-case hex, optionally with sep between bytes.
std::string toHex(const uint8_t* data, size_t len, char sep = '\0');
// Shortest decimal text that reads back as the same float; "nan", "inf", "-inf" otherwise.
std::string formatFloat(float value);
// Text in double quotes: valid UTF-8 and printable ASCII as they are, quotes and backslashes
// escaped, other bytes as C escapes (\n, \xNN).
std::string quoteText(const std::string& text);
// The same as a JSON string literal; bytes that are not valid UTF-8 become \u00XX.
std::string jsonString(const std::string& text);

} // namespace toolkit
