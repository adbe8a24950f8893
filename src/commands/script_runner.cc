// The script runner: reading and filtering a script, running its lines, pauses with progress.
#include "commands/script_runner.h"

#include <algorithm>
#include <cmath>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "extensions/call_context.h"
#include "output/output.h"
#include "platform/platform.h"
#include "values/number_text.h"
#include "values/plain_text.h"

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

// A partial pause lasts at least 1 ms: a shorter one would be cut to 0 and the loop would spin,
// printing progress as fast as it can.
std::uint32_t partialPause(double stepMs) { return std::max<std::uint32_t>(1, wholeMilliseconds(stepMs)); }

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

  // Read by the host itself, whatever C locale an extension may have switched to.
  const double seconds = doubleFromText(pause.seconds);
  if (std::isinf(seconds)) {
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
    const std::uint32_t step = partialPause(stepMs);
    while (stepMs <= remainingMs) {
      pauseFor(step);
      if (sessionEnding() || platform::interruptRequested()) {
        // Cut short: end the progress line; the runner aborts the script next, or the session
        // ends with its output whole.
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

// Ends a script early with `outcome` (Exit or Aborted).
CommandOutcome abortScript(CommandOutcome outcome) {
  releaseHeldLines();
  if (sessionEnding()) {
    --runningScriptCount;
    return outcome;
  }
  printColoured(ConsoleColour::DarkMagenta, "Script #%d aborted\n\n", runningScriptCount);
  --runningScriptCount;
  flushOutput();
  platform::discardPendingInput();
  return outcome;
}

}  // namespace

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Hands `visit` each code point of the UTF-16 text `bytes`.
template <class Visit>
void forEachUtf16CodePoint(std::string_view bytes, bool bigEndian, Visit visit) {
  auto unitAt = [&](std::size_t i) -> char32_t {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (first << 8 | second) : (second << 8 | first);
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    char32_t unit = unitAt(i);
    i += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < bytes.size()) {
      const char32_t low = unitAt(i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        visit(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    visit(unit >= 0xD800 && unit <= 0xDFFF ? char32_t{0xFFFD} : unit);
  }
  if (i < bytes.size()) visit(0xFFFD);
}

// "<what>" in DarkYellow, the path as resolved and the system's reason under it.
void printFileNotice(const char* what, const std::string& path, const std::string& reason) {
  std::string shown = showingNul(platform::resolvedPath(path));
  printColoured(ConsoleColour::DarkYellow, "%s\n%s: %s\n\n", what, shown.c_str(), reason.c_str());
}

}  // namespace

std::string_view scriptText(std::string& bytes) {
  if (startsWith(bytes, "\xEF\xBB\xBF")) return std::string_view(bytes).substr(3);
  const bool bigEndian = startsWith(bytes, "\xFE\xFF");
  if (!bigEndian && !startsWith(bytes, "\xFF\xFE")) return bytes;
  // The size first, so that the text and its conversion are all the memory there is.
  const std::string_view units = std::string_view(bytes).substr(2);
  std::size_t size = 0;
  forEachUtf16CodePoint(units, bigEndian, [&](char32_t c) { size += utf8Length(c); });
  std::string text(size, '\0');
  char* out = text.data();
  forEachUtf16CodePoint(units, bigEndian, [&](char32_t c) { out = writeUtf8(out, c); });
  bytes.swap(text);
  return bytes;
}

bool KeptLines::next(std::string_view* line) {
  while (next_ < text_.size()) {
    const std::size_t start = next_;
    const std::size_t newline = text_.find('\n', start);
    std::size_t end = newline == std::string_view::npos ? text_.size() : newline;
    next_ = newline == std::string_view::npos ? text_.size() : newline + 1;
    while (end > start && isTrailingSpace(text_[end - 1])) --end;
    if (end > start && text_[start] != '#') {
      *line = text_.substr(start, end - start);
      return true;
    }
  }
  return false;
}

std::vector<std::string> scriptLines(std::string bytes) {
  std::vector<std::string> lines;
  KeptLines kept(scriptText(bytes));
  for (std::string_view line; kept.next(&line);) lines.emplace_back(line);
  return lines;
}

CommandOutcome runScript(std::string path) {
  std::string openPath;
  std::string reason;
  if (platform::lookupFile(path, &openPath, &reason) == platform::FileLookup::NotFound) {
    printFileNotice("Cannot find file", path, reason);
    return CommandOutcome::Continue;
  }
  // The whole text is read and the file closed before the first line runs. The lines are
  // views into the one text, found one at a time.
  std::string bytes;
  if (!platform::readWholeFile(openPath, &bytes, &reason)) {
    printFileNotice("Cannot open file", openPath, reason);
    return CommandOutcome::Continue;
  }
  const std::string_view text = scriptText(bytes);
  KeptLines lines(text);
  std::string_view line;
  if (!lines.next(&line)) return CommandOutcome::Continue;

  ++runningScriptCount;
  printColoured(ConsoleColour::DarkMagenta, "Script #%d started\n\n", runningScriptCount);
  std::string command;  // the dispatcher's copy of each line, its memory reused
  // The script's place in the call chain, for an extension's call context: the path as given.
  pushScriptFrame(path.c_str(), text);
  struct PopFrame {
    ~PopFrame() { popScriptFrame(); }
  } popFrame;
  do {
    releaseHeldLines();  // a command boundary: lines held from other threads come here
    setScriptLine(line);
    SleepMatch pause;
    if (matchSleep(line, &pause)) {
      runPause(std::string(line), pause);
    } else if (matchComment(line)) {
      printColoured(ConsoleColour::DarkGreen, "%s\n", std::string(line).c_str());
    } else if (CommandOutcome outcome = dispatchCommand(true, command.assign(line));
               outcome != CommandOutcome::Continue) {
      return abortScript(outcome);
    }
    // An interrupt (Ctrl-C) aborts every running script, innermost first, but not the program.
    if (platform::interruptRequested() || sessionEnding()) return abortScript(CommandOutcome::Aborted);
  } while (lines.next(&line));
  releaseHeldLines();
  printColoured(ConsoleColour::DarkMagenta, "Script #%d finished\n\n", runningScriptCount);
  --runningScriptCount;
  return CommandOutcome::Continue;
}
