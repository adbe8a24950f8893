// The print routine's directives and the shared printers, in plain and in colour mode.
#include "console/output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Captures everything printed during a test, in the given colour mode.
class OutputTest : public ::testing::Test {
 protected:
  void useColours(bool colours) {
    OutputSettings settings;
    settings.colourEscapes = colours;
    settings.terminalControls = colours;
    configureOutput(settings);
  }
  void SetUp() override {
    saved_ = outputSettings();
    captureOutputForTesting(&text_);
    useColours(false);
  }
  void TearDown() override {
    configureOutput(saved_);
    captureOutputForTesting(nullptr);
  }
  std::string printed() {
    flushOutput();
    return text_;
  }

  std::string text_;
  OutputSettings saved_;
};

TEST_F(OutputTest, PrintersInPlainModeWriteExactlyTheirTexts) {
  printNotice("Unknown command");
  printExecutionTime(0.5);
  printEcho("exit", ";");
  printEcho("exit;", "");
  printBufferOverrun();
  printModuleLoaded("demo", "demo.dll", "1.0");
  EXPECT_EQ(
      "Unknown command\n\n"
      "Execution time: 0.500000 ms\n\n"
      "exit;\n"
      "exit;\n"
      "ERROR: Buffer overrun\n\n"
      "InvokeModule loaded: demo (demo.dll) [1.0]\n",
      printed());
}

TEST_F(OutputTest, EveryMessageSetsItsColourAndEndsInWhite) {
  useColours(true);
  printNotice("Unknown command");
  printExecutionTime(12.25);
  printEcho("x", ";");
  printBufferOverrun();
  printColoured(ConsoleColour::DarkMagenta, "Script #%d started\n\n", 1);
  printColoured(ConsoleColour::DarkGreen, "%s\n", "// c");
  EXPECT_EQ(
      "\x1b[33mUnknown command\n\n\x1b[0m"
      "\x1b[36mExecution time: 12.250000 ms\n\n\x1b[0m"
      "\x1b[0mx;\n\x1b[0m"
      "\x1b[91mERROR: Buffer overrun\n\n\x1b[0m"
      "\x1b[35mScript #1 started\n\n\x1b[0m"
      "\x1b[32m// c\n\x1b[0m",
      printed());
}

TEST_F(OutputTest, ColourCodesOfThePalette) {
  useColours(true);
  const std::pair<ConsoleColour, const char*> palette[] = {
      {ConsoleColour::DarkGreen, "\x1b[32m"}, {ConsoleColour::DarkCyan, "\x1b[36m"},
      {ConsoleColour::DarkMagenta, "\x1b[35m"}, {ConsoleColour::DarkYellow, "\x1b[33m"},
      {ConsoleColour::DarkGray, "\x1b[90m"}, {ConsoleColour::Green, "\x1b[92m"},
      {ConsoleColour::Cyan, "\x1b[96m"}, {ConsoleColour::Red, "\x1b[91m"},
      {ConsoleColour::White, "\x1b[0m"},
  };
  for (const auto& [colour, escape] : palette) {
    text_.clear();
    setColour(colour);
    EXPECT_EQ(escape, printed()) << static_cast<int>(colour);
  }
}

TEST_F(OutputTest, ALineFromAnotherThreadRestoresTheColourInEffect) {
  useColours(true);
  setColour(ConsoleColour::DarkGray);
  consolePrint("\r%d%%", 20);
  printColouredRestoring(ConsoleColour::Cyan, "\n>> %s\n", "cb");
  consolePrint("\r%d%%", 21);
  setColour(ConsoleColour::White);
  printColouredRestoring(ConsoleColour::Cyan, "%s\n", "cb");
  EXPECT_EQ("\x1b[90m\r20%\x1b[96m\n>> cb\n\x1b[90m\r21%\x1b[0m\x1b[96mcb\n\x1b[0m", printed());
}

TEST_F(OutputTest, FormatDirectives) {
  consolePrint("[%d|%d|%u|%s|%%|%lf]", -42, 2147483647, 4294967295u, "a\"b", 1234.5);
  consolePrint("{%s}", "");
  EXPECT_EQ("[-42|2147483647|4294967295|a\"b|%|1234.500000]{}", printed());
}

TEST_F(OutputTest, PointersAreUpperCaseHexWithoutPrefix) {
  consolePrint("%p", reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xABCDEF12)));
  std::string expected = sizeof(void*) == 8 ? "00000000ABCDEF12" : "ABCDEF12";
  EXPECT_EQ(expected, printed());
}

TEST_F(OutputTest, TerminalControlsOnlyWhenEnabled) {
  moveCursorUp();
  setWindowTitle("t");
  EXPECT_EQ("", printed());
  useColours(true);
  moveCursorUp();
  setWindowTitle("t");
  EXPECT_EQ("\x1b[A\x1b]0;t\x07", printed());
}

TEST(ElapsedMilliseconds, ConvertsCounterTicks) {
  EXPECT_DOUBLE_EQ(0.5, elapsedMilliseconds(1000, 1500, 1000000));
  EXPECT_DOUBLE_EQ(2000.0, elapsedMilliseconds(0, 2000000000, 1000000000));
  EXPECT_DOUBLE_EQ(0.0, elapsedMilliseconds(7, 7, 3));
}

}  // namespace
