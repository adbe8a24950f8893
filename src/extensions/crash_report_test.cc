// Tests of the crash, abandon and exit-during-call report texts.
#include "extensions/crash_report.h"

#include <gtest/gtest.h>

namespace {

struct Frame {
  const char* file;
  std::uintptr_t offset;
  const char* symbol;
  std::uintptr_t symbolOffset;
};

// A read of address 0 by a library mapped at 0x10000, with `frames` in it.
platform::CrashRecord crashWith(std::vector<Frame> frames) {
  platform::CrashRecord crash;
  crash.fault.kind = platform::FaultKind::InvalidAccess;
  crash.fault.access = platform::FaultAccess::Read;
  crash.fault.hasAddress = true;
  for (const Frame& frame : frames) {
    std::uintptr_t address = 0x10000 + frame.offset;
    crash.fault.frames.push_back(
        {address, 0x10000, frame.file, false, frame.symbol, address - frame.symbolOffset});
  }
  return crash;
}

TEST(CrashReport, TextsByCallSiteAndFrames) {
  struct Row {
    platform::CrashRecord crash;
    CallSite site;
    const char* expected;
  } rows[] = {
      {crashWith({}),
       {"RVExtension", "segv"},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "RVExtension(\"segv\")\n"},
      // The function text is quoted as results are: inner quotes doubled.
      {crashWith({}),
       {"RVExtensionArgs", "a\"b"},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "RVExtensionArgs(\"a\"\"b\")\n"},
      {crashWith({}),
       {"RVExtensionVersion", nullptr},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "RVExtensionVersion()\n"},
      // Offsets in lower-case hexadecimal without padding; no parentheses without a symbol.
      {crashWith({{"crashy_x64.so", 0x1a2b, "", 0}, {"crashy_x64.so", 0x10, "RVExtension", 0xff}}),
       {"(library start-up code)", nullptr},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "(library start-up code)\n"
       "  at crashy_x64.so+0x1a2b\n"
       "  at crashy_x64.so+0x10 (RVExtension+0xff)\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(crashReportText(row.crash, row.site), row.expected);
  }
}

TEST(CrashReport, AbandonThreadAndExitTexts) {
  platform::CrashRecord crash = crashWith({{"crashy.dll", 0, "RVExtension", 0}});
  EXPECT_EQ(abandonReportText(crash, {"RVExtension", "loop"}, 1234),
            "ERROR: Call abandoned: RVExtension(\"loop\") was still running after 1234 ms\n"
            "  at crashy.dll+0x0 (RVExtension+0x0)\n");
  EXPECT_EQ(threadCrashReportText(crash, 4321),
            "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 on thread "
            "4321\n  at crashy.dll+0x0 (RVExtension+0x0)\n");
  EXPECT_EQ(exitDuringCallText(3, {"RVExtension", "exit"}),
            "Extension called exit(3) in RVExtension(\"exit\")");
}

}  // namespace
