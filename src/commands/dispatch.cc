// The command dispatcher: pattern order, the echo rule and each command's action.
#include "commands/dispatch.h"

#include "commands/command_patterns.h"
#include "commands/script_runner.h"
#include "console/output.h"
#include "extensions/extension_registry.h"
#include "values/array_parser.h"
#include "values/game_value.h"

namespace {

// Script lines are shown before they run, always ending in exactly one ";".
void echoCommand(bool echo, const std::string& line, bool hasSemicolon) {
  if (echo) printEcho(line, hasSemicolon ? "" : ";");
}

void appendUnquoted(std::string& out, std::string_view text) {
  if (text == "\"\"") return;
  out.reserve(out.size() + text.size());
  bool keepNextQuote = true;  // flips at every quote; a quote is kept when it flips to true
  for (char c : text) {
    if (c != '"') {
      out.push_back(c);
      keepNextQuote = true;
      continue;
    }
    keepNextQuote = !keepNextQuote;
    if (keepNextQuote) out.push_back('"');
  }
}

// The unquoted function text of the current call, in a buffer reused from command to command
// (main thread only; a command never runs inside another's call). A buffer grown by a huge
// line is given back at the next call rather than kept for the rest of the session.
const char* unquotedFunction(std::string_view text) {
  constexpr std::size_t kKeptCapacity = 64 * 1024;
  static std::string buffer;
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
  buffer.clear();
  appendUnquoted(buffer, text);
  return buffer.c_str();
}

void runArgumentCall(const CommandMatch& match) {
  // The array is parsed and its argument texts are built before the extension is looked up.
  // The literal is read in place: the parser reads no byte beyond the length it is given.
  std::size_t cursor = 0;
  GameArray arguments = parseGameArray(match.array.data(), match.array.size(), cursor);
  std::vector<const char*> argumentPointers = arguments.argumentList();
  const char* function = unquotedFunction(match.function);
  ExtensionHandle handle{std::string(match.extension)};
  handle.callArgs(function, argumentPointers.data(), static_cast<int>(argumentPointers.size()));
}

void runFunctionCall(const CommandMatch& match) {
  const char* function = unquotedFunction(match.function);
  ExtensionHandle handle{std::string(match.extension)};
  handle.call(function);
}

}  // namespace

std::string unquoteString(std::string_view text) {
  std::string result;
  appendUnquoted(result, text);
  return result;
}

bool dispatchCommand(bool echo, std::string line) {
  if (matchScriptPathShortcut(line)) {
    // The typed path is replaced on screen by the command it stands for.
    moveCursorUp();
    line = "execVM \"" + unquoteString(line) + "\"";
    printEcho(line, ";");
  }

  CommandMatch match = recogniseCommand(line);
  switch (match.kind) {
    case CommandKind::ArgumentCall:
      echoCommand(echo, line, match.hasSemicolon);
      runArgumentCall(match);
      return true;
    case CommandKind::FunctionCall:
      echoCommand(echo, line, match.hasSemicolon);
      runFunctionCall(match);
      return true;
    case CommandKind::FreeExtension:
      echoCommand(echo, line, match.hasSemicolon);
      printNotice(extensionRegistry.unload(std::string(match.operand)) ? "Extension unloaded"
                                                                      : "Extension is not loaded");
      return true;
    case CommandKind::ExecVM:
      echoCommand(echo, line, match.hasSemicolon);
      if (runningScriptCount >= maxRunningScripts) {
        printNotice("Scripts limit reached");
        return true;
      }
      return runScript(unquoteString(match.operand));
    case CommandKind::Exit:
      echoCommand(echo, line, match.hasSemicolon);
      extensionRegistry.unloadAll();
      return false;
    case CommandKind::None:
      break;
  }
  if (echo) printEcho(line, "");
  printNotice("Unknown command");
  return true;
}
