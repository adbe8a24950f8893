// The script runner: runs a file of commands, pause lines and comment lines.
#ifndef INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_
#define INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_

#include <string>
#include <string_view>
#include <vector>

// How many scripts are running now (the nesting depth), and how many may run at once.
extern int runningScriptCount;
inline constexpr int maxRunningScripts = 10;

// Runs the script at `path`. Returns false only when the script was aborted, by `exit` or by
// an interrupt (then platform::interruptRequested() tells the two apart); true when it was
// missing, unreadable, empty or ran to its end.
bool runScript(std::string path);

// The kept lines of a script's text: split at line feeds, trailing white space removed,
// empty lines and lines whose first byte is '#' dropped.
std::vector<std::string> scriptLines(std::string_view text);

#endif  // INVOKEMODULE_COMMANDS_SCRIPT_RUNNER_H_
