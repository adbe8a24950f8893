// Loading, calling and unloading the real test extension libraries through the real loader,
// checking every message, its colour and its order.
#include "extensions/extension_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "extensions/extension_callback.h"
#include "output/output.h"
#include "output/output_test_support.h"
#include "platform/dynamic_library.h"

namespace {

// One run of text in one colour, as the captured escape sequences show it.
struct Segment {
  std::string colour;
  std::string text;
  bool operator==(const Segment&) const = default;
};

void PrintTo(const Segment& segment, std::ostream* out) {
  *out << segment.colour << ":\"";
  for (char c : segment.text) {
    if (c == '\n') {
      *out << "\\n";
    } else {
      *out << c;
    }
  }
  *out << "\"";
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

Segment callbackRegistered() {
  return {"DarkYellow", "Callback registered: " + callbackAddress() + "\n"};
}
Segment loaded(const std::string& key, const std::string& file, const std::string& version) {
  return {"DarkYellow", "InvokeModule loaded: " + key + " (" + file + ") [" + version + "]\n"};
}
Segment executionTime() { return {"DarkCyan", "Execution time: # ms\n\n"}; }
Segment result(const std::string& quoted) { return {"Cyan", quoted + "\n"}; }
Segment notice(const std::string& text) { return {"DarkYellow", text + "\n\n"}; }
Segment overrun() { return {"Red", "ERROR: Buffer overrun\n\n"}; }
Segment callbackLine(const std::string& shown) {
  return {"Cyan", "\n>> ExtensionCallback: [" + shown + "]\n"};
}

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

// --- Loading -------------------------------------------------------------------------------

TEST_F(ExtensionRegistryTest, SecondUseIsSilentAndCallsNothingAtLoad) {
  loadQuietly("testext_full");
  ExtensionHandle again(variant("testext_full"));
  EXPECT_TRUE(again.ok());
  EXPECT_EQ(kNothing, printed());
  again.call("registrations");
  EXPECT_EQ((std::vector<Segment>{result("\"1\""), executionTime()}), printed());
}

TEST_F(ExtensionRegistryTest, NamesInOtherLetterCaseShareOneEntry) {
  loadQuietly("testext_full");
  // The upper-cased file does not exist on a case-sensitive file system: only the shared entry
  // can make this handle usable.
  std::string shouted = std::string(TESTEXT_DIR) + "/TESTEXT_FULL";
  ExtensionHandle upper(shouted);
  EXPECT_TRUE(upper.ok());
  EXPECT_EQ(key("testext_full"), upper.name());
  upper.call("calls");
  EXPECT_EQ((std::vector<Segment>{result("\"1\""), executionTime()}), printed());
  EXPECT_EQ(1u, extensionRegistry.size());
  EXPECT_TRUE(extensionRegistry.unload(std::string(TESTEXT_DIR) + "/TeStExT_FuLl"));
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
  EXPECT_EQ((std::vector<Segment>{callbackRegistered(),
                                  loaded(lowered, lowered + TESTEXT_FILE_SUFFIX, "testext 1.0"),
                                  executionTime()}),
            printed());
  ExtensionHandle lower(lowered);  // the lower-cased file does not exist; the entry does
  EXPECT_TRUE(lower.ok());
  EXPECT_EQ(kNothing, printed());
}

TEST_F(ExtensionRegistryTest, MissingLibraryIsReportedEveryTimeAndNotRegistered) {
  std::string typed = std::string(TESTEXT_DIR) + "/no_such_extension";
  std::string code = platform::loaderGivesFailureReason() ? "2" : "126";
  for (int attempt = 0; attempt < 2; ++attempt) {
    ExtensionHandle handle(typed);
    EXPECT_FALSE(handle.ok());
    EXPECT_EQ(toLowerAscii(typed), handle.name());
    std::vector<Segment> segments = printed();
    ASSERT_EQ(1u, segments.size());
    EXPECT_EQ("DarkYellow", segments[0].colour);
    EXPECT_EQ(0u, segments[0].text.find("Call extension '" + typed + "' could not be loaded [ERR:" + code + "]\n"))
        << segments[0].text;
    EXPECT_NE(std::string::npos, segments[0].text.find("no_such_extension" TESTEXT_FILE_SUFFIX " in " TESTEXT_DIR ": "))
        << segments[0].text;
    // A handle whose load failed prints nothing more.
    handle.call("hello");
    handle.callArgs("hello", nullptr, 0);
    EXPECT_EQ(kNothing, printed());
    EXPECT_EQ(0u, extensionRegistry.size());
  }
}

// A NUL byte would cut the name where the loader reads it: nothing is loaded, not even the
// library named by the part before it.
TEST_F(ExtensionRegistryTest, NameHoldingANulByteIsRefused) {
  std::string typed = variant("testext_full") + std::string(1, '\0');
  ExtensionHandle handle(typed);
  EXPECT_FALSE(handle.ok());
  std::string code = platform::loaderGivesFailureReason() ? "22" : "123";
  EXPECT_EQ((std::vector<Segment>{notice("Call extension '" + variant("testext_full") + "\\0' could not be loaded [ERR:" +
                                         code + "]")}),
            printed());
  EXPECT_EQ(0u, extensionRegistry.size());
}

// The load messages of each kind of library; a call on a missing entry point names it.
TEST_F(ExtensionRegistryTest, LoadMessagesAndMissingEntryPoints) {
  auto notExported = [](const char* entryPoint, const char* name) {
    return Segment{"DarkYellow", std::string("Method is not implemented\n") + entryPoint + " is not exported by " +
                                     file(name) + "\n\n"};
  };
  struct Row {
    const char* name;
    std::vector<Segment> atLoad;
    std::vector<Segment> calls;  // the function form, then the argument form of "hello"
  } rows[] = {
      {"testext_noversion", {callbackRegistered(), loaded(key("testext_noversion"), file("testext_noversion"), "")},
       {result("\"hello\""), executionTime(), result("[\"hello\",0,0]"), executionTime()}},
      {"testext_version31",
       {callbackRegistered(), loaded(key("testext_version31"), file("testext_version31"), std::string(31, 'v')),
        executionTime()},
       {result("\"hello\""), executionTime(), result("[\"hello\",0,0]"), executionTime()}},
      // A library that cannot be called loads silently and stays loaded.
      {"testext_nocall", {},
       {notExported("RVExtension", "testext_nocall"), notExported("RVExtensionArgs", "testext_nocall")}},
      {"testext_argsonly", {loaded(key("testext_argsonly"), file("testext_argsonly"), "")},
       {notExported("RVExtension", "testext_argsonly"), result("[\"hello\",0,0]"), executionTime()}},
      {"testext_funconly", {loaded(key("testext_funconly"), file("testext_funconly"), "")},
       {result("\"hello\""), executionTime(), notExported("RVExtensionArgs", "testext_funconly")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ExtensionHandle handle(variant(row.name));
    EXPECT_TRUE(handle.ok());
    EXPECT_EQ(row.atLoad, printed());
    handle.call("hello");
    handle.callArgs("hello", nullptr, 0);
    EXPECT_EQ(row.calls, printed());
  }
  EXPECT_EQ(5u, extensionRegistry.size());
}

TEST_F(ExtensionRegistryTest, VersionThatFillsOrOverflowsItsBufferIsAnOverrunAndStaysUsable) {
  for (const char* name : {"testext_version32", "testext_versionlong"}) {
    ExtensionHandle handle(variant(name));
    EXPECT_TRUE(handle.ok()) << name;
    EXPECT_EQ((std::vector<Segment>{callbackRegistered(), overrun()}), printed()) << name;
    handle.call("still here");
    EXPECT_EQ((std::vector<Segment>{result("\"still here\""), executionTime()}), printed())
        << name;
  }
}

// --- Unloading -----------------------------------------------------------------------------

TEST_F(ExtensionRegistryTest, FreeThenFreeAgainThenReloadWithFreshState) {
  loadQuietly("testext_full");
  {
    ExtensionHandle handle(variant("testext_full"));
    handle.call("calls");
    handle.call("calls");
  }
  EXPECT_EQ((std::vector<Segment>{result("\"1\""), executionTime(), result("\"2\""),
                                  executionTime()}),
            printed());
  EXPECT_TRUE(extensionRegistry.unload(variant("testext_full")));
  EXPECT_FALSE(extensionRegistry.unload(variant("testext_full")));
  EXPECT_EQ(0u, extensionRegistry.size());

  ExtensionHandle reloaded(variant("testext_full"));
  EXPECT_EQ((std::vector<Segment>{callbackRegistered(),
                                  loaded(key("testext_full"), file("testext_full"), "testext 1.0"),
                                  executionTime()}),
            printed());
  // The library really left memory: its call counter starts afresh.
  reloaded.call("calls");
  EXPECT_EQ((std::vector<Segment>{result("\"1\""), executionTime()}), printed());
}

TEST_F(ExtensionRegistryTest, UnloadAllFreesEveryEntry) {
  loadQuietly("testext_full");
  loadQuietly("testext_nocall");
  loadQuietly("testext_argsonly");
  EXPECT_EQ(3u, extensionRegistry.size());
  std::vector<std::string> names = extensionRegistry.loadedNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{key("testext_argsonly"), key("testext_full"),
                                      key("testext_nocall")}),
            names);
  extensionRegistry.unloadAll();
  EXPECT_EQ(0u, extensionRegistry.size());
  EXPECT_FALSE(extensionRegistry.unload(variant("testext_full")));
}

TEST(ToLowerAsciiTest, ChangesOnlyAsciiCapitals) {
  EXPECT_EQ("abc.dll", toLowerAscii("AbC.DLL"));
  EXPECT_EQ("@[`{", toLowerAscii("@[`{"));
  EXPECT_EQ("\xc3\x89t\xc3\xa9", toLowerAscii("\xc3\x89T\xc3\xa9"));  // bytes >= 0x80 kept
  EXPECT_EQ("", toLowerAscii(""));
}

// --- Calls ---------------------------------------------------------------------------------

struct CallCase {
  const char* function;
  std::vector<Segment> expected;
};

TEST_F(ExtensionRegistryTest, FunctionFormResults) {
  loadQuietly("testext_full");
  const CallCase cases[] = {
      {"hello", {result("\"hello\""), executionTime()}},
      {"empty", {result("\"\""), executionTime()}},
      {"say \"hi\"", {result("\"say \"\"hi\"\"\""), executionTime()}},
      {"\"", {result("\"\"\"\""), executionTime()}},
      {"bytes 10239", {result("\"" + std::string(10239, 'x') + "\""), executionTime()}},
      {"bytes 10240", {overrun()}},
      {"bytes 12000", {overrun()}},
      // Writes past the buffer that leave its last byte zero: only the guard zone shows them.
      {"poke 10240", {overrun()}},
      {"poke 40000", {overrun()}},
      {"poke 75775", {overrun()}},
      {"after the overruns", {result("\"after the overruns\""), executionTime()}},
      // Callbacks during a call come before its result and get 99.
      {"callback 3",
       {callbackLine("\"testext\", \"callback\", \"0\""), callbackLine("\"testext\", \"callback\", \"1\""),
        callbackLine("\"testext\", \"callback\", \"2\""), result("\"returned 99\""), executionTime()}},
  };
  ExtensionHandle handle(variant("testext_full"));
  for (const CallCase& c : cases) {
    handle.call(c.function);
    EXPECT_EQ(c.expected, printed()) << c.function;
  }
}

struct ArgsCase {
  const char* function;
  std::vector<const char*> arguments;
  std::vector<Segment> expected;
};

TEST_F(ExtensionRegistryTest, ArgumentFormResults) {
  loadQuietly("testext_full");
  const ArgsCase cases[] = {
      {"args", {"1", "\"a\"", "true"}, {result("[\"3|1|\"\"a\"\"|true\",3,0]"), executionTime()}},
      {"args", {}, {result("[\"0\",0,0]"), executionTime()}},
      {"code -5", {}, {result("[\"code\",-5,0]"), executionTime()}},
      {"code -2147483648", {}, {result("[\"code\",-2147483648,0]"), executionTime()}},
      {"empty", {}, {result("[\"\",0,0]"), executionTime()}},
      {"bytes 10239", {}, {result("[\"" + std::string(10239, 'x') + "\",0,0]"), executionTime()}},
      {"bytes 10240", {}, {overrun()}},
      {"bytes 12000", {}, {overrun()}},
      {"nullcallback", {}, {callbackLine("\"\", \"\", \"\""), callbackLine("\"testext\", \"\", \"data\""),
                            result("[\"returned 99\",0,0]"), executionTime()}},
  };
  ExtensionHandle handle(variant("testext_full"));
  for (const ArgsCase& c : cases) {
    std::vector<const char*> argv = c.arguments;
    handle.callArgs(c.function, argv.empty() ? nullptr : argv.data(),
                    static_cast<std::int32_t>(argv.size()));
    EXPECT_EQ(c.expected, printed()) << c.function;
  }
}

// --- Callbacks -----------------------------------------------------------------------------

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

TEST_F(ExtensionRegistryTest, CallbacksFromTheExtensionsThreadsDuringACall) {
  loadQuietly("testext_full");
  ExtensionHandle handle(variant("testext_full"));
  handle.call("threads 4 500");
  std::vector<Segment> segments = printed();
  CallbackCensus census = countCallbackLines(segments, "thread");
  EXPECT_EQ(2000, census.lines);
  EXPECT_EQ(2000u, census.distinctData.size());
  EXPECT_EQ(std::vector<Segment>{}, census.strays);
  ASSERT_GE(segments.size(), 2u);
  EXPECT_EQ(result("\"2000\""), segments[segments.size() - 2]);
  EXPECT_EQ(executionTime(), segments.back());
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
  EXPECT_EQ(result("\"" + std::to_string(kThreads * kPerThread) + "\""),
            segments[segments.size() - 2]);
  EXPECT_GT(mainThreadCalls, 1);
}

}  // namespace
