// The command dispatcher: recognises one command line and carries it out.
#ifndef INVOKEMODULE_COMMANDS_DISPATCH_H_
#define INVOKEMODULE_COMMANDS_DISPATCH_H_

#include <span>
#include <string>
#include <string_view>

#include "commands/command_outcome.h"
#include "commands/command_patterns.h"

// One row of the table of commands. The texts come from the interface data file; a row's
// recogniser is match<id> of command_patterns.h and its action run<id> in dispatch.cc.
struct CommandRow {
  std::string_view usage;           // as the banner, --help and the man page show it
  std::string_view completionWord;  // offered by Tab (see completion.cc)
  bool inBanner;                    // listed in the start-up command list
  std::string_view about;           // what it does, one line
  bool (*recognise)(std::string_view line, CommandMatch* match);
  // Carries the recognised command out on the dispatcher's own copy of the line, which it may
  // change.
  CommandOutcome (*run)(std::string& line, const CommandMatch& match);
};

// The commands in the order they are shown and tried. No line matches two rows.
std::span<const CommandRow> commandTable();

// Carries out one command line. `echo` is true for script lines, which are shown before they
// run. The line is worked on where it stands and left changed; its memory stays the caller's
// to reuse.
CommandOutcome dispatchCommand(bool echo, std::string& line);

// Undoes the doubled-quote convention: each run of k double quotes yields k/2 of them, so a
// lone quote disappears; the text `""` alone gives the empty text.
std::string unquoteString(std::string_view text);

#endif  // INVOKEMODULE_COMMANDS_DISPATCH_H_
