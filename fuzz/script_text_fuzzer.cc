// Fuzzes a script file's text through decoding, line splitting, trimming, the '#' and blank-line drop,
// and the pause, comment and command recognisers, with the invariants every kept line obeys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "commands/command_patterns.h"
#include "commands/script_runner.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool isTrailingSpace(char c) {
  return c == ' ' || c == '\f' || c == '\n' || c == '\r' || c == '\t' || c == '\v';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines = scriptLines(bytes);
  // The lines are those of the text the bytes decode to (byte-order mark, UTF-16).
  const std::string_view text = scriptText(bytes);

  std::size_t searchFrom = 0;
  for (const std::string& line : lines) {
    // Each kept line is non-empty, starts with something other than '#', has no line feed
    // and no trailing white space, and stands at the start of a line of the text, in order.
    require(!line.empty() && line[0] != '#' && !isTrailingSpace(line.back()));
    require(line.find('\n') == std::string::npos);
    std::size_t at = text.find(line, searchFrom);
    while (at != std::string_view::npos && at != 0 && text[at - 1] != '\n') {
      at = text.find(line, at + 1);
    }
    require(at != std::string_view::npos);
    searchFrom = at + line.size();

    SleepMatch pause;
    bool isPause = matchSleep(line, &pause);
    bool isComment = matchComment(line);
    require(!(isPause && isComment));
    if (line.size() <= 128) {
      static const std::regex sleepRe(kSleepPattern, std::regex::ECMAScript | std::regex::icase);
      static const std::regex commentRe(kCommentPattern, std::regex::ECMAScript | std::regex::icase);
      std::smatch m;
      require(std::regex_match(line, m, sleepRe) == isPause);
      if (isPause) require(m[1].str() == pause.seconds && m[2].matched == pause.hasSemicolon);
      require(std::regex_match(line, commentRe) == isComment);
    }
  }
  return 0;
}
