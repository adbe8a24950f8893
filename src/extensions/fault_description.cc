// The words for each kind of fault and the choice of the frames a crash report shows.
#include "extensions/fault_description.h"

#include <cxxabi.h>

#include <cstdlib>
#include <iterator>

namespace {

using platform::FaultAccess;
using platform::FaultKind;
using platform::RawFault;

// How each kind is named where the system reports it as a signal (with the signal's name) and
// where it reports it as an exception (with its code).
struct KindWords {
  FaultKind kind;
  const char* signalName;
  const char* signalWords;
  const char* exceptionWords;
};

constexpr KindWords kKindWords[] = {
    {FaultKind::InvalidAccess, "SIGSEGV", "segmentation fault", "access violation"},
    {FaultKind::BusError, "SIGBUS", "bus error", "bus error"},
    {FaultKind::IllegalInstruction, "SIGILL", "illegal instruction", "illegal instruction"},
    {FaultKind::DivisionByZero, "SIGFPE", "division by zero", "division by zero"},
    {FaultKind::Arithmetic, "SIGFPE", "arithmetic error", "arithmetic error"},
    {FaultKind::Abort, "SIGABRT", "abort", "abort"},
    {FaultKind::Breakpoint, "SIGTRAP", "breakpoint trap", "breakpoint"},
    {FaultKind::ForeignException, "", "C++ exception", "C++ exception"},
};

const KindWords* wordsFor(FaultKind kind) {
  for (const KindWords& words : kKindWords) {
    if (words.kind == kind) return &words;
  }
  return nullptr;
}

// `mangled` as the C++ runtime demangles it (a function's name or a type's); as it is when it
// cannot.
std::string demangled(const std::string& mangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  std::string result = status == 0 && text != nullptr ? text : mangled;
  std::free(text);
  return result;
}

std::string describeCppException(const RawFault& fault) {
  std::string what = "C++ exception";
  if (!fault.exceptionType.empty()) what += ' ' + demangled(fault.exceptionType);
  if (fault.hasExceptionMessage) what += ": " + fault.exceptionMessage;
  return what;
}

// A signal no instruction caused: sent by a process, the host's own included.
std::string describeSentSignal(const RawFault& fault) {
  const KindWords* words = wordsFor(fault.kind);
  const char* name = words != nullptr && words->signalName[0] != '\0' ? words->signalName : "SIGABRT";
  std::string what = std::string("signal ") + name + " sent by process " + std::to_string(fault.senderPid);
  return fault.sentByThisProcess ? what + " (this process)" : what;
}

}  // namespace

void appendHex(std::string& text, std::uintptr_t value) {
  static const char kDigits[] = "0123456789abcdef";
  char reversed[2 * sizeof value];
  int count = 0;
  do {
    reversed[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  text += "0x";
  while (count > 0) text += reversed[--count];
}

std::string describeFault(const RawFault& fault) {
  switch (fault.kind) {
    case FaultKind::Abandoned:
      return "";
    case FaultKind::CppException:
      return describeCppException(fault);
    case FaultKind::UnloadedLibrary:
      return "a thread of " + fault.libraryName + " was still running after freeExtension";
    default:
      break;
  }
  // An abort() is a signal the process sends itself, and keeps its usual name.
  if (fault.sent && !(fault.kind == FaultKind::Abort && fault.sentByThisProcess)) {
    return describeSentSignal(fault);
  }
  if (fault.stackOverflow) return "stack overflow";
  bool asException = fault.exceptionCode != 0;
  std::string code;
  if (asException) {
    appendHex(code, fault.exceptionCode);
  } else {
    code = fault.signal != 0 ? std::to_string(fault.signal) : "";
  }
  const KindWords* words = wordsFor(fault.kind);
  if (words == nullptr) return (asException ? "exception " : "signal ") + code;
  std::string what = asException ? words->exceptionWords : words->signalWords;
  what += " (";
  what += asException ? code.c_str() : words->signalName;
  what += ')';
  if (fault.hasAddress && (fault.kind == FaultKind::InvalidAccess || fault.kind == FaultKind::BusError)) {
    static const char* const kAccessWords[] = {" at address ", " reading address ", " writing address ",
                                               " executing address "};
    what += kAccessWords[static_cast<int>(fault.access)];
    appendHex(what, fault.address);
  }
  return what;
}

namespace {

// A frame the report may show, with its place in the whole stack (frames omitted counted).
struct Candidate {
  const platform::RawFrame* raw;
  std::size_t depth;
};

CrashFrame frameOf(const platform::RawFrame& raw) {
  CrashFrame frame;
  frame.file = raw.moduleFile;
  frame.fileOffset = raw.address - raw.moduleBase;
  if (!raw.symbol.empty()) {
    frame.symbol = raw.symbol;
    frame.symbolOffset = raw.address - raw.symbolAddress;
  }
  frame.modulePath = raw.modulePath;
  frame.moduleBase = raw.moduleBase;
  frame.address = raw.address;
  return frame;
}

// Rounds of a recursion: `period` frames from `start` that repeat, round after round, down to
// the candidate `end` (the first that breaks the pattern, or the end of the list).
struct Recursion {
  std::size_t start = 0;
  std::size_t period = 0;
  std::size_t end = 0;
  std::uint64_t rounds = 0;
};

constexpr std::size_t kMaxRecursionStart = 8;
constexpr std::size_t kMaxRecursionPeriod = 8;
constexpr std::size_t kMinRecursionRounds = 3;

// The candidate at `index` continues the rounds that begin at `start`: its address is the one
// of the first round at the same place in the round, by its depth in the whole stack.
bool continuesRounds(const std::vector<Candidate>& frames, std::size_t start, std::size_t period,
                     std::size_t index) {
  std::size_t phase = (frames[index].depth - frames[start].depth) % period;
  return frames[index].depth >= frames[start].depth &&
         frames[index].raw->address == frames[start + phase].raw->address;
}

Recursion findRecursion(const std::vector<Candidate>& frames) {
  for (std::size_t start = 0; start < kMaxRecursionStart && start < frames.size(); ++start) {
    for (std::size_t period = 1; period <= kMaxRecursionPeriod; ++period) {
      if (start + kMinRecursionRounds * period > frames.size()) break;
      std::size_t end = start + period;
      while (end < frames.size() && continuesRounds(frames, start, period, end)) ++end;
      // Contiguous in the list (the depth of the last kept one tells the rounds it spans).
      std::uint64_t rounds = (frames[end - 1].depth - frames[start].depth) / period + 1;
      if (rounds >= kMinRecursionRounds) return Recursion{start, period, end, rounds};
    }
  }
  return Recursion{};
}

}  // namespace

std::vector<CrashFrame> selectCrashFrames(const RawFault& fault) {
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < fault.frames.size(); ++i) {
    const platform::RawFrame& raw = fault.frames[i];
    if (raw.moduleBase == 0) continue;
    if (fault.scopeModule != 0 ? raw.moduleBase != fault.scopeModule : raw.hostOrRuntime) continue;
    std::size_t depth =
        i >= fault.framesOmittedAt && fault.framesOmittedAt != 0 ? i + fault.framesOmitted : i;
    candidates.push_back(Candidate{&raw, depth});
  }
  Recursion recursion = findRecursion(candidates);
  std::vector<CrashFrame> frames;
  int shown = 0;
  for (std::size_t i = 0; i < candidates.size() && shown < kMaxCrashFrames; ++i) {
    if (recursion.period != 0 && i == recursion.start + recursion.period) {
      CrashFrame repeat;
      repeat.repeatedFrames = static_cast<int>(recursion.period);
      repeat.repeats = recursion.rounds - 1;
      frames.push_back(std::move(repeat));
      i = recursion.end;
      if (i >= candidates.size()) break;
    }
    frames.push_back(frameOf(*candidates[i].raw));
    ++shown;
  }
  return frames;
}

std::string demangledName(const std::string& name) { return name.starts_with("_Z") ? demangled(name) : name; }
