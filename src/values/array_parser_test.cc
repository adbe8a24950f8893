// Tests for the array literal parser: every documented literal, number conversion, bad
// input and deep nesting.
#include "values/game_array_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

struct Parsed {
  Texts texts;  // the argument texts of the result
  std::size_t cursor;
};

// The texts written directly, checked for the form an extension receives them in.
Texts directTexts(const std::string& literal, std::size_t& cursor) {
  const ArgumentTexts texts = argumentTextsOfLiteral(literal.c_str(), literal.size(), cursor);
  const std::vector<const char*> pointers = texts.pointers();
  EXPECT_EQ(pointers.size(), texts.size());
  Texts result;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    result.emplace_back(texts.text(i));
    EXPECT_EQ(pointers[i], texts.text(i).data());
    EXPECT_EQ(pointers[i][texts.text(i).size()], '\0');  // each text ends in a NUL
  }
  return result;
}

Parsed parse(const std::string& literal) {
  std::size_t cursor = 0;
  GameArray result = parseGameArray(literal.c_str(), literal.size(), cursor);
  const std::vector<const char*> pointers = result.argumentList();
  EXPECT_EQ(pointers.size(), result.argumentTexts.size());
  for (std::size_t i = 0; i < pointers.size(); ++i) {
    EXPECT_EQ(pointers[i], result.argumentTexts[i].c_str());
  }
  return Parsed{result.argumentTexts, cursor};
}

struct ParseCase {
  std::string literal;
  Texts expected;
  // Index of the outer "]" the parse ends on, or npos when the input runs out first.
  std::size_t endsAt;
};

constexpr std::size_t kRanOut = std::string::npos;

// Checks both readings of each literal: the value tree's argument texts, and the texts
// written directly, which must be the same.
void checkCases(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    const Parsed parsed = parse(c.literal);
    EXPECT_EQ(parsed.texts, c.expected) << "literal " << c.literal;
    if (c.endsAt == kRanOut) {
      EXPECT_GE(parsed.cursor, c.literal.size()) << "literal " << c.literal;
    } else {
      EXPECT_EQ(parsed.cursor, c.endsAt) << "literal " << c.literal;
    }

    std::size_t cursor = 0;
    const Texts direct = directTexts(c.literal, cursor);
    EXPECT_EQ(direct, c.expected) << "literal " << c.literal << " (texts written directly)";
    EXPECT_EQ(cursor, parsed.cursor) << "literal " << c.literal << " (texts written directly)";

    std::string place = c.literal;  // written over, so the texts must not come from the copy
    ArgumentTexts inPlace;
    cursor = 0;
    argumentTextsInPlace(place.data(), place.size(), cursor, &inPlace);
    Texts placed;
    for (std::size_t i = 0; i < inPlace.size(); ++i) {
      placed.emplace_back(inPlace.text(i));
      EXPECT_EQ(inPlace.pointers()[i][placed.back().size()], '\0') << "literal " << c.literal;
    }
    EXPECT_EQ(placed, c.expected) << "literal " << c.literal << " (texts written in place)";
    EXPECT_EQ(cursor, parsed.cursor) << "literal " << c.literal << " (texts written in place)";
  }
}

// The literals the argument form cannot carry in a line, and a few of each kind for the value
// tree (the transcript ext_argument_literals holds the rest).
TEST(ArrayParser, Literals) {
  using namespace std::string_literals;
  checkCases({
      {"[\t\r\n\v\f]", {}, 6},
      {"[1]garbage[", {"1"}, 2},
      {R"([1, "two", true, [3]])", {"1", R"("two")", "true", "[3]"}, 20},
      {"[ TRUE , False]", {"nil", "false"}, 14},
      {"[-0,0x10,1e40,-1e40,1e-50]", {"-0", "16", "inf", "-inf", "0"}, 25},
      {R"(["""",""""""])", {R"("""")", R"("""""")"}, 12},
      {R"(["a"b])", {"nil", "nil"}, 5},
      // texts longer than their items: written in place, the rest moves to a buffer
      {R"([x,y,1e5,"s",1])", {"nil", "nil", "100000", R"("s")", "1"}, 14},
      {R"([1,"ab",x])", {"1", R"("ab")", "nil"}, 9},
      {R"([1, "ab", x])", {"1", R"("ab")", "nil"}, 11},
      {R"([[x,[y]],z,[1e5,"a"b]])", {"[nil,[nil]]", "nil", "[100000,nil,nil]"}, 21},
      {R"([["]"],"[",[true]])", {R"(["]"])", R"("[")", "[true]"}, 17},
      // NUL bytes are ordinary bytes
      {"[\0]"s, {"nil"}, 2},
      {"[1\0"
       "2]"s,
       {"1"},
       4},
      {"[\"a\0b\"]"s, {"\"a\0b\""s}, 6},
      // input that ends inside an array or a string gives an empty array
      {"[", {}, kRanOut},
      {"[1,", {}, kRanOut},
      {R"(["a")", {}, kRanOut},
      {R"(["a""])", {}, kRanOut},
      {"[1,2,[3,[4]],5", {}, kRanOut},
      {"[\0"s, {}, kRanOut},
  });
}

TEST(ArrayParserBounds, ReadsFromTheCursorAndNoFurtherThanLength) {
  // "[1," of "[1,2]", and a string whose closing quote lies beyond `length`, are unterminated.
  const std::pair<const char*, std::size_t> cut[] = {
      {"[1,2]", 3}, {R"(["ab"])", 4}, {R"(["ab"])", 5}, {"", 0}};
  for (const auto& [literal, length] : cut) {
    std::size_t cursor = 0;
    EXPECT_TRUE(parseGameArray(literal, length, cursor).elements.empty()) << literal << length;
    EXPECT_GE(cursor, length);
    cursor = 0;
    EXPECT_EQ(argumentTextsOfLiteral(literal, length, cursor).size(), 0u) << literal << length;
  }
  // The byte at the cursor is stepped over like "[" without being checked.
  const std::string text = R"(x = (1,"a"] [0,[5,"b"],9])";
  std::size_t cursor = 4;
  EXPECT_EQ(parseGameArray(text.c_str(), text.size(), cursor).toString(), R"([1,"a"])");
  EXPECT_EQ(cursor, 10u);
  cursor = 15;
  EXPECT_EQ(directTexts(text, cursor), (Texts{"5", R"("b")"}));
  EXPECT_EQ(cursor, 21u);
}

// A million levels: with one call per level, a 1 MiB stack (or the default 8 MiB one)
// would overflow. These also run under a 1 MiB stack limit (see CMakeLists.txt).
constexpr std::size_t kDeep = 1000000;

TEST(DeepNestingParser, AMillionLevelsOpenOrMissingTheLastBracketGiveAnEmptyArray) {
  checkCases({{std::string(kDeep, '['), {}, kRanOut},
              {std::string(kDeep, '[') + std::string(kDeep - 1, ']'), {}, kRanOut}});
}

TEST(DeepNestingParser, AMillionClosedLevelsParseAndPrint) {
  const std::string inner = std::string(kDeep - 1, '[') + "1" + std::string(kDeep - 1, ']');
  const std::string literal = "[" + inner + ",\"x\"]";
  checkCases({{literal, {inner, "\"x\""}, literal.size() - 1}});
  std::size_t cursor = 0;
  EXPECT_EQ(parseGameArray(literal.c_str(), literal.size(), cursor).toString(), literal);
}

}  // namespace
