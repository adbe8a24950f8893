// The texts that report an extension's crash, a hung call abandoned, or an exit() made during a
// call; built without printing, so they can be tested as plain strings.
#ifndef INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_
#define INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/fault_description.h"
#include "extensions/library_exports.h"
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
  // RVExtensionArgs: the arguments as the caller passed them; argc -1 for the other calls.
  const char* const* argv = nullptr;
  std::int32_t argc = -1;
  const std::string* extension = nullptr;  // the name of the extension called, where one is
};

// Where a call came from, for its author to replay it: the scripts it ran in, innermost first,
// and the arguments of an argument-form call as they were passed.
struct CallOrigin {
  struct ScriptLine {
    std::string path;  // as the user gave it
    std::uint32_t line = 0;
  };
  std::vector<ScriptLine> scripts;
  const char* const* argv = nullptr;
  std::int32_t argc = -1;  // -1: not an argument-form call
};

// Fills in what the libraries' debug information says of the frames; none: offsets alone.
using FrameDescriber = std::function<void(std::vector<CrashFrame>&)>;

// The longest argument text a report shows whole, and how many arguments it shows.
constexpr std::size_t kShownArgumentBytes = 200;
constexpr std::int32_t kShownArguments = 16;

// The lines of a report's frames, each ending with '\n': "  at <file>+0x<offset>", then, as
// the library tells, " in <function> <source file>:<line>" (a line per inlined call, marked
// " (inlined)", innermost first) or " in <symbol>+0x<offset>"; a recursion's repeated rounds
// as "  ... the <n> frames above repeat <count> more times".
std::string crashFrameLines(const std::vector<CrashFrame>& frames);

// The lines that say where the call came from: "  called from <script>:<line>" per script,
// innermost first, and "  called with <n> arguments: [<argument>, ...]" for an argument-form
// call, each argument cut to kShownArgumentBytes.
std::string callOriginLines(const CallOrigin& origin);

// `RVExtension("text")`, with the text quoted as results are; `RVExtensionVersion()`; or the
// description alone; then, for the context function, the link and the call it ran for:
// `RVExtensionContext() before RVExtension("text")`.
std::string describeCallSite(const CallSite& site);

// "ERROR: Extension crashed: <what> in <site>" and a line per frame,
// then where the call came from (see crashFrameLines and callOriginLines).
std::string crashReportText(const platform::CrashRecord& crash, const CallSite& site,
                            const CallOrigin& origin = {}, const FrameDescriber& describe = nullptr);

// "ERROR: Extension crashed: <what> on thread <id>" and the frames.
std::string threadCrashReportText(const platform::CrashRecord& crash, std::uint64_t threadId,
                                  const FrameDescriber& describe = nullptr);

// "ERROR: Call abandoned: <site> was still running after <ms> ms" and the frames.
std::string abandonReportText(const platform::CrashRecord& crash, const CallSite& site,
                              std::uint64_t milliseconds, const CallOrigin& origin = {},
                              const FrameDescriber& describe = nullptr);

// The line under a crash report's first line when the fault read past the argument vector:
// "The call read argv[<slot>], past its <argc> arguments and the null pointer that ends them",
// with its line end.
std::string readPastArgumentsText(std::int64_t slot, std::int32_t argc);

// `report` with `line` inserted right under its first line.
std::string withLineUnderFirst(const std::string& report, const std::string& line);

// An entry point that returned with the stack pointer off (32-bit Windows, where an entry
// point removes its own arguments): which one, and how far.
struct StackImbalance {
  const EntryPointName* entryPoint = nullptr;  // null: none
  std::int32_t bytesLeft = 0;                  // of its arguments (negative: it removed more)
  std::uint32_t argumentBytes = 0;             // what it was given
};

// "ERROR: <entry point> is not __stdcall: it returned with its <n> bytes of arguments still
// on the stack in <site>" (or what else it removed), the prototype the game calls, and where
// the call came from.
std::string stackImbalanceReportText(const StackImbalance& imbalance, const CallSite& site,
                                     const CallOrigin& origin = {});

// "Extension called exit(<status>) in <site>", without a line end.
std::string exitDuringCallText(int status, const CallSite& site);

#endif  // INVOKEMODULE_EXTENSIONS_CRASH_REPORT_H_
