// The search's calls: seeds read from command lines, variants that a replay reads back as they
// were made, smaller variants, and the verdict on a call's outcome.
#include "fuzzmode/search_calls.h"

#include <gtest/gtest.h>

#include <set>

#include "fuzzmode/search_run.h"

namespace {

TEST(SearchCalls, ItemsOfLiterals) {
  const struct {
    const char* literal;
    std::vector<std::string> items;
  } cases[] = {
      {"[]", {}},
      {"[ 1 , \"a\"\"b\" ,[2,[3]], true]", {"1", "\"a\"\"b\"", "[2,[3]]", "true"}},
      {"[\"x, y]\"]", {"\"x, y]\""}},
      {"[,1,,2,]", {"1", "2"}},
      {"[[1]x]", {"[1]x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(literalItems(c.literal), c.items) << c.literal;
}

TEST(SearchCalls, SeedsFromCommandLinesAndBack) {
  const struct {
    const char* line;
    bool argumentForm;
    const char* function;
    std::size_t items;
    const char* replay;
  } cases[] = {
      {"\"ext\" invokeModule [\"fn\", [1, \"two\"]];", true, "fn", 2,
       "\"ext\" invokeModule [\"fn\", [1,\"two\"]]"},
      {"\"ext\" INVOKEMODULE \"say \"\"hi\"\"\"", false, "say \"hi\"", 0,
       "\"ext\" invokeModule \"say \"\"hi\"\"\""},
      {"\"ext\" invokeModule [\"fn\", []]", true, "fn", 0, "\"ext\" invokeModule [\"fn\", []]"},
  };
  for (const auto& c : cases) {
    SearchCall call;
    ASSERT_TRUE(readSeedCall(c.line, &call)) << c.line;
    EXPECT_EQ(call.extension, "ext");
    EXPECT_EQ(call.argumentForm, c.argumentForm);
    EXPECT_EQ(call.function, c.function);
    EXPECT_EQ(call.items.size(), c.items);
    EXPECT_EQ(callCommandLine(call), c.replay);
  }
  SearchCall call;
  EXPECT_FALSE(readSeedCall("freeExtension \"ext\"", &call));
  EXPECT_FALSE(readSeedCall("sleep 1", &call));
}

// Every variant is a call that its command line replays exactly, the same seed gives the same
// variants, and the variants reach the grammar's edges.
TEST(SearchCalls, VariantsReplayAndRepeat) {
  const std::vector<std::string> functions = {"fn", "say \"hi\""};
  SearchCall argumentSeed{"ext", true, "fn", {"1", "\"a\""}};
  SearchCall functionSeed{"ext", false, "say \"hi\"", {}};
  SearchRandom first(7), second(7), other(8);
  std::set<std::size_t> counts;
  bool emptyString = false, longString = false, nil = false, nested = false, emptyFunction = false;
  bool differs = false;
  for (int i = 0; i < 3000; ++i) {
    const SearchCall& seed = i % 4 == 0 ? functionSeed : argumentSeed;
    SearchCall variant = mutateCall(seed, functions, first, 10240);
    ASSERT_EQ(variant, mutateCall(seed, functions, second, 10240));
    differs = differs || !(variant == mutateCall(seed, functions, other, 10240));
    SearchCall replayed;
    ASSERT_TRUE(readSeedCall(callCommandLine(variant), &replayed)) << callCommandLine(variant);
    ASSERT_EQ(replayed, variant) << callCommandLine(variant);
    counts.insert(variant.items.size());
    for (const std::string& item : variant.items) {
      emptyString = emptyString || item == "\"\"";
      longString = longString || item.size() > 10240;
      nil = nil || item == "nil";
      nested = nested || item.starts_with("[[");
    }
    emptyFunction = emptyFunction || (!variant.argumentForm && variant.function.empty());
  }
  EXPECT_TRUE(differs);
  EXPECT_TRUE(counts.count(0) && counts.count(1) && counts.count(3)) << "fewer and more arguments";
  EXPECT_TRUE(emptyString && longString && nil && nested && emptyFunction);
}

TEST(SearchCalls, SmallerCallsAreSmaller) {
  SearchCall call{"ext", true, "function", {"\"" + std::string(100, 'A') + "\"", "[1,[2]]", "7"}};
  const std::size_t size = callCommandLine(call).size();
  std::vector<SearchCall> smaller = smallerCalls(call);
  ASSERT_FALSE(smaller.empty());
  EXPECT_EQ(smaller.front().items.size(), 2u) << "an argument taken away first";
  for (const SearchCall& candidate : smaller) {
    EXPECT_FALSE(candidate == call);
    EXPECT_LE(callCommandLine(candidate).size(), size) << callCommandLine(candidate);
  }
  EXPECT_TRUE(smallerCalls(SearchCall{"ext", false, "", {}}).empty());
}

// A frame at `address` in the module loaded at `base` from `file`.
platform::RawFrame frameAt(std::uintptr_t base, std::uintptr_t address, const char* file,
                           bool hostOrRuntime = false) {
  platform::RawFrame frame;
  frame.moduleBase = base;
  frame.address = address;
  frame.moduleFile = file;
  frame.hostOrRuntime = hostOrRuntime;
  return frame;
}

const platform::RawFrame kHostFrame = frameAt(0x1000, 0, "", true);
const platform::RawFrame kExtensionFrame = frameAt(0x7000, 0x7123, "bugs.so");

TEST(SearchVerdict, KindsAndFrames) {
  const struct {
    CallStatus status;
    bool exited, abandoned;
    const char* report;
    double milliseconds;
    FindingKind kind;
    const char* frame;
  } cases[] = {
      {CallStatus::Returned, false, false, "", 5, FindingKind::None, ""},
      {CallStatus::Returned, false, false, "", 1000, FindingKind::Slow, ""},
      {CallStatus::Overrun, false, false, "", 0, FindingKind::Overrun, ""},
      {CallStatus::Crashed, false, false, "ERROR: Extension crashed", 0, FindingKind::Crash, "bugs.so+0x123"},
      {CallStatus::Crashed, false, false, "x\nThe call read argv[3], past", 0, FindingKind::ReadPastArguments,
       "bugs.so+0x123"},
      {CallStatus::Crashed, true, false, "", 0, FindingKind::Exit, "bugs.so+0x123"},
      {CallStatus::Crashed, false, true, "", 0, FindingKind::Hang, ""},
  };
  for (const auto& c : cases) {
    CallOutcome outcome;
    outcome.status = c.status;
    outcome.report = c.report;
    outcome.milliseconds = c.milliseconds;
    platform::CrashRecord crash;
    crash.exited = c.exited;
    crash.abandoned = c.abandoned;
    // A runtime the host does not share: not the extension's frame.
    crash.fault.frames = {kHostFrame, frameAt(0x9000, 0x9010, "msvcrt.dll"), kExtensionFrame};
    crash.fault.scopeModule = 0x7000;
    Verdict verdict = judgeCall(outcome, crash);
    EXPECT_EQ(verdict.kind, c.kind) << c.report;
    EXPECT_EQ(verdict.frame, c.frame) << c.report;
  }
}

// Clean-up code that did not return: one kind, told apart by the library's innermost frame (any
// library's but the host's and the runtime's where no library was named, as for the loader's
// own clean-up), none for an abandon.
TEST(SearchVerdict, CleanUpByFrame) {
  const platform::RawFrame other = frameAt(0x9000, 0x9010, "helper.so");
  const struct {
    bool exited, abandoned;
    std::uintptr_t scope;
    const char* frame;
  } cases[] = {
      {false, false, 0x7000, "bugs.so+0x123"},
      {true, false, 0x7000, "bugs.so+0x123"},
      {false, false, 0, "helper.so+0x10"},
      {false, true, 0x7000, ""},
  };
  for (const auto& c : cases) {
    platform::CrashRecord crash;
    crash.exited = c.exited;
    crash.abandoned = c.abandoned;
    crash.fault.frames = {kHostFrame, other, kExtensionFrame};
    crash.fault.scopeModule = c.scope;
    const Verdict verdict = judgeCleanUp(crash);
    EXPECT_EQ(verdict.kind, FindingKind::CleanUp) << c.frame;
    EXPECT_EQ(verdict.frame, c.frame) << c.frame;
  }
}

}  // namespace
