// The blind search: set-up, the loop of calls, judging, shrinking, the findings and the summary.
#include "fuzzmode/search_run.h"

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "commands/script_runner.h"
#include "extensions/call_watchdog.h"
#include "extensions/extension_calls.h"
#include "extensions/extension_handle.h"
#include "extensions/extension_loader.h"
#include "extensions/extension_messages.h"
#include "extensions/extension_registry.h"
#include "extensions/extension_report.h"
#include "fuzzmode/search_calls.h"
#include "output/output.h"
#include "platform/file_copies.h"
#include "platform/platform.h"
#include "testmode/suite_runner.h"
#include "values/array_parser.h"
#include "values/plain_text.h"

namespace {

// How long shrinking one finding may take, and how many calls it may make.
constexpr double kShrinkSeconds = 30;
constexpr std::size_t kShrinkCalls = 4000;
// How long the replay of a finding may take while its expected transcript is recorded.
constexpr std::int64_t kReplaySeconds = 20;
// The stack left unused under the host's frames during a call: far more than any argument the
// search makes, so that one copied onto the stack without a bound cannot reach them.
constexpr std::size_t kStackGap = 256 * 1024;
// The longest command line a finding's report shows whole.
constexpr std::size_t kShownLineBytes = 300;

std::string hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// printf's formatting, for the figures the output's own printer does not format.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

unsigned long long count(std::size_t value) { return static_cast<unsigned long long>(value); }

void usageFailure(const std::string& text) {
  const std::string line = "invokemodule: " + text + "\n";
  platform::writeErrorOutput(line.data(), line.size());
}

// Abandons a call still running after the limit, from a thread of its own; the main thread
// marks the start and the end of each call.
class CallLimit {
 public:
  CallLimit() : thread_([this] { watch(); }) {}
  ~CallLimit() {
    stop_.store(true);
    thread_.join();
  }
  CallLimit(const CallLimit&) = delete;
  CallLimit& operator=(const CallLimit&) = delete;
  void started() { start_.store(platform::counter()); }
  void ended() { start_.store(0); }

 private:
  void watch() {
    const std::int64_t limit = kSearchCallLimitMilliseconds * platform::counterFrequency() / 1000;
    while (!stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const std::int64_t start = start_.load();
      // Asked again every round until the call has left: one in host code lands later.
      if (start != 0 && platform::counter() - start > limit) platform::abandonGuardedCallNow();
    }
  }
  std::atomic<std::int64_t> start_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// While the search calls, the host's colour changes around each call are not written (at a
// terminal they would be an escape and a write per call); the search's own texts are, in
// colour, between two Speaking's.
class Speaking {
 public:
  Speaking() { configureOutput(detectOutputSettings()); }
  ~Speaking() { configureOutput(quiet()); }
  Speaking(const Speaking&) = delete;
  Speaking& operator=(const Speaking&) = delete;
  static OutputSettings quiet() {
    OutputSettings settings = detectOutputSettings();
    settings.colourEscapes = false;
    settings.nativeAttributes = false;
    settings.flushEachPrint = false;
    return settings;
  }
};

class Search {
 public:
  explicit Search(const SearchOptions& options) : options_(options), random_(options.seed) {}
  int run();

 private:
  bool readScript();
  bool prepareFolder();
  bool loadExtensions();
  ExtensionEntry* entryFor(const std::string& typedName);
  bool reload(const std::string& typedName);
  Verdict call(const SearchCall& call);
  void consider(const SearchCall& call, const Verdict& verdict);
  SearchCall shrink(SearchCall call, const Verdict& target, std::string* report);
  void writeFinding(const SearchCall& call, const Verdict& verdict, int number);
  void showProgress(bool force);
  void clearProgress();
  double elapsedSeconds() const {
    return platform::elapsedMilliseconds(start_, platform::counter(), frequency_) / 1000.0;
  }

  const SearchOptions& options_;
  SearchRandom random_;
  std::vector<SearchCall> seeds_;
  std::vector<std::string> setupLines_;  // the script's other lines, run once, kept for the findings
  std::vector<std::string> functions_;   // every seed's function text
  ArgumentTexts texts_;
  std::string literal_;
  std::string report_;  // of the latest call that failed
  std::set<std::string> seen_;
  std::set<std::string> hung_;  // the command lines of calls that hung: not made again
  int findings_ = 0;
  std::uint64_t calls_ = 0;
  bool stopped_ = false;  // an extension can no longer be loaded
  std::int64_t frequency_ = platform::counterFrequency();
  std::int64_t start_ = 0;
  std::int64_t lastProgress_ = 0;
  std::size_t progressWidth_ = 0;
  bool terminal_ = platform::outputIsTerminal();
  CallLimit limit_;
};

bool Search::readScript() {
  std::string bytes;
  std::string reason;
  if (!platform::readWholeFile(options_.script, &bytes, &reason)) {
    usageFailure("cannot read the script " + options_.script + ": " + reason);
    return false;
  }
  for (std::string& line : scriptLines(std::move(bytes))) {
    SearchCall seed;
    if (readSeedCall(line, &seed)) {
      functions_.push_back(seed.function);
      seeds_.push_back(std::move(seed));
    } else if (!matchComment(line)) {
      setupLines_.push_back(std::move(line));
    }
  }
  if (seeds_.empty()) {
    usageFailure("the script " + options_.script + " holds no call command to search from");
    return false;
  }
  return true;
}

bool Search::prepareFolder() {
  const std::string probe = options_.outDir + "/.invokemodule-write-test";
  if (!platform::makeFolder(options_.outDir) || !platform::writeWholeFile(probe, "")) {
    usageFailure("cannot write the findings into the folder " + options_.outDir);
    return false;
  }
  platform::removeFile(probe);
  return true;
}

// The set-up lines, then each seed's extension loaded with its usual messages. A seed whose
// entry point the library does not export is dropped.
bool Search::loadExtensions() {
  for (std::string line : setupLines_) {
    SleepMatch sleep;
    if (matchSleep(line, &sleep)) {
      platform::sleepMilliseconds(static_cast<std::uint32_t>(std::stod(std::string(sleep.seconds)) * 1000));
    } else if (dispatchCommand(true, line) != CommandOutcome::Continue) {
      return false;
    }
  }
  std::vector<SearchCall> callable;
  for (SearchCall& seed : seeds_) {
    ExtensionHandle handle{seed.extension};
    if (!handle.ok()) {
      flushOutput();
      usageFailure("the extension '" + seed.extension + "' cannot be loaded: nothing to search");
      return false;
    }
    ExtensionEntry* entry = entryFor(seed.extension);
    if (entry != nullptr &&
        (seed.argumentForm ? entry->rvExtensionArgs != nullptr : entry->rvExtension != nullptr)) {
      callable.push_back(std::move(seed));
    }
  }
  seeds_ = std::move(callable);
  if (seeds_.empty()) {
    flushOutput();
    usageFailure("no call of the script has an entry point to call");
    return false;
  }
  return true;
}

ExtensionEntry* Search::entryFor(const std::string& typedName) {
  std::string key = typedName;
  lowerAsciiInPlace(key);
  ExtensionEntry* entry = extensionRegistry.find(key);
  return entry != nullptr && entry->module != nullptr ? entry : nullptr;
}

// After a failed call: the library unloaded and loaded afresh, silently.
bool Search::reload(const std::string& typedName) {
  std::string key = typedName;
  lowerAsciiInPlace(key);
  extensionRegistry.unload(key);
  LoadOutcome outcome = loadExtension(typedName, key);
  if (outcome.entry == nullptr) {
    reportLoad(outcome);
    return false;
  }
  if (canBeCalled(*outcome.entry)) {
    registerHostCallback(*outcome.entry);
    prepareVersionCall(*outcome.entry);
    queryVersion(*outcome.entry);
  }
  return !outcome.entry->crashed;
}

Verdict Search::call(const SearchCall& call) {
  ExtensionEntry* entry = entryFor(call.extension);
  if (entry == nullptr) {
    stopped_ = true;
    return {};
  }
  const PreCallOutcome prepared = prepareCall(*entry);
  const bool lateWrite = !prepared.lateWriter.empty();
  ++calls_;
  limit_.started();
  const CallOutcome* outcome = nullptr;
  if (call.argumentForm) {
    literal_ = argumentLiteral(call);
    std::size_t cursor = 0;
    argumentTextsOfLiteral(literal_.data(), literal_.size(), cursor, &texts_);
    outcome = &callWithArguments(*entry, prepared, call.function.c_str(), texts_.argv(),
                                 static_cast<std::int32_t>(texts_.size()), {});
  } else {
    outcome = &callFunction(*entry, prepared, call.function.c_str());
  }
  limit_.ended();
  {
    OutputLock lock;
    endWaiting();
  }
  Verdict verdict = judgeCall(*outcome, extensionRegistry.calls().crash);
  if (verdict.kind == FindingKind::None && lateWrite) verdict.kind = FindingKind::LateWrite;
  switch (verdict.kind) {
    case FindingKind::Overrun:
      report_ = std::string(kBufferOverrunText) + "\n";
      break;
    case FindingKind::Slow: {
      char text[64];
      std::snprintf(text, sizeof text, "Execution time: %.3f ms\n", outcome->milliseconds);
      report_ = text;
      break;
    }
    case FindingKind::LateWrite:
      report_ = lateBufferWriteText(prepared.lateWriter) + "\n";
      break;
    case FindingKind::None:
      break;
    default:
      report_ = outcome->report;
      break;
  }
  if (outcome->status == CallStatus::Crashed && !reload(call.extension)) stopped_ = true;
  return verdict;
}

SearchCall Search::shrink(SearchCall call, const Verdict& target, std::string* report) {
  const std::int64_t began = platform::counter();
  std::size_t budget = kShrinkCalls;
  for (bool smaller = true; smaller && budget > 0;) {
    smaller = false;
    for (SearchCall& candidate : smallerCalls(call)) {
      if (budget == 0 || stopped_ ||
          platform::elapsedMilliseconds(began, platform::counter(), frequency_) > kShrinkSeconds * 1000) {
        budget = 0;
        break;
      }
      --budget;
      if (this->call(candidate) == target) {
        call = std::move(candidate);
        *report = report_;
        smaller = true;
        break;
      }
    }
  }
  return call;
}

// A finding new by its kind and frame is reproduced, shrunk, reported and written.
void Search::consider(const SearchCall& call, const Verdict& verdict) {
  const std::string key = std::string(findingStem(verdict.kind)) + " " + verdict.frame;
  if (!seen_.insert(key).second) return;
  std::string report = report_;
  SearchCall smallest = call;
  // A late write belongs to an earlier call, whose thread wrote later: told as it came.
  if (verdict.kind != FindingKind::LateWrite) {
    if (this->call(call) != verdict) return;  // it does not happen again: not told
    report = report_;
    smallest = shrink(call, verdict, &report);
  }
  Speaking speaking;
  clearProgress();
  const int number = ++findings_;
  std::string line = callCommandLine(smallest);
  if (line.size() > kShownLineBytes) line = line.substr(0, kShownLineBytes) + "...";
  {
    OutputLock lock;
    printColoured(ConsoleColour::Red, "Finding %d: %s%s\n", number, findingWords(verdict.kind),
                  verdict.frame.empty() ? "" : (" at " + verdict.frame).c_str());
    printColoured(ConsoleColour::White, "%s\n", line.c_str());
    printCrashReport(report);
  }
  writeFinding(smallest, verdict, number);
  flushOutput();
}

void Search::writeFinding(const SearchCall& call, const Verdict& verdict, int number) {
  const std::string path =
      options_.outDir + "/" + findingStem(verdict.kind) + "-" + std::to_string(number) + ".sqf";
  std::string text = "// " + std::string(findingWords(verdict.kind)) +
                     (verdict.frame.empty() ? "" : " at " + verdict.frame) +
                     ", found by invokemodule --fuzz --seed " + std::to_string(options_.seed) + " " +
                     options_.script + "\n";
  for (const std::string& line : setupLines_) text += line + "\n";
  text += callCommandLine(call) + "\n";
  if (!platform::writeWholeFile(path, text)) {
    printColoured(ConsoleColour::DarkYellow, "Cannot write %s\n\n", path.c_str());
    return;
  }
  std::string expected;
  std::string error;
  if (verdict.kind == FindingKind::Hang) {
    printColoured(ConsoleColour::DarkYellow,
                  "Written to %s (no expected transcript: its replay does not end)\n\n", path.c_str());
  } else if (recordExpectedTranscript(path, kReplaySeconds, &expected, &error)) {
    // An address in mapped memory (the stack, the heap, a library) lies elsewhere in the next
    // run, as does any address without a frame in the extension (a return address partly
    // overwritten): those match any address. Small ones, as a null pointer gives, stay.
    std::string transcript;
    if (platform::readWholeFile(expected, &transcript)) {
      bool changed = false;
      for (std::size_t at = 0; (at = transcript.find(" address 0x", at)) != std::string::npos;) {
        std::size_t end = transcript.find_first_not_of("0123456789abcdef", at + 11);
        if (end == std::string::npos) end = transcript.size();
        const bool mapped = end - (at + 11) > 4;  // five hex digits or more: 0x10000 and above
        if (!verdict.frame.empty() && !mapped) {
          at = end;
          continue;
        }
        transcript.replace(at + 9, end - (at + 9), "{{*}}");
        at += 14;
        changed = true;
      }
      if (changed) platform::writeWholeFile(expected, transcript);
    }
    printColoured(ConsoleColour::DarkYellow, "Written to %s and %s\n\n", path.c_str(), expected.c_str());
  } else {
    printColoured(ConsoleColour::DarkYellow, "Written to %s (no expected transcript: %s)\n\n", path.c_str(),
                  error.c_str());
  }
}

void Search::showProgress(bool force) {
  if (!terminal_) return;
  const std::int64_t now = platform::counter();
  if (!force && now - lastProgress_ < frequency_ / 4) return;
  lastProgress_ = now;
  Speaking speaking;
  const double seconds = elapsedSeconds();
  char text[160];
  std::snprintf(text, sizeof text, "\r%llu calls, %.0f calls/s, %d findings, corpus %llu, %.0f s",
                static_cast<unsigned long long>(calls_),
                seconds > 0 ? static_cast<double>(calls_) / seconds : 0.0, findings_, count(seeds_.size()),
                seconds);
  std::string line = text;
  if (line.size() < progressWidth_) line.append(progressWidth_ - line.size(), ' ');
  progressWidth_ = line.size();
  printColoured(ConsoleColour::DarkGray, "%s", line.c_str());
  flushOutput();
}

void Search::clearProgress() {
  if (progressWidth_ == 0) return;
  printColoured(ConsoleColour::White, "\r%s\r", std::string(progressWidth_, ' ').c_str());
  progressWidth_ = 0;
}

int Search::run() {
  if (!readScript() || !prepareFolder()) return 2;
  configureOutput(detectOutputSettings());
  if (!loadExtensions()) return 2;
  if (options_.jobs > 1) {
    printNotice(
        "--jobs: the blind search runs in one worker; parallel workers are for the coverage-guided search");
  }
  printColoured(ConsoleColour::DarkYellow, "%s",
                formatted("Searching with %llu calls of %s as seeds (--seed %llu)\n\n", count(seeds_.size()),
                          options_.script.c_str(), static_cast<unsigned long long>(options_.seed))
                    .c_str());
  flushOutput();
  platform::setSearchMode(true);
  extensionRegistry.calls().stackGap = kStackGap;
  configureOutput(Speaking::quiet());
  start_ = platform::counter();
  const std::uint64_t runs = options_.runs;
  const double seconds = options_.seconds;
  for (std::uint64_t round = 0; !stopped_; ++round) {
    if (runs != 0 && calls_ >= runs) break;
    if ((round & 63) == 0) {
      if (seconds > 0 && elapsedSeconds() >= seconds) break;
      showProgress(false);
    }
    const SearchCall& seed = seeds_[round < seeds_.size() ? round : random_.below(seeds_.size())];
    // Each seed runs once as it stands, then only its variants.
    SearchCall next =
        round < seeds_.size() ? seed : mutateCall(seed, functions_, random_, kExtensionOutputSize);
    if (!hung_.empty() && hung_.count(callCommandLine(next)) != 0) continue;  // each costs the time limit
    Verdict verdict = call(next);
    if (verdict.kind == FindingKind::Hang) hung_.insert(callCommandLine(next));
    if (verdict.kind != FindingKind::None) consider(next, verdict);
  }
  platform::setSearchMode(false);
  extensionRegistry.calls().stackGap = 0;
  const double elapsed = elapsedSeconds();
  showProgress(true);
  configureOutput(detectOutputSettings());
  clearProgress();
  printColoured(
      findings_ == 0 ? ConsoleColour::Green : ConsoleColour::Red, "%s",
      formatted("Search ended after %llu calls in %.1f s (%.0f calls/s): %d findings, corpus %llu\n",
                static_cast<unsigned long long>(calls_), elapsed,
                elapsed > 0 ? static_cast<double>(calls_) / elapsed : 0.0, findings_, count(seeds_.size()))
          .c_str());
  if (findings_ > 0) {
    printColoured(ConsoleColour::DarkYellow, "Replay them with: invokemodule --test %s\n",
                  options_.outDir.c_str());
  }
  if (stopped_) printNotice("The search stopped: an extension could not be loaded again");
  flushOutput();
  return findings_ == 0 && !stopped_ ? 0 : 1;
}

}  // namespace

Verdict judgeCall(const CallOutcome& outcome, const platform::CrashRecord& crash) {
  Verdict verdict;
  switch (outcome.status) {
    case CallStatus::Crashed:
      verdict.kind = crash.exited      ? FindingKind::Exit
                     : crash.abandoned ? FindingKind::Hang
                     : outcome.report.find("The call read argv[") != std::string::npos
                         ? FindingKind::ReadPastArguments
                         : FindingKind::Crash;
      if (verdict.kind == FindingKind::Hang) break;  // where a hung call was is no constant
      // The extension's own innermost frame; else the innermost one in any library not the
      // host's or the runtime's.
      for (bool own : {true, false}) {
        for (const platform::RawFrame& frame : crash.fault.frames) {
          if (frame.moduleBase == 0 || frame.hostOrRuntime) continue;
          if (own && frame.moduleBase != crash.fault.scopeModule) continue;
          verdict.frame = frame.moduleFile + "+" + hex(frame.address - frame.moduleBase);
          break;
        }
        if (!verdict.frame.empty()) break;
      }
      break;
    case CallStatus::Overrun:
      verdict.kind = FindingKind::Overrun;
      break;
    case CallStatus::Returned:
      if (outcome.milliseconds >= kSlowCallMilliseconds) verdict.kind = FindingKind::Slow;
      break;
    default:
      break;
  }
  return verdict;
}

const char* findingWords(FindingKind kind) {
  switch (kind) {
    case FindingKind::Crash:
      return "crash";
    case FindingKind::ReadPastArguments:
      return "read past the arguments";
    case FindingKind::Exit:
      return "exit() during a call";
    case FindingKind::Hang:
      return "call still running after the time limit (abandoned)";
    case FindingKind::Slow:
      return "call of 1000 ms or more";
    case FindingKind::Overrun:
      return "write past the output buffer";
    case FindingKind::LateWrite:
      return "write into the output buffer after the call returned";
    case FindingKind::None:
      break;
  }
  return "nothing";
}

const char* findingStem(FindingKind kind) {
  switch (kind) {
    case FindingKind::Crash:
      return "crash";
    case FindingKind::ReadPastArguments:
      return "read-past-arguments";
    case FindingKind::Exit:
      return "exit";
    case FindingKind::Hang:
      return "hang";
    case FindingKind::Slow:
      return "slow";
    case FindingKind::Overrun:
      return "overrun";
    case FindingKind::LateWrite:
      return "late-write";
    case FindingKind::None:
      break;
  }
  return "none";
}

int runSearch(const SearchOptions& options) {
  Search search(options);
  return search.run();
}
