// The host callback: the line it prints for given texts, its colour, its return value.
#include "extensions/extension_callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/output.h"
#include "output/output_test_support.h"

namespace {

class ExtensionCallbackTest : public OutputCaptureTest {
 protected:
  void SetUp() override {
    OutputCaptureTest::SetUp();
    useColours(true);
  }
};

const std::string kCyan = "\x1b[96m";
const std::string kWhite = "\x1b[0m";

TEST_F(ExtensionCallbackTest, PrintsOneQuotedCyanLineAndReturns99) {
  const struct {
    const char *name, *function, *data;
    const char* shown;  // the part between the square brackets
  } cases[] = {
      {"ext", "fn", "data", "\"ext\", \"fn\", \"data\""},
      {"", "", "", "\"\", \"\", \"\""},
      {"a\"b", "\"", "say \"\"hi\"\"", "\"a\"\"b\", \"\"\"\", \"say \"\"\"\"hi\"\"\"\"\""},
      {"[1, 2]", "x, y", "line\nbreak", "\"[1, 2]\", \"x, y\", \"line\nbreak\""},
      {"\xc3\xa9t\xc3\xa9", "%s %d", "100%", "\"\xc3\xa9t\xc3\xa9\", \"%s %d\", \"100%\""},
      // Null texts break the contract; they are shown as empty texts instead of crashing.
      {nullptr, nullptr, nullptr, "\"\", \"\", \"\""},
      {"ext", nullptr, "data", "\"ext\", \"\", \"data\""},
  };
  for (const auto& c : cases) {
    text_.clear();
    EXPECT_EQ(99, ExtensionCallback(c.name, c.function, c.data));
    EXPECT_EQ(kCyan + "\n>> ExtensionCallback: [" + c.shown + "]\n" + kWhite, printed());
  }
}

// The game's queue: 100 places per frame counted down, -1 beyond (counted), a fresh frame full
// again, and a frame number that lags behind (a thread that read the clock earlier) joining
// the current frame instead of resetting it.
TEST(CallbackQueue, HundredPlacesPerFrameThenRefusals) {
  CallbackQueue queue;
  for (int i = 0; i < kCallbacksPerFrame; ++i) ASSERT_EQ(99 - i, queue.take(7));
  EXPECT_EQ(-1, queue.take(7));
  EXPECT_EQ(-1, queue.take(6));
  EXPECT_EQ(2u, queue.takeRefused());
  EXPECT_EQ(0u, queue.takeRefused());
  EXPECT_EQ(99, queue.take(8));
  EXPECT_EQ(98, queue.take(7));
}

// Threads racing for one frame: exactly 100 get a place, each place once.
TEST(CallbackQueue, RacingThreadsShareOneFrame) {
  CallbackQueue queue;
  std::vector<int> seen(kCallbacksPerFrame, 0);
  std::atomic<int> refused{0};
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        std::int32_t left = queue.take(1);
        if (left < 0) {
          ++refused;
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++seen[static_cast<std::size_t>(left)];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(kCallbacksPerFrame, 1), seen);
  EXPECT_EQ(100, refused.load());
  EXPECT_EQ(100u, queue.takeRefused());
}

}  // namespace
