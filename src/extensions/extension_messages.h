// The messages of the extension host that more than one of its operations prints.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_

#include <string>
#include <string_view>

// "ERROR: Buffer overrun" in Red, then `note` (see printClosingNote) and an empty line.
void printBufferOverrun(std::string_view note = {});

// "ERROR: Buffer overrun after the call returned: a thread of <name> wrote into the output
// buffer" in Red, and an empty line.
void printLateBufferWrite(const std::string& name);

// "InvokeModule loaded: <name> (<file>) [<version>]" in DarkYellow.
void printModuleLoaded(const std::string& name, const std::string& fileName, const char* version);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
