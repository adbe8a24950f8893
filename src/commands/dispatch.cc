// The command dispatcher: pattern order, the echo rule and each command's action.
#include "commands/dispatch.h"

#include <charconv>

#include "commands/command_hints.h"
#include "commands/script_runner.h"
#include "extensions/call_context.h"
#include "extensions/extension_callback.h"
#include "extensions/extension_handle.h"
#include "extensions/extension_registry.h"
#include "extensions/extension_report.h"
#include "output/output.h"
#include "interface_texts.h"
#include "values/array_parser.h"
#include "values/number_text.h"

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

CommandOutcome runArgumentCall(std::string& line, const CommandMatch& match) {
  // The extension is looked up first (one with a call context needs the line kept before it
  // changes), then the argument texts are built: exactly the texts of the parsed array's
  // argumentList, written straight from the literal without building the values, which the
  // call never needs. The literal is read in place, and the texts written over it: the line
  // has been echoed already, the parser reads no byte beyond the length it is given, and the
  // extension name and function text lie before the literal.
  // The texts' memory is kept for the next command (the dispatcher runs on the main thread
  // only, and a call never dispatches another), so that a command allocates nothing once
  // warm; the memory of a huge line is given back.
  constexpr std::size_t kKeptCapacity = 256 * 1024;
  ArgumentTexts& arguments = extensionRegistry.calls().arguments;
  std::size_t cursor = 0;
  ArgumentProblems problems;
  ExtensionHandle handle{match.extension};
  if (handle.hasContext()) keepTypedLine();  // the line is changed in place next
  char* literal = line.data() + (match.array.data() - line.data());
  argumentTextsInPlace(literal, match.array.size(), cursor, &arguments, &problems);
  const char* function = unquoteFunctionInPlace(line, match.function);
  handle.callArgs(function, arguments.argv(), static_cast<int>(arguments.size()),
                  problems.any() ? argumentNote(problems) : std::string());
  if (arguments.capacity() > kKeptCapacity) arguments = ArgumentTexts();
  return CommandOutcome::Continue;
}

CommandOutcome runFunctionCall(std::string& line, const CommandMatch& match) {
  ExtensionHandle handle{match.extension};
  if (handle.hasContext()) keepTypedLine();  // the line is changed in place next
  const char* function = unquoteFunctionInPlace(line, match.function);
  handle.call(function);
  return CommandOutcome::Continue;
}

CommandOutcome runFreeExtension(std::string&, const CommandMatch& match) {
  reportUnload(extensionRegistry.unload(std::string(match.operand)), true);
  return CommandOutcome::Continue;
}

CommandOutcome runExecVM(std::string&, const CommandMatch& match) {
  if (runningScriptCount >= maxRunningScripts) {
    printNotice("Scripts limit reached");
    return CommandOutcome::Continue;
  }
  return runScript(unquoteString(match.operand));
}

// With a literal, sets the context values; alone, shows them in the command's own form.
CommandOutcome runSetContext(std::string&, const CommandMatch& match) {
  ContextSettings& settings = contextSettings();
  if (match.operand.empty()) {
    printNotice(setContextCommandText(settings).c_str());
  } else if (!readContextLiteral(match.operand, &settings)) {
    for (const CommandRow& row : commandTable()) {
      if (row.recognise == &matchSetContext) {
        printNotice("Malformed setContext", "the form is " + std::string(row.usage));
      }
    }
  }
  return CommandOutcome::Continue;
}

// Whole or decimal seconds, as a pause takes them: digits, and a fraction after a point.
bool readSeconds(std::string_view text, double* seconds) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "0" : text.substr(point + 1);
  auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!digits(whole) || !digits(fraction)) return false;
  *seconds = doubleFromText(text);
  return true;
}

// With a number, sets the time limit of later calls; alone, shows it in the command's own form.
CommandOutcome runCallTimeLimit(std::string&, const CommandMatch& match) {
  CallWatchdog& watchdog = extensionRegistry.calls().watchdog;
  double seconds = 0;
  if (match.operand.empty()) {
    // The shortest digits that read back as the limit, without an exponent the command would
    // refuse.
    char digits[400];
    auto written =
        std::to_chars(digits, digits + sizeof digits, watchdog.timeLimit(), std::chars_format::fixed);
    std::string text =
        "callTimeLimit " + std::string(digits, written.ec == std::errc() ? written.ptr : digits);
    printNotice(text.c_str());
  } else if (readSeconds(match.operand, &seconds)) {
    watchdog.setTimeLimit(seconds);
  } else {
    for (const CommandRow& row : commandTable()) {
      if (row.recognise == &matchCallTimeLimit) {
        printNotice("Malformed callTimeLimit", "the form is " + std::string(row.usage));
      }
    }
  }
  return CommandOutcome::Continue;
}

CommandOutcome runExit(std::string&, const CommandMatch&) {
  reportUnload(extensionRegistry.unloadAll(), false);
  return CommandOutcome::Exit;
}

// The two call forms cannot both match one line (the argument form ends in "]", the function
// form in a quote, before the optional ";"), so the order shown is also a safe order to try.
constexpr CommandRow kCommands[] = {
#define INVOKEMODULE_COMMAND_ROW(id, usage, completionWord, inBanner, about) \
  {usage, completionWord, inBanner, about, &match##id, &run##id},
    INVOKEMODULE_COMMANDS(INVOKEMODULE_COMMAND_ROW)
#undef INVOKEMODULE_COMMAND_ROW
};

}  // namespace

std::span<const CommandRow> commandTable() { return kCommands; }

std::string unquoteString(std::string_view text) {
  std::string result(text.size(), '\0');
  result.resize(static_cast<std::size_t>(unquoteInto(result.data(), text) - result.data()));
  return result;
}

CommandOutcome dispatchCommand(bool echo, std::string& line) {
  if (matchScriptPathShortcut(line)) {
    // The typed path is replaced on screen by the command it stands for.
    moveCursorUp();
    line = "execVM \"" + unquoteString(line) + "\"";
    printEcho(line, ";");
  }

  for (const CommandRow& command : kCommands) {
    CommandMatch match;
    if (!command.recognise(line, &match)) continue;
    echoCommand(echo, line, match.hasSemicolon);
    if (!echo) setTypedLine(line);  // a typed line heads the chain of what it runs
    CommandOutcome outcome = command.run(line, match);
    if (!echo) setTypedLine({});
    reportRefusedCallbacks();
    return outcome;
  }
  if (echo) printEcho(line, "");
  printNotice("Unknown command", unknownCommandHint(line));
  return CommandOutcome::Continue;
}
