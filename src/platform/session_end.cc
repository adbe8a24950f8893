// Whether the main thread, told of a termination signal, is ending the session itself or
// waits in code that may never return.
#include "platform/session_end.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace platform {

namespace {

// Odd while the main thread runs extension or library code; one more at each entry and exit,
// so that another thread tells one stretch from the next. Written by the main thread only.
std::atomic<unsigned> extensionCodeStretch{0};
int extensionCodeDepth = 0;  // main thread only: guarded code can nest (a reload's clean-up)

}  // namespace

// A release store (no fence): the watching thread polls, and needs to see only what the main
// thread did before it, the output flushed.
void setInsideExtensionCall(bool inside) {
  if (inside ? extensionCodeDepth++ != 0 : --extensionCodeDepth != 0) return;
  extensionCodeStretch.store(extensionCodeStretch.load(std::memory_order_relaxed) + 1,
                             std::memory_order_release);
}

EndNow waitUntilTheSessionMustEndNow() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(kSessionEndLimitMs);
  unsigned seen = 0;
  Clock::time_point seenSince;
  for (;;) {
    Clock::time_point now = Clock::now();
    unsigned stretch = extensionCodeStretch.load(std::memory_order_acquire);
    if ((stretch & 1) == 0) {
      seen = 0;
    } else if (stretch != seen) {
      seen = stretch;
      seenSince = now;
    } else if (now - seenSince >= std::chrono::milliseconds(kExtensionCodeGraceMs)) {
      return EndNow::Flushed;
    }
    if (now >= limit) return (stretch & 1) != 0 ? EndNow::Flushed : EndNow::Unflushed;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace platform
