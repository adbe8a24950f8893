// Tab completion: which words may complete the word under the cursor, by its place in the line
// and the table of commands.
#include "console/completion.h"

#include <algorithm>
#include <string_view>

#include "commands/dispatch.h"
#include "extensions/extension_registry.h"
#include "platform/platform.h"
#include "values/plain_text.h"

namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lowerAscii(text[i]) != lowerAscii(prefix[i])) return false;
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// Whether `prefix` is `keyword`, white space, and an opening quote (any letter case).
bool isKeywordThenQuote(std::string_view prefix, std::string_view keyword) {
  if (!startsWithIgnoringCase(prefix, keyword) || prefix.size() < keyword.size() + 2) return false;
  std::size_t pos = keyword.size();
  if (!isSpace(prefix[pos])) return false;
  while (pos < prefix.size() && isSpace(prefix[pos])) ++pos;
  return pos == prefix.size() - 1 && prefix.back() == '"';
}

// Whether `prefix` is a quoted extension name followed by white space.
bool isQuotedNameThenSpace(std::string_view prefix) {
  if (prefix.size() < 3 || prefix[0] != '"' || !isSpace(prefix.back())) return false;
  std::size_t close = prefix.find('"', 1);
  if (close == std::string_view::npos) return false;
  for (std::size_t i = close + 1; i < prefix.size(); ++i) {
    if (!isSpace(prefix[i])) return false;
  }
  return close + 1 < prefix.size();
}

void addMatching(std::vector<std::string>* out, const std::vector<std::string>& words,
                 std::string_view word) {
  for (const std::string& candidate : words) {
    if (startsWithIgnoringCase(candidate, word)) out->push_back(candidate);
  }
}

std::vector<std::string> completePath(std::string_view word) {
  std::size_t slash = word.rfind('/');
  std::string directory(slash == std::string_view::npos ? std::string_view() : word.substr(0, slash + 1));
  std::string_view base = slash == std::string_view::npos ? word : word.substr(slash + 1);
  std::vector<std::string> entries;
  std::vector<std::string> out;
  if (!platform::listDirectory(directory, &entries)) return out;
  for (const std::string& entry : entries) {
    if (entry.compare(0, base.size(), base) == 0) out.push_back(directory + entry);
  }
  return out;
}

}  // namespace

std::vector<std::string> completeCommandLine(const std::string& line, std::size_t wordStart,
                                             std::size_t wordEnd) {
  wordStart = std::min(wordStart, line.size());
  wordEnd = std::min(std::max(wordEnd, wordStart), line.size());
  std::string_view prefix(line.data(), wordStart);
  std::string_view word(line.data() + wordStart, wordEnd - wordStart);
  std::vector<std::string> out;
  if (prefix == "\"") addMatching(&out, extensionRegistry.loadedNames(), word);
  // A command's completion word is offered where its usage line has it: at the start of the
  // line, or after a quoted extension name. The quoted operand after a leading word completes
  // to what its placeholder names.
  for (const CommandRow& command : commandTable()) {
    std::string_view usage = command.usage;
    std::string_view keyword = command.completionWord;
    if (keyword.empty()) continue;
    bool leading = usage.substr(0, keyword.size()) == keyword;
    if (leading && prefix.empty()) {
      addMatching(&out, {std::string(keyword)}, word);
    } else if (!leading && usage.starts_with("\"<name>\" ") && isQuotedNameThenSpace(prefix)) {
      addMatching(&out, {std::string(keyword)}, word);
    } else if (leading && isKeywordThenQuote(prefix, keyword)) {
      std::string_view operand = usage.substr(keyword.size());
      if (operand.starts_with(" \"<name>\"")) {
        addMatching(&out, extensionRegistry.loadedNames(), word);
      }
      if (operand.starts_with(" \"<script>\"")) {
        std::vector<std::string> paths = completePath(word);
        out.insert(out.end(), paths.begin(), paths.end());
      }
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}
