// Console start-up (window, banner, command list), the start script and the read loop.
#include "console/console.h"

#include "commands/dispatch.h"
#include "commands/script_runner.h"
#include "console/completion.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "platform/platform.h"

namespace {

constexpr const char* kWindowTitle = "Varnholt's invokeModule v2.0";

constexpr const char* kCommandList =
    " Available commands:\n"
    "===============================================================\n"
    " \"<name>\" invokeModule \"<function>\"\n"
    " \"<name>\" invokeModule [\"<function>\", [<arg1>, <arg2>, ...]]\n"
    " freeExtension \"<name>\"\n"
    " execVM \"<script>\"\n"
    " exit\n"
    "===============================================================\n"
    "\n";

constexpr const char* kUsage =
    "Usage: invokemodule [script]\n"
    "\n"
    "An interactive console host for game-extension libraries: loads an extension, calls it\n"
    "with the game's command syntax and shows each result, its execution time and every\n"
    "message the extension sends back. With a script path, runs that script first.\n"
    "\n"
    "Commands:\n"
    "  \"<name>\" invokeModule \"<function>\"\n"
    "  \"<name>\" invokeModule [\"<function>\", [<arg1>, <arg2>, ...]]\n"
    "  freeExtension \"<name>\"\n"
    "  execVM \"<script>\"\n"
    "  exit\n"
    "Scripts also take `sleep <seconds>` pauses and `//` comment lines.\n"
    "\n"
    "Environment:\n"
    "  NO_COLOR      set and not empty: no colours\n"
    "  FORCE_COLOR   set, not empty and not 0: colours even when output is not a terminal\n"
    "\n"
    "Options:\n"
    "  -h, --help    show this text\n"
    "  --version     show the version\n";

constexpr const char* kVersion = "invokemodule 2.0.0\n";

// Only these exact single arguments are options; any other single argument is a script.
bool handleOption(int argc, char** argv) {
  if (argc != 2) return false;
  std::string argument = argv[1];
  if (argument == "--help" || argument == "-h") {
    consoleWrite(kUsage, std::char_traits<char>::length(kUsage));
  } else if (argument == "--version") {
    consoleWrite(kVersion, std::char_traits<char>::length(kVersion));
  } else {
    return false;
  }
  flushOutput();
  return true;
}

// The status the session ends with now, or -1 while it goes on: a termination signal
// (128 + its number), or a failed write (1).
int endingStatus() {
  if (int signalNumber = platform::terminationSignal()) return 128 + signalNumber;
  return outputWriteError() != 0 ? 1 : -1;
}

// Ends the session as `exit` does: libraries freed, the output flushed a last time, after
// which callbacks print nothing. A failed write is reported once, on standard error.
int endSession(int status) {
  extensionRegistry.unloadAll();
  closeOutput();
  if (int signalNumber = platform::terminationSignal()) return 128 + signalNumber;
  if (int error = outputWriteError()) {
    platform::writeErrorLine("invokemodule: cannot write output: " + platform::errorText(error));
    return 1;
  }
  return status;
}

// A false answer means "stop", unless it came from an interrupt, which only stops scripts.
bool keepGoingAfter(bool answer) {
  if (endingStatus() >= 0) return false;
  if (answer) return true;
  if (!platform::interruptRequested()) return false;
  platform::clearInterrupt();
  return true;
}

}  // namespace

void trimRight(std::string* line) {
  std::size_t end = line->find_last_not_of(" \f\n\r\t\v");
  line->resize(end == std::string::npos ? 0 : end + 1);
}

void setupConsole() {
  platform::setupConsoleWindow();
  configureOutput(detectOutputSettings());
  setWindowTitle(kWindowTitle);
  OutputLock lock;
  setColour(ConsoleColour::Green);
  consolePrint(" More info @ https://github.com/invokemodule/invokemodule\n");
  setColour(ConsoleColour::Cyan);
  consolePrint(" If you like this tool, please consider donating!\n");
  setColour(ConsoleColour::White);
  consolePrint("\n");
}

int runMain(int argc, char** argv) {
  platform::openNullDeviceOnClosedStandardStreams();
  if (handleOption(argc, argv)) return 0;
  setupConsole();
  platform::installInterruptHandler();
  platform::installTerminationHandlers(closeOutput);
  platform::setOutputDrain(flushOutput);
  platform::setLineCompleter(completeCommandLine);
  printColoured(ConsoleColour::DarkGray, "%s", kCommandList);

  if (argc == 2) {
    std::string argument = argv[1];
    printEcho("execVM \"" + argument + "\"", ";");
    if (!keepGoingAfter(runScript(argument))) return endSession(0);
  }
  flushOutput();
  platform::discardPendingInput();

  std::string line;
  for (;;) {
    beginWaiting(platform::inputWaitWake());
    bool haveLine = platform::readInputLine(&line);
    endWaiting();
    // End of input ends the program as `exit` does, without a word.
    if (!haveLine || endingStatus() >= 0) break;
    trimRight(&line);
    // Takes back the line feed a terminal echoes for a typed empty line; piped input echoes none.
    if (line.empty() && platform::inputIsTerminal()) moveCursorUp();
    if (!keepGoingAfter(dispatchCommand(false, std::move(line)))) break;
  }
  return endSession(0);
}
