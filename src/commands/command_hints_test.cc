// The hints under "Unknown command" and the note on arguments passed as nil.
#include "commands/command_hints.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(UnknownCommandHint, NamesOnlyThePlainNearMisses) {
  const char* const callExtension = "callExtension is the game's command: here it is invokeModule";
  const char* const singleQuotes = "names and functions go in double quotes (\"), not single quotes (')";
  const char* const comment = "a // comment must stand on a line of its own";
  const char* const openString = "the string is not closed: the closing \" is missing";
  const std::pair<const char*, std::string> cases[] = {
      {R"("demo" CALLEXTENSION ["fn", [1]])", callExtension},
      {R"('demo' callExtension 'fn')", callExtension},
      {R"("demo" invokeModule ['fn', [1]])", singleQuotes},
      {R"(freeExtension 'demo';)", singleQuotes},
      {R"(execVM 'a.sqf')", singleQuotes},
      {R"(execVM "a.sqf"; //run)", comment},
      {R"(execVM "C://a.sqf" // run it // now)", comment},
      {R"("demo" invokeModule "fn)", openString},
      {R"("demo" invokeModule ["fn", [1, 2]  ;)", "the array is not closed: \"]\" is missing at the end"},
      {R"("demo" invokeModule ["fn", [[1], [2)", "the array is not closed: \"]]]\" is missing at the end"},
      {R"("demo" invokeModule ["fn", ["]", 1)", "the array is not closed: \"]]\" is missing at the end"},
      {R"("demo" invokeModule ["fn", [[[[1)", ""},  // too much is missing to be plain
      // Ordinary typos and other lines get no guess.
      {"exti", ""},
      {"hello world", ""},
      {"", ""},
      {R"("demo" invokeModule 'fn)", ""},
      {"callExtension", ""},
      {"// a comment typed at the console", ""},
      // A pause typed at the prompt; a name or function text typed bare; arguments not in an
      // array of their own.
      {"sleep 1;", "sleep pauses a script: put it in a script file and run that with execVM"},
      {R"("x" invokeModule y)", R"(names and function texts go in double quotes: "x" invokeModule "y")"},
      {"freeExtension calc;", R"(names and function texts go in double quotes: freeExtension "calc";)"},
      {R"(calc invokeModule "f")",
       R"(names and function texts go in double quotes: "calc" invokeModule "f")"},
      {R"("x" invokeModule ["a""b", "s"];)",
       R"(the arguments go in an array of their own: "x" invokeModule ["a""b", ["s"]];)"},
      {R"("x" invokeModule ["f", [1], 2])", ""},  // an array and more: not plain
      {"x invokeModule y", ""},                   // two words bare: not plain
  };
  for (const auto& [line, hint] : cases) EXPECT_EQ(hint, unknownCommandHint(line)) << line;
}

TEST(ArgumentNote, NamesTheItemsPassedAsNilOrTheUnclosedArray) {
  struct Case {
    const char* literal;
    std::string note;
  };
  const Case cases[] = {
      {R"(["a", 1, true, [2, "b"], nil, NIL , [nil]])", ""},
      {"[]", ""},
      {R"([1, [2, x, [y]], "s"z])",
       "item 2.2: 'x' was passed as nil, item 2.3.1: 'y' was passed as nil, "
       "item 3: '\"s\"' was passed as nil and 1 more"},
      {"[a,b,c,d,e,f]",
       "item 1: 'a' was passed as nil, item 2: 'b' was passed as nil, "
       "item 3: 'c' was passed as nil and 3 more"},
      {"[x, \"open]", "the array was not closed and the extension was called with no arguments"},
      // A long text is cut, never inside a character.
      {"[1, ccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc\xC3\xA9x]",
       "item 2: 'ccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc...' was passed as nil"},
  };
  for (const Case& c : cases) {
    std::size_t cursor = 0;
    ArgumentProblems problems;
    argumentTextsOfLiteral(c.literal, std::strlen(c.literal), cursor, &problems);
    EXPECT_EQ(c.note, argumentNote(problems)) << c.literal;
    EXPECT_EQ(!c.note.empty(), problems.any()) << c.literal;
  }
}

}  // namespace
