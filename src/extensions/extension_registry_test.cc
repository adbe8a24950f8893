// Loading, calling and unloading the real test extension libraries through the real loader,
// checking every message, its colour and its order.
#include "extensions/extension_handle.h"
#include "extensions/extension_registry.h"
#include "values/plain_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "extensions/extension_callback.h"
#include "output/output.h"
#include "output/output_test_support.h"
#include "platform/dynamic_library.h"
#include "platform/fault_handler_interception.h"

namespace {

// One run of text in one colour, as the captured escape sequences show it.
struct Segment {
  std::string colour;
  std::string text;
  bool operator==(const Segment&) const = default;
};

void PrintTo(const Segment& segment, std::ostream* out) {
  *out << segment.colour << ":" << ::testing::PrintToString(segment.text);
}

std::string colourName(const std::string& code) {
  if (code == "33") return "DarkYellow";
  if (code == "96") return "Cyan";
  if (code == "91") return "Red";
  if (code == "36") return "DarkCyan";
  if (code == "0") return "White";
  return "escape " + code;
}

// Splits captured output at its colour escapes. Empty runs are dropped, and the varying number
// of an execution-time line is replaced by '#' once its format has been checked.
std::vector<Segment> segmentsOf(const std::string& output) {
  static const std::regex timeLine("Execution time: [0-9]+\\.[0-9]{6} ms\n\n");
  std::vector<Segment> segments;
  std::string colour = "none";
  std::size_t at = 0;
  while (at < output.size()) {
    std::size_t escape = output.find("\x1b[", at);
    std::size_t end = escape == std::string::npos ? output.size() : escape;
    if (end > at) {
      std::string text = output.substr(at, end - at);
      if (std::regex_match(text, timeLine)) text = "Execution time: # ms\n\n";
      segments.push_back({colour, text});
    }
    if (escape == std::string::npos) break;
    std::size_t m = output.find('m', escape);
    colour = colourName(output.substr(escape + 2, m - escape - 2));
    at = m + 1;
  }
  return segments;
}

std::string callbackAddress() {
  char text[32];
  std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(sizeof(void*) * 2),
                reinterpret_cast<std::uintptr_t>(&ExtensionCallback));
  return text;
}

Segment callbackRegistered() { return {"DarkYellow", "Callback registered: " + callbackAddress() + "\n"}; }
Segment loaded(const std::string& key, const std::string& file, const std::string& version) {
  return {"DarkYellow", "InvokeModule loaded: " + key + " (" + file + ") [" + version + "]\n"};
}
Segment executionTime() { return {"DarkCyan", "Execution time: # ms\n\n"}; }
Segment result(const std::string& quoted) { return {"Cyan", quoted + "\n"}; }

const std::vector<Segment> kNothing;

class ExtensionRegistryTest : public OutputCaptureTest {
 protected:
  void SetUp() override {
    OutputCaptureTest::SetUp();
    useColours(true);
  }
  void TearDown() override {
    extensionRegistry.unloadAll();
    OutputCaptureTest::TearDown();
  }

  // Everything printed since the last call, as coloured runs without the White resets.
  std::vector<Segment> printed() {
    flushOutput();
    std::vector<Segment> segments;
    for (Segment& segment : segmentsOf(text_)) {
      if (!(segment.colour == "White" && segment.text.empty())) segments.push_back(segment);
    }
    text_.clear();
    return segments;
  }

  // The typed name of a test extension variant, with its directory.
  static std::string variant(const char* name) { return std::string(TESTEXT_DIR) + "/" + name; }
  static std::string key(const char* name) { return toLowerAscii(variant(name)); }
  static std::string file(const char* name) { return key(name) + TESTEXT_FILE_SUFFIX; }

  // Loads a variant and drops its load messages.
  void loadQuietly(const char* name) {
    ExtensionHandle handle(variant(name));
    ASSERT_TRUE(handle.ok());
    printed();
  }
};

// One entry per library, whatever the letter case of the name: a second use loads nothing and
// prints nothing, and the entry is freed under any spelling.
TEST_F(ExtensionRegistryTest, NamesInAnyLetterCaseShareOneEntry) {
  loadQuietly("testext_full");
  loadQuietly("testext_nocall");
  // The upper-cased file does not exist on a case-sensitive file system: only the shared entry
  // can make this handle usable.
  ExtensionHandle upper(std::string(TESTEXT_DIR) + "/TESTEXT_FULL");
  EXPECT_TRUE(upper.ok());
  EXPECT_EQ(key("testext_full"), upper.name());
  EXPECT_EQ(kNothing, printed());
  upper.call("calls");
  EXPECT_EQ((std::vector<Segment>{result("\"1\""), executionTime()}), printed());
  std::vector<std::string> names = extensionRegistry.loadedNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{key("testext_full"), key("testext_nocall")}), names);
  EXPECT_TRUE(extensionRegistry.unload(std::string(TESTEXT_DIR) + "/TeStExT_FuLl").found);
  EXPECT_FALSE(extensionRegistry.unload(variant("testext_full")).found);
  extensionRegistry.unloadAll();
  EXPECT_EQ(0u, extensionRegistry.size());
}

TEST_F(ExtensionRegistryTest, FileNameKeepsTheTypedCaseAndTheMessageShowsItLowerCased) {
  std::filesystem::path directory = std::filesystem::path(::testing::TempDir()) / "MixedCaseDir";
  std::filesystem::create_directories(directory);
  std::filesystem::copy_file(variant("testext_full") + TESTEXT_FILE_SUFFIX,
                             directory / (std::string("CaseExt") + TESTEXT_FILE_SUFFIX),
                             std::filesystem::copy_options::overwrite_existing);
  std::string typed = (directory / "CaseExt").string();
  ExtensionHandle handle(typed);
  ASSERT_TRUE(handle.ok());
  std::string lowered = toLowerAscii(typed);
  EXPECT_EQ(
      (std::vector<Segment>{callbackRegistered(),
                            loaded(lowered, lowered + TESTEXT_FILE_SUFFIX, "testext 1.0"), executionTime()}),
      printed());
  ExtensionHandle lower(lowered);  // the lower-cased file does not exist; the entry does
  EXPECT_TRUE(lower.ok());
  EXPECT_EQ(kNothing, printed());
}

// --- Callbacks -----------------------------------------------------------------------------

// A library that exports no entry point is still identified by an address inside it: a null
// address would stand for the executable on Windows, whose own threads then counted as the
// library's at the end of the session.
TEST_F(ExtensionRegistryTest, ALibraryWithoutEntryPointsIsIdentifiedByItsImage) {
  loadQuietly("testext_noentry");
  ExtensionEntry* entry = extensionRegistry.find(key("testext_noentry"));
  ASSERT_NE(nullptr, entry);
  std::uintptr_t base = platform::libraryLoadBase(entry->module.get());
  ASSERT_NE(0u, base);
  EXPECT_EQ(base, platform::moduleBaseOf(libraryAddressOf(*entry)));
  extensionRegistry.unloadAll();
}

// Counts callback lines of the form [ "testext", "<function>", "<thread>:<i>" ] and checks that
// every other run of text is a whole result or time line.
struct CallbackCensus {
  long lines = 0;
  std::set<std::string> distinctData;
  std::vector<Segment> strays;
};

CallbackCensus countCallbackLines(const std::vector<Segment>& segments, const std::string& function) {
  static const std::regex resultLine("\"([0-9]+|started)\"\n");
  std::string prefix = "\n>> ExtensionCallback: [\"testext\", \"" + function + "\", \"";
  CallbackCensus census;
  for (const Segment& segment : segments) {
    const std::string& text = segment.text;
    if (segment.colour == "Cyan" && text.compare(0, prefix.size(), prefix) == 0 &&
        text.size() > prefix.size() + 3 && text.compare(text.size() - 3, 3, "\"]\n") == 0) {
      ++census.lines;
      census.distinctData.insert(text.substr(prefix.size(), text.size() - prefix.size() - 3));
    } else if (!(segment == executionTime()) &&
               !(segment.colour == "Cyan" && std::regex_match(text, resultLine))) {
      census.strays.push_back(segment);
    }
  }
  return census;
}

// Eight threads of the extension call back while the main thread keeps printing results: every
// line comes out whole, in its own colour, and none is lost.
TEST_F(ExtensionRegistryTest, StressCallbacksFromEightThreadsWhileTheMainThreadPrints) {
  constexpr long kThreads = 8;
  constexpr long kPerThread = 10000;
  loadQuietly("testext_full");
  ExtensionHandle handle(variant("testext_full"));
  handle.call(("background " + std::to_string(kThreads) + " " + std::to_string(kPerThread)).c_str());
  int mainThreadCalls = 0;
  for (bool done = false; !done;) {
    handle.call("progress");
    ++mainThreadCalls;
    // The extension's threads flush into the capture too: read it under the output lock. The
    // last result line is the progress just printed.
    OutputLock lock;
    flushOutput();
    std::size_t end = text_.rfind("\"\n");
    std::size_t start = text_.rfind("\x1b[96m\"", end);
    ASSERT_NE(std::string::npos, start);
    done = std::stol(text_.substr(start + 6, end - start - 6)) >= kThreads * kPerThread;
  }
  handle.call("wait");
  std::vector<Segment> segments = printed();
  CallbackCensus census = countCallbackLines(segments, "background");
  EXPECT_EQ(kThreads * kPerThread, census.lines);
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), census.distinctData.size());
  EXPECT_EQ(std::vector<Segment>{}, census.strays);
  ASSERT_GE(segments.size(), 2u);
  EXPECT_EQ(result("\"" + std::to_string(kThreads * kPerThread) + "\""), segments[segments.size() - 2]);
  EXPECT_GT(mainThreadCalls, 1);
}

}  // namespace
