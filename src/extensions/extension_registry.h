// The registry of loaded extension libraries: the entries, the libraries the system kept in
// memory after they were freed, and the memory and records every call reuses.
//
// An extension is known by the name typed in a command, lower-cased (ASCII letters only): names
// differing in letter case share one entry. The registry alone owns the loaded libraries.
// Everything here runs on the main thread; only ExtensionCallback runs elsewhere.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "extensions/argument_vector.h"
#include "extensions/call_context.h"
#include "extensions/call_outcome.h"
#include "extensions/call_watchdog.h"
#include "extensions/crash_report.h"
#include "extensions/extension_api.h"
#include "extensions/frame_symbols.h"
#include "extensions/guarded_buffer.h"
#include "extensions/library_exports.h"
#include "extensions/library_watch.h"
#include "platform/crash_guard.h"
#include "platform/dynamic_library.h"
#include "platform/file_copies.h"
#include "values/array_parser.h"
#include "values/plain_text.h"

// One loaded extension: the record that owns its library. Loaded while `module` holds a
// library; a missing export leaves its entry point null.
struct ExtensionEntry {
  std::string name;  // the registry key: the typed name, lower-cased
  platform::LoadedLibrary module;
  std::string file;           // the path the library was loaded from (under --watch: the author's file)
  std::string copy;           // under --watch: the private copy that is loaded; empty when `file` is
  platform::FileStamp stamp;  // of `file` when it was loaded
  std::string typedName;      // the name as typed at the first load
  std::string builtFile;      // the file name built from it that loaded
  // The file name that loaded, as built from the typed name (no directory the search added),
  // lower-cased: what the load message shows.
  std::string fileName;
  RVExtensionVersionFunction rvExtensionVersion = nullptr;
  RVExtensionFunction rvExtension = nullptr;
  RVExtensionArgsFunction rvExtensionArgs = nullptr;
  RVExtensionRegisterCallbackFunction rvExtensionRegisterCallback = nullptr;
  RVExtensionContextFunction rvExtensionContext = nullptr;
  // The extension's RVExtensionFeatureFlags variable, read before every call; null: flags 0.
  const std::uint64_t* featureFlags = nullptr;
  std::uint64_t notedFlags = 0;             // the flags whose note has been said
  bool crashed = false;                     // a fault inside the extension was caught: it is not called again
  bool faultHandlersNoticed = false;        // told once that it installed fault handlers of its own
  std::vector<std::string> exportProblems;  // how its export table misses an entry point, with the fix
};

// Any entry point of the entry, else the start of its image: the address that identifies the
// library (its frames in a report, its threads).
const void* libraryAddressOf(const ExtensionEntry& entry);

// The memory every call reuses and the record of the call in progress, so that a call that
// returns allocates nothing once warm (main thread only).
class CallState {
 public:
  // Handed to RVExtension and RVExtensionArgs; mapped at first use.
  GuardedBuffer& outputBuffer() {
    if (outputBuffer_) [[likely]]
      return *outputBuffer_;
    return mapOutputBuffer();
  }
  GuardedBuffer& versionBuffer();  // handed to RVExtensionVersion
  // The extension each buffer was last handed to; empty until then.
  std::string outputUser;
  std::string versionUser;

  // A write into a buffer's guard zones found while no call runs was made by a thread of the
  // extension last handed the buffer: its name (the zones are restored), or empty.
  std::string lateWriterOfOutput() {
    return !outputUser.empty() && outputBuffer().guardsWritten() ? outputUser : std::string();
  }
  std::string lateWriterOfVersion() {
    return !versionUser.empty() && versionBuffer().guardsWritten() ? versionUser : std::string();
  }

  std::string resultLine;             // the quoted result of the latest call
  std::string key;                    // the lower-cased name of the extension being looked up
  ArgumentTexts arguments;            // the argument texts of the latest argument-form call
  ArgumentVector argumentVector;      // their pointers as the extension gets them
  ContextArguments contextArguments;  // the latest call's context, for a context function
  platform::CrashRecord crash;        // of the latest guarded call that did not return
  StackImbalance stackImbalance;      // of the latest guarded call, when it returned with one
  CallOutcome outcome;                // of the latest call
  CallSite site;                      // the call into an extension in progress
  std::int64_t start = 0;             // the counter when it began
  bool reportersSet = false;          // the crash guard's exit and thread-fault reporters
  // Bytes of stack left unused between the host's frames and the entry point's: an argument
  // copied past a buffer on the stack lands there, not in the host's frames, which the report
  // and the calls after it need. The search of --fuzz, whose arguments are long, leaves more.
  static constexpr std::size_t kSessionStackGap = 64 * 1024;
  std::size_t stackGap = kSessionStackGap;
  CallWatchdog watchdog;  // tells of a call that runs long

 private:
  GuardedBuffer& mapOutputBuffer();
  std::optional<GuardedBuffer> outputBuffer_;  // mapped at first use
  std::optional<GuardedBuffer> versionBuffer_;
};

// What freeing an extension came to.
struct UnloadOutcome {
  bool found = false;  // there was an entry
  // DarkYellow lines before the notice, when a library could not be released; empty else.
  std::string keptNote;
  // The DarkYellow line under the notice when the system kept the library in memory after it
  // was freed (a load of it goes on with its state), with the cause when the host can tell.
  std::string residentNote;
  // DarkYellow lines, each with its line end, for extensions whose threads still ran when they
  // were freed (freeing cuts their work short).
  std::string runningThreadsNote;
  // The extensions whose threads wrote into a buffer after their call returned.
  std::vector<std::string> lateWriters;
};

class ExtensionRegistry {
 public:
  // The entry for `key`, or null when none exists.
  ExtensionEntry* find(const std::string& key);
  // The entry for `key`, created empty when absent.
  ExtensionEntry& entryFor(const std::string& key);

  // Frees the library of the extension typed as `typedName` (any letter case) and erases its
  // entry. Nothing in the extension is called first.
  UnloadOutcome unload(const std::string& typedName);

  // Frees every loaded library and empties the registry.
  UnloadOutcome unloadAll();

  std::size_t size() const { return entries_.size(); }

  // The keys (lower-cased names) of the loaded extensions, in no particular order.
  std::vector<std::string> loadedNames() const;

  // Frees the entry's library and its private copy; a library the system keeps in memory is
  // remembered. Notes in `outcome` why a library stays.
  void closeAndRemember(ExtensionEntry& entry, UnloadOutcome* outcome);

  // The stamp `file` had when its library was loaded and then kept in memory by the system at
  // its unload, or null: loading such a file again runs the old code.
  const platform::FileStamp* residentStamp(const std::string& file) const;

  CallState& calls() { return calls_; }

  LibraryWatch watch;    // --watch
  FrameSymbols symbols;  // the debug information of libraries that crashed, until they are freed

 private:
  // The extensions whose threads wrote into a buffer while no call ran; the zones are restored.
  std::vector<std::string> takeLateWriters();

  std::unordered_map<std::string, ExtensionEntry> entries_;
  std::unordered_map<std::string, platform::FileStamp> residentFiles_;
  CallState calls_;
};

// Frees a library, its clean-up code under the crash guard. A library with a parked thread
// (one that faulted) stays mapped, since that thread's stack still refers into it. Answers
// whether the library was released; `keptNote` says why not.
bool closeLibraryGuarded(ExtensionEntry& entry, std::string* keptNote);

// The description of a library's clean-up code in reports.
inline constexpr const char* kCleanUpCodeSite = "(library clean-up code)";

// Runs the exit handlers of the entry's library (its static objects' destructors, its atexit
// functions) ahead of its unload, under the crash guard, where the platform can (see
// platform/exit_handlers.h): a fault, an exit() (in search mode) or an abandon there comes back
// to the host, where in the unload it would end it. Answers false when one did not return, with
// the crash in the registry's CallState (failedCallText tells it); the handlers not run yet stay
// registered, for another call. Only for a library the unload really frees: one the system
// keeps in memory would go on with its objects destroyed.
bool runExitHandlersAhead(ExtensionEntry& entry);

// What in the library file at `path` makes the system keep it in memory, where the host can
// read it (ELF files).
ResidencyCauses residencyCauses(const std::string& path);

// True when the GNU unique symbols of the private copy `copy`, loaded as `library`, bind to the
// objects of an earlier copy of the same file that stays in memory: the new copy is a library
// of its own but for them.
bool uniqueSymbolsBindToEarlierCopy(void* library, const std::string& copy);

// The process-wide registry.
extern ExtensionRegistry extensionRegistry;

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_
