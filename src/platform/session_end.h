// How long a termination signal lets the main thread end the session itself: for the platform
// halves, whose signal or console-event threads end the process when it cannot.
#ifndef INVOKEMODULE_PLATFORM_SESSION_END_H_
#define INVOKEMODULE_PLATFORM_SESSION_END_H_

namespace platform {

// How the process is to end when the main thread did not end the session itself in time.
enum class EndNow {
  Flushed,    // it waits in code of an extension or library: what the host holds is written
  Unflushed,  // it is stuck in the host's own code (a lock or a write that never ends)
};

// Called once a termination signal has been seen, on a thread other than the main thread.
// Returns when the main thread has stayed inside one stretch of extension or library code
// (see setInsideExtensionCall) for kExtensionCodeGraceMs, which lets a short call return and
// print its result first, or when kSessionEndLimitMs have passed in all. Never returns while
// the main thread ends the session as usual within those limits.
EndNow waitUntilTheSessionMustEndNow();

inline constexpr int kExtensionCodeGraceMs = 200;
inline constexpr int kSessionEndLimitMs = 5000;

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_SESSION_END_H_
