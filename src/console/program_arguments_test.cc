// The argument parser: argument vectors against the real option table and against a table
// with the kinds of option the real one does not have yet (a value, a needed option, several
// scripts).
#include "console/program_arguments.h"

#include <gtest/gtest.h>

namespace {

using Arguments = std::vector<std::string_view>;

// What a parse gave, in one comparable line: the options given ("=value" when not empty), the
// scripts, or the error.
std::string describe(const Arguments& arguments, std::span<const OptionRow> table) {
  ProgramArguments parsed = parseProgramArguments(arguments, table);
  if (!parsed.error.empty()) return "error: " + parsed.error;
  std::string out;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (!parsed.options[row]) continue;
    out += std::string(table[row].spellings.substr(table[row].spellings.rfind(' ') + 1));
    if (!parsed.options[row]->empty()) out += "=" + *parsed.options[row];
    out += " ";
  }
  for (const std::string& script : parsed.scripts) out += "[" + script + "] ";
  return out;
}

TEST(ProgramArguments, RealTable) {
  const std::pair<Arguments, const char*> cases[] = {
      {{}, ""},
      {{"a.sqf"}, "[a.sqf] "},
      {{"-h"}, "--help "},
      {{"--help=x"}, "[--help=x] "},
      {{"-"}, "[-] "},
      {{"--"}, ""},
      {{"--", "--help"}, "[--help] "},
      {{"--version", "a.sqf"}, "--version [a.sqf] "},
      {{"-h", "--", "a.sqf"}, "--help [a.sqf] "},
      {{"a.sqf", "--help"}, "error: one script path at most, but '--help' is a second"},
      {{"x", "--bogus"}, "error: one script path at most, but '--bogus' is a second"},
      {{"--help", "--bogus"}, "error: unknown option '--bogus'"},
      {{"--help=x", "a.sqf"}, "error: unknown option '--help=x'"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(expected, describe(arguments, optionTable())) << arguments.size();
  }
}

TEST(ProgramArguments, ValuesNeedsAndSeveralScripts) {
  constexpr OptionRow table[] = {
      {"-t --test", "", "", true, ""},
      {"--timeout", "<seconds>", "--test", false, ""},
      {"--watch", "", "", false, ""},
  };
  const std::pair<Arguments, const char*> cases[] = {
      {{"--test", "a", "b"}, "--test [a] [b] "},
      {{"-t", "--", "-a"}, "--test [-a] "},
      {{"--test"}, "error: no script path given"},
      {{"--test", "--timeout", "5", "a"}, "--test --timeout=5 [a] "},
      {{"--timeout=5", "--test", "a"}, "--test --timeout=5 [a] "},
      {{"--timeout=", "--test", "a"}, "--test --timeout [a] "},
      {{"--test", "a", "--timeout", "5"}, "--test [a] [--timeout] [5] "},
      {{"--timeout", "5", "a"}, "error: option '--timeout' needs '--test'"},
      {{"--test", "--timeout"}, "error: option '--timeout' needs a value: --timeout <seconds>"},
      {{"--watch=1", "a"}, "error: unknown option '--watch=1'"},
      {{"--watch"}, "--watch "},
      {{"--timeout"}, "error: option '--timeout' needs a value: --timeout <seconds>"},
      {{"--watch", "a", "b"}, "error: one script path at most, but 'b' is a second"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(expected, describe(arguments, table)) << arguments.front();
  }
}

}  // namespace
