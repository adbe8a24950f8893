// Strings in the game's notation: quoted, with inner quotes doubled.
#include "values/game_text.h"

#include <algorithm>
#include <cstring>

void appendQuoted(std::string& out, std::string_view text) {
  const auto quotes = static_cast<std::size_t>(std::count(text.begin(), text.end(), '"'));
  const std::size_t needed = out.size() + text.size() + quotes + 2;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
  out += '"';
  // Copy the runs between double quotes whole; each quote is written twice.
  const char* next = text.data();
  const char* const end = next + text.size();
  for (std::size_t left = quotes; left != 0; --left) {
    const char* quote =
        static_cast<const char*>(std::memchr(next, '"', static_cast<std::size_t>(end - next)));
    out.append(next, quote + 1);
    out += '"';
    next = quote + 1;
  }
  out.append(next, end);
  out += '"';
}

std::string quoteString(std::string_view text) {
  std::string quoted;
  appendQuoted(quoted, text);
  return quoted;
}
