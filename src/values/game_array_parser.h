// The reference parser: an array literal read into the tree of Game values. The host itself
// never builds the tree; tests, fuzzers and benchmarks check argumentTextsOfLiteral against it.
#ifndef INVOKEMODULE_VALUES_GAME_ARRAY_PARSER_H_
#define INVOKEMODULE_VALUES_GAME_ARRAY_PARSER_H_

#include <cstddef>

#include "values/array_parser.h"
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

#endif  // INVOKEMODULE_VALUES_GAME_ARRAY_PARSER_H_
