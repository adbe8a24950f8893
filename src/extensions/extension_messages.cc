// The extension host's shared messages.
#include "extensions/extension_messages.h"

#include "output/output.h"

void printBufferOverrun() {
  printColoured(ConsoleColour::Red, "%s\n\n", "ERROR: Buffer overrun");
}

void printModuleLoaded(const std::string& name, const std::string& fileName, const char* version) {
  printColoured(ConsoleColour::DarkYellow, "InvokeModule loaded: %s (%s) [%s]\n", name.c_str(),
                fileName.c_str(), version);
}
