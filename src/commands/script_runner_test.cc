// Which lines of a script's text are kept, and how they are trimmed.
#include "commands/script_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "output/output_test_support.h"

namespace {

TEST(ScriptLines, KeepsTrimmedNonEmptyLinesNotStartingWithHash) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"empty file", "", {}},
      {"blank and hash lines only", "\n  \n# a\n#\n\t\r\n", {}},
      {"LF", "a\nb\n", {"a", "b"}},
      {"trailing white space of all six kinds", "a \t\f\v\r\n", {"a"}},
      {"leading white space kept", "  a\n\tb", {"  a", "\tb"}},
      {"hash only at the very first byte", " # x\n#y\n", {" # x"}},
      {"UTF-8 byte-order mark only at the start",
       "a\n\xEF\xBB\xBF"
       "b",
       {"a",
        "\xEF\xBB\xBF"
        "b"}},
      {"UTF-16 LE",
       std::string("\xFF\xFEx\0\r\0\n\0#\0\n\0\xE9\0\xAC\x20", 16),
       {"x", "\xC3\xA9\xE2\x82\xAC"}},
      {"UTF-16 BE with a pair",
       std::string("\xFE\xFF\xD8\x3D\xDE\x00\0a", 8),
       {"\xF0\x9F\x98\x80"
        "a"}},
      {"UTF-16 unpaired surrogates and odd byte",
       std::string("\xFF\xFE\x00\xDC\x3D\xD8z\0!", 9),
       {"\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD"}},
      {"UTF-16 high surrogate at the end", "\xFF\xFE\x3D\xD8", {"\xEF\xBF\xBD"}},
      {"carriage return inside a line kept", "a\rb\n", {"a\rb"}},
      {"NUL bytes kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.lines, scriptLines(c.text)) << c.name;
}

// A pause shorter than a tenth of a second takes partial pauses of at least 1 ms, so it shows
// no more progress figures than a long one instead of spinning.
class ShortPause : public OutputCaptureTest {};

TEST_F(ShortPause, PrintsAtMostAHundredProgressFigures) {
  const std::string path = ::testing::TempDir() + "short_pause.sqf";
  std::ofstream(path) << "sleep 0.05\nsleep 0.099\n";
  EXPECT_EQ(CommandOutcome::Continue, runScript(path));
  const std::string out = printed();
  EXPECT_NE(std::string::npos, out.find("\r100%\nExecution time: ", out.find("sleep 0.099;"))) << out;
  EXPECT_LE(std::count(out.begin(), out.end(), '\r'), 2 * 101) << out;
}

}  // namespace
