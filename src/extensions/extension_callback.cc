// The host callback: quotes the three texts and prints them as one Cyan line.
#include "extensions/extension_callback.h"

#include <atomic>
#include <string>

#include "extensions/call_context.h"
#include "output/output.h"
#include "platform/crash_guard.h"
#include "platform/platform.h"
#include "values/game_text.h"

std::int32_t CallbackQueue::take(std::uint64_t frame) {
  std::uint64_t state = state_.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t stateFrame = state >> 8;
    // A thread that read the clock a little before another joins the later frame.
    const std::uint64_t current = frame > stateFrame ? frame : stateFrame;
    const std::uint64_t taken = current == stateFrame ? (state & 0xff) : 0;
    if (taken >= static_cast<std::uint64_t>(kCallbacksPerFrame)) {
      refused_.fetch_add(1, std::memory_order_relaxed);
      return -1;
    }
    if (state_.compare_exchange_weak(state, current << 8 | (taken + 1), std::memory_order_relaxed)) {
      return kCallbacksPerFrame - static_cast<std::int32_t>(taken + 1);
    }
  }
}

std::uint64_t CallbackQueue::takeRefused() {
  if (refused_.load(std::memory_order_relaxed) == 0) return 0;
  return refused_.exchange(0);
}

void setCallbackFrameRate(double framesPerSecond) {
  std::int64_t& frameTicks = callContext.frameTicks;
  frameTicks = 0;
  if (framesPerSecond <= 0) return;
  const double ticks = static_cast<double>(platform::counterFrequency()) / framesPerSecond;
  frameTicks = ticks < 1 ? 1 : static_cast<std::int64_t>(ticks);
  callContext.frameOrigin = platform::counter();
}

void reportRefusedCallbacks() {
  const std::uint64_t refused = callContext.callbacks.takeRefused();
  if (refused == 0) [[likely]]
    return;
  const std::string text =
      std::to_string(refused) + (refused == 1 ? " callback" : " callbacks") + " refused: the frame was full";
  printNotice(text.c_str());
}

std::int32_t INVOKEMODULE_CDECL ExtensionCallback(const char* name, const char* function, const char* data) {
  // After the host's last flush, at the end of the session, nothing more is printed, but for
  // what comes while the clean-up code of libraries kept in memory runs at exit.
  const bool lastWords = outputClosed();
  if (lastWords && !callContext.cleanUpAtExit.load()) return 99;
  std::int32_t placesLeft = 99;
  if (const std::int64_t frameTicks = callContext.frameTicks; frameTicks != 0) {
    placesLeft = callContext.callbacks.take(
        static_cast<std::uint64_t>((platform::counter() - callContext.frameOrigin) / frameTicks));
    if (placesLeft < 0) return -1;  // the game drops it: not printed
  }
  platform::enterHostCode();  // an abandon of the call waits until the callback returns
  // The contract forbids null texts, but a faulty extension must not crash the host.
  std::string shapedName;
  std::string shapedFunction;
  std::string shapedData;
  appendQuoted(shapedName, name != nullptr ? name : "");
  appendQuoted(shapedFunction, function != nullptr ? function : "");
  appendQuoted(shapedData, data != nullptr ? data : "");
  // Printed under the output lock, so the line is never cut into another; the colour in
  // effect before it (White, or a pause's DarkGray) is restored after it.
  if (lastWords) {
    const std::string line =
        "\n>> ExtensionCallback: [" + shapedName + ", " + shapedFunction + ", " + shapedData + "]\n";
    if (callContext.lastWordBytes.fetch_add(line.size()) + line.size() > CallContext::kMaxLastWordBytes) {
      platform::leaveHostCode();
      return 99;
    }
    printLastWords(ConsoleColour::Cyan, line);
  } else {
    printColouredRestoring(ConsoleColour::Cyan, "\n>> ExtensionCallback: [%s, %s, %s]\n", shapedName.c_str(),
                           shapedFunction.c_str(), shapedData.c_str());
  }
  platform::leaveHostCode();
  return placesLeft;
}
