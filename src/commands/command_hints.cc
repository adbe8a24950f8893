// Hints for unknown commands, found by mending the line and trying it again, and the
// argument note.
#include "commands/command_hints.h"

#include "commands/command_patterns.h"
#include "values/plain_text.h"

namespace {

bool recognised(std::string_view line) {
  return !line.empty() && recogniseCommand(line).kind != CommandKind::None;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

std::string_view trimmedRight(std::string_view text) {
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Whether `word` (lower case) stands in `line` in any letter case, after a blank and before a
// blank, a quote or a bracket.
bool hasCommandWord(std::string_view line, std::string_view word) {
  for (std::size_t at = 1; at + word.size() < line.size(); ++at) {
    if (!isBlank(line[at - 1])) continue;
    std::size_t i = 0;
    while (i < word.size() && (line[at + i] | 0x20) == word[i]) ++i;
    const char after = line[at + word.size()];
    if (i == word.size() && (isBlank(after) || after == '"' || after == '\'' || after == '[')) {
      return true;
    }
  }
  return false;
}

std::string withDoubleQuotes(std::string_view line) {
  std::string mended(line);
  for (char& c : mended) {
    if (c == '\'') c = '"';
  }
  return mended;
}

// Whether cutting a trailing // comment makes a command. The comment starts at the first "//"
// outside double quotes (a path may hold "//"); one try, so a line of any length costs little.
bool endsInComment(std::string_view line) {
  bool quoted = false;
  for (std::size_t at = 0; at + 1 < line.size(); ++at) {
    if (line[at] == '"') quoted = !quoted;
    if (!quoted && line[at] == '/' && line[at + 1] == '/') {
      return recognised(trimmedRight(line.substr(0, at)));
    }
  }
  return false;
}

// How many "[" outside double quotes are not closed by a "]".
std::size_t openBrackets(std::string_view line) {
  bool quoted = false;
  std::size_t open = 0;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == '[') ++open;
    if (c == ']' && open > 0) --open;
  }
  return open;
}

// The line with its first unquoted word that is not a command word put in double quotes, when
// that makes a command (a name or function text typed bare); "" else.
std::string withBareWordQuoted(std::string_view line) {
  for (std::size_t at = 0; at < line.size();) {
    while (at < line.size() && isBlank(line[at])) ++at;
    std::size_t end = at;
    while (end < line.size() && !isBlank(line[end])) ++end;
    std::string_view word = line.substr(at, end - at);
    if (!word.empty() && word.back() == ';') word.remove_suffix(1);
    bool commandWord = word == "invokeModule" || word == "freeExtension" || word == "execVM";
    if (!word.empty() && !commandWord && word.find_first_of("\"[]'") == std::string_view::npos) {
      std::string mended = std::string(line.substr(0, at)) + '"' + std::string(word) + '"' +
                           std::string(line.substr(at + word.size()));
      if (recognised(mended)) return mended;
    }
    at = end;
  }
  return "";
}

// The argument form with the items after the function text put in an array of their own, when
// that makes a command: `["fn", 1, 2]` meant as `["fn", [1, 2]]`; "" else.
std::string withArgumentsArray(std::string_view line) {
  std::size_t open = line.find('[');
  if (open == std::string_view::npos || line.find("invokeModule") == std::string_view::npos) return "";
  // The end of the function text: the closing quote of the string that opens the array.
  std::size_t quote = line.find('"', open);
  std::size_t closing = quote == std::string_view::npos ? quote : line.find('"', quote + 1);
  while (closing != std::string_view::npos && closing + 1 < line.size() && line[closing + 1] == '"') {
    closing = line.find('"', closing + 2);
  }
  if (closing == std::string_view::npos) return "";
  std::size_t comma = line.find_first_not_of(" \t", closing + 1);
  std::size_t last = trimmedRight(line).find_last_of(']');
  if (comma == std::string_view::npos || line[comma] != ',' || last == std::string_view::npos ||
      last < comma) {
    return "";
  }
  std::string_view items = line.substr(comma + 1, last - comma - 1);
  while (!items.empty() && isBlank(items.front())) items.remove_prefix(1);
  if (items.empty() || items.front() == '[') return "";
  std::string mended = std::string(line.substr(0, comma + 1)) + " [" + std::string(trimmedRight(items)) +
                       "]" + std::string(line.substr(last));
  return recognised(mended) ? mended : "";
}

std::string shownText(const ArgumentProblems::Item& item) {
  std::string shown = showingNul(item.text);
  if (item.cut) shown += "...";
  return shown;
}

}  // namespace

std::string unknownCommandHint(std::string_view line) {
  if (hasCommandWord(line, "callextension")) {
    return "callExtension is the game's command: here it is invokeModule";
  }
  if (line.find('\'') != std::string_view::npos && recognised(withDoubleQuotes(line))) {
    return "names and functions go in double quotes (\"), not single quotes (')";
  }
  if (endsInComment(line)) return "a // comment must stand on a line of its own";
  SleepMatch pause;
  if (matchSleep(line, &pause))
    return "sleep pauses a script: put it in a script file and run that with execVM";
  if (std::string mended = withBareWordQuoted(line); !mended.empty()) {
    return "names and function texts go in double quotes: " + mended;
  }
  if (std::string mended = withArgumentsArray(line); !mended.empty()) {
    return "the arguments go in an array of their own: " + mended;
  }
  // What is left open is closed at the end of the line, before its semicolon.
  std::string_view body = trimmedRight(line);
  if (!body.empty() && body.back() == ';') body = trimmedRight(body.substr(0, body.size() - 1));
  const std::string base(body);
  if (recognised(base + "\"")) return "the string is not closed: the closing \" is missing";
  const std::string brackets(openBrackets(base), ']');
  if (!brackets.empty() && brackets.size() <= 3 && recognised(base + brackets)) {
    return "the array is not closed: \"" + brackets + "\" is missing at the end";
  }
  return "";
}

std::string argumentNote(const ArgumentProblems& problems) {
  if (problems.unclosed) {
    return "the array was not closed and the extension was called with no arguments";
  }
  std::string note;
  for (const ArgumentProblems::Item& item : problems.named) {
    if (!note.empty()) note += ", ";
    note += "item " + item.position + ": '" + shownText(item) + "' was passed as nil";
  }
  if (problems.nilCount > problems.named.size()) {
    note += " and " + std::to_string(problems.nilCount - problems.named.size()) + " more";
  }
  return note;
}
