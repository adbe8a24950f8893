// The host callback: prints each message an extension sends back, from any thread.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_

#include <atomic>
#include <cstdint>

#include "platform/calling_convention.h"

// Prints "\n>> ExtensionCallback: [name, function, data]\n" in Cyan with each text quoted; a
// null text is shown as an empty one. The colour and the line are written under the output
// lock, so a line from another thread is never cut into or recoloured by the main thread's
// text. Returns 99, or with a frame rate set, the places left in the frame (99 down to 0) and
// -1 for a callback the full frame refuses, which is not printed but counted.
std::int32_t INVOKEMODULE_CDECL ExtensionCallback(const char* name, const char* function, const char* data);

// The game's callback queue: at most kCallbacksPerFrame callbacks in each frame of a game
// running at `framesPerSecond`. Set before any extension is loaded; 0 (the default) turns the
// queue off, and every callback gets 99.
inline constexpr int kCallbacksPerFrame = 100;
void setCallbackFrameRate(double framesPerSecond);

// The queue's count, lock-free for callbacks from any number of threads.
class CallbackQueue {
 public:
  // Takes a place in frame number `frame` (a later frame starts empty): answers the places
  // left after it, or -1 when the frame is full, counting the refusal.
  std::int32_t take(std::uint64_t frame);
  // The refusals since the last call.
  std::uint64_t takeRefused();

 private:
  std::atomic<std::uint64_t> state_{0};  // the frame's number << 8 | the callbacks it took
  std::atomic<std::uint64_t> refused_{0};
};

// Prints "<n> callbacks refused: the frame was full" as a notice when callbacks were refused
// since the last report; main thread, after a command.
void reportRefusedCallbacks();

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_
