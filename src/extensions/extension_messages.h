// The texts the extension host says about loading, calling and freeing extensions, built
// without printing so that each is tested as a value; extension_report prints them.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "extensions/call_outcome.h"
#include "extensions/crash_report.h"
#include "extensions/library_exports.h"

inline constexpr const char* kBufferOverrunText = "ERROR: Buffer overrun";
inline constexpr const char* kQuarantinedText = "Extension crashed; freeExtension it to load it again";
inline constexpr const char* kNotImplementedText = "Method is not implemented";

// "Call extension '<name>' could not be loaded [ERR:<code>]", the loader's reason when
// `withReason` and there is one, then a line per detail; each line ends with '\n'. A NUL
// byte in the typed name is shown as \0.
std::string loadFailureText(const LoadFailure& failure, bool withReason);

// "ERROR: Buffer overrun after the call returned: a thread of <name> wrote into the output
// buffer", with its line end.
std::string lateBufferWriteText(std::string_view name);

// "<name>: <entry point>(<function text>)": the extension and the call a notice is about; no
// line end. With `notCalled`, " was not called" follows.
std::string noticedCallText(std::string_view extension, const CallSite& site, bool notCalled);

// "<entry point> is not exported by <file>", with its line end.
std::string notExportedText(std::string_view entryPoint, std::string_view fileName);

// "<file> stays in memory; restart the host to load a new build" (the old code answers: the
// same file was loaded again), and the form for a library held by a parked thread; with their
// line ends.
std::string staysInMemoryText(std::string_view fileName);
std::string parkedThreadKeepsLibraryText(std::string_view fileName);

// The line under "Extension unloaded" for a library the system kept in memory: why where it is
// known, what the next load shares with it (all of its state; with `nextLoadIsNewCopy`, as
// under --watch, only its GNU unique symbols' objects) and the fix. No line end.
std::string residentAfterUnloadText(std::string_view fileName, const ResidencyCauses& causes,
                                    bool nextLoadIsNewCopy);

// When a new copy loaded under --watch binds its GNU unique symbols to the objects of an
// earlier copy still in memory: that it is a library of its own but for them. With its line end.
std::string uniqueSymbolsSharedText(std::string_view fileName);

// "<n> threads of <name> are still running; their work is cut short when the library is
// unloaded", with its line end.
std::string threadsStillRunningText(std::string_view name, int count);

// "Extension reloaded: <name> (<file> changed)", with its line end.
std::string reloadedText(std::string_view name, std::string_view fileName);

// "<name> replaced the host's fault handlers; the host's are back in front", with its line end.
std::string faultHandlersReplacedText(std::string_view name);

// "InvokeModule loaded: <name> (<file>) [<version>]", with its line end.
std::string moduleLoadedText(std::string_view name, std::string_view fileName, std::string_view version);

// Replaces `line` with the result line of a returned call: the quoted text, in the argument
// form as "[<text>,<code>,0]", and a line feed. Reuses the line's memory.
void buildResultLine(const CallOutcome& outcome, std::string* line);

// The lines the game's own warnings would earn a call that took `milliseconds` with
// `argumentCount` arguments (0 for the function form), each ending in a line feed; empty when
// the game would not flag it.
std::string_view gameWarnings(double milliseconds, std::int32_t argumentCount);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_MESSAGES_H_
