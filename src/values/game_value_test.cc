// Tests for the Game values: quoting, argument texts, copies and deep trees. (The text forms
// of parsed values are checked through the parser's tables.)
#include "values/game_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

GameTypePtr scalar(float value) { return std::make_shared<GameScalar>(value); }
GameTypePtr text(std::string value) { return std::make_shared<GameString>(std::move(value)); }
GameTypePtr array(std::vector<GameTypePtr> elements) {
  auto made = std::make_shared<GameArray>();
  made->elements = std::move(elements);
  return made;
}

TEST(GameStringText, QuotesAndDoublesInnerQuotesOnly) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"say \"hi\"", R"("say ""hi""")"},
      {"\"\"", R"("""""")"},
      {"end\"", R"("end""")"},
      {"tab\tnew\nline\\n", "\"tab\tnew\nline\\n\""},
      {"\xc3\xa9\xff", "\"\xc3\xa9\xff\""},
      {"nul\0byte"s, "\"nul\0byte\""s},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(quoteString(value), expected);
    std::string appended = "kept";  // appendQuoted keeps what is already there
    appendQuoted(appended, value);
    EXPECT_EQ(appended, "kept" + expected);
  }
}

TEST(GameArrayArguments, StaleTextsAreReplacedAndSurplusDropped) {
  GameArray arguments;
  arguments.argumentTexts = {"old one", "old two", "old three"};
  arguments.elements = {scalar(7), array({text("a\"")})};
  for (int call = 0; call < 2; ++call) {
    const std::vector<const char*> pointers = arguments.argumentList();
    EXPECT_EQ(arguments.argumentTexts, (std::vector<std::string>{"7", R"(["a"""])"}));
    ASSERT_EQ(pointers.size(), 2u);
    EXPECT_EQ(pointers[1], arguments.argumentTexts[1].c_str());  // points into the array
  }
}

TEST(GameArrayCopies, CopiesShareElementsMovesEmptyTheSourceSelfAssignmentKeepsTheChild) {
  GameArray original;
  original.elements = {text("a"), array({scalar(1)})};
  original.argumentList();
  GameArray copy = original;
  EXPECT_EQ(copy.elements[1].get(), original.elements[1].get());
  EXPECT_EQ(copy.argumentTexts, original.argumentTexts);
  GameArray moved = std::move(original);
  EXPECT_TRUE(original.elements.empty() && original.argumentTexts.empty());
  GameArray assigned;
  assigned.elements = {scalar(9)};
  assigned = std::move(moved);
  EXPECT_TRUE(moved.elements.empty());
  EXPECT_EQ(assigned.toString(), R"(["a",[1]])");

  // The child is owned only through the old elements of the array it is assigned to.
  GameArray parent;
  parent.elements = {array({scalar(1), array({text("deep")})})};
  parent = static_cast<const GameArray&>(*parent.elements[0]);
  EXPECT_EQ(parent.toString(), R"([1,["deep"]])");
  parent = std::move(static_cast<GameArray&>(*parent.elements[1]));
  EXPECT_EQ(parent.toString(), R"(["deep"])");
}

// A chain of `depth` arrays, each holding the next; the innermost holds one number.
GameArray nestedChain(std::size_t depth) {
  GameArray outer;
  GameArray* current = &outer;
  for (std::size_t level = 1; level < depth; ++level) {
    auto inner = std::make_shared<GameArray>();
    GameArray* next = inner.get();
    current->elements.push_back(std::move(inner));
    current = next;
  }
  current->elements.push_back(scalar(1));
  return outer;
}

constexpr std::size_t kDeep = 1000000;

// These run under a 1 MiB stack as well (see CMakeLists.txt): nothing may recurse per level.
TEST(DeepNestingValues, PrintsAMillionLevels) {
  GameArray chain = nestedChain(kDeep);
  const std::string expected = std::string(kDeep, '[') + "1" + std::string(kDeep, ']');
  EXPECT_EQ(chain.toString(), expected);
  const std::vector<const char*> pointers = chain.argumentList();
  ASSERT_EQ(pointers.size(), 1u);
  EXPECT_EQ(std::strlen(pointers[0]), expected.size() - 2);
}

TEST(DeepNestingValues, DestroysAMillionLevels) {
  {
    // Destruction through a shared pointer, as an element of another array.
    GameTypePtr held = std::make_shared<GameArray>(nestedChain(kDeep));
    GameArray holder;
    holder.elements = {held, held};
    held.reset();
  }
  GameArray chain = nestedChain(kDeep);
  GameArray copy = chain;  // shares the levels; each must be released once
  chain = GameArray();
  EXPECT_EQ(copy.toString().size(), 2 * kDeep + 1);
  copy = nestedChain(3);
  EXPECT_EQ(copy.toString(), "[[[1]]]");
}

}  // namespace
