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

RawFault overflow(RawFault fault) {
  fault.stackOverflow = true;
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

RawFault unloaded(const char* name) {
  RawFault fault;
  fault.kind = FaultKind::UnloadedLibrary;
  fault.libraryName = name;
  return fault;
}

TEST(FaultDescription, WordsForEachFault) {
  constexpr auto kSegv = FaultKind::InvalidAccess;
  struct Row {
    RawFault fault;
    const char* expected;
  } rows[] = {
      // Signals, named by the signal; each access of a memory fault.
      {withAddress(signalFault(kSegv, 11), FaultAccess::Read, 0),
       "segmentation fault (SIGSEGV) reading address 0x0"},
      {withAddress(signalFault(kSegv, 11), FaultAccess::Write, 0x1f0),
       "segmentation fault (SIGSEGV) writing address 0x1f0"},
      {withAddress(signalFault(kSegv, 11), FaultAccess::Unknown, 0xdead),
       "segmentation fault (SIGSEGV) at address 0xdead"},
      {withAddress(signalFault(FaultKind::BusError, 7), FaultAccess::Unknown, 0x7f00),
       "bus error (SIGBUS) at address 0x7f00"},
      {signalFault(FaultKind::IllegalInstruction, 4), "illegal instruction (SIGILL)"},
      {signalFault(FaultKind::DivisionByZero, 8), "division by zero (SIGFPE)"},
      {signalFault(FaultKind::Arithmetic, 8), "arithmetic error (SIGFPE)"},
      {signalFault(FaultKind::Abort, 6), "abort (SIGABRT)"},
      {signalFault(FaultKind::Breakpoint, 5), "breakpoint trap (SIGTRAP)"},
      {signalFault(FaultKind::Other, 31), "signal 31"},
      {overflow(withAddress(signalFault(kSegv, 11), FaultAccess::Write, 0x7ffd0)), "stack overflow"},
      // Sent signals; an abort() the process sent itself keeps its name.
      {sent(signalFault(kSegv, 11), 4242, false), "signal SIGSEGV sent by process 4242"},
      {sent(signalFault(FaultKind::Arithmetic, 8), 17, true),
       "signal SIGFPE sent by process 17 (this process)"},
      {sent(signalFault(FaultKind::Abort, 6), 17, false), "signal SIGABRT sent by process 17"},
      {sent(signalFault(FaultKind::Abort, 6), 17, true), "abort (SIGABRT)"},
      // Exceptions, named by their code; each access of an access violation.
      {withAddress(exceptionFault(kSegv, 0xC0000005), FaultAccess::Read, 0),
       "access violation (0xc0000005) reading address 0x0"},
      {withAddress(exceptionFault(kSegv, 0xC0000005), FaultAccess::Write, 0x10),
       "access violation (0xc0000005) writing address 0x10"},
      {withAddress(exceptionFault(kSegv, 0xC0000005), FaultAccess::Execute, 0x4),
       "access violation (0xc0000005) executing address 0x4"},
      {exceptionFault(kSegv, 0xC0000005), "access violation (0xc0000005)"},
      {overflow(exceptionFault(kSegv, 0xC00000FD)), "stack overflow"},
      {exceptionFault(FaultKind::DivisionByZero, 0xC0000094), "division by zero (0xc0000094)"},
      {exceptionFault(FaultKind::IllegalInstruction, 0xC000001D), "illegal instruction (0xc000001d)"},
      {exceptionFault(FaultKind::Breakpoint, 0x80000003), "breakpoint (0x80000003)"},
      {exceptionFault(FaultKind::ForeignException, 0xE06D7363), "C++ exception (0xe06d7363)"},
      {exceptionFault(FaultKind::Other, 0xC0000096), "exception 0xc0000096"},
      // The host's own C++ runtime, an abandon, a library gone.
      {cppException("St13runtime_error", "no such file"), "C++ exception std::runtime_error: no such file"},
      {cppException("i", nullptr), "C++ exception int"},
      {cppException("", nullptr), "C++ exception"},
      {signalFault(FaultKind::Abandoned, 2), ""},
      {unloaded("crashy"), "a thread of crashy was still running after freeExtension"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(describeFault(row.fault), row.expected);
  }
}

TEST(FaultDescription, FramesOfTheScopeOrOfEveryLibrary) {
  const platform::RawFrame host{0x401000, 0x400000, "invokemodule", true, "main", 0x400f00};
  const platform::RawFrame lost{0x9000, 0, "", false, "", 0};
  const platform::RawFrame inner{0x10123, 0x10000, "a.so", false, "RVExtension", 0x10100};
  const platform::RawFrame other{0x20010, 0x20000, "b.so", false, "", 0};
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
  fault.frames.assign(40, inner);
  EXPECT_EQ(selectCrashFrames(fault).size(), static_cast<std::size_t>(kMaxCrashFrames));
}

}  // namespace
