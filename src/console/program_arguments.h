// Program arguments: the table of options, the parser, and the help, version and usage texts.
#ifndef INVOKEMODULE_CONSOLE_PROGRAM_ARGUMENTS_H_
#define INVOKEMODULE_CONSOLE_PROGRAM_ARGUMENTS_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "interface_texts.h"

// One row of the table of program options; the texts come from the interface data file.
struct OptionRow {
  std::string_view spellings;  // space-separated, e.g. "-h --help"
  std::string_view value;      // its value's placeholder ("--x <v>" or "--x=<v>"); empty: none
  std::string_view needs;      // the spelling of an option that must be given with it; empty: none
  bool severalScripts;         // with it, one or more script paths follow instead of at most one
  std::string_view about;      // what it does, one line
};

// The program's options, in the order of optionTable().
enum class Option {
#define INVOKEMODULE_OPTION_ID(id, spellings, value, needs, severalScripts, about) id,
  INVOKEMODULE_OPTIONS(INVOKEMODULE_OPTION_ID)
#undef INVOKEMODULE_OPTION_ID
};

std::span<const OptionRow> optionTable();

struct ProgramArguments {
  std::vector<std::optional<std::string>> options;  // per row: its value ("" for none) if given
  std::vector<std::string> scripts;
  std::string error;  // not empty: the arguments are not understood, and why

  bool given(Option option) const {
    std::size_t row = static_cast<std::size_t>(option);
    return row < options.size() && options[row].has_value();
  }
};

// Reads the arguments that follow the program's name, left to right: known options, then the
// script paths (at most one, unless a given option allows several); "--" ends the options. A
// single argument that is not a known option is the start script, whatever it looks like.
ProgramArguments parseProgramArguments(std::span<const std::string_view> arguments,
                                       std::span<const OptionRow> table);

std::string helpText();
std::string versionText();
// The short usage printed on standard error for arguments that are not understood.
std::string usageErrorText(std::string_view error);

#endif  // INVOKEMODULE_CONSOLE_PROGRAM_ARGUMENTS_H_
