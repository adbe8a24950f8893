// The watchdog of calls into extensions: a call still running after 1000 ms gets one notice,
// printed from a thread of the watchdog's own while the main thread keeps waiting; with a time
// limit set, a call still running after it is abandoned, as Ctrl-C at a terminal abandons it.
//
// The main thread's cost per call is three atomic stores and three loads; the watchdog thread
// sleeps until a call could reach the threshold or the limit, and sleeps for good while no
// calls are made.
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
  // From the next call on, abandons a call still running after `seconds`; 0: never. Main thread.
  void setTimeLimit(double seconds);
  double timeLimit() const { return limitSeconds_; }

 private:
  WatchdogState& state();
  double limitSeconds_ = 0;
  WatchdogState* state_ = nullptr;
};

#endif  // INVOKEMODULE_EXTENSIONS_CALL_WATCHDOG_H_
