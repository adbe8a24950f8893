// The blind search of --fuzz: calls an extension, in-process and under the crash guard, with
// variants of a script's calls, judges each call, shrinks every distinct finding to the
// smallest call that still gives it, reports it with the host's crash report and writes it as
// a script and expected transcript that --test replays.
#ifndef INVOKEMODULE_FUZZMODE_SEARCH_RUN_H_
#define INVOKEMODULE_FUZZMODE_SEARCH_RUN_H_

#include <cstdint>
#include <string>

#include "extensions/call_outcome.h"
#include "platform/crash_guard.h"

struct SearchOptions {
  std::string script;
  std::uint64_t runs = 0;  // calls to make; 0: no limit
  double seconds = 0;      // how long to search; 0: no limit
  std::uint64_t seed = 1;
  std::string outDir = "fuzz-findings";
  int jobs = 1;
};

// A call still running after this long is abandoned and counts as a hang.
inline constexpr std::int64_t kSearchCallLimitMilliseconds = 2000;

// What a call that the search made came to, as a finding.
enum class FindingKind { None, Crash, ReadPastArguments, Exit, Hang, Slow, Overrun, LateWrite, CleanUp };

struct Verdict {
  FindingKind kind = FindingKind::None;
  std::string frame;  // the innermost frame in the extension: "<file>+0x<offset>", or empty
  bool operator==(const Verdict&) const = default;
};

// Judges one call's outcome (and, for a failed call, the crash record): its kind and the
// frame that tells one finding of that kind from another.
Verdict judgeCall(const CallOutcome& outcome, const platform::CrashRecord& crash);

// Judges the crash record of a library's clean-up code that did not return (a fault, an exit()
// or an abandon): a CleanUp finding, at the innermost frame in the library (none when abandoned).
Verdict judgeCleanUp(const platform::CrashRecord& crash);

// The words for a kind: "crash", "exit() during a call", ...; and the file name stem.
const char* findingWords(FindingKind kind);
const char* findingStem(FindingKind kind);

// Runs the search; returns the exit status: 0 nothing found, 1 something was, 2 the script
// holds no call, an extension cannot be loaded, or the findings folder cannot be written.
int runSearch(const SearchOptions& options);

#endif  // INVOKEMODULE_FUZZMODE_SEARCH_RUN_H_
