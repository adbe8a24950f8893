// The history policy: which lines are kept, where the file lives, when it is rewritten.
#include "support/history_lines.h"

#include <gtest/gtest.h>

namespace {

using support::HistoryLines;

TEST(HistoryLines, KeepsNewestLinesWithoutEmptyOrRepeatedOnes) {
  HistoryLines history;
  EXPECT_FALSE(history.load("a\n\nb\nb\na\nunfinished"));
  EXPECT_EQ(history.lines(), (std::vector<std::string>{"a", "b", "a"}));
  EXPECT_FALSE(history.add("a"));
  EXPECT_FALSE(history.add(""));
  EXPECT_TRUE(history.add("c"));
  EXPECT_EQ(history.fileText(), "a\nb\na\nc\n");
}

TEST(HistoryLines, RewrittenWhenTheFileHoldsHalfAsManyAgain) {
  std::string file;
  for (std::size_t i = 0; i < HistoryLines::kCap * 3 / 2; ++i) file += std::to_string(i) + "\n";
  HistoryLines history;
  EXPECT_FALSE(history.load(file));  // exactly half as many again: appended to
  EXPECT_EQ(history.lines().size(), HistoryLines::kCap);
  EXPECT_EQ(history.lines().front(), std::to_string(HistoryLines::kCap / 2));
  ASSERT_TRUE(history.add("next"));
  EXPECT_TRUE(history.lineForFile());
  history.rewritten();
  ASSERT_TRUE(history.add("after"));
  EXPECT_FALSE(history.lineForFile());
  EXPECT_TRUE(HistoryLines().load(file + "one more\n"));
}

TEST(HistoryLines, PlaceFromTheStateFolderOrHome) {
  struct Row {
    const char* state;
    const char* home;
    std::vector<std::string> folders;
    const char* path;
  } rows[] = {
      {"/s", "/h", {"/s", "/s/invokemodule"}, "/s/invokemodule/history"},
      {"relative",
       "/h",
       {"/h/.local", "/h/.local/state", "/h/.local/state/invokemodule"},
       "/h/.local/state/invokemodule/history"},
      {nullptr,
       "/h",
       {"/h/.local", "/h/.local/state", "/h/.local/state/invokemodule"},
       "/h/.local/state/invokemodule/history"},
      {nullptr, "h", {}, ""},
      {nullptr, nullptr, {}, ""},
  };
  for (const Row& row : rows) {
    support::HistoryPlace place = support::historyPlace(row.state, row.home);
    EXPECT_EQ(place.folders, row.folders);
    EXPECT_EQ(place.path, row.path);
  }
}

}  // namespace
