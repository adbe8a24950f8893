// The command dispatcher: recognises one command line and carries it out.
#ifndef INVOKEMODULE_COMMANDS_DISPATCH_H_
#define INVOKEMODULE_COMMANDS_DISPATCH_H_

#include <string>
#include <string_view>

// Carries out one command line. `echo` is true for script lines, which are shown before they
// run. Returns false when the program is to stop (`exit`, directly or inside a script).
bool dispatchCommand(bool echo, std::string line);

// Undoes the doubled-quote convention: each run of k double quotes yields k/2 of them, so a
// lone quote disappears; the text `""` alone gives the empty text.
std::string unquoteString(std::string_view text);

#endif  // INVOKEMODULE_COMMANDS_DISPATCH_H_
