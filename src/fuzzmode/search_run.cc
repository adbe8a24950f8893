// The blind search: set-up, the loop of calls, judging, shrinking, the findings and the summary.
#include "fuzzmode/search_run.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <new>
#include <map>
#include <set>
#include <vector>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "commands/script_runner.h"
#include "extensions/call_watchdog.h"
#include "extensions/extension_calls.h"
#include "extensions/extension_code.h"
#include "extensions/extension_handle.h"
#include "extensions/extension_loader.h"
#include "extensions/extension_messages.h"
#include "extensions/extension_registry.h"
#include "extensions/extension_report.h"
#include "extensions/library_exports.h"
#include "extensions/library_search.h"
#include "fuzzmode/guided_calls.h"
#include "fuzzmode/search_calls.h"
#include "output/output.h"
#include "platform/coverage_engine.h"
#include "platform/dynamic_library.h"
#include "platform/exit_handlers.h"
#include "platform/file_copies.h"
#include "platform/platform.h"
#include "platform/search_workers.h"
#include "testmode/suite_runner.h"
#include "values/array_parser.h"
#include "values/number_text.h"
#include "values/plain_text.h"

namespace {

// How long shrinking one finding may take, and how many calls it may make.
constexpr double kShrinkSeconds = 30;
constexpr std::size_t kShrinkCalls = 4000;
// How many of the latest calls on a library are kept, to find the one that left its clean-up
// code to fail.
constexpr std::size_t kRecentCalls = 64;
// How many failures of clean-up code at one frame are looked into, while no call is found that
// gives it alone.
constexpr int kCleanUpTries = 8;
// How often a library's exit handlers are run again after one that did not return.
constexpr int kExitHandlerRounds = 64;
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

// The extension's own innermost frame; else the innermost one in any library not the host's or
// the runtime's; empty when there is none.
std::string innermostFrame(const platform::CrashRecord& crash) {
  for (bool own : {true, false}) {
    for (const platform::RawFrame& frame : crash.fault.frames) {
      if (frame.moduleBase == 0 || frame.hostOrRuntime) continue;
      if (own && frame.moduleBase != crash.fault.scopeModule) continue;
      return frame.moduleFile + "+" + hex(frame.address - frame.moduleBase);
    }
  }
  return {};
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

// What the workers of one search share (in memory that zero-fills): the calls each made, the
// numbers given to findings and the findings' keys, so that each is told by one worker.
struct SharedTally {
  static constexpr int kMaxWorkers = 256;
  static constexpr std::size_t kMaxKeys = 4096;
  std::atomic<std::uint64_t> calls[kMaxWorkers];
  std::atomic<int> findings;
  std::atomic<bool> stopped;                  // a worker could not load an extension again
  std::atomic<std::uint64_t> keys[kMaxKeys];  // hashes of the keys claimed; 0: a free slot

  // True for the first worker to claim `key` (and, past kMaxKeys keys, for every one).
  bool claim(const std::string& key) {
    const std::uint64_t hash = std::hash<std::string>{}(key) | 1;
    for (std::size_t probe = 0; probe < kMaxKeys; ++probe) {
      std::uint64_t found = 0;
      if (keys[(hash + probe) % kMaxKeys].compare_exchange_strong(found, hash)) return true;
      if (found == hash) return false;
    }
    return true;
  }
  std::uint64_t totalCalls() const {
    std::uint64_t total = 0;
    for (const auto& worker : calls) total += worker.load();
    return total;
  }
};

class Search {
 public:
  explicit Search(const SearchOptions& options) : options_(options), random_(options.seed) {}
  int run();
  void tellLoaderCrash(const char* description);

 private:
  bool readScript();
  bool prepareFolder();
  void startWorkers();
  std::string workersText() const;
  void beginSearching(const std::string& announcement);  // ", <n> workers" when there is more than one
  bool loadExtensions();
  ExtensionEntry* entryFor(const std::string& typedName);
  bool reload(const std::string& typedName);
  bool handlersAhead(const std::string& typedName, const ExtensionEntry& entry);
  void runExitHandlersAhead(const std::string& typedName);
  Verdict cleanUpAfter(const SearchCall& call);
  void considerCleanUp();
  void cleanUpAtEnd();
  bool instrumented();
  [[noreturn]] void runGuided();
  void step(const SearchCall& next);
  bool limitReached(bool askTime);
  int finish();
  Verdict call(const SearchCall& call);
  void consider(const SearchCall& call, const Verdict& verdict);
  // The smallest call that `gives` still answers true for, and the report of its latest try.
  SearchCall shrink(SearchCall call, const std::function<bool(const SearchCall&)>& gives,
                    std::string* report);
  // `calls` are the finding script's calls, the last one shown; with `unload`, freeExtension ends it.
  void tell(const std::vector<SearchCall>& calls, bool unload, const Verdict& verdict,
            const std::string& report);
  void writeFinding(const std::vector<SearchCall>& calls, bool unload, const Verdict& verdict, int number);
  void tick(bool force);  // publishes this worker's calls; the first one shows the progress
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
  int findings_ = 0;            // told by this worker
  std::uint64_t calls_ = 0;
  int worker_ = 0;  // 0: the first worker, which speaks for all
  int workers_ = 1;
  std::uint64_t seed_ = 1;  // this worker's: the option's plus its number
  std::uint64_t runs_ = 0;  // this worker's share of --runs
  SharedTally* tally_ = nullptr;
  bool stopped_ = false;  // an extension can no longer be loaded
  // Why, as the summary says it.
  const char* stopReason_ = "an extension could not be loaded again";
  std::int64_t frequency_ = platform::counterFrequency();
  std::int64_t start_ = 0;
  std::int64_t lastProgress_ = 0;
  std::size_t progressWidth_ = 0;
  bool terminal_ = platform::outputIsTerminal();
  bool finished_ = false;
  int status_ = 0;
  std::vector<platform::LoadedLibrary> pinned_;  // instrumented libraries, kept mapped

  // The clean-up code's search: whether the exit handlers of each library (by the name typed)
  // are run ahead of its unload after every failed call; the latest calls made on it since it
  // was loaded; and a failure there, until it is considered.
  std::map<std::string, bool> handlersAhead_;
  std::string reloading_;  // the typed name of the library being unloaded and loaded again
  std::string noReplay_;   // why a finding's replay cannot be recorded now, if it cannot
  struct RecentCalls {
    std::vector<SearchCall> ring;  // at most kRecentCalls, each slot written over in turn
    std::size_t next = 0;          // the slot of the next call once the ring is full
    void add(const SearchCall& call);
    std::vector<SearchCall> inOrder() const;
    void clear() {
      ring.clear();
      next = 0;
    }
  };
  std::map<std::string, RecentCalls> recent_;
  std::string recentName_;  // the extension of the latest call, and its calls
  RecentCalls* recentFor_ = nullptr;
  std::map<std::string, int> cleanUpTries_;  // by finding key
  struct CleanUpFailure {
    bool failed = false;
    Verdict verdict;
    std::string report;
    std::vector<SearchCall> calls;  // the latest made on the library before it
  } cleanUp_;
};

// The search whose library clean-up code the loader ran when it failed; see tellLoaderCrash.
Search* searchRunning = nullptr;

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
  runExitHandlersAhead(typedName);
  const ExtensionEntry* old = entryFor(typedName);
  const std::string file = old != nullptr ? old->file : std::string();
  reloading_ = typedName;
  extensionRegistry.unload(key);
  recent_[typedName].clear();
  // One the system keeps in memory would go on with its objects destroyed.
  if (extensionRegistry.residentStamp(file) != nullptr) handlersAhead_[typedName] = false;
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
  reloading_.clear();
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
  // Kept for the clean-up code, which the instrumented libraries of the guided search never run.
  if (pinned_.empty()) {
    if (recentFor_ == nullptr || call.extension != recentName_) {
      recentName_ = call.extension;
      recentFor_ = &recent_[call.extension];
    }
    recentFor_->add(call);
  }
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

SearchCall Search::shrink(SearchCall call, const std::function<bool(const SearchCall&)>& gives,
                          std::string* report) {
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
      if (gives(candidate)) {
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
  // A late write belongs to an earlier call, whose thread wrote later: told as it came.
  const bool late = verdict.kind == FindingKind::LateWrite;
  if (!late && this->call(call) != verdict) return;  // it does not happen again: not told
  if (!tally_->claim(key)) return;                   // another worker tells it
  std::string report = report_;
  SearchCall smallest =
      late
          ? call
          : shrink(
                call, [&](const SearchCall& candidate) { return this->call(candidate) == verdict; }, &report);
  tell({smallest}, false, verdict, report);
}

void Search::tell(const std::vector<SearchCall>& calls, bool unload, const Verdict& verdict,
                  const std::string& report) {
  Speaking speaking;
  clearProgress();
  ++findings_;
  const int number = tally_->findings.fetch_add(1) + 1;
  std::string line = callCommandLine(calls.back());
  if (line.size() > kShownLineBytes) line = line.substr(0, kShownLineBytes) + "...";
  {
    OutputLock lock;
    printColoured(ConsoleColour::Red, "Finding %d: %s%s\n", number, findingWords(verdict.kind),
                  verdict.frame.empty() ? "" : (" at " + verdict.frame).c_str());
    printColoured(ConsoleColour::White, "%s\n", line.c_str());
    printCrashReport(report);
  }
  writeFinding(calls, unload, verdict, number);
  flushOutput();
}

// Copied into a slot whose memory is reused: once warm, a call costs no allocation here.
void Search::RecentCalls::add(const SearchCall& call) {
  if (ring.size() < kRecentCalls) {
    ring.push_back(call);
    return;
  }
  ring[next] = call;
  next = (next + 1) % kRecentCalls;
}

std::vector<SearchCall> Search::RecentCalls::inOrder() const {
  std::vector<SearchCall> calls(ring.begin() + static_cast<std::ptrdiff_t>(next), ring.end());
  calls.insert(calls.end(), ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(next));
  return calls;
}

// Whether the exit handlers of the library typed so are run ahead of its unload: where the
// platform can and the unload frees the library, as far as its file tells (else it is seen
// after the first unload).
bool Search::handlersAhead(const std::string& typedName, const ExtensionEntry& entry) {
  auto ahead = handlersAhead_.find(typedName);
  if (ahead != handlersAhead_.end()) return ahead->second;
  bool freed = platform::libraryExitHandlersRunAhead() && pinned_.empty();
  if (freed) {
    const ResidencyCauses causes = residencyCauses(entry.file);
    freed = !causes.gnuUnique && !causes.threadLocalDestructors;
  }
  return handlersAhead_.emplace(typedName, freed).first->second;
}

// Before a library is unloaded, its exit handlers run ahead under the crash guard, where they
// can: the first that does not return is kept as the failure of its clean-up code, with the
// calls that came before it, and the rest are run again until none is left.
void Search::runExitHandlersAhead(const std::string& typedName) {
  ExtensionEntry* entry = entryFor(typedName);
  if (entry == nullptr || !handlersAhead(typedName, *entry)) return;
  for (int round = 0; round < kExitHandlerRounds && !::runExitHandlersAhead(*entry); ++round) {
    if (cleanUp_.failed) continue;
    cleanUp_.failed = true;
    cleanUp_.verdict = judgeCleanUp(extensionRegistry.calls().crash);
    cleanUp_.report = failedCallText(CallSite{kCleanUpCodeSite, nullptr});
    cleanUp_.calls = recent_[typedName].inOrder();
  }
}

// The clean-up code that the system's loader runs itself (a library's destructor functions;
// on Windows all of it, its static objects' destructors and atexit functions too) failed while
// the search unloaded the library: the loader is left holding its lock, half-way through the
// unload, and no library can be loaded or unloaded safely in this process again. The failure
// is told as a finding, with the latest calls on the library and its unload as its script, not
// shrunk (that would load the library again) nor replayed, then the summary, and the worker ends.
void Search::tellLoaderCrash(const char* description) {
  if (reloading_.empty() || std::string_view(description) != kCleanUpCodeSite) return;
  const std::vector<SearchCall> calls = recent_[reloading_].inOrder();
  const Verdict verdict = judgeCleanUp(extensionRegistry.calls().crash);
  const std::string report = failedCallText(CallSite{description, nullptr});
  const std::string key = std::string(findingStem(verdict.kind)) + " " + verdict.frame;
  // The replay is not recorded: on Windows no thread can start while the loader's lock is held,
  // and the test mode's runner reads the replay's output on one.
  noReplay_ = "the system's loader stays locked in this process; --test --update records it";
  if (!calls.empty() && seen_.insert(key).second && tally_->claim(key)) tell(calls, true, verdict, report);
  stopped_ = true;
  stopReason_ = "the system's loader faulted in clean-up code and stays locked";
  const int status = finish();
  std::fflush(nullptr);
  platform::endProcessNow(status);
}

// Whether the clean-up code of a fresh library fails after `call` alone (the library is
// unloaded after it, unless the call failed and the library was loaded again already).
Verdict Search::cleanUpAfter(const SearchCall& call) {
  if (!reload(call.extension)) return {};
  cleanUp_ = {};
  this->call(call);
  if (!cleanUp_.failed) reload(call.extension);
  const Verdict verdict = cleanUp_.failed ? cleanUp_.verdict : Verdict{};
  if (cleanUp_.failed) report_ = cleanUp_.report;
  cleanUp_ = {};
  return verdict;
}

// The exit handlers run ahead once more when the search ends: a failure the last calls left is a
// finding too, and the unload after the search runs none of them.
void Search::cleanUpAtEnd() {
  std::set<std::string> names;
  for (const SearchCall& seed : seeds_) {
    if (stopped_ || !names.insert(seed.extension).second) continue;
    runExitHandlersAhead(seed.extension);
    if (!cleanUp_.failed) continue;
    considerCleanUp();
    runExitHandlersAhead(seed.extension);
    cleanUp_ = {};
  }
}

// A failure of clean-up code new by its frame: the call that leaves it behind alone, the latest
// first of those made before it, is shrunk and told with the unload after it.
void Search::considerCleanUp() {
  const CleanUpFailure failure = std::move(cleanUp_);
  cleanUp_ = {};

  const std::string key = std::string(findingStem(failure.verdict.kind)) + " " + failure.verdict.frame;
  // The call that left it may lie before the calls kept: it is looked for again next time,
  // a few times.
  if (seen_.count(key) != 0) return;
  if (++cleanUpTries_[key] == kCleanUpTries) seen_.insert(key);
  auto gives = [&](const SearchCall& candidate) { return cleanUpAfter(candidate) == failure.verdict; };
  const SearchCall* alone = nullptr;
  for (auto call = failure.calls.rbegin(); call != failure.calls.rend() && alone == nullptr && !stopped_;
       ++call) {
    if (gives(*call)) alone = &*call;
  }
  if (alone == nullptr) return;  // no one call gives it again: not told
  seen_.insert(key);
  if (!tally_->claim(key)) return;  // another worker tells it
  std::string report = report_;
  tell({shrink(*alone, gives, &report)}, true, failure.verdict, report);
}

void Search::writeFinding(const std::vector<SearchCall>& calls, bool unload, const Verdict& verdict,
                          int number) {
  const std::string path =
      options_.outDir + "/" + findingStem(verdict.kind) + "-" + std::to_string(number) + ".sqf";
  std::string text = "// " + std::string(findingWords(verdict.kind)) +
                     (verdict.frame.empty() ? "" : " at " + verdict.frame) +
                     ", found by invokemodule --fuzz --seed " + std::to_string(seed_) + " " +
                     options_.script + "\n";
  for (const std::string& line : setupLines_) text += line + "\n";
  // After the set-up, as in the search, the replay abandons a call that runs too long, and so
  // tells the hang the search found instead of hanging itself.
  text += "callTimeLimit ";
  appendNumber(text, static_cast<float>(kSearchCallLimitMilliseconds) / 1000);
  text += "\n";
  for (const SearchCall& call : calls) text += callCommandLine(call) + "\n";
  if (unload) text += "freeExtension \"" + calls.back().extension + "\"\n";
  if (!platform::writeWholeFile(path, text)) {
    printColoured(ConsoleColour::DarkYellow, "Cannot write %s\n\n", path.c_str());
    return;
  }
  std::string expected;
  std::string error = noReplay_;
  if (error.empty() && recordExpectedTranscript(path, kReplaySeconds, &expected, &error)) {
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
  const std::uint64_t calls = tally_->totalCalls();
  std::snprintf(text, sizeof text, "\r%llu calls, %.0f calls/s, %d findings, corpus %llu, %.0f s",
                static_cast<unsigned long long>(calls),
                seconds > 0 ? static_cast<double>(calls) / seconds : 0.0, tally_->findings.load(),
                count(seeds_.size()), seconds);
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
  platform::loadCoverageEngine();  // before the extensions: an instrumented one needs its hooks
  startWorkers();
  // Each worker sets itself up; the first one's set-up is shown.
  if (worker_ > 0) platform::silenceStandardStreams(true);
  const bool loaded = loadExtensions();
  flushOutput();
  platform::silenceStandardStreams(false);
  if (!loaded) return 2;
  if (instrumented()) runGuided();
  beginSearching(formatted("Searching with %llu calls of %s as seeds (--seed %llu)%s\n\n",
                           count(seeds_.size()), options_.script.c_str(),
                           static_cast<unsigned long long>(options_.seed), workersText().c_str()));
  // The clock is read every 64 calls.
  for (std::uint64_t round = 0; !limitReached((round & 63) == 0); ++round) {
    if ((round & 63) == 0) tick(false);
    const SearchCall& seed = seeds_[round < seeds_.size() ? round : random_.below(seeds_.size())];
    // Each seed runs once as it stands, then only its variants.
    step(round < seeds_.size() ? seed : mutateCall(seed, functions_, random_, kExtensionOutputSize));
  }
  cleanUpAtEnd();
  return finish();
}

// Makes the workers --jobs asks for, each searching with its own seed and its share of --runs.
void Search::startWorkers() {
  workers_ = options_.jobs;
  if (workers_ > 1 && !platform::searchWorkersSupported()) {
    printNotice("--jobs: the search runs in one worker on this system");
    workers_ = 1;
  }
  void* shared = platform::mapSharedMemory(sizeof(SharedTally));
  if (shared == nullptr) workers_ = 1;  // then a tally of its own
  tally_ = new (shared != nullptr ? shared : ::operator new(sizeof(SharedTally))) SharedTally();
  flushOutput();
  worker_ = platform::startSearchWorkers(workers_);
  seed_ = options_.seed + static_cast<std::uint64_t>(worker_);
  random_ = SearchRandom(seed_);
  const auto workers = static_cast<std::uint64_t>(workers_);
  const auto worker = static_cast<std::uint64_t>(worker_);
  runs_ = options_.runs / workers + (worker < options_.runs % workers ? 1 : 0);
  terminal_ = terminal_ && worker_ == 0;
}

std::string Search::workersText() const {
  return workers_ > 1 ? ", " + std::to_string(workers_) + " workers" : std::string();
}

void Search::tick(bool force) {
  tally_->calls[worker_].store(calls_);
  showProgress(force);
}

// The first worker says how the search goes; then every worker calls quietly, below the
// stack gap, under the time limit, with the clock started. finish() undoes it.
void Search::beginSearching(const std::string& announcement) {
  if (worker_ == 0) printColoured(ConsoleColour::DarkYellow, "%s", announcement.c_str());
  flushOutput();
  platform::setSearchMode(true);
  extensionRegistry.calls().stackGap = kStackGap;
  extensionRegistry.calls().watchdog.setTimeLimit(kSearchCallLimitMilliseconds / 1000.0);
  configureOutput(Speaking::quiet());
  start_ = platform::counter();
}

bool Search::limitReached(bool askTime) {
  return stopped_ || (runs_ != 0 && calls_ >= runs_) ||
         (askTime && options_.seconds > 0 && elapsedSeconds() >= options_.seconds);
}

void Search::step(const SearchCall& next) {
  if (!hung_.empty() && hung_.count(callCommandLine(next)) != 0) return;  // each costs the time limit
  Verdict verdict = call(next);
  if (verdict.kind == FindingKind::Hang) hung_.insert(callCommandLine(next));
  if (verdict.kind != FindingKind::None) consider(next, verdict);
  if (cleanUp_.failed) considerCleanUp();
}

// The summary, once; returns the exit status.
int Search::finish() {
  if (finished_) return status_;
  finished_ = true;
  platform::setSearchMode(false);
  extensionRegistry.calls().stackGap = CallState::kSessionStackGap;
  extensionRegistry.calls().watchdog.setTimeLimit(0);
  tally_->calls[worker_].store(calls_);
  if (stopped_) tally_->stopped.store(true);
  if (worker_ > 0) {  // the first worker sums up for all
    flushOutput();
    status_ = findings_ == 0 && !stopped_ ? 0 : 1;
    return status_;
  }
  tick(true);
  platform::waitForSearchWorkers();
  const double elapsed = elapsedSeconds();
  const std::uint64_t calls = tally_->totalCalls();
  const int findings = tally_->findings.load();
  stopped_ = tally_->stopped.load();
  configureOutput(detectOutputSettings());
  clearProgress();
  printColoured(
      findings == 0 ? ConsoleColour::Green : ConsoleColour::Red, "%s",
      formatted("Search ended after %llu calls in %.1f s (%.0f calls/s): %d findings, corpus %llu\n",
                static_cast<unsigned long long>(calls), elapsed,
                elapsed > 0 ? static_cast<double>(calls) / elapsed : 0.0, findings, count(seeds_.size()))
          .c_str());
  if (findings > 0) {
    printColoured(ConsoleColour::DarkYellow, "Replay them with: invokemodule --test %s\n",
                  options_.outDir.c_str());
  }
  if (stopped_) printNotice((std::string("The search stopped: ") + stopReason_).c_str());
  flushOutput();
  status_ = findings == 0 && !stopped_ ? 0 : 1;
  return status_;
}

// True when the engine is loaded and a seed's library carries its coverage instrumentation.
// Each such library is kept mapped for the rest of the run (the engine reads its counters):
// after a crash it is loaded again without being run afresh.
bool Search::instrumented() {
  if (!platform::coverageEngineLoaded()) return false;
  std::set<std::string> files;
  for (const SearchCall& seed : seeds_) {
    ExtensionEntry* entry = entryFor(seed.extension);
    if (entry == nullptr || !files.insert(entry->file).second) continue;
    if (!elfCoverageInstrumented(systemLibraries().readStart(entry->file, std::size_t{256} << 20))) continue;
    platform::LibraryOpenFailure failure;
    pinned_.emplace_back(platform::openLibrary(entry->file, &failure));
  }
  return !pinned_.empty();
}

// The coverage-guided search: libFuzzer makes the inputs, each decoded into a call and judged
// as the blind search judges its calls. Its corpus and dictionary live under the findings folder;
// the workers share the corpus, each reading in what the others add.
void Search::runGuided() {
  const std::string corpus = options_.outDir + "/corpus";
  const std::string dictionary = options_.outDir + "/dictionary";
  platform::makeFolder(corpus);
  for (std::size_t index = 0; index < seeds_.size(); ++index) {
    platform::writeWholeFile(corpus + "/seed-" + std::to_string(index + 1),
                             encodeGuidedSeed(index, seeds_[index]));
  }
  std::vector<std::string> flags = {"-seed=" + std::to_string(seed_),
                                    "-max_len=4096",
                                    "-timeout=0",
                                    "-rss_limit_mb=0",
                                    "-print_final_stats=0",
                                    "-handle_segv=0",
                                    "-handle_bus=0",
                                    "-handle_abrt=0",
                                    "-handle_ill=0",
                                    "-handle_fpe=0",
                                    "-handle_usr1=0",
                                    "-handle_usr2=0"};
  if (platform::writeWholeFile(dictionary, guidedDictionary(seeds_))) flags.push_back("-dict=" + dictionary);
  if (runs_ != 0) flags.push_back("-runs=" + std::to_string(runs_));
  if (options_.seconds > 0)
    flags.push_back("-max_total_time=" + std::to_string(static_cast<long long>(options_.seconds)));
  flags.push_back(corpus);
  beginSearching(
      formatted("Searching coverage-guided (libFuzzer) with %llu calls of %s as seeds (--seed %llu)%s, "
                "corpus in %s\n\n",
                count(seeds_.size()), options_.script.c_str(), static_cast<unsigned long long>(options_.seed),
                workersText().c_str(), corpus.c_str()));
  platform::runCoverageEngine(
      flags,
      [this](const std::uint8_t* data, std::size_t size) {
        if (finished_) return;
        const bool ask = (calls_ & 63) == 0;
        if (ask) tick(false);
        step(decodeGuidedCall(data, size, seeds_, functions_, kExtensionOutputSize));
        if (limitReached(ask)) {
          const int status = finish();
          std::fflush(nullptr);
          platform::endProcessNow(status);
        }
      },
      [this] { return finish(); });
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
      verdict.frame = innermostFrame(crash);
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

Verdict judgeCleanUp(const platform::CrashRecord& crash) {
  Verdict verdict;
  verdict.kind = FindingKind::CleanUp;
  if (!crash.abandoned) verdict.frame = innermostFrame(crash);
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
    case FindingKind::CleanUp:
      return "exit(), a fault or a hang in clean-up code";
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
    case FindingKind::CleanUp:
      return "cleanup";
    case FindingKind::None:
      break;
  }
  return "none";
}

int runSearch(const SearchOptions& options) {
  Search search(options);
  searchRunning = &search;
  setLoaderCrashTeller([](const char* description) { searchRunning->tellLoaderCrash(description); });
  const int status = search.run();
  setLoaderCrashTeller(nullptr);
  searchRunning = nullptr;
  return status;
}
