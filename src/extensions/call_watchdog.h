// The watchdog of calls into extensions: a call still running after 1000 ms gets one notice,
// printed from a thread of the watchdog's own while the main thread keeps waiting.
//
// The main thread's cost per call is two atomic stores and a load; the watchdog thread sleeps
// until a call could reach the threshold, and sleeps for good while no calls are made.
#ifndef INVOKEMODULE_EXTENSIONS_CALL_WATCHDOG_H_
#define INVOKEMODULE_EXTENSIONS_CALL_WATCHDOG_H_

#include <cstdint>

struct CallSite;

constexpr std::int64_t kSlowCallMilliseconds = 1000;

struct WatchdogState;

// The main thread's handle on the watchdog (one, in the registry's CallState). Its state is
// made with the thread at the first call and never destroyed: the thread outlives main.
class CallWatchdog {
 public:
  // A call into an extension started at `startCounter` (platform::counter()); main thread.
  // `site` stays valid until callEnded, which the slow-call notice names.
  void callStarted(std::int64_t startCounter, const CallSite* site);
  // It returned, crashed or was abandoned; main thread, before the output lock is taken.
  // Waits while the watchdog reads the call's site.
  void callEnded();

 private:
  WatchdogState* state_ = nullptr;
};

#endif  // INVOKEMODULE_EXTENSIONS_CALL_WATCHDOG_H_
