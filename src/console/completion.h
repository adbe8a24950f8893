// Tab completion of a command line being typed: command words, loaded extensions, script paths.
#ifndef INVOKEMODULE_CONSOLE_COMPLETION_H_
#define INVOKEMODULE_CONSOLE_COMPLETION_H_

#include <cstddef>
#include <string>
#include <vector>

// The candidates that may replace the word [wordStart, wordEnd) of `line`, in order.
std::vector<std::string> completeCommandLine(const std::string& line, std::size_t wordStart,
                                             std::size_t wordEnd);

#endif  // INVOKEMODULE_CONSOLE_COMPLETION_H_
