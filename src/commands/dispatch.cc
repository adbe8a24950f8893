// The command dispatcher: pattern order, the echo rule and each command's action.
#include "commands/dispatch.h"

#include "commands/command_hints.h"
#include "commands/command_patterns.h"
#include "commands/script_runner.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "values/array_parser.h"

namespace {

// Script lines are shown before they run, always ending in exactly one ";".
void echoCommand(bool echo, const std::string& line, bool hasSemicolon) {
  if (echo) printEcho(line, hasSemicolon ? "" : ";");
}

// Undoes the doubled-quote convention, writing at `out`; returns the end of what it wrote,
// never more bytes than `text` holds. `out` may be `text` itself: every byte is read before the
// position it comes from can be written.
char* unquoteInto(char* out, std::string_view text) {
  if (text == "\"\"") return out;
  bool keepNextQuote = true;  // flips at every quote; a quote is kept when it flips to true
  for (char c : text) {
    if (c != '"') {
      *out++ = c;
      keepNextQuote = true;
      continue;
    }
    keepNextQuote = !keepNextQuote;
    if (keepNextQuote) *out++ = '"';
  }
  return out;
}

// Unquotes the function text where it stands in the command line and ends it with a NUL,
// which lands at the latest on its closing quote; returns the zero-terminated text. The
// dispatcher owns its copy of the line, the line has been echoed already, and the extension
// name and the array literal lie outside the function text, so no other capture changes.
const char* unquoteFunctionInPlace(std::string& line, std::string_view function) {
  char* first = line.data() + (function.data() - line.data());
  *unquoteInto(first, function) = '\0';
  return first;
}

void runArgumentCall(std::string& line, const CommandMatch& match) {
  // The argument texts are built before the extension is looked up: exactly the texts of the
  // parsed array's argumentList, written straight from the literal without building the
  // values, which the call never needs. The literal is read in place: the parser reads no
  // byte beyond the length it is given.
  std::size_t cursor = 0;
  ArgumentProblems problems;
  ArgumentTexts arguments =
      argumentTextsOfLiteral(match.array.data(), match.array.size(), cursor, &problems);
  const char* function = unquoteFunctionInPlace(line, match.function);
  ExtensionHandle handle{match.extension};
  handle.callArgs(function, arguments.argv(), static_cast<int>(arguments.size()),
                  problems.any() ? argumentNote(problems) : std::string());
}

void runFunctionCall(std::string& line, const CommandMatch& match) {
  const char* function = unquoteFunctionInPlace(line, match.function);
  ExtensionHandle handle{match.extension};
  handle.call(function);
}

}  // namespace

std::string unquoteString(std::string_view text) {
  std::string result(text.size(), '\0');
  result.resize(static_cast<std::size_t>(unquoteInto(result.data(), text) - result.data()));
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
      runArgumentCall(line, match);
      return true;
    case CommandKind::FunctionCall:
      echoCommand(echo, line, match.hasSemicolon);
      runFunctionCall(line, match);
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
  printNotice("Unknown command", unknownCommandHint(line));
  return true;
}
