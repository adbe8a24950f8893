// Text in the game's quoted-string notation: every double quote doubled, the whole in quotes.
#ifndef INVOKEMODULE_VALUES_QUOTED_TEXT_H_
#define INVOKEMODULE_VALUES_QUOTED_TEXT_H_

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

// Makes room for `extra` more bytes in `out`, growing geometrically so that many small
// appends to one long text stay linear.
inline void reserveMore(std::string& out, std::size_t extra) {
  const std::size_t needed = out.size() + extra;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
}

// Appends `text` in double quotes with every inner double quote doubled. Allocates
// nothing beyond the growth of `out`.
void appendQuoted(std::string& out, std::string_view text);

// `text` in double quotes with every inner double quote doubled: `a"b` gives `"a""b"`.
std::string quoteString(std::string_view text);

#endif  // INVOKEMODULE_VALUES_QUOTED_TEXT_H_
