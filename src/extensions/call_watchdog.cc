// The slow-call watchdog thread and its notice.
#include "extensions/call_watchdog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "extensions/crash_report.h"
#include "extensions/extension_messages.h"
#include "output/output.h"
#include "platform/platform.h"

struct WatchdogState {
  std::atomic<std::uint64_t> sequence{0};  // odd while a call runs
  std::atomic<std::int64_t> start{0};
  std::atomic<const CallSite*> site{nullptr};
  std::atomic<bool> readingSite{false};  // the call's site must outlive this
  std::atomic<bool> sleeping{false};     // waiting without a timeout: a new call must wake it
  std::mutex mutex;
  std::condition_variable wake;
};

namespace {

// Prints the notice when the call numbered `sequence` is still running.
void noticeSlowCall(WatchdogState& dog, std::uint64_t sequence) {
  // Which extension and call: with piped input the command itself is not shown. The site is
  // read only while the call is known to run; callEnded waits for the reading to end.
  std::string call;
  dog.readingSite.store(true);
  if (dog.sequence.load() == sequence) {
    const CallSite* site = dog.site.load();
    if (site != nullptr && site->extension != nullptr) call = noticedCallText(*site->extension, *site, false);
  }
  dog.readingSite.store(false);
  OutputLock lock;
  if (dog.sequence.load() != sequence) return;  // returned meanwhile
  printColouredRestoring(ConsoleColour::DarkYellow, "Call has been running for %d ms%s\n%s%s\n",
                         static_cast<int>(kSlowCallMilliseconds),
                         platform::inputIsTerminal() ? " (press Ctrl-C to abandon it)" : "", call.c_str(),
                         call.empty() ? "" : "\n");
  flushOutput();
}

void watch(WatchdogState& dog) {
  const std::int64_t frequency = platform::counterFrequency();
  const std::int64_t threshold = kSlowCallMilliseconds * frequency / 1000;
  std::uint64_t noticed = 0;
  int idleRounds = 0;
  std::unique_lock<std::mutex> lock(dog.mutex);
  for (;;) {
    std::uint64_t sequence = dog.sequence.load();
    std::chrono::milliseconds pause(100);
    if (sequence % 2 == 1) {
      idleRounds = 0;
      std::int64_t elapsed = platform::counter() - dog.start.load();
      if (elapsed >= threshold) {
        if (noticed != sequence) {
          noticed = sequence;
          lock.unlock();
          noticeSlowCall(dog, sequence);
          lock.lock();
        }
      } else {
        pause = std::chrono::milliseconds((threshold - elapsed) * 1000 / frequency + 1);
      }
    } else if (++idleRounds > 20) {
      // Two seconds without a call: sleep until the next one.
      dog.sleeping.store(true);
      dog.wake.wait(lock, [&] { return !dog.sleeping.load(); });
      idleRounds = 0;
      continue;
    }
    dog.wake.wait_for(lock, pause);
  }
}

}  // namespace

void CallWatchdog::callStarted(std::int64_t startCounter, const CallSite* site) {
  if (state_ == nullptr) {
    state_ = new WatchdogState;  // never destroyed: its thread outlives main
    std::thread([state = state_] { watch(*state); }).detach();
  }
  WatchdogState& dog = *state_;
  dog.start.store(startCounter, std::memory_order_relaxed);
  dog.site.store(site, std::memory_order_relaxed);
  dog.sequence.fetch_add(1, std::memory_order_release);
  if (dog.sleeping.load(std::memory_order_relaxed)) {
    {
      std::lock_guard<std::mutex> lock(dog.mutex);
      dog.sleeping.store(false);
    }
    dog.wake.notify_one();
  }
}

void CallWatchdog::callEnded() {
  WatchdogState& dog = *state_;
  dog.sequence.fetch_add(1);
  while (dog.readingSite.load()) std::this_thread::yield();
}
