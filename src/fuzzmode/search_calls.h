// The calls the blind search of --fuzz makes: seeds read from a script's call commands,
// variants of them in the game's own grammar, smaller variants for shrinking a finding, and
// the command line that replays a call. Pure: no extension is called here.
#ifndef INVOKEMODULE_FUZZMODE_SEARCH_CALLS_H_
#define INVOKEMODULE_FUZZMODE_SEARCH_CALLS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One call: the extension as typed, the form, the function text and, for the argument form,
// the items of the argument array as written in a literal (`1`, `"a""b"`, `[true,nil]`).
// Every text is one a script line can hold and a replay reads back the same: no line ends and
// no NUL byte anywhere, no double quote in an argument form's function name.
struct SearchCall {
  std::string extension;
  bool argumentForm = false;
  std::string function;
  std::vector<std::string> items;

  bool operator==(const SearchCall&) const = default;
};

// The array literal of the items: "[" + items joined by "," + "]".
std::string argumentLiteral(const SearchCall& call);

// The command that makes the call, in the game's syntax with the function text's quotes
// doubled: `"ext" invokeModule "text"` or `"ext" invokeModule ["fn", [items]]`.
std::string callCommandLine(const SearchCall& call);

// The call a script line commands, when it is one of the two call forms.
bool readSeedCall(std::string_view line, SearchCall* call);

// The top-level items of an array literal, each as written (blanks around it dropped).
std::vector<std::string> literalItems(std::string_view literal);

// A small deterministic generator (splitmix64): the same seed gives the same search.
class SearchRandom {
 public:
  explicit SearchRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // A number below `bound` (bound > 0).
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

// A variant of `seed`: one to three changes, each a value of the game's grammar put in, an
// argument taken away, added or doubled, a string stretched, cut or given quotes or non-ASCII
// text, or a variant of the function text (from `functions`, the seeds' texts, too).
// `outputSize` is the size of the extension's output buffer, whose edges strings reach.
SearchCall mutateCall(const SearchCall& seed, const std::vector<std::string>& functions, SearchRandom& random,
                      std::size_t outputSize);

// Calls a step smaller than `call`, the most promising first: an argument taken away, a
// string or function text shortened, an item made simpler. Each differs from `call`.
std::vector<SearchCall> smallerCalls(const SearchCall& call);

#endif  // INVOKEMODULE_FUZZMODE_SEARCH_CALLS_H_
