// The extension host's shared messages.
#include "extensions/extension_messages.h"

#include "output/output.h"

void printBufferOverrun(std::string_view note) {
  if (note.empty()) {
    printColoured(ConsoleColour::Red, "%s\n\n", "ERROR: Buffer overrun");
    return;
  }
  OutputLock lock;
  printColoured(ConsoleColour::Red, "%s\n", "ERROR: Buffer overrun");
  printClosingNote(note);
}

void printLateBufferWrite(const std::string& name) {
  printColoured(ConsoleColour::Red,
                "ERROR: Buffer overrun after the call returned: a thread of %s wrote into the output "
                "buffer\n\n",
                name.c_str());
}

void printModuleLoaded(const std::string& name, const std::string& fileName, const char* version) {
  printColoured(ConsoleColour::DarkYellow, "InvokeModule loaded: %s (%s) [%s]\n", name.c_str(),
                fileName.c_str(), version);
}
