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

std::string_view gameWarnings(double milliseconds, std::int32_t argumentCount) {
  static constexpr std::string_view kBoth =
      "The game would return error code 301 (the call took 1000 ms or more)\n"
      "The game would return error code 201 (more than 2048 arguments)\n";
  static constexpr std::size_t kSlowLength = kBoth.find('\n') + 1;  // its first line
  const bool slow = milliseconds >= 1000.0;
  const bool many = argumentCount > 2048;
  if (slow && many) return kBoth;
  if (slow) return kBoth.substr(0, kSlowLength);
  if (many) return kBoth.substr(kSlowLength);
  return {};
}
