// The host callback: quotes the three texts and prints them as one Cyan line.
#include "extensions/extension_callback.h"

#include <string>

#include "output/output.h"
#include "platform/crash_guard.h"
#include "values/game_text.h"

std::int32_t INVOKEMODULE_CDECL ExtensionCallback(const char* name, const char* function,
                                                  const char* data) {
  // After the host's last flush, at the end of the session, nothing more is printed.
  if (outputClosed()) return 99;
  platform::enterHostCode();  // an abandon of the call waits until the callback returns
  // The contract forbids null texts, but a faulty extension must not crash the host.
  std::string shapedName;
  std::string shapedFunction;
  std::string shapedData;
  appendQuoted(shapedName, name != nullptr ? name : "");
  appendQuoted(shapedFunction, function != nullptr ? function : "");
  appendQuoted(shapedData, data != nullptr ? data : "");
  // Printed under the output lock, so the line is never cut into another; the colour in
  // effect before it (White, or a pause's DarkGray) is restored after it.
  printColouredRestoring(ConsoleColour::Cyan, "\n>> ExtensionCallback: [%s, %s, %s]\n",
                         shapedName.c_str(), shapedFunction.c_str(), shapedData.c_str());
  platform::leaveHostCode();
  return 99;
}
