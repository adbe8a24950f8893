// The line editor's replacement for a completed word.
#include "support/completion_matches.h"

#include <gtest/gtest.h>

namespace {

TEST(CompletionMatches, ReplacementAlternativesAndSpace) {
  struct Row {
    std::vector<std::string> candidates;
    const char* line;
    std::size_t start;
    const char* replacement;
    bool listed;
    bool space;
  } rows[] = {
      {{"loadExtension"}, "loadE", 0, "loadExtension", false, true},
      {{"crashy"}, "callExtension \"cr", 15, "crashy", false, false},  // a quoted name
      {{"loadExtension", "listExtensions"}, "l", 0, "l", true, false},
      {{"freeExtension", "freeAll"}, "fr", 0, "free", true, false},
  };
  for (const Row& row : rows) {
    support::CompletionMatches matches = support::completionMatches(row.candidates, row.line, row.start);
    EXPECT_EQ(matches.replacement, row.replacement) << row.line;
    EXPECT_EQ(matches.alternatives, row.listed ? row.candidates : std::vector<std::string>{}) << row.line;
    EXPECT_EQ(matches.appendSpace, row.space) << row.line;
  }
}

}  // namespace
