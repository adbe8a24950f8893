// Which lines of a script's text are kept, and how they are trimmed.
#include "commands/script_runner.h"

#include <gtest/gtest.h>

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
      {"CR LF", "a\r\nb\r\n", {"a", "b"}},
      {"last line without line end", "a\nb", {"a", "b"}},
      {"trailing white space of all six kinds", "a \t\f\v\r\n", {"a"}},
      {"leading white space kept", "  a\n\tb", {"  a", "\tb"}},
      {"hash only at the very first byte", " # x\n#y\n", {" # x"}},
      {"byte-order mark is part of the first line", "\xEF\xBB\xBFsleep 1\n", {"\xEF\xBB\xBFsleep 1"}},
      {"carriage return inside a line kept", "a\rb\n", {"a\rb"}},
      {"NUL bytes kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.lines, scriptLines(c.text)) << c.name;
}

}  // namespace
