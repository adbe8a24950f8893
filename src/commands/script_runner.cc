// The script runner: reading and filtering a script, running its lines, pauses with progress.
#include "commands/script_runner.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "output/output.h"
#include "platform/platform.h"

int runningScriptCount = 0;

namespace {

bool isTrailingSpace(char c) {
  return c == ' ' || c == '\f' || c == '\n' || c == '\r' || c == '\t' || c == '\v';
}

// A pause handed to the OS is a 32-bit count of whole milliseconds, the fraction cut off.
std::uint32_t wholeMilliseconds(double milliseconds) {
  if (!(milliseconds > 0)) return 0;
  if (milliseconds >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(milliseconds);
}

// A failed write or a termination signal ends the session: running scripts stop without a word.
bool sessionEnding() { return outputWriteError() != 0 || platform::terminationSignal() != 0; }

void pauseFor(std::uint32_t milliseconds) {
  beginWaiting(nullptr);  // the progress so far, and lines from other threads, go out at once
  platform::sleepMilliseconds(milliseconds);
  endWaiting();
}

// Runs one pause line: echo, progress in DarkGray rewritten in place, the time of the whole
// pause. The time left is measured after every partial pause, never summed, so the pause
// ends close to the requested length however long each partial pause really took.
void runPause(const std::string& line, const SleepMatch& pause) {
  printColoured(ConsoleColour::White, "%s%s\n", line.c_str(), pause.hasSemicolon ? "" : ";");

  std::string secondsText(pause.seconds);
  errno = 0;
  double seconds = std::strtod(secondsText.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(seconds)) {
    printNotice("Pause length out of range");
    return;
  }

  setColour(ConsoleColour::DarkGray);
  const double totalMs = seconds * 1000.0;
  const double stepMs = totalMs / 100.0;
  const std::int64_t frequency = platform::counterFrequency();
  const std::int64_t start = platform::counter();
  double remainingMs = totalMs - platform::elapsedMilliseconds(start, platform::counter(), frequency);

  if (stepMs <= remainingMs) {
    const std::uint32_t step = wholeMilliseconds(stepMs);
    while (stepMs <= remainingMs) {
      pauseFor(step);
      if (sessionEnding()) return;
      if (platform::interruptRequested()) {
        // Cut short: end the progress line; the runner aborts the script next.
        consolePrint("\n");
        setColour(ConsoleColour::White);
        return;
      }
      // The figure uses the time left before this pass's pause, so it trails by one pass.
      // A zero-length pause shows 0% until the counter moves.
      int percent = totalMs > 0 ? 100 - static_cast<int>(remainingMs / totalMs * 100.0) : 0;
      consolePrint("\r%d%%", percent);
      remainingMs = totalMs - platform::elapsedMilliseconds(start, platform::counter(), frequency);
    }
  }
  pauseFor(wholeMilliseconds(std::fabs(remainingMs)));
  if (sessionEnding()) return;
  const std::int64_t end = platform::counter();
  consolePrint("\r100%%\n");
  printExecutionTime(platform::elapsedMilliseconds(start, end, frequency));
  consolePrint("\n");
}

bool abortScript() {
  if (sessionEnding()) {
    --runningScriptCount;
    return false;
  }
  printColoured(ConsoleColour::DarkMagenta, "Script #%d aborted\n\n", runningScriptCount);
  --runningScriptCount;
  flushOutput();
  platform::discardPendingInput();
  return false;
}

}  // namespace

namespace {

// The kept lines of `text` as views into it, in order.
std::vector<std::string_view> keptLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t newline = text.find('\n', pos);
    std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    std::size_t trimmed = end;
    while (trimmed > pos && isTrailingSpace(text[trimmed - 1])) --trimmed;
    if (trimmed > pos && text[pos] != '#') lines.push_back(text.substr(pos, trimmed - pos));
    if (newline == std::string_view::npos) break;
    pos = newline + 1;
  }
  return lines;
}

}  // namespace

std::vector<std::string> scriptLines(std::string_view text) {
  std::vector<std::string_view> views = keptLines(text);
  return std::vector<std::string>(views.begin(), views.end());
}

bool runScript(std::string path) {
  std::string openPath;
  if (platform::lookupFile(path, &openPath) == platform::FileLookup::NotFound) {
    printNotice("Cannot find file");
    return true;
  }
  // The whole text is read and the file closed before the first line runs. The lines are
  // views into the one text, so a long script costs no allocation per line.
  std::string text;
  if (!platform::readWholeFile(openPath, &text)) {
    printNotice("Cannot open file");
    return true;
  }
  const std::vector<std::string_view> lines = keptLines(text);
  if (lines.empty()) return true;

  ++runningScriptCount;
  printColoured(ConsoleColour::DarkMagenta, "Script #%d started\n\n", runningScriptCount);
  for (std::string_view line : lines) {
    SleepMatch pause;
    if (matchSleep(line, &pause)) {
      runPause(std::string(line), pause);
    } else if (matchComment(line)) {
      printColoured(ConsoleColour::DarkGreen, "%s\n", std::string(line).c_str());
    } else if (!dispatchCommand(true, std::string(line))) {
      return abortScript();
    }
    // An interrupt (Ctrl-C) aborts every running script, innermost first, but not the program.
    if (platform::interruptRequested() || sessionEnding()) return abortScript();
  }
  printColoured(ConsoleColour::DarkMagenta, "Script #%d finished\n\n", runningScriptCount);
  --runningScriptCount;
  return true;
}
