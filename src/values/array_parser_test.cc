// Tests for the array literal parser: every documented literal, number conversion, bad
// input and deep nesting.
#include "values/array_parser.h"

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
  }
}

TEST(ArrayParserStructure, SeparatorsAndEmptyArrays) {
  checkCases({
      {"[]", {}, 1},
      {"[ ]", {}, 2},
      {"[\t\r\n\v\f]", {}, 6},
      {"[1,2,3]", {"1", "2", "3"}, 6},
      {"[,1,,2,]", {"1", "2"}, 7},
      {"[,,,]", {}, 4},
      {"[1], [2]", {"1"}, 2},
      {"[1]garbage[", {"1"}, 2},
  });
}

TEST(ArrayParserStructure, TheDocumentedExample) {
  checkCases({{R"([1, "two", true, [3]])", {"1", R"("two")", "true", "[3]"}, 20}});
}

TEST(ArrayParserWords, TrueFalseInAnyCaseElseNil) {
  checkCases({
      {"[ TRUE , False]", {"nil", "false"}, 14},
      {"[true ]", {"nil"}, 6},
      {"[tRuE,FALSE]", {"true", "false"}, 11},
      {"[abc, nil]", {"nil", "nil"}, 9},
      {"[truex,falsey,tru]", {"nil", "nil", "nil"}, 17},
      {"[true\"x\"]", {"nil"}, 8},
      {"[inf,nan]", {"nil", "nil"}, 8},
  });
}

TEST(ArrayParserNumbers, ItemsEndingInADigit) {
  checkCases({
      {"[1 ]", {"nil"}, 3},
      {"[-3, .5, +7, 1e3, 1.]", {"-3", "0.5", "7", "1000", "nil"}, 20},
      {"[12abc3, #5, 1 2, 5%]", {"12", "0", "1", "nil"}, 20},
      {"[-0,0x10,1e40,-1e40,1e-50]", {"-0", "16", "inf", "-inf", "0"}, 25},
      {"[16777217,1234567,0.1]", {"1.67772e+07", "1.23457e+06", "0.1"}, 21},
      {"[--5,+-5,-,5]", {"0", "0", "nil", "5"}, 12},
      {"[\u00e95]", {"0"}, 4},
  });
}

TEST(ArrayParserStrings, DoubledQuotesAndDelimitersInside) {
  checkCases({
      {R"(["say ""hi""", ""])", {R"("say ""hi""")", R"("")"}, 17},
      {R"(["x, y]"])", {R"("x, y]")"}, 8},
      {R"(["a"""])", {R"("a""")"}, 6},
      {R"(["""",""""""])", {R"("""")", R"("""""")"}, 12},
      {R"(["""a"])", {R"("""a")"}, 6},
      {R"(["a\"])", {R"("a\")"}, 5},
      {R"([ "a" ,"b"])", {"nil", R"("b")"}, 10},
  });
}

TEST(ArrayParserStrings, AStringNotFollowedByADelimiterIsNil) {
  checkCases({
      {R"(["a" ])", {"nil"}, 5},
      {R"(["a"b])", {"nil", "nil"}, 5},
      {R"(["a"5])", {"nil", "5"}, 5},
      {R"(["a""b"c])", {"nil", "nil"}, 8},
      {R"(["a"[1]])", {"nil", "[1]"}, 7},
  });
}

TEST(ArrayParserNesting, NestedArraysAndWhatFollowsThem) {
  checkCases({
      {"[[1][2]]", {"[1]", "[2]"}, 7},
      {"[[1]x]", {"[1]", "nil"}, 5},
      {"[[1] , 2]", {"[1]", "2"}, 8},
      {"[[],[[]],[1,[2,[3]]]]", {"[]", "[[]]", "[1,[2,[3]]]"}, 20},
      {R"([["]"],"[",[true]])", {R"(["]"])", R"("[")", "[true]"}, 17},
  });
}

TEST(ArrayParserUnterminated, GivesAnEmptyArray) {
  checkCases({
      {"[[1]", {}, kRanOut},
      {"[1,[2]", {}, kRanOut},
      {R"(["a])", {}, kRanOut},
      {"[", {}, kRanOut},
      {"[1", {}, kRanOut},
      {"[1,", {}, kRanOut},
      {"[   ", {}, kRanOut},
      {R"(["a")", {}, kRanOut},
      {R"(["a"")", {}, kRanOut},
      {R"(["a""])", {}, kRanOut},
      {"[[[[[[", {}, kRanOut},
      {"[1,2,[3,[4]],5", {}, kRanOut},
  });
}

TEST(ArrayParserBounds, ReadsNoFurtherThanLength) {
  const std::string text = "[1,2]";
  std::size_t cursor = 0;
  GameArray cut = parseGameArray(text.c_str(), 3, cursor);  // sees "[1,"
  EXPECT_TRUE(cut.elements.empty());
  EXPECT_GE(cursor, 3u);

  // A string whose closing quote lies beyond `length` is unterminated.
  const std::string quoted = R"(["ab"])";
  cursor = 0;
  EXPECT_TRUE(parseGameArray(quoted.c_str(), 4, cursor).elements.empty());
  EXPECT_GE(cursor, 4u);
  cursor = 0;
  EXPECT_EQ(argumentTextsOfLiteral(quoted.c_str(), 5, cursor).size(), 0u);
  EXPECT_GE(cursor, 5u);

  cursor = 0;
  EXPECT_TRUE(parseGameArray("", 0, cursor).elements.empty());
}

TEST(ArrayParserBounds, StartsAtTheCursorWithoutCheckingTheBracket) {
  const std::string text = R"(x = (1,"a"] tail)";
  std::size_t cursor = 4;  // on "(", which is stepped over like "["
  const GameArray result = parseGameArray(text.c_str(), text.size(), cursor);
  EXPECT_EQ(result.toString(), R"([1,"a"])");
  EXPECT_EQ(cursor, 10u);

  const std::string inner = R"([0,[5,"b"],9])";
  cursor = 3;
  EXPECT_EQ(parseGameArray(inner.c_str(), inner.size(), cursor).toString(), R"([5,"b"])");
  EXPECT_EQ(cursor, 9u);
  cursor = 3;
  EXPECT_EQ(directTexts(inner, cursor), (Texts{"5", R"("b")"}));
  EXPECT_EQ(cursor, 9u);
}

TEST(ArrayParserBadInput, NulBytesAreOrdinaryBytesAndNeverHang) {
  using namespace std::string_literals;
  checkCases({
      {"[\0]"s, {"nil"}, 2},
      {"[1\0]"s, {"nil"}, 3},
      {"[1\0" "2]"s, {"1"}, 4},
      {"[\0,1]"s, {"nil", "1"}, 4},
      {"[\"a\0b\"]"s, {"\"a\0b\""s}, 6},
      {"[true\0]"s, {"nil"}, 6},
      {"[\0"s, {}, kRanOut},
  });
}

TEST(ArrayParserBadInput, ArgumentTextsMatchElementTexts) {
  const std::string literal = R"([1,"a""b",[true,[]],x,"c" ,-0.5e-3])";
  std::size_t cursor = 0;
  GameArray result = parseGameArray(literal.c_str(), literal.size(), cursor);
  const std::vector<const char*> first = result.argumentList();
  const std::vector<const char*> second = result.argumentList();
  ASSERT_EQ(second.size(), result.elements.size());
  for (std::size_t i = 0; i < second.size(); ++i) {
    EXPECT_EQ(second[i], result.elements[i]->toString());
  }
  EXPECT_EQ(result.toString(), R"([1,"a""b",[true,[]],nil,nil,-0.0005])");
}

// A million levels: with one call per level, a 1 MiB stack (or the default 8 MiB one)
// would overflow. These also run under a 1 MiB stack limit (see CMakeLists.txt).
constexpr std::size_t kDeep = 1000000;

TEST(DeepNestingParser, AMillionOpenBracketsGiveAnEmptyArray) {
  const std::string literal(kDeep, '[');
  const Parsed parsed = parse(literal);
  EXPECT_TRUE(parsed.texts.empty());
  EXPECT_GE(parsed.cursor, literal.size());
}

TEST(DeepNestingParser, AMillionClosedLevelsParseAndPrint) {
  const std::string inner = std::string(kDeep - 1, '[') + "1" + std::string(kDeep - 1, ']');
  const std::string literal = "[" + inner + ",\"x\"]";
  std::size_t cursor = 0;
  GameArray result = parseGameArray(literal.c_str(), literal.size(), cursor);
  EXPECT_EQ(cursor, literal.size() - 1);
  const std::vector<const char*> pointers = result.argumentList();
  ASSERT_EQ(pointers.size(), 2u);
  EXPECT_EQ(result.argumentTexts[0], inner);
  EXPECT_STREQ(pointers[1], "\"x\"");
  EXPECT_EQ(result.toString(), literal);
}

TEST(DeepNestingParser, AMillionLevelsWrittenDirectly) {
  const std::string inner = std::string(kDeep - 1, '[') + "1" + std::string(kDeep - 1, ']');
  const std::string literal = "[" + inner + ",\"x\"]";
  std::size_t cursor = 0;
  EXPECT_EQ(directTexts(literal, cursor), (Texts{inner, "\"x\""}));
  EXPECT_EQ(cursor, literal.size() - 1);

  const std::string open(kDeep, '[');
  cursor = 0;
  EXPECT_EQ(argumentTextsOfLiteral(open.c_str(), open.size(), cursor).size(), 0u);
}

TEST(DeepNestingParser, AMillionLevelsMissingTheLastBracket) {
  const std::string literal = std::string(kDeep, '[') + std::string(kDeep - 1, ']');
  const Parsed parsed = parse(literal);
  EXPECT_TRUE(parsed.texts.empty());
  EXPECT_GE(parsed.cursor, literal.size());
}

}  // namespace
