// Fuzzes one command line through the whole recognition path: the five command recognisers,
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
#include "values/array_parser.h"
#include "values/game_value.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// A capture must be a view into the line itself.
void requireInside(std::string_view capture, std::string_view line) {
  if (capture.empty()) return;
  require(capture.data() >= line.data() &&
          capture.data() + capture.size() <= line.data() + line.size());
}

bool regexMatches(const char* pattern, const std::string& line, std::smatch* m) {
  static const std::regex::flag_type flags = std::regex::ECMAScript | std::regex::icase;
  static const std::regex argument(kArgumentCallPattern, flags);
  static const std::regex function(kFunctionCallPattern, flags);
  static const std::regex freeExtension(kFreeExtensionPattern, flags);
  static const std::regex execVM(kExecVMPattern, flags);
  static const std::regex exitCommand(kExitPattern, flags);
  static const std::regex shortcut(kScriptPathShortcutPattern, flags);
  const std::regex* re = pattern == kArgumentCallPattern   ? &argument
                         : pattern == kFunctionCallPattern ? &function
                         : pattern == kFreeExtensionPattern ? &freeExtension
                         : pattern == kExecVMPattern       ? &execVM
                         : pattern == kExitPattern         ? &exitCommand
                                                           : &shortcut;
  return std::regex_match(line, *m, *re);
}

// The recognisers agree with the regular expressions on lines short enough for std::regex,
// whose backtracking recursion grows with the line.
void compareWithRegex(const std::string& line, const CommandMatch& ours) {
  std::smatch m;
  require(regexMatches(kScriptPathShortcutPattern, line, &m) == matchScriptPathShortcut(line));
  const char* expectedPattern = nullptr;
  for (const char* pattern : {kArgumentCallPattern, kFunctionCallPattern, kFreeExtensionPattern,
                              kExecVMPattern, kExitPattern}) {
    if (regexMatches(pattern, line, &m)) {
      expectedPattern = pattern;
      break;
    }
  }
  switch (ours.kind) {
    case CommandKind::None: require(expectedPattern == nullptr); return;
    case CommandKind::ArgumentCall:
      require(expectedPattern == kArgumentCallPattern);
      require(m[1].str() == ours.extension && m[2].str() == ours.function &&
              m[3].str() == ours.array && m[4].matched == ours.hasSemicolon);
      return;
    case CommandKind::FunctionCall:
      require(expectedPattern == kFunctionCallPattern);
      require(m[1].str() == ours.extension && m[2].str() == ours.function &&
              m[3].matched == ours.hasSemicolon);
      return;
    case CommandKind::FreeExtension:
    case CommandKind::ExecVM:
      require(expectedPattern == (ours.kind == CommandKind::ExecVM ? kExecVMPattern
                                                                   : kFreeExtensionPattern));
      require(m[1].str() == ours.operand && m[2].matched == ours.hasSemicolon);
      return;
    case CommandKind::Exit:
      require(expectedPattern == kExitPattern && m[1].matched == ours.hasSemicolon);
      return;
  }
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

  std::string unquoted = unquoteString(match.kind == CommandKind::None ? std::string_view(line)
                                                                       : match.function);
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
