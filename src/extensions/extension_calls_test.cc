// Loading and calling real test extensions through the outcome layer: nothing is printed, the
// outcomes are judged as values. The texts the reporter prints are checked beside them.
#include "extensions/extension_calls.h"

#include <gtest/gtest.h>

#include <vector>

#include "extensions/argument_vector.h"
#include "extensions/crash_report.h"
#include "extensions/extension_loader.h"
#include "extensions/extension_messages.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "values/plain_text.h"

namespace {

std::string variant(const char* name) { return std::string(TESTEXT_DIR) + "/" + name; }

class ExtensionCallsTest : public ::testing::Test {
 protected:
  void TearDown() override { extensionRegistry.unloadAll(); }

  ExtensionEntry& load(const char* name) {
    std::string typed = variant(name);
    LoadOutcome outcome = loadExtension(typed, toLowerAscii(typed));
    EXPECT_FALSE(outcome.failed) << loadFailureText(outcome.failure, true);
    EXPECT_TRUE(outcome.loadedNow);
    EXPECT_NE(nullptr, outcome.entry);
    return *outcome.entry;
  }
};

TEST_F(ExtensionCallsTest, ALoadedExtensionAnswersItsResultAndVersionAsValues) {
  ExtensionEntry& entry = load("testext_full");
  EXPECT_EQ(CallStatus::Returned, registerHostCallback(entry).status);
  const CallOutcome& version = queryVersion(entry);
  EXPECT_EQ(CallStatus::Returned, version.status);
  EXPECT_EQ("testext 1.0", version.result);
  EXPECT_GE(version.milliseconds, 0);

  PreCallOutcome prepared = prepareCall(entry);
  EXPECT_EQ("", prepared.lateWriter);
  const CallOutcome& call = callWithArguments(entry, prepared, "args", nullptr, 0, "a note");
  endWaiting();  // the reporter would, under its lock
  EXPECT_EQ(CallStatus::Returned, call.status);
  EXPECT_EQ("0", call.result);
  EXPECT_EQ(0, call.code);
  EXPECT_EQ("a note", call.note);
  std::string line;
  buildResultLine(call, &line);
  EXPECT_EQ("[\"0\",0,0]\n", line);
}

// Whatever a call before left, argv[argc] is null and the slot after it cannot be read.
TEST_F(ExtensionCallsTest, TheArgumentVectorEndsWithANullAndThenUnreadableMemory) {
  ExtensionEntry& entry = load("testext_full");
  const char* three[] = {"1", "2", "3"};
  for (std::int32_t argc : {3, 1, 0}) {
    const CallOutcome& call = callWithArguments(entry, prepareCall(entry), "argvend", three, argc, {});
    endWaiting();  // the reporter would, under its lock
    EXPECT_EQ("null", call.result) << argc;
  }
  const CallOutcome& crash = callWithArguments(entry, prepareCall(entry), "readpast", three, 2, {});
  endWaiting();
  ASSERT_EQ(CallStatus::Crashed, crash.status);
  std::size_t firstEnd = crash.report.find('\n');
  EXPECT_EQ(readPastArgumentsText(3, 2),
            crash.report.substr(firstEnd + 1, readPastArgumentsText(3, 2).size()))
      << crash.report;
}

TEST(ArgumentVector, PlacesUpToItsLimitAndFindsTheSlotsPastTheEnd) {
  ArgumentVector vector;
  const char* texts[] = {"a", "b"};
  const char** placed = vector.place(texts, 2);
  ASSERT_NE(nullptr, placed);
  EXPECT_EQ(texts[0], placed[0]);
  EXPECT_EQ(texts[1], placed[1]);
  EXPECT_EQ(nullptr, placed[2]);
  auto address = [&](std::int64_t slot) { return reinterpret_cast<std::uintptr_t>(placed + slot); };
  EXPECT_EQ(3, vector.slotPastEnd(address(3)));
  EXPECT_EQ(9, vector.slotPastEnd(address(9)));
  EXPECT_EQ(-1, vector.slotPastEnd(address(2)));
  EXPECT_EQ(-1, vector.slotPastEnd(0));
  std::vector<const char*> many(ArgumentVector::kMaxPlaced + 1, "x");
  EXPECT_EQ(nullptr, vector.place(many.data(), static_cast<std::int32_t>(many.size())));
  EXPECT_EQ(-1, vector.slotPastEnd(address(3)));  // nothing placed now
  EXPECT_EQ("The call read argv[2], past its 1 argument and the null pointer that ends them\n",
            readPastArgumentsText(2, 1));
}

// The texts the reporter prints, exactly.
TEST(ExtensionMessages, Texts) {
  const LoadFailure failure{std::string("a\0b", 3), 126, "the reason", {"tried a", "tried b"}};
  const struct {
    std::string actual;
    const char* expected;
  } cases[] = {
      {loadFailureText(failure, true),
       "Call extension 'a\\0b' could not be loaded [ERR:126]\nthe reason\ntried a\ntried b\n"},
      {loadFailureText(failure, false),
       "Call extension 'a\\0b' could not be loaded [ERR:126]\ntried a\ntried b\n"},
      {noticedCallText("ext", CallSite{"RVExtension", "a \"b\""}, false),
       "ext: RVExtension(\"a \"\"b\"\"\")"},
      {staysInMemoryText("ext.so"), "ext.so stays in memory; restart the host to load a new build\n"},
      {reloadedText("ext", "ext.so"), "Extension reloaded: ext (ext.so changed)\n"},
      {residentAfterUnloadText("ext.so", {false, true}, false),
       "ext.so stays in memory (a thread still holds its thread-local objects): the next load goes on with "
       "its state; restart the host"},
      {residentAfterUnloadText("ext.dll", {}, false),
       "ext.dll stays in memory (something in the process still holds it): the next load goes on with its "
       "state; restart the host"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual);
}

}  // namespace
