// Completion candidates by the word's place in the line.
#include "console/completion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using Words = std::vector<std::string>;

Words complete(const std::string& line) {
  // The word under the cursor starts after the last space or quote, as the line editor cuts it.
  std::size_t start = line.find_last_of(" \t\"");
  start = start == std::string::npos ? 0 : start + 1;
  return completeCommandLine(line, start, line.size());
}

TEST(Completion, CommandWordsByPlace) {
  const std::pair<const char*, Words> cases[] = {
      {"", {"callTimeLimit", "execVM", "exit", "freeExtension", "setContext"}},
      {"SETc", {"setContext"}},
      {"CALLt", {"callTimeLimit"}},
      {"ex", {"execVM", "exit"}},
      {"EXE", {"execVM"}},
      {"fr", {"freeExtension"}},
      {"x", {}},
      {"\"demo\" inv", {"invokeModule"}},
      {"\"demo\"\tINV", {"invokeModule"}},
      {"\"demo\" invokeModule \"f", {}},
      {"\"demo\"inv", {}},
      {"exit ex", {}},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(expected, complete(line)) << line;
}

TEST(Completion, ScriptPathsInsideExecVM) {
  namespace fs = std::filesystem;
  fs::path saved = fs::current_path();
  fs::path dir = fs::temp_directory_path() / "invokemodule-completion-test";
  fs::remove_all(dir);
  fs::create_directories(dir / "scripts");
  std::ofstream(dir / "scripts" / "alpha.sqf") << "exit\n";
  std::ofstream(dir / "scripts" / "beta.sqf") << "exit\n";
  std::ofstream(dir / "setup.sqf") << "exit\n";
  fs::current_path(dir);
  const std::pair<const char*, Words> cases[] = {
      {"execVM \"s", {"scripts/", "setup.sqf"}},
      {"EXECVM  \"scripts/a", {"scripts/alpha.sqf"}},
      {"execVM \"scripts/", {"scripts/alpha.sqf", "scripts/beta.sqf"}},
      {"execVM \"nowhere/", {}},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(expected, complete(line)) << line;
  fs::current_path(saved);
  fs::remove_all(dir);
}

}  // namespace
