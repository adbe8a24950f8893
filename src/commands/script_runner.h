// The script runner: runs a file of commands, pause lines and comment lines.
#ifndef INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_
#define INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_outcome.h"

// How many scripts are running now (the nesting depth), and how many may run at once.
extern int runningScriptCount;
inline constexpr int maxRunningScripts = 10;

// Runs the script at `path`: Exit when `exit` ran in it, Aborted when an interrupt or the end
// of the session stopped it, Continue when it was missing, unreadable, empty or ran to its end.
CommandOutcome runScript(std::string path);

// The text of a script file's bytes: a UTF-8 byte-order mark is skipped; a UTF-16 text (either
// byte order, recognised by its byte-order mark) is converted to UTF-8 in `bytes`, an unpaired
// surrogate or an odd last byte becoming U+FFFD. Any other text is taken as it is.
std::string_view scriptText(std::string& bytes);

// Yields the kept lines of a script's text one at a time, as views into it: split at line
// feeds, trailing white space removed, empty lines and lines whose first byte is '#' dropped.
// Nothing is kept per line, so a text of any number of lines costs only the text itself.
class KeptLines {
 public:
  explicit KeptLines(std::string_view text) : text_(text) {}
  // Answers false when no kept line is left.
  bool next(std::string_view* line);

 private:
  std::string_view text_;
  std::size_t next_ = 0;  // where the next line starts
};

// The kept lines of a script file's bytes (scriptText, then KeptLines), as strings.
std::vector<std::string> scriptLines(std::string bytes);

#endif  // INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_
