// The outcomes of loading and calling an extension, as values: what the host reports about a
// call is built from them in one place, and a caller that reports nothing can judge them.
#ifndef INVOKEMODULE_EXTENSIONS_CALL_OUTCOME_H_
#define INVOKEMODULE_EXTENSIONS_CALL_OUTCOME_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ExtensionEntry;

// What was found before control passed into the extension; said before the call runs, so that
// it stands before whatever the extension prints.
struct PreCallOutcome {
  std::string lateWriter;     // a thread of this extension wrote into the buffer since its call
  std::string flagNotes;      // notes on feature flags the host cannot honour, new since the last call
  bool contextFirst = false;  // the context function is called before the entry point
};

enum class CallStatus {
  Returned,        // the result is in `result`
  Crashed,         // a fault, an escaping exception or an abandon: `report` tells it
  Overrun,         // the extension wrote past its buffer
  NotImplemented,  // the library does not export the entry point
  Quarantined,     // the extension crashed before and is not called again
};

// What a call came to. The views stay valid until the next call.
struct CallOutcome {
  CallStatus status = CallStatus::Returned;
  const char* entryPoint = "";         // RVExtension, RVExtensionArgs, RVExtensionVersion...
  std::string_view fileName;           // the library's, for NotImplemented
  std::string_view extension;          // the extension's name, for Quarantined
  const char* functionText = nullptr;  // the call's, for Quarantined
  std::string_view result;             // the text the extension wrote, when it returned
  std::int32_t code = 0;               // RVExtensionArgs's return code
  bool argumentForm = false;
  std::int32_t argumentCount = 0;
  double milliseconds = 0;                   // of the entry point alone
  std::string_view note;                     // what went wrong with the call's arguments
  std::string report;                        // the crash or abandon report, when it crashed
  std::string_view faultHandlersReplacedBy;  // the extension that installed fault handlers
};

// Why no library could be loaded for a typed name: the most telling candidate's error code and
// the loader's reason for it, then a line per detail (the candidates tried, hints).
struct LoadFailure {
  std::string typedName;
  std::uint32_t errorCode = 0;
  std::string reason;
  std::vector<std::string> details;
};

// What looking an extension up came to.
struct LoadOutcome {
  ExtensionEntry* entry = nullptr;  // null when no library could be loaded
  bool loadedNow = false;           // the library was loaded (or reloaded) by this lookup
  LoadFailure failure;              // when `entry` is null, or a reload failed
  bool failed = false;              // `failure` holds a failure to report
  // DarkYellow texts said at the load, in order, each with its own line ends: the library
  // stays in memory, what its export table lacks, its feature flags.
  std::vector<std::string> notes;
};

#endif  // INVOKEMODULE_EXTENSIONS_CALL_OUTCOME_H_
