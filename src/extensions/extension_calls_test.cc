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

TEST_F(ExtensionCallsTest, ACrashIsAnOutcomeAndQuarantinesTheExtension) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers stop at the null pointer themselves";
#endif
  ExtensionEntry& entry = load("crashy");
  EXPECT_EQ(nullptr, refusedCall(entry, "RVExtension", "f", true, {}));
  const CallOutcome& crash = callFunction(entry, prepareCall(entry), "segv");
  endWaiting();  // the reporter would, under its lock
  ASSERT_EQ(CallStatus::Crashed, crash.status);
  EXPECT_EQ(0u, crash.report.rfind("ERROR: Extension crashed: ", 0)) << crash.report;
  EXPECT_NE(std::string::npos, crash.report.find(" in RVExtension(\"segv\")")) << crash.report;
  const CallOutcome* refused = refusedCall(entry, "RVExtension", "f", true, "n");
  ASSERT_NE(nullptr, refused);
  EXPECT_EQ(CallStatus::Quarantined, refused->status);
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

TEST_F(ExtensionCallsTest, AnOverrunAndAMissingEntryPointAreOutcomes) {
  ExtensionEntry& full = load("testext_full");
  EXPECT_EQ(CallStatus::Overrun, callFunction(full, prepareCall(full), "bytes 12000").status);
  endWaiting();  // the reporter would, under its lock
  EXPECT_EQ(CallStatus::Returned, callFunction(full, prepareCall(full), "empty").status);
  endWaiting();  // the reporter would, under its lock

  ExtensionEntry& nocall = load("testext_nocall");
  EXPECT_FALSE(canBeCalled(nocall));
  const CallOutcome* refused = refusedCall(nocall, "RVExtensionArgs", "f", false, {});
  ASSERT_NE(nullptr, refused);
  EXPECT_EQ(CallStatus::NotImplemented, refused->status);
  EXPECT_EQ(notExportedText("RVExtensionArgs", toLowerAscii(variant("testext_nocall")) + TESTEXT_FILE_SUFFIX),
            notExportedText(refused->entryPoint, refused->fileName));
}

TEST_F(ExtensionCallsTest, AFailedLoadNamesTheCandidatesAndRegistersNothing) {
  std::string typed = variant("no_such_extension");
  LoadOutcome outcome = loadExtension(typed, toLowerAscii(typed));
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(nullptr, outcome.entry);
  EXPECT_EQ(nullptr, extensionRegistry.find(toLowerAscii(typed)));
  EXPECT_FALSE(outcome.failure.details.empty());
  std::string text = loadFailureText(outcome.failure, false);
  EXPECT_EQ(0u, text.rfind("Call extension '" + typed + "' could not be loaded [ERR:", 0)) << text;
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
      {lateBufferWriteText("ext"),
       "ERROR: Buffer overrun after the call returned: a thread of ext wrote into the output buffer\n"},
      {notExportedText("RVExtension", "ext.so"), "RVExtension is not exported by ext.so\n"},
      {noticedCallText("ext", CallSite{"RVExtension", "a \"b\""}, false),
       "ext: RVExtension(\"a \"\"b\"\"\")"},
      {noticedCallText("ext", CallSite{"RVExtensionArgs", "f"}, true),
       "ext: RVExtensionArgs(\"f\") was not called"},
      {staysInMemoryText("ext.so"), "ext.so stays in memory; restart the host to load a new build\n"},
      {parkedThreadKeepsLibraryText("ext.so"), "ext.so stays in memory: a thread of it is parked\n"},
      {reloadedText("ext", "ext.so"), "Extension reloaded: ext (ext.so changed)\n"},
      {faultHandlersReplacedText("ext"),
       "ext replaced the host's fault handlers; the host's are back in front\n"},
      {moduleLoadedText("ext", "ext.so", "1.0"), "InvokeModule loaded: ext (ext.so) [1.0]\n"},
      {residentAfterUnloadText("ext.so", {true, true}),
       "ext.so stays in memory (it defines GNU unique symbols): the next load goes on with its state; "
       "build it with -fno-gnu-unique, or restart the host"},
      {residentAfterUnloadText("ext.so", {false, true}),
       "ext.so stays in memory (a thread still holds its thread-local objects): the next load goes on with "
       "its state; restart the host"},
      {threadsStillRunningText("ext", 1),
       "1 thread of ext is still running; its work is cut short when the library is unloaded\n"},
      {threadsStillRunningText("ext", 70),
       "70 threads of ext are still running; their work is cut short when the library is unloaded\n"},
      {residentAfterUnloadText("ext.dll", {}),
       "ext.dll stays in memory (something in the process still holds it): the next load goes on with its "
       "state; restart the host"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(ExtensionMessages, ResultLinesOfBothForms) {
  CallOutcome outcome;
  outcome.result = "say \"hi\"";
  std::string line = "old";
  buildResultLine(outcome, &line);
  EXPECT_EQ("\"say \"\"hi\"\"\"\n", line);
  outcome.argumentForm = true;
  outcome.code = -7;
  buildResultLine(outcome, &line);
  EXPECT_EQ("[\"say \"\"hi\"\"\",-7,0]\n", line);
}

}  // namespace
