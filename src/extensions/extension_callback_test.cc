// The host callback: the line it prints for given texts, its colour, its return value.
#include "extensions/extension_callback.h"

#include <gtest/gtest.h>

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

TEST_F(ExtensionCallbackTest, LinesFromManyThreadsStayWholeAndInCyan) {
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string data = "thread " + std::to_string(t);
      for (int i = 0; i < kCallsPerThread; ++i) ExtensionCallback("ext", "fn", data.c_str());
    });
  }
  for (int i = 0; i < kCallsPerThread; ++i) printNotice("main thread notice");
  for (std::thread& thread : threads) thread.join();

  // Remove every well-formed line, counting them; nothing may be left over.
  std::string rest = printed();
  auto removeAll = [&rest](const std::string& piece) {
    const std::size_t before = rest.size();
    for (std::size_t at; (at = rest.find(piece)) != std::string::npos;) rest.erase(at, piece.size());
    return static_cast<int>((before - rest.size()) / piece.size());
  };
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(kCallsPerThread, removeAll(kCyan + "\n>> ExtensionCallback: [\"ext\", \"fn\", \"thread " +
                                         std::to_string(t) + "\"]\n" + kWhite));
  }
  EXPECT_EQ(kCallsPerThread, removeAll("\x1b[33mmain thread notice\n\n" + kWhite));
  EXPECT_EQ("", rest);
}

}  // namespace
