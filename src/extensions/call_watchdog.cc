// The slow-call watchdog thread and its notice.
#include "extensions/call_watchdog.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "extensions/crash_report.h"
#include "extensions/extension_messages.h"
#include "output/output.h"
#include "platform/crash_guard.h"
#include "platform/platform.h"

struct WatchdogState {
  std::atomic<std::uint64_t> sequence{0};  // odd while a call runs
  std::atomic<std::int64_t> start{0};
  std::atomic<const CallSite*> site{nullptr};
  std::atomic<bool> readingSite{false};  // the call's site must outlive this
  std::atomic<bool> sleeping{false};     // waiting without a timeout: a new call must wake it
  std::atomic<std::int64_t> limit{0};    // counter ticks a call may run; 0: no limit
  // When the watchdog wakes next (a counter value): a call that must be looked at sooner, under
  // a limit lowered since, wakes it.
  std::atomic<std::int64_t> wakeAt{0};
  const std::int64_t threshold = kSlowCallMilliseconds * platform::counterFrequency() / 1000;
  std::atomic<bool> started{false};  // the thread runs
  std::mutex mutex;
  std::condition_variable wake;
};

namespace {

// Prints the notice when the call numbered `sequence` is still running.
void noticeSlowCall(WatchdogState& dog, std::uint64_t sequence) {
  // Which extension and call: with piped input the command itself is not shown. The site is
  // read only while the call is known to run; callEnded waits for the reading to end.
  std::string call;
  bool loaderCode = false;
  dog.readingSite.store(true);
  if (dog.sequence.load() == sequence) {
    const CallSite* site = dog.site.load();
    if (site != nullptr && site->extension != nullptr) call = noticedCallText(*site->extension, *site, false);
    loaderCode = site != nullptr && site->functionText == nullptr && site->entryPoint[0] == '(';
  }
  dog.readingSite.store(false);
  const char* hint = "";
  if (platform::inputIsTerminal()) {
    hint = loaderCode && !platform::interruptReachesLoaderCode()
               ? " (Ctrl-C cannot abandon start-up or clean-up code here: the system holds its loader's lock)"
               : " (press Ctrl-C to abandon it)";
  }
  OutputLock lock;
  if (dog.sequence.load() != sequence) return;  // returned meanwhile
  printColouredRestoring(ConsoleColour::DarkYellow, "Call has been running for %d ms%s\n%s%s\n",
                         static_cast<int>(kSlowCallMilliseconds), hint, call.c_str(),
                         call.empty() ? "" : "\n");
  flushOutput();
}

void watch(WatchdogState& dog) {
  const std::int64_t frequency = platform::counterFrequency();
  const std::int64_t threshold = dog.threshold;
  std::uint64_t noticed = 0;
  int idleRounds = 0;
  std::unique_lock<std::mutex> lock(dog.mutex);
  dog.started.store(true);
  for (;;) {
    std::uint64_t sequence = dog.sequence.load();
    std::chrono::milliseconds pause(100);
    if (sequence % 2 == 1) {
      idleRounds = 0;
      const std::int64_t elapsed = platform::counter() - dog.start.load();
      const std::int64_t limit = dog.limit.load();
      if (elapsed >= threshold && noticed != sequence) {
        noticed = sequence;
        lock.unlock();
        noticeSlowCall(dog, sequence);
        lock.lock();
      }
      // Asked again every round until the call has left: one running host code the extension
      // called is abandoned only when that returns.
      if (limit > 0 && elapsed >= limit) {
        platform::abandonGuardedCallNow(&dog.sequence, sequence);
        pause = std::chrono::milliseconds(10);
      } else {
        // Woken at the nearer of the notice and the limit still ahead.
        std::int64_t next = 0;
        if (noticed != sequence) next = threshold;
        if (limit > elapsed && (next == 0 || limit < next)) next = limit;
        if (next > elapsed) pause = std::chrono::milliseconds((next - elapsed) * 1000 / frequency + 1);
      }
    } else if (++idleRounds > 20) {
      // Two seconds without a call: sleep until the next one. A call that began since the
      // sequence was read may have looked before the watchdog said it sleeps: it is seen here
      // (the mark is set before the sequence is read again, the call's number changed before it
      // reads the mark, so one of the two sees the other).
      dog.sleeping.store(true);
      if (dog.sequence.load() != sequence) {
        dog.sleeping.store(false);
        continue;
      }
      dog.wake.wait(lock, [&] { return !dog.sleeping.load(); });
      idleRounds = 0;
      continue;
    }
    // A call started since the sequence was read may be due sooner: it wakes the watchdog when
    // it sees this time, else the watchdog sees its sequence here.
    dog.wakeAt.store(platform::counter() + pause.count() * frequency / 1000);
    if (dog.sequence.load() != sequence) continue;
    dog.wake.wait_for(lock, pause);
  }
}

}  // namespace

WatchdogState& CallWatchdog::state() {
  if (state_ == nullptr) {
    state_ = new WatchdogState;  // never destroyed: its thread outlives main
    std::thread([state = state_] { watch(*state); }).detach();
    // Running before the first call: on Windows a thread cannot begin while a library's start-up
    // code holds the loader's lock, and the first call may be a load whose start-up code hangs.
    const std::int64_t deadline = platform::counter() + 2 * platform::counterFrequency();
    while (!state_->started.load() && platform::counter() < deadline) std::this_thread::yield();
  }
  return *state_;
}

void CallWatchdog::setTimeLimit(double seconds) {
  limitSeconds_ = seconds;
  if (seconds <= 0 && state_ == nullptr) return;  // no thread for a limit that is none
  // A limit beyond some eleven days is as good as none; held there, the watchdog's sums (ticks
  // times a thousand, with a nanosecond counter) stay far from overflowing.
  const double ticks = std::min(seconds, 1e6) * static_cast<double>(platform::counterFrequency());
  state().limit.store(seconds > 0 ? std::max<std::int64_t>(1, static_cast<std::int64_t>(ticks)) : 0);
}

void CallWatchdog::callStarted(std::int64_t startCounter, const CallSite* site) {
  WatchdogState& dog = state();
  dog.start.store(startCounter, std::memory_order_relaxed);
  dog.site.store(site, std::memory_order_relaxed);
  dog.sequence.fetch_add(1);
  // Without a limit the call is due no sooner than the watchdog wakes anyway: only a limit, or
  // a watchdog asleep for want of calls, makes it wake now.
  const std::int64_t limit = dog.limit.load(std::memory_order_relaxed);
  if (dog.sleeping.load() ||
      (limit > 0 && startCounter + std::min(limit, dog.threshold) < dog.wakeAt.load())) {
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
