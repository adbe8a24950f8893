// The messages of the extension host that more than one of its operations prints.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

// "ERROR: Buffer overrun" in Red, then `note` (see printClosingNote) and an empty line.
void printBufferOverrun(std::string_view note = {});

// "ERROR: Buffer overrun after the call returned: a thread of <name> wrote into the output
// buffer" in Red, and an empty line.
void printLateBufferWrite(const std::string& name);

// "InvokeModule loaded: <name> (<file>) [<version>]" in DarkYellow.
void printModuleLoaded(const std::string& name, const std::string& fileName, const char* version);

// The lines the game's own warnings would earn a call that took `milliseconds` with
// `argumentCount` arguments (0 for the function form), each ending in a line feed; empty when
// the game would not flag it.
std::string_view gameWarnings(double milliseconds, std::int32_t argumentCount);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
