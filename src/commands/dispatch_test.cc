// unquoteString and the dispatcher's own answers (echo rule, notices, limit, exit).
#include "commands/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "commands/script_runner.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "output/output_test_support.h"
#include "platform/platform.h"

namespace {

TEST(UnquoteString, UndoesDoubledQuotes) {
  const std::pair<const char*, const char*> cases[] = {
      {R"("")", ""},
      {R"(say ""hi"")", R"(say "hi")"},
      {R"("C:\a.sqf")", R"(C:\a.sqf)"},
      {R"(a"""b)", R"(a"b)"},
      {R"(a""""b)", R"(a""b)"},
      {R"(a"""""b)", R"(a""b)"},
      {R"(")", ""},
      {R"(""")", R"(")"},
      {"", ""},
      {"plain", "plain"},
      {R"(x"y)", "xy"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(expected, unquoteString(input)) << input;
}

class DispatchTest : public OutputCaptureTest {
 protected:
  void TearDown() override {
    runningScriptCount = 0;
    OutputCaptureTest::TearDown();
  }
};

TEST_F(DispatchTest, UnknownLinesAreEchoedUnchangedOnlyInScripts) {
  EXPECT_TRUE(dispatchCommand(false, "hello"));
  EXPECT_EQ("Unknown command\n\n", printed());
  text_.clear();
  EXPECT_TRUE(dispatchCommand(true, "hello"));
  EXPECT_EQ("hello\nUnknown command\n\n", printed());
}

TEST_F(DispatchTest, ScriptCommandsAreEchoedWithExactlyOneSemicolon) {
  EXPECT_TRUE(dispatchCommand(true, "freeExtension \"none\""));
  EXPECT_TRUE(dispatchCommand(true, "freeExtension \"none\" ; "));
  EXPECT_EQ(
      "freeExtension \"none\";\nExtension is not loaded\n\n"
      "freeExtension \"none\" ; \nExtension is not loaded\n\n",
      printed());
}

TEST_F(DispatchTest, ExitAnswersFalseAndPrintsNothingAtTheConsole) {
  EXPECT_FALSE(dispatchCommand(false, "exit"));
  EXPECT_FALSE(dispatchCommand(false, "EXIT;"));
  EXPECT_EQ("", printed());
  EXPECT_FALSE(dispatchCommand(true, "Exit"));
  EXPECT_EQ("Exit;\n", printed());
}

TEST_F(DispatchTest, ExecVMIsRefusedAtTheLimitWithoutOpeningTheScript) {
  runningScriptCount = maxRunningScripts;
  EXPECT_TRUE(dispatchCommand(true, "execVM \"missing.sqf\""));
  EXPECT_EQ("execVM \"missing.sqf\";\nScripts limit reached\n\n", printed());
}

// "Cannot find file", the path as resolved under it with the system's reason, the empty line.
::testing::AssertionResult isMissingFileNotice(const std::string& text, const std::string& path) {
  const std::string head = "Cannot find file\n" + platform::resolvedPath(path) + ": ";
  const bool ok = text.compare(0, head.size(), head) == 0 && text.size() > head.size() + 2 &&
                  text.find('\n', head.size()) == text.size() - 2 && text.back() == '\n';
  return ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << text;
}

TEST_F(DispatchTest, ExecVMOfAMissingFileGoesOn) {
  EXPECT_TRUE(dispatchCommand(false, "execVM \"no such file.sqf\""));
  EXPECT_TRUE(isMissingFileNotice(printed(), "no such file.sqf"));
}

TEST_F(DispatchTest, ScriptPathShortcutAlwaysEchoesTheCommandItStandsFor) {
  const std::string echo = "execVM \"Z:\\no\\such.sqf\";\n";
  EXPECT_TRUE(dispatchCommand(false, "\"Z:\\no\\such.sqf\""));
  EXPECT_TRUE(isMissingFileNotice(printed().substr(echo.size()), "Z:\\no\\such.sqf"));
  EXPECT_EQ(echo, printed().substr(0, echo.size()));
  text_.clear();
  EXPECT_TRUE(dispatchCommand(true, "Z:\\no\\such.sqf"));
  EXPECT_EQ(echo + echo, printed().substr(0, 2 * echo.size()));
}

// The function text is unquoted where it stands in the line; the array after it and the
// extension name before it must come through unchanged, in both call forms.
TEST_F(DispatchTest, FunctionTextsAreUnquotedAndTheirNeighboursKept) {
  const std::string call = "\"" TESTEXT_DIR "/testext_full\" invokeModule ";
  const std::pair<std::string, const char*> cases[] = {
      {call + R"(["say ""hi""", ["a""b", 1]])", "[\"say \"\"hi\"\"\",0,0]\n"},
      {call + R"(["args", ["a""b", 1, [""""]]])",
       "[\"3|\"\"a\"\"\"\"b\"\"|1|[\"\"\"\"\"\"\"\"]\",3,0]\n"},
      {call + R"(["""", [1]];)", "[\"\",0,0]\n"},
      {call + R"("say ""hi"" """"")", "\"say \"\"hi\"\" \"\"\"\"\"\n"},
      {call + R"("a function text well past any small-string size, ""quoted""")",
       "\"a function text well past any small-string size, \"\"quoted\"\"\"\n"},
      {call + R"("""")", "\"\"\n"},
  };
  for (const auto& [line, result] : cases) {
    text_.clear();
    EXPECT_TRUE(dispatchCommand(false, line));
    EXPECT_NE(std::string::npos, printed().find(result)) << line << "\n" << printed();
  }
  extensionRegistry.unloadAll();
}

}  // namespace
