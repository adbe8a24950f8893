// Trimming of input lines.
#include "console/console.h"

#include <gtest/gtest.h>

namespace {

TEST(TrimRight, RemovesOnlyTrailingWhiteSpace) {
  const std::pair<std::string, std::string> cases[] = {
      {"exit", "exit"},
      {"exit \t\r\n", "exit"},
      {"  exit  ", "  exit"},
      {" \f\n\r\t\v", ""},
      {"", ""},
      {"a\vb\f", "a\vb"},
      {"\xc3\xa9 ", "\xc3\xa9"},
      {std::string("a\0 ", 3), std::string("a\0", 2)},
  };
  for (const auto& [input, expected] : cases) {
    std::string line = input;
    trimRight(&line);
    EXPECT_EQ(expected, line);
  }
}

}  // namespace
