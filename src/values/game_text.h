// Strings in the game's notation: quoted, with inner quotes doubled.
#ifndef INVOKEMODULE_VALUES_GAME_TEXT_H_
#define INVOKEMODULE_VALUES_GAME_TEXT_H_

#include <string>
#include <string_view>

// Appends `text` in double quotes with every inner double quote doubled. Allocates
// nothing beyond the growth of `out`.
void appendQuoted(std::string& out, std::string_view text);

// `text` in double quotes with every inner double quote doubled: `a"b` gives `"a""b"`.
std::string quoteString(std::string_view text);

#endif  // INVOKEMODULE_VALUES_GAME_TEXT_H_
