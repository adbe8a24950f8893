// The call context an extension's RVExtensionContext receives: the four values the user sets,
// the chain of running scripts and the typed line that lead to a call, the two argument
// layouts, the feature flags' notes, and the host's RVExtensionRequestContext.
#ifndef INVOKEMODULE_EXTENSIONS_CALL_CONTEXT_H_
#define INVOKEMODULE_EXTENSIONS_CALL_CONTEXT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "extensions/extension_api.h"
#include "extensions/extension_callback.h"

// The values the user sets: steam ID, mission, server ("" is single player) and remote-exec
// owner. The steam ID is a decimal whole number of 64 bits, the owner one of 16 bits.
struct ContextSettings {
  std::string steamId = "0";
  std::string mission;
  std::string server;
  std::string owner = "0";
};

// The process-wide settings, used by every call.
ContextSettings& contextSettings();

// Reads one value into `value`, written plainly (no leading zeros); answers an error text,
// empty when the value is good (`value` is then set).
std::string readSteamId(std::string_view text, std::string* value);
std::string readOwner(std::string_view text, std::string* value);

// The settings as the command that sets them: setContext ["0", "", "", 0].
std::string setContextCommandText(const ContextSettings& settings);

// Reads the array literal of a setContext command, `["<steam id>", "<mission>", "<server>",
// <owner>]`, into `out`; answers false, leaving `out` as it was, when it is not of that form.
bool readContextLiteral(std::string_view literal, ContextSettings* out);

// --- The call chain ---------------------------------------------------------------------

// A running script, pushed by the script runner for as long as it runs. `path` is the path as
// the user gave it, `text` the whole text (zero-terminated after its end), `line` the kept line
// being run, a view into `text`.
struct ScriptFrame {
  const char* path = "";
  std::string_view text;
  std::string_view line;
  // Where line numbers were counted to, so that a long script is counted through once.
  std::size_t countedTo = 0;
  std::uint32_t countedLines = 1;
};

// The scripts running now, outermost first; the runner pushes and pops. Kept as a fixed stack
// (scripts nest at most a few levels deep), so pushing allocates nothing.
void pushScriptFrame(const char* path, std::string_view text);
void popScriptFrame();
void setScriptLine(std::string_view line);

// The running scripts, innermost first: each one's path as the user gave it and the number of
// the line it runs.
std::vector<std::pair<const char*, std::uint32_t>> runningScriptLines();

// The typed line being run (empty while a start script runs): the dispatcher sets it for a
// line read at the prompt, as a view of its own copy, before any script of it runs.
void setTypedLine(std::string_view line);
// The dispatcher is about to change its copy of the typed line in place, and the call may need
// the line for a stack trace (the extension has a context function): the line is copied first.
void keepTypedLine();

// --- Building the context ---------------------------------------------------------------

// Feature flags an extension may set in RVExtensionFeatureFlags.
inline constexpr std::uint64_t kFlagTypedContext = 1u << 0;
inline constexpr std::uint64_t kFlagStackTrace = 1u << 1;
inline constexpr std::uint64_t kFlagNoDefaultContext = 1u << 2;
inline constexpr std::uint64_t kFlagUnescapedArguments = 1u << 3;

// One line of the stack trace handed in the sixth slot, and the trace itself.
struct StackTraceLine {
  std::uint32_t lineNumber;
  std::uint32_t fileOffset;
  const char* sourceFile;
  const char* scopeName;
  const char* fileContent;
};
struct StackTrace {
  StackTraceLine* lines;
  std::uint32_t lineCount;
};

// The slots and count of one context call, built from the settings and the call chain. The
// texts point into the settings and the running scripts and stay valid while the call runs.
struct ContextArguments {
  const void* slots[6] = {};
  std::uint32_t count = 5;
};

// Whether the typed layout can be given on this build (a 64-bit ID needs a 64-bit slot).
constexpr bool typedContextSupported() { return sizeof(void*) >= 8; }

// Fills `out` for an extension whose flags are `flags`; reuses its stack-trace storage.
void buildContextArguments(std::uint64_t flags, ContextArguments* out);

// The notes for flags in `flags` that the host does not honour and were not noted before
// (`noted` gains them), one line each naming the file: empty when there is nothing new.
std::string featureFlagNotes(const std::string& fileName, std::uint64_t flags, std::uint64_t* noted);

// The note for an RVExtensionFeatureFlags export that is a function.
std::string featureFlagsFunctionNote(const std::string& fileName);

// --- During a call ----------------------------------------------------------------------

// Brackets a call (main thread) to an extension with a context function: RVExtensionRequestContext
// calls `context` with `arguments` meanwhile.
void beginContextCall(RVExtensionContextFunction context, const ContextArguments* arguments);
void endContextCall();

// Whether the context function the extension asked for is running, or was when the call
// faulted or was abandoned (true until endContextCall).
bool requestedContextRunning();

// What RVExtensionRequestContext does: on the main thread during a call, calls the extension's
// context function at once; anywhere else does nothing and says so once per process.
void requestContext();

// --- The state -----------------------------------------------------------------------------

// The state of the session's calls that is not the registry's: the settings, the chain of
// running scripts and the typed line, the stack trace handed to an extension, the context call
// in progress, and the callback frames. One per process (callContext); the main thread changes
// it, but for the callback queue, which the extension's threads share.
struct CallContext {
  ContextSettings settings;

  // Scripts nest at most ten deep (the runner's limit); deeper frames are counted but not kept.
  static constexpr std::size_t kMaxFrames = 16;
  ScriptFrame frames[kMaxFrames];
  std::size_t depth = 0;

  std::string_view typedLine;
  std::string typedCopy;  // the typed line, when it had to be kept apart from the dispatcher's

  std::vector<StackTraceLine> traceLines;
  StackTrace trace{nullptr, 0};

  // The call in progress on the main thread whose extension has a context function.
  RVExtensionContextFunction activeContext = nullptr;
  const ContextArguments* activeArguments = nullptr;
  bool inRequestedContext = false;  // left set when the context function does not return
  std::atomic<bool> misplacedRequestSaid{false};
  // The process's one context is made on the main thread, before main runs.
  const std::thread::id mainThreadId = std::this_thread::get_id();

  // Callbacks per frame: the queue, the counter ticks per frame (0: no queue) and the counter
  // when the first frame began.
  CallbackQueue callbacks;
  std::int64_t frameTicks = 0;
  std::int64_t frameOrigin = 0;

  // Set once the session has ended and the clean-up code of the libraries the system kept in
  // memory runs, at exit: what their threads still send is said all the same, though the
  // output is closed (their destructors may wait for those threads).
  std::atomic<bool> cleanUpAtExit{false};
  // What those threads have had said so far; past kMaxLastWordBytes the rest is dropped, as
  // it was before, so that threads calling back without end cannot flood the end of the output.
  static constexpr std::uint64_t kMaxLastWordBytes = 1 << 20;
  std::atomic<std::uint64_t> lastWordBytes{0};
};

extern CallContext callContext;

// The note said for a request made where nothing can be given.
inline constexpr const char* kMisplacedRequestNote =
    "RVExtensionRequestContext was called from another thread or outside a call: it did nothing";

#endif  // INVOKEMODULE_EXTENSIONS_CALL_CONTEXT_H_
