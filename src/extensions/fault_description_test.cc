// Tests of the words for each fault and of the frames a crash report shows.
#include "extensions/fault_description.h"

#include <gtest/gtest.h>

namespace {

using platform::FaultAccess;
using platform::FaultKind;
using platform::RawFault;

// A fault the system reported as signal `signal`.
RawFault signalFault(FaultKind kind, int signal) {
  RawFault fault;
  fault.kind = kind;
  fault.signal = signal;
  return fault;
}

RawFault withAddress(RawFault fault, FaultAccess access, std::uintptr_t address) {
  fault.hasAddress = true;
  fault.access = access;
  fault.address = address;
  return fault;
}

RawFault exceptionFault(FaultKind kind, std::uint32_t code) {
  RawFault fault;
  fault.kind = kind;
  fault.exceptionCode = code;
  return fault;
}

RawFault sent(RawFault fault, std::int64_t pid, bool self) {
  fault.sent = true;
  fault.senderPid = pid;
  fault.sentByThisProcess = self;
  return fault;
}

RawFault cppException(const char* type, const char* message) {
  RawFault fault;
  fault.kind = FaultKind::CppException;
  fault.exceptionType = type;
  fault.hasExceptionMessage = message != nullptr;
  if (message != nullptr) fault.exceptionMessage = message;
  return fault;
}

TEST(FaultDescription, WordsForEachFault) {
  constexpr auto kSegv = FaultKind::InvalidAccess;
  struct Row {
    RawFault fault;
    const char* expected;
  } rows[] = {
      // Signals, named by the signal; each access of a memory fault.
      {withAddress(signalFault(kSegv, 11), FaultAccess::Unknown, 0xdead),
       "segmentation fault (SIGSEGV) at address 0xdead"},
      {withAddress(signalFault(FaultKind::BusError, 7), FaultAccess::Unknown, 0x7f00),
       "bus error (SIGBUS) at address 0x7f00"},
      {signalFault(FaultKind::Arithmetic, 8), "arithmetic error (SIGFPE)"},
      {signalFault(FaultKind::Abort, 6), "abort (SIGABRT)"},
      {signalFault(FaultKind::Breakpoint, 5), "breakpoint trap (SIGTRAP)"},
      {signalFault(FaultKind::Other, 31), "signal 31"},
      // Sent signals; an abort() the process sent itself keeps its name.
      {sent(signalFault(kSegv, 11), 4242, false), "signal SIGSEGV sent by process 4242"},
      {sent(signalFault(FaultKind::Arithmetic, 8), 17, true),
       "signal SIGFPE sent by process 17 (this process)"},
      {sent(signalFault(FaultKind::Abort, 6), 17, false), "signal SIGABRT sent by process 17"},
      {sent(signalFault(FaultKind::Abort, 6), 17, true), "abort (SIGABRT)"},
      // Exceptions, named by their code; each access of an access violation.
      {withAddress(exceptionFault(kSegv, 0xC0000005), FaultAccess::Execute, 0x4),
       "access violation (0xc0000005) executing address 0x4"},
      {exceptionFault(kSegv, 0xC0000005), "access violation (0xc0000005)"},
      {exceptionFault(FaultKind::Breakpoint, 0x80000003), "breakpoint (0x80000003)"},
      {exceptionFault(FaultKind::Other, 0xC0000096), "exception 0xc0000096"},
      // The host's own C++ runtime, an abandon, a library gone.
      {cppException("", nullptr), "C++ exception"},
      {signalFault(FaultKind::Abandoned, 2), ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(describeFault(row.fault), row.expected);
  }
}

TEST(FaultDescription, FramesOfTheScopeOrOfEveryLibrary) {
  const platform::RawFrame host{0x401000, 0x400000, "invokemodule",     true,
                                "main",   0x400f00, "/bin/invokemodule"};
  const platform::RawFrame lost{0x9000, 0, "", false, "", 0, ""};
  const platform::RawFrame inner{0x10123, 0x10000, "a.so", false, "RVExtension", 0x10100, "./a.so"};
  const platform::RawFrame other{0x20010, 0x20000, "b.so", false, "", 0, "/x/b.so"};
  RawFault fault;
  fault.frames = {host, lost, inner, other};
  struct Row {
    std::uintptr_t scope;
    std::vector<std::string> files;
  } rows[] = {
      {0, {"a.so", "b.so"}},  // no scope: all but the host's and the runtimes'
      {0x20000, {"b.so"}},    // the scope's alone
      {0x400000, {"invokemodule"}},
  };
  for (const Row& row : rows) {
    fault.scopeModule = row.scope;
    std::vector<std::string> files;
    for (const CrashFrame& frame : selectCrashFrames(fault)) files.push_back(frame.file);
    EXPECT_EQ(files, row.files) << row.scope;
  }
  fault.scopeModule = 0;
  std::vector<CrashFrame> frames = selectCrashFrames(fault);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].fileOffset, 0x123u);
  EXPECT_EQ(frames[0].symbol, "RVExtension");
  EXPECT_EQ(frames[0].symbolOffset, 0x23u);
  EXPECT_EQ(frames[1].symbol, "");
  EXPECT_EQ(frames[0].modulePath, "./a.so");
  EXPECT_EQ(frames[0].address, 0x10123u);
  EXPECT_EQ(frames[1].moduleBase, 0x20000u);
}

// Frames of a.so at the given offsets, and how a report shows them: the offsets, and "R<n>x<k>"
// for a line saying the <n> frames above repeat <k> more times.
std::vector<std::string> shownFrames(const std::vector<std::uintptr_t>& offsets, std::size_t omittedAt = 0,
                                     std::size_t omitted = 0) {
  RawFault fault;
  for (std::uintptr_t offset : offsets) {
    fault.frames.push_back({0x10000 + offset, 0x10000, "a.so", false, "", 0, "a.so"});
  }
  fault.framesOmittedAt = omittedAt;
  fault.framesOmitted = omitted;
  std::vector<std::string> shown;
  for (const CrashFrame& frame : selectCrashFrames(fault)) {
    // Appended piece by piece: a chain of + on temporaries trips a false -Wrestrict of 32-bit gcc.
    std::string text;
    if (frame.repeatedFrames != 0) {
      text.append("R")
          .append(std::to_string(frame.repeatedFrames))
          .append("x")
          .append(std::to_string(frame.repeats));
    } else {
      text = std::to_string(frame.fileOffset);
    }
    shown.push_back(text);
  }
  return shown;
}

TEST(FaultDescription, RecursionShownOnceWithItsRepeats) {
  struct Row {
    std::vector<std::uintptr_t> offsets;
    std::size_t omittedAt, omitted;
    std::vector<std::string> expected;
  } rows[] = {
      // The faulting frame, a function calling itself, then its callers.
      {{1, 2, 2, 2, 2, 5, 6}, 0, 0, {"1", "2", "R1x3", "5", "6"}},
      // Two functions calling each other, most of the rounds counted but not kept: the kept
      // outer frames continue the rounds at their depth.
      {{9, 1, 2, 1, 2, 1, 2, 1, 2, 3}, 7, 1000, {"9", "1", "2", "R2x503", "3"}},
      // A recursion that reaches the outermost frame kept.
      {{1, 1, 1, 1}, 0, 0, {"1", "R1x3"}},
      // Two rounds are not a recursion worth a line.
      {{1, 1, 2}, 0, 0, {"1", "1", "2"}},
      {{1, 2, 3, 4}, 0, 0, {"1", "2", "3", "4"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(shownFrames(row.offsets, row.omittedAt, row.omitted), row.expected);
  }
  std::vector<std::uintptr_t> deep;
  for (std::uintptr_t i = 0; i < 40; ++i) deep.push_back(i);
  EXPECT_EQ(shownFrames(deep).size(), static_cast<std::size_t>(kMaxCrashFrames));
}

TEST(FaultDescription, DemangledNames) {
  EXPECT_EQ(demangledName("_ZN12_GLOBAL__N_18readNullEv"), "(anonymous namespace)::readNull()");
  EXPECT_EQ(demangledName("RVExtension"), "RVExtension");
  EXPECT_EQ(demangledName("_Zbroken"), "_Zbroken");  // not a valid mangled name: kept
  EXPECT_EQ(demangledName("?f@@YAXH@Z"), "?f@@YAXH@Z");
}

}  // namespace
