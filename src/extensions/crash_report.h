// The texts that report an extension's crash, a hung call abandoned, or an exit() made during a
// call; built without printing, so they can be tested as plain strings.
#ifndef INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_
#define INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_

#include <cstdint>
#include <string>

#include "platform/crash_guard.h"

// Where a call went into the extension: an entry point's name and the function text as typed
// (null for the version call and the registration), or a description in parentheses such as
// "(library start-up code)" with no function text.
struct CallSite {
  const char* entryPoint = "";
  const char* functionText = nullptr;
  // For the context function: the call it ran for, and how ("before", "asked for by").
  const CallSite* outer = nullptr;
  const char* outerLink = nullptr;
};

// `RVExtension("text")`, with the text quoted as results are; `RVExtensionVersion()`; or the
// description alone; then, for the context function, the link and the call it ran for:
// `RVExtensionContext() before RVExtension("text")`.
std::string describeCallSite(const CallSite& site);

// "ERROR: Extension crashed: <what> in <site>" and a line per frame,
// "  at <file>+0x<offset> (<symbol>+0x<offset>)"; each line ends with '\n'.
std::string crashReportText(const platform::CrashRecord& crash, const CallSite& site);

// "ERROR: Extension crashed: <what> on thread <id>" and the frames.
std::string threadCrashReportText(const platform::CrashRecord& crash, std::uint64_t threadId);

// "ERROR: Call abandoned: <site> was still running after <ms> ms" and the frames.
std::string abandonReportText(const platform::CrashRecord& crash, const CallSite& site,
                              std::uint64_t milliseconds);

// The line under a crash report's first line when the fault read past the argument vector:
// "The call read argv[<slot>], past its <argc> arguments and the null pointer that ends them",
// with its line end.
std::string readPastArgumentsText(std::int64_t slot, std::int32_t argc);

// `report` with `line` inserted right under its first line.
std::string withLineUnderFirst(const std::string& report, const std::string& line);

// "Extension called exit(<status>) in <site>", without a line end.
std::string exitDuringCallText(int status, const CallSite& site);

#endif  // INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_
