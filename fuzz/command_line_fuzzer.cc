// Fuzzes one command line through the whole recognition path: the seven command recognisers,
// the script path shortcut, unquoteString, and for the argument form the array parser and the
// argument texts. Short lines are also checked against std::regex with the documented patterns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "values/game_array_parser.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// A capture must be a view into the line itself.
void requireInside(std::string_view capture, std::string_view line) {
  if (capture.empty()) return;
  require(capture.data() >= line.data() && capture.data() + capture.size() <= line.data() + line.size());
}

// The recognisers agree with the regular expressions on lines short enough for std::regex,
// whose backtracking recursion grows with the line. `m` holds the captures of the first of the
// seven command patterns that matches, in the dispatcher's order.
void compareWithRegex(const std::string& line, const CommandMatch& ours) {
  static const auto flags = std::regex::ECMAScript | std::regex::icase;
  static const std::pair<CommandKind, std::regex> commands[] = {
      {CommandKind::ArgumentCall, std::regex(kArgumentCallPattern, flags)},
      {CommandKind::FunctionCall, std::regex(kFunctionCallPattern, flags)},
      {CommandKind::FreeExtension, std::regex(kFreeExtensionPattern, flags)},
      {CommandKind::ExecVM, std::regex(kExecVMPattern, flags)},
      {CommandKind::Exit, std::regex(kExitPattern, flags)},
      {CommandKind::SetContext, std::regex(kSetContextPattern, flags)},
      {CommandKind::CallTimeLimit, std::regex(kCallTimeLimitPattern, flags)}};
  static const std::regex shortcut(kScriptPathShortcutPattern, flags);
  require(std::regex_match(line, shortcut) == matchScriptPathShortcut(line));
  std::smatch m;
  CommandKind expected = CommandKind::None;
  for (const auto& [kind, pattern] : commands) {
    if (std::regex_match(line, m, pattern)) {
      expected = kind;
      break;
    }
  }
  require(expected == ours.kind);
  const std::size_t last = m.size() - 1;  // the optional ";"
  switch (ours.kind) {
    case CommandKind::None:
      return;
    case CommandKind::ArgumentCall:
      require(m[3].str() == ours.array);
      [[fallthrough]];
    case CommandKind::FunctionCall:
      require(m[1].str() == ours.extension && m[2].str() == ours.function);
      break;
    case CommandKind::FreeExtension:
    case CommandKind::ExecVM:
    case CommandKind::SetContext:
    case CommandKind::CallTimeLimit:
      require(m[1].str() == ours.operand);  // an unset operand reads as empty, as ours gives it
      break;
    case CommandKind::Exit:
      break;
  }
  require(m[last].matched == ours.hasSemicolon);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  matchScriptPathShortcut(line);
  CommandMatch match = recogniseCommand(line);
  requireInside(match.extension, line);
  requireInside(match.function, line);
  requireInside(match.array, line);
  requireInside(match.operand, line);

  std::string unquoted =
      unquoteString(match.kind == CommandKind::None ? std::string_view(line) : match.function);
  require(unquoted.size() <= line.size());

  if (match.kind == CommandKind::ArgumentCall) {
    require(match.array.size() >= 2 && match.array.front() == '[' && match.array.back() == ']');
    std::string arrayText(match.array);
    std::size_t cursor = 0;
    GameArray arguments = parseGameArray(arrayText.c_str(), arrayText.size(), cursor);
    std::vector<const char*> texts = arguments.argumentList();
    require(texts.size() == arguments.elements.size());
    // Each argument is its element's text form, as far as a zero-terminated text can carry
    // it (a string element may hold a NUL byte).
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::string expected = arguments.elements[i]->toString();
      require(std::string_view(expected.c_str()) == texts[i]);
    }
  }
  if (size <= 256) compareWithRegex(line, match);
  return 0;
}
