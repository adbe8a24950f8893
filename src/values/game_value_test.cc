// Tests for the Game values: text forms, quoting, argument texts, copies and deep trees.
#include "values/game_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace {

GameTypePtr scalar(float value) { return std::make_shared<GameScalar>(value); }
GameTypePtr text(std::string value) { return std::make_shared<GameString>(std::move(value)); }
GameTypePtr boolean(bool value) { return std::make_shared<GameBool>(value); }
GameTypePtr nil() { return std::make_shared<GameType>(); }
GameTypePtr array(std::vector<GameTypePtr> elements) {
  auto made = std::make_shared<GameArray>();
  made->elements = std::move(elements);
  return made;
}

struct NumberCase {
  float value;
  const char* expected;
};

TEST(GameScalarText, WritesTheGeneralFormWithSixDigits) {
  const NumberCase cases[] = {
      {1.5f, "1.5"},
      {100.0f, "100"},
      {0.1f, "0.1"},
      {123456.0f, "123456"},
      {1234567.0f, "1.23457e+06"},
      {1000000.0f, "1e+06"},
      {0.00001f, "1e-05"},
      {3.14159265f, "3.14159"},
      {-0.0f, "-0"},
      {16777217.0f, "1.67772e+07"},  // stored as 16777216
      {0.0f, "0"},
      {-3.0f, "-3"},
      {999999.0f, "999999"},
      {999999.5f, "1e+06"},
      {0.0001f, "0.0001"},
      {-0.000012345f, "-1.2345e-05"},
      {1e30f, "1e+30"},
      {std::numeric_limits<float>::max(), "3.40282e+38"},
      {std::numeric_limits<float>::denorm_min(), "1.4013e-45"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(GameScalar(c.value).toString(), c.expected) << "value " << c.value;
  }
}

TEST(GameStringText, QuotesAndDoublesInnerQuotesOnly) {
  using namespace std::string_literals;
  const struct {
    std::string value;
    std::string expected;
  } cases[] = {
      {"", R"("")"},
      {"abc", R"("abc")"},
      {"a\"b", R"("a""b")"},
      {"say \"hi\"", R"("say ""hi""")"},
      {"\"", R"("""")"},
      {"\"\"", R"("""""")"},
      {"end\"", R"("end""")"},
      {R"(C:\path\n)", R"("C:\path\n")"},
      {"tab\tnew\nline", "\"tab\tnew\nline\""},
      {"\xc3\xa9\xff", "\"\xc3\xa9\xff\""},
      {"nul\0byte"s, "\"nul\0byte\""s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quoteString(c.value), c.expected);
    EXPECT_EQ(GameString(c.value).toString(), c.expected);
  }
}

TEST(GameStringText, AppendQuotedKeepsWhatIsAlreadyThere) {
  std::string out = "result: ";
  appendQuoted(out, "a\"b");
  appendQuoted(out, "");
  EXPECT_EQ(out, R"(result: "a""b""")");
}

TEST(GameValueText, NilBoolAndTypeNames) {
  EXPECT_EQ(GameType().toString(), "nil");
  EXPECT_EQ(GameBool(true).toString(), "true");
  EXPECT_EQ(GameBool(false).toString(), "false");

  const struct {
    GameTypePtr value;
    const char* name;
  } cases[] = {
      {nil(), "Nil"},       {text("x"), "String"},   {scalar(1), "Scalar"},
      {boolean(true), "Bool"}, {array({}), "Array"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value->typeName(), c.name);
}

TEST(GameArrayText, PrintsWithoutSpacesAndNests) {
  const struct {
    GameTypePtr value;
    const char* expected;
  } cases[] = {
      {array({}), "[]"},
      {array({array({}), array({scalar(1), scalar(2)})}), "[[],[1,2]]"},
      {array({scalar(1), text("a"), boolean(true), array({scalar(2), nil()})}),
       R"([1,"a",true,[2,nil]])"},
      {array({array({array({array({})})}), text("]")}), R"([[[[]]],"]"])"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value->toString(), c.expected);
    std::string appended = ">";
    appendText(appended, *c.value);
    EXPECT_EQ(appended, std::string(">") + c.expected);
  }
}

TEST(GameArrayArguments, OneTextPerTopLevelElement) {
  GameArray arguments;
  arguments.elements = {scalar(1), text("two"), boolean(true), array({scalar(3)}), nil()};
  const std::vector<const char*> pointers = arguments.argumentList();
  const std::vector<std::string> expected = {"1", R"("two")", "true", "[3]", "nil"};
  ASSERT_EQ(pointers.size(), expected.size());
  ASSERT_EQ(arguments.argumentTexts, expected);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_STREQ(pointers[i], expected[i].c_str());
    EXPECT_EQ(pointers[i], arguments.argumentTexts[i].c_str());  // points into the array
  }
}

TEST(GameArrayArguments, EmptyArrayGivesNoArguments) {
  GameArray empty;
  EXPECT_TRUE(empty.argumentList().empty());
  EXPECT_TRUE(empty.argumentTexts.empty());
}

TEST(GameArrayArguments, SecondCallRebuildsTheSameTexts) {
  GameArray arguments;
  arguments.elements = {text(std::string(100, 'x')), scalar(2.5f), array({text("a\"")})};
  const std::vector<const char*> first = arguments.argumentList();
  const std::vector<std::string> firstTexts = arguments.argumentTexts;
  const std::vector<const char*> second = arguments.argumentList();
  EXPECT_EQ(arguments.argumentTexts, firstTexts);
  ASSERT_EQ(second.size(), 3u);
  for (std::size_t i = 0; i < second.size(); ++i) {
    EXPECT_EQ(second[i], arguments.argumentTexts[i].c_str());
    EXPECT_EQ(second[i], firstTexts[i]);
  }
}

TEST(GameArrayArguments, StaleTextsAreReplacedAndSurplusDropped) {
  GameArray arguments;
  arguments.argumentTexts = {"old one", "old two", "old three"};
  arguments.elements = {scalar(7)};
  const std::vector<const char*> pointers = arguments.argumentList();
  ASSERT_EQ(pointers.size(), 1u);
  EXPECT_STREQ(pointers[0], "7");
  EXPECT_EQ(arguments.argumentTexts, std::vector<std::string>{"7"});
}

TEST(GameArrayCopies, CopySharesElementsAndMoveEmptiesTheSource) {
  GameArray original;
  original.elements = {text("a"), array({scalar(1)})};
  original.argumentList();

  GameArray copy = original;
  ASSERT_EQ(copy.elements.size(), 2u);
  EXPECT_EQ(copy.elements[1].get(), original.elements[1].get());
  EXPECT_EQ(copy.argumentTexts, original.argumentTexts);

  GameArray moved = std::move(original);
  EXPECT_TRUE(original.elements.empty());
  EXPECT_TRUE(original.argumentTexts.empty());
  EXPECT_EQ(moved.toString(), R"(["a",[1]])");

  GameArray assigned;
  assigned.elements = {scalar(9)};
  assigned = std::move(moved);
  EXPECT_TRUE(moved.elements.empty());
  EXPECT_EQ(assigned.toString(), R"(["a",[1]])");
}

TEST(GameArrayCopies, AssigningAChildOfItselfKeepsTheChildAlive) {
  GameArray parent;
  parent.elements = {array({scalar(1), array({text("deep")})})};
  const GameArray& child = static_cast<const GameArray&>(*parent.elements[0]);
  parent = child;  // the child is owned only through the old elements
  EXPECT_EQ(parent.toString(), R"([1,["deep"]])");

  GameArray moving;
  moving.elements = {array({boolean(false)})};
  moving = std::move(static_cast<GameArray&>(*moving.elements[0]));
  EXPECT_EQ(moving.toString(), "[false]");
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
  {
    GameArray chain = nestedChain(kDeep);
    GameArray copy = chain;  // shares the levels; each must be released once
    chain = GameArray();
    EXPECT_EQ(copy.toString().size(), 2 * kDeep + 1);
    copy = nestedChain(10);
    EXPECT_EQ(copy.toString(), "[[[[[[[[[[1]]]]]]]]]]");
  }
}

}  // namespace
