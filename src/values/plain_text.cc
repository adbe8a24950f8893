// Shared plain-text helpers: ASCII letter case, NUL bytes shown, UTF-8 encoding.
#include "values/plain_text.h"

std::string toLowerAscii(std::string_view text) {
  std::string lower(text);
  lowerAsciiInPlace(lower);
  return lower;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view end) {
  if (text.size() < end.size()) return false;
  text.remove_prefix(text.size() - end.size());
  for (std::size_t i = 0; i < end.size(); ++i) {
    if (lowerAscii(text[i]) != lowerAscii(end[i])) return false;
  }
  return true;
}

void appendShowingNul(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
}

std::string showingNul(std::string_view text) {
  std::string shown;
  appendShowingNul(shown, text);
  return shown;
}

char* writeUtf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}
