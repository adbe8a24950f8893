// Console start-up (window, banner, command list), the start script and the read loop.
#include "console/console.h"

#include <cstdlib>
#include <string_view>

#include "commands/dispatch.h"
#include "commands/script_runner.h"
#include "console/completion.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "platform/platform.h"
#include "testmode/test_mode.h"

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

// A false answer means "stop", unless it came from an interrupt, which only stops scripts.
bool keepGoingAfter(bool answer) {
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

namespace {

// The test mode's options: --test [--update] [--junit FILE] [--timeout SECONDS] PATH...
int runTestModeFromArguments(int argc, char** argv) {
  TestRunOptions options;
  for (int i = 2; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--update") {
      options.update = true;
    } else if ((argument == "--junit" || argument == "--timeout") && i + 1 < argc) {
      std::string value = argv[++i];
      if (argument == "--junit") {
        options.junitPath = value;
      } else {
        char* end = nullptr;
        options.timeoutSeconds = std::strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0') options.timeoutSeconds = 0;
      }
    } else {
      options.paths.push_back(argument);
    }
  }
  return runTestMode(options);
}

// One script for the test mode, run as a fresh start runs its start script but with plain
// output flushed at every print (a killed run keeps what it printed), no banner and no command
// list, nothing read, and callback lines from other threads held to the command boundaries.
int runTestChild(const std::string& script) {
  OutputSettings plain;
  plain.flushEachPrint = true;
  configureOutput(plain);
  holdLinesFromOtherThreads();
  printEcho("execVM \"" + script + "\"", ";");
  runScript(script);
  extensionRegistry.unloadAll();
  releaseHeldLines();
  flushOutput();
  return 0;
}

}  // namespace

int runMain(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "--test") return runTestModeFromArguments(argc, argv);
  if (argc == 2 && std::getenv(kTestChildVariable) != nullptr) return runTestChild(argv[1]);
  if (handleOption(argc, argv)) return 0;
  setupConsole();
  platform::installInterruptHandler();
  platform::setLineCompleter(completeCommandLine);
  printColoured(ConsoleColour::DarkGray, "%s", kCommandList);

  if (argc == 2) {
    std::string argument = argv[1];
    printEcho("execVM \"" + argument + "\"", ";");
    if (!keepGoingAfter(runScript(argument))) {
      flushOutput();
      return 0;
    }
  }
  flushOutput();
  platform::discardPendingInput();

  std::string line;
  for (;;) {
    flushOutput();
    if (!platform::readInputLine(&line)) {
      // End of input ends the program as `exit` does, without a word.
      extensionRegistry.unloadAll();
      break;
    }
    trimRight(&line);
    if (line.empty()) moveCursorUp();  // takes back the line feed echoed for the empty line
    if (!keepGoingAfter(dispatchCommand(false, std::move(line)))) break;
  }
  flushOutput();
  return 0;
}
