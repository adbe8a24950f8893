// Array literal parser: reads an array in the game's notation, e.g. [1, "two", true, [3]].
#ifndef INVOKEMODULE_VALUES_ARRAY_PARSER_H_
#define INVOKEMODULE_VALUES_ARRAY_PARSER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "values/game_value.h"

// Reads the array whose opening "[" is at text[cursor] (that byte is not checked) and
// returns it. Never fails: an item that cannot be read becomes nil, and input that ends
// inside any array or string gives an empty array. On a complete array, `cursor` is left
// on its closing "]" and nothing after it is read; when the input ran out, `cursor` is at
// or past `length`.
//
// Items are strings ("a""b" holds a"b), numbers (items ending in a digit, read as atof
// reads them, see numberFromText), the words true and false in any letter case, and
// nested arrays. White space is skipped only in front of an item; an item must be
// followed directly by "," or "]".
//
// At most `length` bytes are read; a NUL byte inside the text is an ordinary byte of the
// item it stands in. Nesting depth is unbounded and costs heap memory, not stack: nested
// arrays are read with an explicit stack of open arrays.
GameArray parseGameArray(const char* text, std::size_t length, std::size_t& cursor);

// Argument texts kept together: each text followed by a NUL, in one buffer.
struct ArgumentTexts {
  std::string bytes;
  std::vector<std::size_t> starts;  // where each text begins in `bytes`

  std::size_t size() const { return starts.size(); }
  std::string_view text(std::size_t index) const {
    const std::size_t start = starts[index];
    const std::size_t end = index + 1 < starts.size() ? starts[index + 1] : bytes.size();
    return std::string_view(bytes).substr(start, end - start - 1);  // without its NUL
  }
  // One pointer per text, as RVExtensionArgs takes them; valid until `bytes` changes,
  // moves or dies.
  std::vector<const char*> pointers() const;
};

// The argument texts of the same literal, without building its values: exactly the texts
// that parseGameArray(text, length, cursor).argumentList() gives, one per top-level
// element, with `cursor` left where parseGameArray leaves it. Several times faster, for
// callers that need only the texts.
ArgumentTexts argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor);

#endif  // INVOKEMODULE_VALUES_ARRAY_PARSER_H_
