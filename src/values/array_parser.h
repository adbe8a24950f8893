// Array literal parser: reads an array in the game's notation, e.g. [1, "two", true, [3]],
// into the argument texts an extension is called with.
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

// What went wrong while reading a literal, for telling the user: the items that could not be
// read and were passed as nil (a nil the user wrote is no problem), or input that ended inside
// an array or string, which passes no arguments at all. Filled in only when something is wrong.
struct ArgumentProblems {
  static constexpr std::size_t kNamed = 3;        // items described; the rest are counted
  static constexpr std::size_t kShownBytes = 60;  // of an item's text
  struct Item {
    std::string position;  // "3", or "3.2" for the second item of the array that is item 3
    std::string text;      // the item's text as written, at most kShownBytes of it
    bool cut = false;      // the text was longer
  };
  std::vector<Item> named;   // the first kNamed items passed as nil
  std::size_t nilCount = 0;  // every item passed as nil
  bool unclosed = false;     // the input ended inside an array or string: no arguments

  bool any() const { return unclosed || nilCount != 0; }
};

// The argument texts of the array literal whose opening "[" is at text[cursor]: one per
// top-level element, exactly the texts that the reference parser's
// parseGameArray(text, length, cursor).argumentList() gives, one per top-level
// element, with `cursor` left where parseGameArray leaves it. Several times faster, for
// callers that need only the texts. When `problems` is given, what went wrong is told there.
ArgumentTexts argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor,
                                     ArgumentProblems* problems = nullptr);

#endif  // INVOKEMODULE_VALUES_ARRAY_PARSER_H_
