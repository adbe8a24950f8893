// The messages of the extension host that more than one of its operations prints.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_

#include <string>
#include <string_view>

// "ERROR: Buffer overrun" in Red, then `note` (see printClosingNote) and an empty line.
void printBufferOverrun(std::string_view note = {});

// "InvokeModule loaded: <name> (<file>) [<version>]" in DarkYellow.
void printModuleLoaded(const std::string& name, const std::string& fileName, const char* version);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
