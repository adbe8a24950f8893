// The recognisers against std::regex with the documented patterns, and the grammar's edge cases.
#include "commands/command_patterns.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::regex& oracle(const char* pattern) {
  static std::vector<std::pair<const char*, std::regex>> compiled;
  for (auto& entry : compiled) {
    if (entry.first == pattern) return entry.second;
  }
  compiled.emplace_back(pattern,
                        std::regex(pattern, std::regex::ECMAScript | std::regex::icase));
  return compiled.back().second;
}

// What the oracle says: whether the whole line matches, and each group as text or "<unset>".
std::vector<std::string> oracleCaptures(const char* pattern, const std::string& line) {
  std::smatch m;
  if (!std::regex_match(line, m, oracle(pattern))) return {};
  std::vector<std::string> groups{"<match>"};
  for (std::size_t i = 1; i < m.size(); ++i) {
    groups.push_back(m[i].matched ? m[i].str() : "<unset>");
  }
  return groups;
}

std::string semicolon(bool has) { return has ? ";" : "<unset>"; }

std::vector<std::string> ours(const char* pattern, const std::string& line) {
  CommandMatch m;
  if (pattern == kScriptPathShortcutPattern) {
    if (!matchScriptPathShortcut(line)) return {};
    return {"<match>"};
  }
  if (pattern == kArgumentCallPattern) {
    if (!matchArgumentCall(line, &m)) return {};
    return {"<match>", std::string(m.extension), std::string(m.function), std::string(m.array),
            semicolon(m.hasSemicolon)};
  }
  if (pattern == kFunctionCallPattern) {
    if (!matchFunctionCall(line, &m)) return {};
    return {"<match>", std::string(m.extension), std::string(m.function),
            semicolon(m.hasSemicolon)};
  }
  if (pattern == kFreeExtensionPattern || pattern == kExecVMPattern) {
    bool matched = pattern == kExecVMPattern ? matchExecVM(line, &m) : matchFreeExtension(line, &m);
    if (!matched) return {};
    return {"<match>", std::string(m.operand), semicolon(m.hasSemicolon)};
  }
  if (pattern == kExitPattern) {
    if (!matchExit(line, &m)) return {};
    return {"<match>", semicolon(m.hasSemicolon)};
  }
  if (pattern == kSleepPattern) {
    SleepMatch s;
    if (!matchSleep(line, &s)) return {};
    return {"<match>", std::string(s.seconds), semicolon(s.hasSemicolon)};
  }
  if (!matchComment(line)) return {};
  return {"<match>"};
}

const char* const kAllPatterns[] = {
    kScriptPathShortcutPattern, kArgumentCallPattern, kFunctionCallPattern, kFreeExtensionPattern,
    kExecVMPattern,             kExitPattern,         kSleepPattern,        kCommentPattern,
};

// Pieces rich in what the grammar cares about; lines are random sequences of them, and of
// mutated well-formed commands.
const char* const kPieces[] = {
    "\"", "\"\"", " ", "  ", "\t", "\r", "\n", "\v", "\f", ";", "[", "]", ",", "a", "Z", "1",
    "0.5", ".", "invokemodule", "InvokeModule", "INVOKEMODULE", "freeExtension", "execVM",
    "exit", "EXIT", "sleep", "SLEEP", ".sqf", ".SQF", "C:\\", "c:", "\\", "//", ":", "x y",
    "\xc3\xa9", "\x01",
};

const char* const kTemplates[] = {
    "\"ext\" invokeModule \"fn\"",
    "\"ext\" invokeModule [\"fn\", [1, \"two\", true, [3]]]",
    "\"e\"\"x\" invokemodule [ \"f\" , [] ] ;",
    "\"a\" invokeModule \"b\" \"c\";",
    "freeExtension \"ext\";",
    "execVM \"C:\\s\\a.sqf\"",
    "exit ;",
    "C:\\scripts\\a.sqf",
    "\"C:\\a.sqf\"",
    "sleep 1.5;",
    "sleep 10",
    "// note",
};

std::string randomLine(std::mt19937& rng) {
  std::string line;
  if (rng() % 2 == 0) {
    line = kTemplates[rng() % std::size(kTemplates)];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits; ++i) {
      std::size_t pos = rng() % (line.size() + 1);
      switch (rng() % 3) {
        case 0: line.insert(pos, kPieces[rng() % std::size(kPieces)]); break;
        case 1: if (pos < line.size()) line.erase(pos, 1 + rng() % 3); break;
        default: if (pos < line.size()) line[pos] = kPieces[rng() % std::size(kPieces)][0]; break;
      }
    }
    return line;
  }
  int pieces = static_cast<int>(rng() % 12);
  if (rng() % 3 == 0) line = "\"";
  for (int i = 0; i < pieces; ++i) line += kPieces[rng() % std::size(kPieces)];
  return line;
}

std::string printable(const std::string& line) {
  std::string out;
  for (unsigned char c : line) {
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

TEST(CommandPatterns, AgreeWithRegexOnGeneratedLines) {
  std::mt19937 rng(20261206);
  int matchedPerPattern[std::size(kAllPatterns)] = {};
  for (int i = 0; i < 100000; ++i) {
    std::string line = randomLine(rng);
    for (std::size_t p = 0; p < std::size(kAllPatterns); ++p) {
      const char* pattern = kAllPatterns[p];
      std::vector<std::string> expected = oracleCaptures(pattern, line);
      ASSERT_EQ(expected, ours(pattern, line))
          << "pattern " << pattern << "\nline [" << printable(line) << "]";
      matchedPerPattern[p] += expected.empty() ? 0 : 1;
    }
  }
  // The generator must reach the interesting side of every pattern, not only mismatches.
  for (std::size_t p = 0; p < std::size(kAllPatterns); ++p) {
    EXPECT_GT(matchedPerPattern[p], 200) << kAllPatterns[p];
  }
}

struct CommandCase {
  const char* line;
  CommandKind kind;
  const char* extension;
  const char* function;
  const char* arrayOrOperand;
  bool hasSemicolon;
};

TEST(CommandPatterns, RecognisesTheGrammarsEdgeCases) {
  const CommandCase cases[] = {
      {R"("test" invokeModule "hello")", CommandKind::FunctionCall, "test", "hello", "", false},
      {R"("test" INVOKEMODULE ["fn", [1, "a", true]])", CommandKind::ArgumentCall, "test", "fn",
       R"([1, "a", true])", false},
      {R"("test" invokeModule ["fn", []];)", CommandKind::ArgumentCall, "test", "fn", "[]", true},
      {R"("test" invokeModule "say ""hi""")", CommandKind::FunctionCall, "test", R"(say ""hi"")",
       "", false},
      {R"("test" invokeModule "a" "b")", CommandKind::FunctionCall, "test", R"(a" "b)", "", false},
      {R"("t" invokeModule ["f", [[1],[2]] ] ; )", CommandKind::ArgumentCall, "t", "f",
       "[[1],[2]]", true},
      {R"("test" invokeModule ["fn"])", CommandKind::None, "", "", "", false},
      {R"("test" invokeModule ["fn", 5])", CommandKind::None, "", "", "", false},
      {R"("test" invokeModule ["fn", [1,2])", CommandKind::None, "", "", "", false},
      {R"("test"invokeModule "x")", CommandKind::None, "", "", "", false},
      {R"( "test" invokeModule "x")", CommandKind::None, "", "", "", false},
      {R"(freeExtension "TEST";)", CommandKind::FreeExtension, "", "", "TEST", true},
      {R"(FREEEXTENSION  "a"" b")", CommandKind::FreeExtension, "", "", R"(a"" b)", false},
      {R"(execVM "x.sqf")", CommandKind::ExecVM, "", "", "x.sqf", false},
      {R"(execvm "")", CommandKind::ExecVM, "", "", "", false},
      {R"(execVM ")", CommandKind::None, "", "", "", false},
      {"exit", CommandKind::Exit, "", "", "", false},
      {"EXIT ;", CommandKind::Exit, "", "", "", true},
      {"exit;;", CommandKind::None, "", "", "", false},
      {"exits", CommandKind::None, "", "", "", false},
      {"sleep 1", CommandKind::None, "", "", "", false},
      {"// note", CommandKind::None, "", "", "", false},
      {"", CommandKind::None, "", "", "", false},
  };
  for (const CommandCase& c : cases) {
    CommandMatch m = recogniseCommand(c.line);
    EXPECT_EQ(c.kind, m.kind) << c.line;
    if (m.kind != c.kind) continue;
    EXPECT_EQ(c.extension, m.extension) << c.line;
    EXPECT_EQ(c.function, m.function) << c.line;
    EXPECT_EQ(c.arrayOrOperand, m.kind == CommandKind::ArgumentCall ? m.array : m.operand)
        << c.line;
    EXPECT_EQ(c.hasSemicolon, m.hasSemicolon) << c.line;
  }
}

TEST(CommandPatterns, ScriptPathShortcut) {
  const std::pair<const char*, bool> cases[] = {
      {R"(C:\scripts\a.sqf)", true},   {R"("C:\scripts\a.sqf")", true},
      {R"(d:\A.SQF)", true},           {R"(C:\.sqf)", true},
      {R"(scripts\a.sqf)", false},     {R"(C:\scripts\a.txt)", false},
      {R"(C:/scripts/a.sqf)", false},  {"C:\\a\r.sqf", false},
      {R"(1:\a.sqf)", false},          {R"( C:\a.sqf)", false},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(expected, matchScriptPathShortcut(line)) << line;
}

TEST(CommandPatterns, PauseAndCommentLines) {
  const std::tuple<const char*, bool, const char*, bool> cases[] = {
      {"sleep 1", true, "1", false},          {"SLEEP 0.5 ;", true, "0.5", true},
      {"sleep\t10;  ", true, "10", true},     {"sleep .5", false, "", false},
      {"sleep 5.", false, "", false},         {"sleep -1", false, "", false},
      {"sleep 1e3", false, "", false},        {"sleep 1;;", false, "", false},
      {" sleep 1", false, "", false},         {"sleep1", false, "", false},
  };
  for (const auto& [line, matches, seconds, hasSemicolon] : cases) {
    SleepMatch m;
    ASSERT_EQ(matches, matchSleep(line, &m)) << line;
    if (!matches) continue;
    EXPECT_EQ(seconds, m.seconds) << line;
    EXPECT_EQ(hasSemicolon, m.hasSemicolon) << line;
  }
  EXPECT_TRUE(matchComment("// a note"));
  EXPECT_TRUE(matchComment("//"));
  EXPECT_FALSE(matchComment(" // indented"));
  EXPECT_FALSE(matchComment("/ / spaced"));
}

// A 16 MiB line is recognised with the right captures, without deep recursion.
TEST(CommandPatterns, SixteenMebibyteLines) {
  std::string items;
  while (items.size() < 16u << 20) items += "1,\"two\",true,[3],";
  std::string argumentLine = "\"big\" invokeModule [\"fn\", [" + items + "0]];";
  CommandMatch m = recogniseCommand(argumentLine);
  ASSERT_EQ(CommandKind::ArgumentCall, m.kind);
  EXPECT_EQ("big", m.extension);
  EXPECT_EQ(items.size() + 3, m.array.size());

  std::string text(16u << 20, 'x');
  std::string functionLine = "\"big\" invokeModule \"" + text + "\"";
  m = recogniseCommand(functionLine);
  ASSERT_EQ(CommandKind::FunctionCall, m.kind);
  EXPECT_EQ(text.size(), m.function.size());

  // Many candidate closing quotes followed by the command word must not make it quadratic.
  std::string repeated;
  while (repeated.size() < 4u << 20) repeated += "\" invokemodule [\"";
  EXPECT_EQ(CommandKind::None, recogniseCommand("\"" + repeated).kind);
}

}  // namespace
