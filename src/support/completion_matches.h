// What the line editor puts in place of the word being completed, given the candidates.
#ifndef INVOKEMODULE_SUPPORT_COMPLETION_MATCHES_H_
#define INVOKEMODULE_SUPPORT_COMPLETION_MATCHES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace support {

struct CompletionMatches {
  std::string replacement;                // the single candidate, or the candidates' common prefix
  std::vector<std::string> alternatives;  // the candidates to list; empty for a single one
  bool appendSpace = false;               // a single command word is finished by a space
};

// The matches for `candidates` (not empty) completing the word that starts at `wordStart` of
// `line`. A quoted name (the word follows a '"') is not finished by a space.
CompletionMatches completionMatches(const std::vector<std::string>& candidates, const std::string& line,
                                    std::size_t wordStart);

}  // namespace support

#endif  // INVOKEMODULE_SUPPORT_COMPLETION_MATCHES_H_
