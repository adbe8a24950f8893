// What the host adds when a command went wrong in a way the user most likely did not mean: the
// hint under "Unknown command" and the note on an argument array that could not all be read.
#ifndef INVOKEMODULE_COMMANDS_COMMAND_HINTS_H_
#define INVOKEMODULE_COMMANDS_COMMAND_HINTS_H_

#include <string>
#include <string_view>

#include "values/array_parser.h"

// For a line that matched no command: what was meant, when one of the common near-misses is
// plainly the case (the game's callExtension, single quotes, a trailing // comment, an array
// or string left open), shown by the line matching a command once that is mended. "" for
// anything else, an ordinary typo included.
std::string unknownCommandHint(std::string_view line);

// The note on an argument array: which items were passed as nil and their text, or that the
// array was not closed. "" when nothing went wrong.
std::string argumentNote(const ArgumentProblems& problems);

#endif  // INVOKEMODULE_COMMANDS_COMMAND_HINTS_H_
