// Tests of the crash and thread report texts.
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
        {address, 0x10000, frame.file, false, frame.symbol, address - frame.symbolOffset, frame.file});
  }
  return crash;
}

TEST(CrashReport, TextsByCallSiteAndFrames) {
  struct Row {
    platform::CrashRecord crash;
    CallSite site;
    const char* expected;
  } rows[] = {
      // The function text is quoted as results are: inner quotes doubled.
      {crashWith({}),
       {"RVExtensionArgs", "a\"b"},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "RVExtensionArgs(\"a\"\"b\")\n"},
      // Offsets in lower-case hexadecimal without padding; the symbol the system names, when
      // nothing was asked of the debug information.
      {crashWith({{"crashy_x64.so", 0x1a2b, "", 0}, {"crashy_x64.so", 0x10, "RVExtension", 0xff}}),
       {"(library start-up code)", nullptr},
       "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 in "
       "(library start-up code)\n"
       "  at crashy_x64.so+0x1a2b\n"
       "  at crashy_x64.so+0x10 in RVExtension+0xff\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(crashReportText(row.crash, row.site), row.expected);
  }
}

TEST(CrashReport, ThreadText) {
  platform::CrashRecord crash = crashWith({{"crashy.dll", 0, "RVExtension", 0}});
  EXPECT_EQ(threadCrashReportText(crash, 4321),
            "ERROR: Extension crashed: segmentation fault (SIGSEGV) reading address 0x0 on thread "
            "4321\n  at crashy.dll+0x0 in RVExtension+0x0\n");
}

TEST(CrashReport, StackImbalanceByWhatTheEntryPointRemoved) {
  struct Row {
    StackImbalance imbalance;
    CallSite site;
    const char* expected;
  } rows[] = {
      // A __stdcall function declared with one parameter too many.
      {{&kVersionEntryPoint, -4, 8},
       {"RVExtensionVersion", nullptr},
       "ERROR: RVExtensionVersion is not declared as the game calls it: it removed 12 bytes of arguments "
       "from the stack, not 8, in RVExtensionVersion()\n  the game calls it as void __stdcall "
       "RVExtensionVersion(char* output, int outputSize)\n"},
      // One that returned with more on the stack than it was given.
      {{&kContextEntryPoint, 16, 8},
       {"RVExtensionContext", nullptr},
       "ERROR: RVExtensionContext is not declared as the game calls it: it returned with the stack "
       "pointer 8 bytes below where it was, in RVExtensionContext()\n  the game calls it as void __stdcall "
       "RVExtensionContext(const char** args, unsigned int argsCnt)\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(stackImbalanceReportText(row.imbalance, row.site), row.expected);
  }
}

CrashFrame frameAt(std::uintptr_t offset, platform::CodePlace code, const char* symbol = "") {
  CrashFrame frame;
  frame.file = "a.so";
  frame.fileOffset = offset;
  frame.symbol = symbol;
  frame.code = std::move(code);
  return frame;
}

TEST(CrashReport, FrameLinesByWhatTheLibraryTells) {
  platform::CodePlace inlined;
  inlined.places = {{"_ZN3Ext5parseERKSs", "src/parse.cc", 44}, {"_Z3runPKc", "/home/a/ext.cc", 12}};
  platform::CodePlace noLine;
  noLine.places = {{"plain_c_function", "", 0}};
  platform::CodePlace noFunction;
  noFunction.places = {{"", "ext.cc", 7}};
  platform::CodePlace symbolOnly;
  symbolOnly.symbol = "_ZN12_GLOBAL__N_14helpEv";
  symbolOnly.symbolOffset = 0x1c;
  CrashFrame repeat;
  repeat.repeatedFrames = 2;
  repeat.repeats = 1;
  struct Row {
    CrashFrame frame;
    const char* expected;
  } rows[] = {
      // Inlined calls as lines of their own, innermost first, at the same offset.
      {frameAt(0x1a2b, inlined),
       "  at a.so+0x1a2b in Ext::parse(std::string const&) src/parse.cc:44 (inlined)\n"
       "  at a.so+0x1a2b in run(char const*) /home/a/ext.cc:12\n"},
      {frameAt(0x10, noLine), "  at a.so+0x10 in plain_c_function\n"},
      {frameAt(0x10, noFunction), "  at a.so+0x10 ext.cc:7\n"},
      // The symbol table's function wins over the name the system gave.
      {frameAt(0x10, symbolOnly, "RVExtension"), "  at a.so+0x10 in (anonymous namespace)::help()+0x1c\n"},
      {frameAt(0x10, {}), "  at a.so+0x10\n"},
      {repeat, "  ... the 2 frames above repeat 1 more time\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(crashFrameLines({row.frame}), row.expected);
  }
}

TEST(CrashReport, WhereTheCallCameFrom) {
  std::string longArgument = "\"" + std::string(198, 'x') + "\xc3\xa9\"";  // é straddles byte 200
  const char* args[] = {"\"a\"\"b\"", "1", longArgument.c_str()};
  std::vector<const char*> many(20, "0");
  struct Row {
    CallOrigin origin;
    std::string expected;
  } rows[] = {
      {{}, ""},
      {{{}, args, 3},
       ("  called with 3 arguments: [\"a\"\"b\", 1, \"" + std::string(198, 'x') + "... (202 bytes)]\n")},
      {{{}, many.data(), 20},
       "  called with 20 arguments: [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ...]\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(callOriginLines(row.origin), row.expected);
  }
}

}  // namespace
