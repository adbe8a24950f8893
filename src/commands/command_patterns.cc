// Linear-time recognisers equivalent to the command, pause and comment patterns.
//
// The patterns' semantics reduce to a few facts used throughout:
// - `.` never matches a line feed or carriage return, `\s` is one of " \t\n\v\f\r";
// - a closing quote followed only by `\s*(;)?\s*$` must be the last quote of the line, so
//   the lazy and greedy groups that end there both end at the last quote;
// - a lazy group that ends at a quote followed by more structure is resolved by trying the
//   candidate quotes from left to right, exactly as a backtracking engine would.
#include "commands/command_patterns.h"
#include "values/plain_text.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `line` holds `word` (lower-case) at `pos`, in any ASCII letter case.
bool hasWordAt(std::string_view line, std::size_t pos, std::string_view word) {
  if (pos > line.size() || line.size() - pos < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(line[pos + i]) != word[i]) return false;
  }
  return true;
}

std::size_t skipSpaces(std::string_view line, std::size_t pos) {
  while (pos < line.size() && isSpace(line[pos])) ++pos;
  return pos;
}

// Matches `\s*(;)?\s*$` from `pos`.
bool matchTail(std::string_view line, std::size_t pos, bool* hasSemicolon) {
  pos = skipSpaces(line, pos);
  *hasSemicolon = false;
  if (pos < line.size() && line[pos] == ';') {
    *hasSemicolon = true;
    pos = skipSpaces(line, pos + 1);
  }
  return pos == line.size();
}

// The quote that `\s*(;)?\s*$` follows, found from the end of the line, or npos. Lines of
// another form are turned down after a look at their last bytes, never a scan of the line.
std::size_t closingQuoteBeforeTail(std::string_view line) {
  std::size_t end = line.size();
  while (end > 0 && isSpace(line[end - 1])) --end;
  if (end > 0 && line[end - 1] == ';') --end;
  while (end > 0 && isSpace(line[end - 1])) --end;
  return end > 0 && line[end - 1] == '"' ? end - 1 : npos;
}

// Matches `\s+` from `pos`; returns the position after it, or npos when there is no space.
std::size_t skipRequiredSpaces(std::string_view line, std::size_t pos) {
  std::size_t end = skipSpaces(line, pos);
  return end == pos ? npos : end;
}

// Whether the line holds a line feed or carriage return anywhere. Typed lines and script lines
// never do in practice, which lets the recognisers skip every line-break search.
bool containsLineBreak(std::string_view line) {
  return std::memchr(line.data(), '\n', line.size()) != nullptr ||
         std::memchr(line.data(), '\r', line.size()) != nullptr;
}

// The last line break before `end`, or npos.
std::size_t lastLineBreakBefore(std::string_view line, std::size_t end) {
  for (std::size_t i = end; i > 0; --i) {
    if (isLineBreak(line[i - 1])) return i - 1;
  }
  return npos;
}

// Whether [begin, end) holds no line break.
bool noLineBreak(std::string_view line, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (isLineBreak(line[i])) return false;
  }
  return true;
}

// Matches `keyword\s+"(.*?)"\s*(;)?\s*$` for freeExtension and execVM.
bool matchKeywordWithQuotedOperand(std::string_view line, std::string_view keyword, CommandKind kind,
                                   CommandMatch* match) {
  if (!hasWordAt(line, 0, keyword)) return false;
  std::size_t open = skipRequiredSpaces(line, keyword.size());
  if (open == npos || open >= line.size() || line[open] != '"') return false;
  std::size_t close = line.rfind('"');
  bool hasSemicolon = false;
  if (close == open || !matchTail(line, close + 1, &hasSemicolon)) return false;
  if (!noLineBreak(line, open + 1, close)) return false;
  *match = CommandMatch{};
  match->kind = kind;
  match->operand = line.substr(open + 1, close - open - 1);
  match->hasSemicolon = hasSemicolon;
  return true;
}

// From a candidate closing quote of the extension name, matches `"\s+invokemodule\s+` and
// returns the position after it, or npos.
std::size_t matchCommandWord(std::string_view line, std::size_t quote) {
  std::size_t pos = skipRequiredSpaces(line, quote + 1);
  if (pos == npos || !hasWordAt(line, pos, "invokemodule")) return npos;
  return skipRequiredSpaces(line, pos + 12);
}

// Answers "where is the first line break at or after `from`" for non-decreasing `from`,
// in linear time over all queries.
class LineBreakFinder {
 public:
  LineBreakFinder(std::string_view line, bool anyLineBreak) : line_(line), any_(anyLineBreak) {}
  std::size_t firstFrom(std::size_t from) {
    if (!any_) return npos;
    if (found_ != npos && found_ >= from) return found_;
    if (found_ == npos && scanned_ == line_.size() && scanned_ <= from) return npos;
    std::size_t pos = from > scanned_ ? from : scanned_;
    while (pos < line_.size() && !isLineBreak(line_[pos])) ++pos;
    scanned_ = pos;
    found_ = pos < line_.size() ? pos : npos;
    return found_;
  }

 private:
  std::string_view line_;
  bool any_;
  std::size_t scanned_ = 0;
  std::size_t found_ = npos;
};

}  // namespace

bool matchScriptPathShortcut(std::string_view line) {
  std::size_t pos = (!line.empty() && line[0] == '"') ? 1 : 0;
  if (line.size() < pos + 3) return false;
  char drive = lowerAscii(line[pos]);
  if (drive < 'a' || drive > 'z' || line[pos + 1] != ':' || line[pos + 2] != '\\') return false;
  std::string_view rest = line.substr(pos + 3);
  if (!noLineBreak(rest, 0, rest.size())) return false;
  if (!rest.empty() && rest.back() == '"') {
    if (hasWordAt(rest, rest.size() - 5, ".sqf")) return true;
  }
  return rest.size() >= 4 && hasWordAt(rest, rest.size() - 4, ".sqf");
}

bool matchArgumentCall(std::string_view line, CommandMatch* match) {
  if (line.empty() || line[0] != '"') return false;

  // The end is fixed by `(\[.*\])\s*\]\s*(;)?\s*$`: find the final "]" and, behind the spaces
  // before it, the "]" that closes the array group.
  std::size_t end = line.size();
  while (end > 0 && isSpace(line[end - 1])) --end;
  bool hasSemicolon = false;
  if (end > 0 && line[end - 1] == ';') {
    hasSemicolon = true;
    --end;
    while (end > 0 && isSpace(line[end - 1])) --end;
  }
  if (end == 0 || line[end - 1] != ']') return false;
  std::size_t arrayEnd = end - 1;  // position of the final "]"; the group's "]" lies before it
  while (arrayEnd > 0 && isSpace(line[arrayEnd - 1])) --arrayEnd;
  if (arrayEnd == 0 || line[arrayEnd - 1] != ']') return false;
  std::size_t arrayClose = arrayEnd - 1;
  // The last line break before the array's "]": the array's `.*` must not cross it.
  const bool anyLineBreak = containsLineBreak(line);
  const std::size_t lastBreakBeforeClose = anyLineBreak ? lastLineBreakBefore(line, arrayClose) : npos;

  // A quote q can close the function name when `"\s*,\s*\[` follows it and that "[" opens a
  // well-formed array group; returns the "[" position or npos.
  auto arrayOpenAfter = [&](std::size_t quote) -> std::size_t {
    std::size_t pos = skipSpaces(line, quote + 1);
    if (pos >= line.size() || line[pos] != ',') return npos;
    pos = skipSpaces(line, pos + 1);
    if (pos >= line.size() || line[pos] != '[' || pos >= arrayClose) return npos;
    if (lastBreakBeforeClose != npos && lastBreakBeforeClose > pos) return npos;
    return pos;
  };

  // Candidate function-name starts never move left, so the search for the first quote that
  // can close the function name resumes where it stopped.
  std::size_t scanned = 0;
  std::size_t goodQuote = npos;
  std::size_t goodArrayOpen = npos;
  auto firstClosingQuoteFrom = [&](std::size_t start) -> std::size_t {
    if (goodQuote != npos && goodQuote >= start) return goodQuote;
    std::size_t pos = start > scanned ? start : scanned;
    for (; pos < line.size(); ++pos) {
      if (line[pos] != '"') continue;
      std::size_t open = arrayOpenAfter(pos);
      if (open != npos) {
        scanned = pos + 1;
        goodQuote = pos;
        goodArrayOpen = open;
        return pos;
      }
    }
    scanned = line.size();
    goodQuote = npos;
    return npos;
  };
  LineBreakFinder breaks(line, anyLineBreak);

  for (std::size_t quote = 1; quote < line.size() && !isLineBreak(line[quote]); ++quote) {
    if (line[quote] != '"') continue;
    std::size_t pos = matchCommandWord(line, quote);
    if (pos == npos || pos >= line.size() || line[pos] != '[') continue;
    pos = skipSpaces(line, pos + 1);
    if (pos >= line.size() || line[pos] != '"') continue;
    std::size_t functionStart = pos + 1;
    std::size_t functionEnd = firstClosingQuoteFrom(functionStart);
    if (functionEnd == npos) return false;  // no later start can find one either
    std::size_t lineBreak = breaks.firstFrom(functionStart);
    if (lineBreak != npos && lineBreak < functionEnd) continue;
    *match = CommandMatch{};
    match->kind = CommandKind::ArgumentCall;
    match->extension = line.substr(1, quote - 1);
    match->function = line.substr(functionStart, functionEnd - functionStart);
    match->array = line.substr(goodArrayOpen, arrayClose - goodArrayOpen + 1);
    match->hasSemicolon = hasSemicolon;
    return true;
  }
  return false;
}

bool matchFunctionCall(std::string_view line, CommandMatch* match) {
  if (line.empty() || line[0] != '"') return false;
  std::size_t close = closingQuoteBeforeTail(line);
  bool hasSemicolon = false;
  if (close == npos || close == 0 || !matchTail(line, close + 1, &hasSemicolon)) return false;
  const std::size_t lastBreakBeforeClose = containsLineBreak(line) ? lastLineBreakBefore(line, close) : npos;
  for (std::size_t quote = 1; quote < close && !isLineBreak(line[quote]); ++quote) {
    if (line[quote] != '"') continue;
    std::size_t open = matchCommandWord(line, quote);
    if (open == npos || open >= close || line[open] != '"') continue;
    if (lastBreakBeforeClose != npos && lastBreakBeforeClose > open) continue;
    *match = CommandMatch{};
    match->kind = CommandKind::FunctionCall;
    match->extension = line.substr(1, quote - 1);
    match->function = line.substr(open + 1, close - open - 1);
    match->hasSemicolon = hasSemicolon;
    return true;
  }
  return false;
}

bool matchFreeExtension(std::string_view line, CommandMatch* match) {
  return matchKeywordWithQuotedOperand(line, "freeextension", CommandKind::FreeExtension, match);
}

bool matchExecVM(std::string_view line, CommandMatch* match) {
  return matchKeywordWithQuotedOperand(line, "execvm", CommandKind::ExecVM, match);
}

bool matchExit(std::string_view line, CommandMatch* match) {
  bool hasSemicolon = false;
  if (!hasWordAt(line, 0, "exit") || !matchTail(line, 4, &hasSemicolon)) return false;
  *match = CommandMatch{};
  match->kind = CommandKind::Exit;
  match->hasSemicolon = hasSemicolon;
  return true;
}

namespace {

// Matches `<word>(?:(?=[\s;<open>])\s*(.*?))?\s*(;)?\s*$`: the word, then the rest as the operand.
bool matchWordWithRest(std::string_view line, std::string_view word, char open, CommandKind kind,
                       CommandMatch* match) {
  if (!hasWordAt(line, 0, word)) return false;
  const std::size_t after = word.size();
  if (line.size() > after && !isSpace(line[after]) && line[after] != open && line[after] != ';') {
    return false;
  }
  const std::size_t start = skipSpaces(line, after);
  std::size_t end = line.size();
  while (end > start && isSpace(line[end - 1])) --end;
  const bool hasSemicolon = end > start && line[end - 1] == ';';
  if (hasSemicolon) {
    --end;
    while (end > start && isSpace(line[end - 1])) --end;
  }
  if (!noLineBreak(line, start, end)) return false;
  *match = CommandMatch{};
  match->kind = kind;
  match->operand = line.substr(start, end - start);
  match->hasSemicolon = hasSemicolon;
  return true;
}

}  // namespace

bool matchSetContext(std::string_view line, CommandMatch* match) {
  return matchWordWithRest(line, "setcontext", '[', CommandKind::SetContext, match);
}

// Only a blank or the semicolon may follow the word (a blank stands in for the opening character).
bool matchCallTimeLimit(std::string_view line, CommandMatch* match) {
  return matchWordWithRest(line, "calltimelimit", ' ', CommandKind::CallTimeLimit, match);
}

bool matchSleep(std::string_view line, SleepMatch* match) {
  if (!hasWordAt(line, 0, "sleep")) return false;
  std::size_t start = skipRequiredSpaces(line, 5);
  if (start == npos) return false;
  std::size_t pos = start;
  while (pos < line.size() && isDigit(line[pos])) ++pos;
  if (pos == start) return false;
  if (pos < line.size() && line[pos] == '.') {
    std::size_t fraction = pos + 1;
    pos = fraction;
    while (pos < line.size() && isDigit(line[pos])) ++pos;
    if (pos == fraction) return false;
  }
  bool hasSemicolon = false;
  if (!matchTail(line, pos, &hasSemicolon)) return false;
  match->seconds = line.substr(start, pos - start);
  match->hasSemicolon = hasSemicolon;
  return true;
}

bool matchComment(std::string_view line) {
  return line.size() >= 2 && line[0] == '/' && line[1] == '/' && noLineBreak(line, 2, line.size());
}

CommandMatch recogniseCommand(std::string_view line) {
  CommandMatch match;
  if (matchArgumentCall(line, &match) || matchFunctionCall(line, &match) ||
      matchFreeExtension(line, &match) || matchExecVM(line, &match) || matchExit(line, &match) ||
      matchSetContext(line, &match) || matchCallTimeLimit(line, &match)) {
    return match;
  }
  return CommandMatch{};
}
