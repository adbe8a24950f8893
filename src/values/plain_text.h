// Small helpers for plain byte texts that several modules share: ASCII letter case, NUL bytes
// shown readably, UTF-8 encoding.
#ifndef INVOKEMODULE_VALUES_PLAIN_TEXT_H_
#define INVOKEMODULE_VALUES_PLAIN_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

// A-Z as a-z; every other byte, 0x80 and above too, unchanged.
constexpr char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
// Inline: every command lower-cases the extension's name in place.
inline void lowerAsciiInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}
std::string toLowerAscii(std::string_view text);

// Whether `text` ends with `end`, in any ASCII letter case.
bool endsWithIgnoringCase(std::string_view text, std::string_view end);

// Appends `text` with each NUL byte written as \0, so that a message shows where it stands.
void appendShowingNul(std::string& out, std::string_view text);
std::string showingNul(std::string_view text);

// The number of bytes of the UTF-8 form of the code point `c` (at most U+10FFFF).
constexpr std::size_t utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }
// Writes the UTF-8 form of `c` at `out`; answers the end of what it wrote.
char* writeUtf8(char* out, char32_t c);

#endif  // INVOKEMODULE_VALUES_PLAIN_TEXT_H_
