// The line editor's replacement for a word being completed.
#include "support/completion_matches.h"

#include <utility>

namespace support {

CompletionMatches completionMatches(const std::vector<std::string>& candidates, const std::string& line,
                                    std::size_t wordStart) {
  CompletionMatches matches;
  bool single = candidates.size() == 1;
  bool quoted = wordStart > 0 && wordStart <= line.size() && line[wordStart - 1] == '"';
  matches.appendSpace = single && !quoted;
  if (single) {
    matches.replacement = candidates[0];
    return matches;
  }
  std::string common = candidates[0];
  for (const std::string& candidate : candidates) {
    std::size_t n = 0;
    while (n < common.size() && n < candidate.size() && common[n] == candidate[n]) ++n;
    common.resize(n);
  }
  matches.replacement = std::move(common);
  matches.alternatives = candidates;
  return matches;
}

}  // namespace support
