// Console start-up (window, banner, command list), the start script and the read loop.
#include "console/console.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "commands/dispatch.h"
#include "commands/script_runner.h"
#include "extensions/call_context.h"
#include "extensions/extension_callback.h"
#include "extensions/extension_code.h"
#include "console/completion.h"
#include "console/program_arguments.h"
#include "extensions/extension_registry.h"
#include "extensions/extension_report.h"
#include "extensions/library_watch.h"
#include "fuzzmode/search_run.h"
#include "interface_texts.h"
#include "output/output.h"
#include "platform/platform.h"
#include "testmode/suite_runner.h"

namespace {

constexpr const char* kWindowTitle = "Varnholt's invokeModule v" INVOKEMODULE_SHORT_VERSION;

// The read loop reuses its line's memory from command to command, up to this much.
constexpr std::size_t kKeptLineCapacity = 256 * 1024;

// The start-up list of commands: the rows the banner lists, between two rules.
std::string commandListText() {
  const std::string rule(63, '=');
  std::string out = " Available commands:\n" + rule + "\n";
  for (const CommandRow& command : commandTable()) {
    if (command.inBanner) out.append(" ").append(command.usage).append("\n");
  }
  return out + rule + "\n\n";
}

// Writes a text that ends the program (help, version) to standard output.
int printAndEnd(const std::string& text) {
  consoleWrite(text.data(), text.size());
  flushOutput();
  return 0;
}

// The status the session ends with now, or -1 while it goes on: a termination signal
// (128 + its number), or a failed write (1).
int endingStatus() {
  if (int signalNumber = platform::terminationSignal()) return 128 + signalNumber;
  return outputWriteError() != 0 ? 1 : -1;
}

// Ends the session as `exit` does: libraries freed, the output flushed a last time, after
// which callbacks print nothing. A failed write is reported once, on standard error. The
// process ends with the status; the clean-up code of libraries the system kept runs then,
// under the crash guard.
int sessionEndStatus(int status) {
  reportUnload(extensionRegistry.unloadAll(), false);
  removePrivateCopies();
  closeOutput();
  // What runs from here on is the clean-up code of libraries the system keeps, at exit: a
  // termination signal does not wait for it long.
  platform::setInsideExtensionCall(true);
  if (int signalNumber = platform::terminationSignal()) return 128 + signalNumber;
  if (int error = outputWriteError()) {
    std::string text = "invokemodule: cannot write output: " + platform::errorText(error) + "\n";
    platform::writeErrorOutput(text.data(), text.size());
    return 1;
  }
  return status;
}

[[noreturn]] void endSession(int status) { endProcessRunningLibraryCleanUp(sessionEndStatus(status)); }

// What a termination signal that arrives during an extension call does before the process ends.
void closeOutputAndCopies() {
  closeOutput();
  removePrivateCopies();
}

// Exit stops the program; an interrupt stops only the scripts that were running.
bool keepGoingAfter(CommandOutcome outcome) {
  if (endingStatus() >= 0) return false;
  if (outcome == CommandOutcome::Continue) return true;
  if (outcome == CommandOutcome::Exit || !platform::interruptRequested()) return false;
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

// The options that shape a session, which --test hands on to each script's host.
constexpr Option kSessionOptions[] = {Option::SteamId, Option::Mission, Option::Server, Option::Owner,
                                      Option::FrameRate};

const std::string& optionValue(const ProgramArguments& parsed, Option option) {
  return *parsed.options[static_cast<std::size_t>(option)];
}

// Applies the context settings and the frame rate given; answers an error text for a value
// that is not understood, empty when all are good.
std::string applySessionOptions(const ProgramArguments& parsed) {
  ContextSettings& settings = contextSettings();
  std::string error;
  if (parsed.given(Option::SteamId))
    error = readSteamId(optionValue(parsed, Option::SteamId), &settings.steamId);
  if (error.empty() && parsed.given(Option::Owner))
    error = readOwner(optionValue(parsed, Option::Owner), &settings.owner);
  if (!error.empty()) return error;
  if (parsed.given(Option::Mission)) settings.mission = optionValue(parsed, Option::Mission);
  if (parsed.given(Option::Server)) settings.server = optionValue(parsed, Option::Server);
  if (parsed.given(Option::FrameRate)) {
    const std::string& value = optionValue(parsed, Option::FrameRate);
    char* end = nullptr;
    const double framesPerSecond = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(framesPerSecond > 0) || framesPerSecond > 1e6) {
      return "--frame-rate needs a number of frames per second above 0, not '" + value + "'";
    }
    setCallbackFrameRate(framesPerSecond);
  }
  return "";
}

// The session options as given, for the host of each script --test runs.
std::vector<std::string> sessionArguments(const ProgramArguments& parsed) {
  std::vector<std::string> arguments;
  for (Option option : kSessionOptions) {
    if (!parsed.given(option)) continue;
    const OptionRow& row = optionTable()[static_cast<std::size_t>(option)];
    arguments.emplace_back(row.spellings.substr(0, row.spellings.find(' ')));
    arguments.push_back(optionValue(parsed, option));
  }
  return arguments;
}

// The test mode: the scripts the paths name, each run in a child; a path that names none, or
// a time limit that is not a whole number of seconds above 0, is a usage error.
int runTestModeWith(const ProgramArguments& parsed) {
  TestRunOptions options;
  options.update = parsed.given(Option::Update);
  if (parsed.given(Option::Watch)) options.sessionOptions.emplace_back("--watch");
  std::vector<std::string> session = sessionArguments(parsed);
  options.sessionOptions.insert(options.sessionOptions.end(), session.begin(), session.end());
  if (parsed.given(Option::Junit))
    options.junitPath = *parsed.options[static_cast<std::size_t>(Option::Junit)];
  std::string error;
  if (parsed.given(Option::Timeout)) {
    const std::string& value = *parsed.options[static_cast<std::size_t>(Option::Timeout)];
    char* end = nullptr;
    options.timeoutSeconds = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || options.timeoutSeconds <= 0) {
      error = "--timeout needs a whole number of seconds above 0, not '" + value + "'";
    }
  }
  std::vector<std::string> scripts;
  if (error.empty()) collectScripts(parsed.scripts, &scripts, &error);
  if (!error.empty()) {
    std::string text = usageErrorText(error);
    platform::writeErrorOutput(text.data(), text.size());
    return 2;
  }
  return runTestMode(options, scripts);
}

// A whole number of at least `least` from an option's value; false when it is not one.
bool readCount(const std::string& value, std::uint64_t least, std::uint64_t* count) {
  char* end = nullptr;
  *count = std::strtoull(value.c_str(), &end, 10);
  return !value.empty() && value[0] != '-' && *end == '\0' && *count >= least;
}

// The search for crashing calls; an option value that is not understood is a usage error.
int runSearchWith(const ProgramArguments& parsed) {
  SearchOptions options;
  std::string error;
  std::uint64_t count = 0;
  if (parsed.scripts.empty()) error = "--fuzz needs a script whose calls seed the search";
  if (error.empty() && parsed.given(Option::Runs)) {
    if (!readCount(optionValue(parsed, Option::Runs), 1, &options.runs))
      error = "--runs needs a whole number of calls above 0, not '" + optionValue(parsed, Option::Runs) + "'";
  }
  if (error.empty() && parsed.given(Option::Time)) {
    if (!readCount(optionValue(parsed, Option::Time), 1, &count))
      error =
          "--time needs a whole number of seconds above 0, not '" + optionValue(parsed, Option::Time) + "'";
    options.seconds = static_cast<double>(count);
  } else if (!parsed.given(Option::Runs)) {
    options.seconds = 60;
  }
  if (error.empty() && parsed.given(Option::Seed) &&
      !readCount(optionValue(parsed, Option::Seed), 0, &options.seed))
    error = "--seed needs a whole number, not '" + optionValue(parsed, Option::Seed) + "'";
  if (error.empty() && parsed.given(Option::Jobs)) {
    if (!readCount(optionValue(parsed, Option::Jobs), 1, &count) || count > 256)
      error =
          "--jobs needs a number of workers from 1 to 256, not '" + optionValue(parsed, Option::Jobs) + "'";
    options.jobs = static_cast<int>(count);
  }
  if (parsed.given(Option::Out)) options.outDir = optionValue(parsed, Option::Out);
  if (error.empty() && options.outDir.empty()) error = "--out needs a folder";
  if (!error.empty()) {
    std::string text = usageErrorText(error);
    platform::writeErrorOutput(text.data(), text.size());
    return 2;
  }
  if (parsed.given(Option::Watch)) enableLibraryWatch();
  options.script = parsed.scripts.front();
  const int status = runSearch(options);
  reportUnload(extensionRegistry.unloadAll(), false);
  removePrivateCopies();
  closeOutput();
  endProcessRunningLibraryCleanUp(status);
}

// One script for the test mode, run as a fresh start runs its start script but with plain
// output flushed at every print (a killed run keeps what it printed), no banner and no command
// list, nothing read, and callback lines from other threads held to the command boundaries.
[[noreturn]] void runTestChild(const std::string& script) {
  OutputSettings plain;
  plain.flushEachPrint = true;
  configureOutput(plain);
  holdLinesFromOtherThreads();
  printEcho("execVM \"" + script + "\"", ";");
  runScript(script);
  reportUnload(extensionRegistry.unloadAll(), false);
  removePrivateCopies();
  releaseHeldLines();
  closeOutput();
  endProcessRunningLibraryCleanUp(0);
}

}  // namespace

int runMain(int argc, char** argv) {
  platform::openNullDeviceOnClosedStandardStreams();
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  ProgramArguments parsed = parseProgramArguments(arguments, optionTable());
  if (!parsed.error.empty()) {
    std::string text = usageErrorText(parsed.error);
    platform::writeErrorOutput(text.data(), text.size());
    return 2;
  }
  if (parsed.given(Option::Help)) return printAndEnd(helpText());
  if (parsed.given(Option::Version)) return printAndEnd(versionText());
  if (std::string error = applySessionOptions(parsed); !error.empty()) {
    std::string text = usageErrorText(error);
    platform::writeErrorOutput(text.data(), text.size());
    return 2;
  }
  if (parsed.given(Option::Test)) return runTestModeWith(parsed);
  if (parsed.given(Option::Fuzz)) return runSearchWith(parsed);
  if (parsed.given(Option::Watch)) enableLibraryWatch();
  if (parsed.scripts.size() == 1 && std::getenv(kTestChildVariable) != nullptr) {
    runTestChild(parsed.scripts.front());
  }

  setupConsole();
  platform::installInterruptHandler();
  platform::installTerminationHandlers(closeOutputAndCopies);
  platform::setOutputDrain(flushOutput);
  platform::setLineCompleter(completeCommandLine);
  printColoured(ConsoleColour::DarkGray, "%s", commandListText().c_str());

  if (!parsed.scripts.empty()) {
    const std::string& argument = parsed.scripts.front();
    printEcho("execVM \"" + argument + "\"", ";");
    if (!keepGoingAfter(runScript(argument))) endSession(0);
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
    if (!keepGoingAfter(dispatchCommand(false, line))) break;
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);  // a huge line's memory
  }
  endSession(0);
}
