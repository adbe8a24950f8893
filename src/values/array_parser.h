// Array literal parser: reads an array in the game's notation, e.g. [1, "two", true, [3]],
// straight into the argument texts an extension is handed. The reading rules are those of
// parseGameArray (values/game_array_parser.h), the reference it is tested against.
#ifndef INVOKEMODULE_VALUES_ARRAY_PARSER_H_
#define INVOKEMODULE_VALUES_ARRAY_PARSER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Argument texts kept together: each text followed by a NUL, in one buffer, and a pointer to
// the start of each, as RVExtensionArgs takes them. The buffer is always on the heap, so the
// pointers stay valid when the texts are moved; they die with the texts.
class ArgumentTexts {
 public:
  std::size_t size() const { return starts_.size(); }
  // The text of argument `index`, without its NUL (it may hold NUL bytes of its own).
  std::string_view text(std::size_t index) const {
    const char* end = index + 1 < starts_.size() ? starts_[index + 1] : bytes_.data() + bytes_.size();
    return std::string_view(starts_[index], static_cast<std::size_t>(end - starts_[index] - 1));
  }
  // The argument vector for RVExtensionArgs: size() pointers to NUL-terminated texts.
  const char** argv() { return starts_.data(); }
  const std::vector<const char*>& pointers() const { return starts_; }

 private:
  friend class ArgumentTextWriter;
  std::string bytes_;
  std::vector<const char*> starts_;  // into bytes_
};

// The argument texts of the same literal, without building its values: exactly the texts
// that parseGameArray(text, length, cursor).argumentList() gives (values/game_array_parser.h), one per top-level
// element, with `cursor` left where parseGameArray leaves it. Several times faster, for
// callers that need only the texts.
ArgumentTexts argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor);

#endif  // INVOKEMODULE_VALUES_ARRAY_PARSER_H_
