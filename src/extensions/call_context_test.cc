// The call context: the setContext literal, the values' ranges, the stack trace the call chain
// gives, the flag notes, and where RVExtensionRequestContext delivers.
#include "extensions/call_context.h"

#include <gtest/gtest.h>

#include <thread>

#include "output/output_test_support.h"

namespace {

TEST(CallContext, ReadsTheSetContextLiteralOrLeavesTheValues) {
  const struct {
    const char* literal;
    const char* shown;  // the settings after it, as setContext shows them; the old ones when malformed
  } cases[] = {
      {R"(["76561198000000000", "Altis", "srv", 2])",
       R"(setContext ["76561198000000000", "Altis", "srv", 2])"},
      {R"([ "007","a""b","",65535])", R"(setContext ["7", "a""b", "", 65535])"},
      {R"(["18446744073709551615", "", "", 0])", R"(setContext ["18446744073709551615", "", "", 0])"},
      {R"(["18446744073709551616", "", "", 0])", R"(setContext ["1", "m", "s", 3])"},  // over 64 bits
      {R"(["1", "", "", 65536])", R"(setContext ["1", "m", "s", 3])"},                 // over 16 bits
      {R"(["1", "", "", -1])", R"(setContext ["1", "m", "s", 3])"},
      {R"(["1", "", "", 2.5])", R"(setContext ["1", "m", "s", 3])"},
      {R"(["x1", "", "", 0])", R"(setContext ["1", "m", "s", 3])"},
      {R"([1, "", "", 0])", R"(setContext ["1", "m", "s", 3])"},  // ID not a string
      {R"(["1", "", 0])", R"(setContext ["1", "m", "s", 3])"},    // three items
      {R"(["1", "", "", 0, 0])", R"(setContext ["1", "m", "s", 3])"},
      {R"(["1", "", "", 0)", R"(setContext ["1", "m", "s", 3])"},  // not closed
      {R"(["1", "", "", 0] x)", R"(setContext ["1", "m", "s", 3])"},
      {R"(1, "", "", 0)", R"(setContext ["1", "m", "s", 3])"},
  };
  for (const auto& c : cases) {
    ContextSettings settings{"1", "m", "s", "3"};
    readContextLiteral(c.literal, &settings);
    EXPECT_EQ(c.shown, setContextCommandText(settings)) << c.literal;
  }
}

// The stack trace of a call from a script run by a script run by a typed line: innermost
// first, line numbers counting every line (comments and empty ones too), offsets into the
// whole text, the typed line last.
TEST(CallContext, StackTraceFollowsTheCallChain) {
  const std::string typed = R"(execVM "a.sqf")";
  const std::string outer = "// one\n\nexecVM \"sub/b.sqf\"\n";
  const std::string inner = "x\ny\n\n\"e\" invokeModule \"f\"\n";
  setTypedLine(typed);
  pushScriptFrame("a.sqf", outer);
  setScriptLine(std::string_view(outer).substr(8, 17));
  pushScriptFrame("sub/b.sqf", inner);
  setScriptLine(std::string_view(inner).substr(2, 1));
  setScriptLine(std::string_view(inner).substr(5, 22));

  ContextArguments arguments;
  buildContextArguments(kFlagStackTrace, &arguments);
  ASSERT_EQ(6u, arguments.count);
  EXPECT_STREQ("sub/b.sqf", static_cast<const char*>(arguments.slots[1]));
  const auto* trace = static_cast<const StackTrace*>(arguments.slots[5]);
  ASSERT_EQ(3u, trace->lineCount);
  const struct {
    std::uint32_t line, offset;
    const char *file, *scope, *content;
  } expected[] = {
      {4, 5, "sub/b.sqf", "b.sqf", inner.c_str()},
      {3, 8, "a.sqf", "a.sqf", outer.c_str()},
      {1, 0, "", "", typed.c_str()},
  };
  for (std::uint32_t i = 0; i < 3; ++i) {
    const StackTraceLine& line = trace->lines[i];
    EXPECT_EQ(expected[i].line, line.lineNumber) << i;
    EXPECT_EQ(expected[i].offset, line.fileOffset) << i;
    EXPECT_STREQ(expected[i].file, line.sourceFile) << i;
    EXPECT_STREQ(expected[i].scope, line.scopeName) << i;
    EXPECT_STREQ(expected[i].content, line.fileContent) << i;
  }
  popScriptFrame();
  popScriptFrame();
  setTypedLine({});
  buildContextArguments(kFlagTypedContext, &arguments);
  EXPECT_EQ(5u, arguments.count);
  EXPECT_STREQ("", static_cast<const char*>(arguments.slots[1]));
}

TEST(CallContext, FlagNotesAreSaidOncePerExtension) {
  std::uint64_t noted = 0;
  std::string first = featureFlagNotes("e.so", kFlagUnescapedArguments | kFlagStackTrace, &noted);
  EXPECT_NE(std::string::npos, first.find("e.so: feature flag 1 << 3")) << first;
  EXPECT_EQ("", featureFlagNotes("e.so", kFlagUnescapedArguments, &noted));
  std::string typed = featureFlagNotes("e.so", kFlagTypedContext, &noted);
  EXPECT_EQ(typedContextSupported(), typed.empty()) << typed;
}

class RequestContextTest : public OutputCaptureTest {};

int delivered = 0;
void INVOKEMODULE_STDCALL countContext(const char**, std::uint32_t count) {
  delivered += static_cast<int>(count);
}

// Delivered at once on the main thread during a call; elsewhere nothing, said once.
TEST_F(RequestContextTest, DeliversOnlyOnTheMainThreadDuringACall) {
  ContextArguments arguments;
  buildContextArguments(0, &arguments);
  beginContextCall(countContext, &arguments);
  requestContext();
  EXPECT_EQ(5, delivered);
  std::thread(requestContext).join();
  std::thread(requestContext).join();
  endContextCall();
  requestContext();
  EXPECT_EQ(5, delivered);
  EXPECT_EQ(std::string(kMisplacedRequestNote) + "\n\n", printed());
}

}  // namespace
