// The test mode's runner: child processes, comparison, the report lines, the JUnit file.
#include "testmode/suite_runner.h"

#include <algorithm>
#include <cstdio>

#include "output/output.h"
#include "platform/child_process.h"
#include "platform/file_copies.h"
#include "platform/platform.h"
#include "testmode/junit_report.h"
#include "testmode/transcript.h"

namespace {

bool isScriptName(const std::string& name) {
  if (name.size() < 4 || name.back() == '/') return false;
  std::string extension = name.substr(name.size() - 4);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(c | 0x20); });
  return extension == ".sqf";
}

// The last line of a transcript whose process did not end by itself after the script.
std::string endingNote(const platform::ChildRun& run, std::int64_t timeoutSeconds) {
  switch (run.ending) {
    case platform::ChildRun::TimedOut:
      return "Stopped after the time limit of " + std::to_string(timeoutSeconds) + " s";
    case platform::ChildRun::Signalled: {
      const std::string name = platform::signalName(static_cast<int>(run.code));
      return "The process ended by signal " + std::to_string(run.code) +
             (name.empty() ? "" : " (" + name + ")");
    }
    case platform::ChildRun::Exited: {
      if (run.code == 0) return {};
      char code[32];
      std::snprintf(code, sizeof code, run.code > 0xFFFF ? "0x%llX" : "%lld",
                    static_cast<long long>(run.code));
      return std::string("The process ended with status ") + code;
    }
    default:
      return {};
  }
}

bool crashed(const platform::ChildRun& run, const Lines& actual) {
  if (run.ending == platform::ChildRun::Signalled) return true;
  if (run.ending == platform::ChildRun::Exited && run.code != 0) return true;
  return std::any_of(actual.begin(), actual.end(),
                     [](const std::string& line) { return line.starts_with("ERROR: Extension crashed"); });
}

void printDiff(const std::string& diff) {
  for (const std::string& line : splitLines(diff)) {
    ConsoleColour colour = ConsoleColour::White;
    if (line.starts_with("@@")) {
      colour = ConsoleColour::Cyan;
    } else if (line.starts_with("-") && !line.starts_with("--- ")) {
      colour = ConsoleColour::Red;
    } else if (line.starts_with("+") && !line.starts_with("+++ ")) {
      colour = ConsoleColour::Green;
    }
    printColoured(colour, "%s\n", line.c_str());
  }
}

// The stable lines of a child's run, with the note on how it ended.
Lines actualLines(const platform::ChildRun& run, std::int64_t timeoutSeconds) {
  Lines actual = stabiliseTranscript(run.output);
  const std::string note = endingNote(run, timeoutSeconds);
  if (!note.empty()) actual.push_back(note);
  if (!actual.empty()) actual.front() = stableStartLine(actual.front());
  return actual;
}

// Runs one script and reports it; fills `outcome`. Returns false when interrupted.
bool runOne(const std::string& executable, const std::string& script, const TestRunOptions& options,
            ScriptOutcome* outcome) {
  const std::int64_t frequency = platform::counterFrequency();
  const std::int64_t start = platform::counter();
  std::vector<std::string> command = {executable};
  command.insert(command.end(), options.sessionOptions.begin(), options.sessionOptions.end());
  if (!options.sessionOptions.empty()) command.emplace_back("--");
  command.push_back(script);
  // A limit of some thirty years is as good as none, and keeps the deadline far from overflowing.
  constexpr std::int64_t kLongestTimeoutSeconds = 1000000000;
  platform::ChildRun run =
      platform::runChild(command, std::min(options.timeoutSeconds, kLongestTimeoutSeconds) * 1000);
  const double milliseconds = platform::elapsedMilliseconds(start, platform::counter(), frequency);
  if (run.ending == platform::ChildRun::Interrupted) return false;
  outcome->path = script;
  outcome->seconds = milliseconds / 1000.0;

  Lines actual = actualLines(run, options.timeoutSeconds);
  const bool timedOut = run.ending == platform::ChildRun::TimedOut;

  const std::vector<std::string> candidates = expectedFileCandidates(script, platform::platformTag());
  std::string expectedPath = candidates.back();
  std::string expectedText;
  bool haveExpected = false;
  std::string notAFile;  // an expected file that is a pipe, a folder or a device: never read
  for (const std::string& candidate : candidates) {
    const platform::FileStamp stamp = platform::fileStamp(candidate);
    if (stamp.exists && !stamp.regular) {
      expectedPath = candidate;
      notAFile = candidate;
      break;
    }
    if (stamp.exists && platform::readWholeFile(candidate, &expectedText)) {
      expectedPath = candidate;
      haveExpected = true;
      break;
    }
  }
  Lines expected = haveExpected ? splitLines(expectedText) : Lines();
  if (!expected.empty()) expected.front() = stableStartLine(expected.front());
  const std::vector<DiffStep> steps = diffLines(expected, actual);
  const bool same = haveExpected && allSame(steps) && !timedOut;
  const std::string timeText = " (" + std::to_string(static_cast<long long>(milliseconds + 0.5)) + " ms)";

  if (run.ending == platform::ChildRun::NotStarted) {
    outcome->failure = "could not start " + executable;
  } else if (!notAFile.empty()) {
    outcome->failure = notAFile + " is not a regular file: an expected transcript must be one";
  } else if (same) {
    outcome->passed = true;
    printColoured(ConsoleColour::Green, "PASS %s%s\n", script.c_str(), timeText.c_str());
    return true;
  } else if (timedOut) {
    // Never recorded: a run cut short is no transcript to compare later runs with.
    outcome->failure = "stopped after the time limit of " + std::to_string(options.timeoutSeconds) + " s";
  } else if (options.update) {
    std::string text =
        updatedExpected(steps, expected, actual, haveExpected ? lineEndOf(expectedText) : "\n");
    if (platform::writeWholeFile(expectedPath, text)) {
      outcome->passed = true;
      std::string why = crashed(run, actual) ? ": the run crashed" : "";
      printColoured(why.empty() ? ConsoleColour::DarkYellow : ConsoleColour::Red, "UPDATED %s%s\n",
                    expectedPath.c_str(), why.c_str());
      return true;
    }
    outcome->failure = "cannot write " + expectedPath;
  } else if (!haveExpected) {
    outcome->failure = "no expected file " + expectedPath + ": run with --update to record it";
  } else {
    outcome->failure = "the transcript differs from " + expectedPath;
  }
  outcome->details = unifiedDiff(steps, expected, actual, expectedPath, script);
  printColoured(ConsoleColour::Red, "FAIL %s\n", script.c_str());
  // A plain difference needs no words beyond the diff and its file names.
  const bool plainDifference =
      haveExpected && notAFile.empty() && !timedOut && run.ending != platform::ChildRun::NotStarted;
  if (!plainDifference || options.update) {
    printColoured(ConsoleColour::DarkYellow, "%s\n", outcome->failure.c_str());
  }
  printDiff(outcome->details);
  return true;
}

}  // namespace

bool collectScripts(const std::vector<std::string>& paths, std::vector<std::string>* scripts,
                    std::string* error) {
  for (const std::string& path : paths) {
    std::string folder = path;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder.push_back('/');
    std::vector<std::string> entries;
    std::string contents;
    if (!path.empty() && platform::listDirectory(folder, &entries)) {
      entries.erase(std::remove_if(entries.begin(), entries.end(),
                                   [](const std::string& name) { return !isScriptName(name); }),
                    entries.end());
      if (entries.empty()) {
        *error = "no scripts (*.sqf) in the folder " + path;
        return false;
      }
      std::sort(entries.begin(), entries.end());
      for (const std::string& name : entries) scripts->push_back(folder + name);
    } else if (!path.empty() && platform::readWholeFile(path, &contents)) {
      scripts->push_back(path);
    } else {
      *error = "no such script or folder: " + path;
      return false;
    }
  }
  if (scripts->empty()) {
    *error = "--test needs a script or a folder of scripts";
    return false;
  }
  return true;
}

int runTestMode(const TestRunOptions& options, const std::vector<std::string>& scripts) {
  const std::string executable = platform::executablePath();
  if (executable.empty()) {
    const std::string text = "invokemodule: cannot find the program's own file\n";
    platform::writeErrorOutput(text.data(), text.size());
    return 2;
  }

  configureOutput(detectOutputSettings());
  platform::setEnvironmentVariable(kTestChildVariable, "1");
  platform::installRunInterruptHandler();

  std::vector<ScriptOutcome> outcomes;
  bool interrupted = false;
  for (const std::string& script : scripts) {
    ScriptOutcome outcome;
    if (!runOne(executable, script, options, &outcome)) {
      interrupted = true;
      break;
    }
    outcomes.push_back(std::move(outcome));
    flushOutput();
  }
  const auto passed = static_cast<std::size_t>(std::count_if(
      outcomes.begin(), outcomes.end(), [](const ScriptOutcome& outcome) { return outcome.passed; }));
  const std::size_t failed = outcomes.size() - passed;
  bool reportFailed = false;
  if (interrupted) {
    printColoured(ConsoleColour::DarkYellow, "Interrupted after %u of %u scripts\n",
                  static_cast<unsigned>(outcomes.size()), static_cast<unsigned>(scripts.size()));
  }
  if (!options.junitPath.empty() && !platform::writeWholeFile(options.junitPath, junitReport(outcomes))) {
    printColoured(ConsoleColour::Red, "Cannot write the JUnit report %s\n", options.junitPath.c_str());
    reportFailed = true;
  }
  printColoured(ConsoleColour::White, "%u passed, %u failed\n", static_cast<unsigned>(passed),
                static_cast<unsigned>(failed));
  flushOutput();
  if (interrupted) return 130;
  return failed == 0 && !reportFailed ? 0 : 1;
}

bool recordExpectedTranscript(const std::string& script, std::int64_t timeoutSeconds,
                              std::string* expectedPath, std::string* error) {
  const std::string executable = platform::executablePath();
  platform::setEnvironmentVariable(kTestChildVariable, "1");
  platform::ChildRun run = platform::runChild({executable, script}, timeoutSeconds * 1000);
  if (run.ending != platform::ChildRun::Exited && run.ending != platform::ChildRun::Signalled) {
    *error = run.ending == platform::ChildRun::TimedOut
                 ? "its replay was still running after " + std::to_string(timeoutSeconds) + " s"
                 : "could not start " + executable;
    return false;
  }
  const Lines actual = actualLines(run, timeoutSeconds);
  *expectedPath = expectedFileCandidates(script, platform::platformTag()).back();
  if (!platform::writeWholeFile(*expectedPath, updatedExpected(diffLines({}, actual), {}, actual, "\n"))) {
    *error = "cannot write " + *expectedPath;
    return false;
  }
  return true;
}
