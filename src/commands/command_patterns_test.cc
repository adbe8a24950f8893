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
  compiled.emplace_back(pattern, std::regex(pattern, std::regex::ECMAScript | std::regex::icase));
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

// The same for our recogniser of `pattern`.
std::vector<std::string> ours(const char* pattern, const std::string& line) {
  auto semicolon = [](bool has) -> std::string { return has ? ";" : "<unset>"; };
  CommandMatch m;
  SleepMatch s;
  if (pattern == kScriptPathShortcutPattern) {
    return matchScriptPathShortcut(line) ? std::vector<std::string>{"<match>"} : std::vector<std::string>{};
  }
  if (pattern == kCommentPattern) {
    return matchComment(line) ? std::vector<std::string>{"<match>"} : std::vector<std::string>{};
  }
  if (pattern == kArgumentCallPattern && matchArgumentCall(line, &m)) {
    return {"<match>", std::string(m.extension), std::string(m.function), std::string(m.array),
            semicolon(m.hasSemicolon)};
  }
  if (pattern == kFunctionCallPattern && matchFunctionCall(line, &m)) {
    return {"<match>", std::string(m.extension), std::string(m.function), semicolon(m.hasSemicolon)};
  }
  if ((pattern == kExecVMPattern && matchExecVM(line, &m)) ||
      (pattern == kFreeExtensionPattern && matchFreeExtension(line, &m))) {
    return {"<match>", std::string(m.operand), semicolon(m.hasSemicolon)};
  }
  if (pattern == kExitPattern && matchExit(line, &m)) return {"<match>", semicolon(m.hasSemicolon)};
  if ((pattern == kSetContextPattern && matchSetContext(line, &m)) ||
      (pattern == kCallTimeLimitPattern && matchCallTimeLimit(line, &m))) {
    return {"<match>", std::string(m.operand), semicolon(m.hasSemicolon)};
  }
  if (pattern == kSleepPattern && matchSleep(line, &s)) {
    return {"<match>", std::string(s.seconds), semicolon(s.hasSemicolon)};
  }
  return {};
}

const char* const kAllPatterns[] = {
    kScriptPathShortcutPattern,
    kArgumentCallPattern,
    kFunctionCallPattern,
    kFreeExtensionPattern,
    kExecVMPattern,
    kExitPattern,
    kSleepPattern,
    kCommentPattern,
    kSetContextPattern,
    kCallTimeLimitPattern,
};

// Pieces rich in what the grammar cares about; lines are random sequences of them, and of
// mutated well-formed commands.
const char* const kPieces[] = {
    "\"",
    "\"\"",
    " ",
    "  ",
    "\t",
    "\r",
    "\n",
    "\v",
    "\f",
    ";",
    "[",
    "]",
    ",",
    "a",
    "Z",
    "1",
    "0.5",
    ".",
    "invokemodule",
    "InvokeModule",
    "INVOKEMODULE",
    "freeExtension",
    "execVM",
    "exit",
    "EXIT",
    "setContext",
    "sleep",
    "SLEEP",
    "callTimeLimit",
    ".sqf",
    ".SQF",
    "C:\\",
    "c:",
    "\\",
    "//",
    ":",
    "x y",
    "\xc3\xa9",
    "\x01",
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
    "setContext [\"1\", \"m\", \"s\", 2];",
    "SETCONTEXT",
    "callTimeLimit 2",
    "CALLTIMELIMIT 0.5;",
};

std::string randomLine(std::mt19937& rng) {
  std::string line;
  if (rng() % 2 == 0) {
    line = kTemplates[rng() % std::size(kTemplates)];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits; ++i) {
      std::size_t pos = rng() % (line.size() + 1);
      switch (rng() % 3) {
        case 0:
          line.insert(pos, kPieces[rng() % std::size(kPieces)]);
          break;
        case 1:
          if (pos < line.size()) line.erase(pos, 1 + rng() % 3);
          break;
        default:
          if (pos < line.size()) line[pos] = kPieces[rng() % std::size(kPieces)][0];
          break;
      }
    }
    return line;
  }
  int pieces = static_cast<int>(rng() % 12);
  if (rng() % 3 == 0) line = "\"";
  for (int i = 0; i < pieces; ++i) line += kPieces[rng() % std::size(kPieces)];
  return line;
}

TEST(CommandPatterns, AgreeWithRegexOnGeneratedLines) {
  std::mt19937 rng(20261206);
  int matchedPerPattern[std::size(kAllPatterns)] = {};
  for (int i = 0; i < 100000; ++i) {
    std::string line = randomLine(rng);
    for (std::size_t p = 0; p < std::size(kAllPatterns); ++p) {
      const char* pattern = kAllPatterns[p];
      std::vector<std::string> expected = oracleCaptures(pattern, line);
      // setContext and callTimeLimit alone leave the operand unset, which the recogniser gives
      // as empty.
      if ((pattern == kSetContextPattern || pattern == kCallTimeLimitPattern) && expected.size() > 1 &&
          expected[1] == "<unset>") {
        expected[1] = "";
      }
      ASSERT_EQ(expected, ours(pattern, line))
          << "pattern " << pattern << "\nline " << ::testing::PrintToString(line);
      matchedPerPattern[p] += expected.empty() ? 0 : 1;
    }
  }
  // The generator must reach the interesting side of every pattern, not only mismatches.
  for (std::size_t p = 0; p < std::size(kAllPatterns); ++p) {
    EXPECT_GT(matchedPerPattern[p], 200) << kAllPatterns[p];
  }
}

// Many candidate closing quotes followed by the command word must not make it quadratic.
TEST(CommandPatterns, ManyCandidateQuotesStayLinear) {
  std::string repeated;
  while (repeated.size() < 4u << 20) repeated += "\" invokemodule [\"";
  EXPECT_EQ(CommandKind::None, recogniseCommand("\"" + repeated).kind);
}

}  // namespace
