// Array literal parser: reads an array in the game's notation, e.g. [1, "two", true, [3]],
// into the argument texts an extension is called with.
#ifndef INVOKEMODULE_VALUES_ARRAY_PARSER_H_
#define INVOKEMODULE_VALUES_ARRAY_PARSER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Argument texts kept together: each text followed by a NUL, in one buffer, and a pointer to
// the start of each, as RVExtensionArgs takes them. The buffer is on the heap, so the
// pointers stay valid when the texts are moved; they die with the texts. Texts written in
// place lie in the literal's own memory instead and die with it too.
class ArgumentTexts {
 public:
  std::size_t size() const { return starts_.size(); }
  // The text of argument `index`, without its NUL (it may hold NUL bytes of its own).
  std::string_view text(std::size_t index) const {
    const char* end = index + 1 < starts_.size() ? starts_[index + 1]
                      : placeEnd_ != nullptr     ? placeEnd_
                                                 : bytes_.data() + bytes_.size();
    return std::string_view(starts_[index], static_cast<std::size_t>(end - starts_[index] - 1));
  }
  // The argument vector for RVExtensionArgs: size() pointers to NUL-terminated texts, and a
  // null pointer after them that lies in the vector's memory but is no element of it.
  const char** argv() {
    starts_.push_back(nullptr);
    starts_.pop_back();  // leaves the null in place: pointers have no destructor
    return starts_.data();
  }
  const std::vector<const char*>& pointers() const { return starts_; }
  // No texts; the memory is kept.
  void clear() {
    placeEnd_ = nullptr;
    bytes_.clear();
    starts_.clear();
    openCounts_.clear();
  }
  // The bytes held for texts, pointers and work space: what reusing these texts keeps.
  std::size_t capacity() const {
    return bytes_.capacity() + (starts_.capacity() + openCounts_.capacity()) * sizeof(void*);
  }

 private:
  friend class ArgumentTextWriter;
  std::string bytes_;
  const char* placeEnd_ = nullptr;       // written in place: the end of the texts, else null
  std::vector<const char*> starts_;      // into bytes_, or into the literal
  std::vector<std::size_t> openCounts_;  // the writer's work space, kept for the next literal
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

// The same, written into `texts`, whose memory is reused: once it has held a literal as long,
// reading one allocates nothing.
void argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor, ArgumentTexts* texts,
                            ArgumentProblems* problems = nullptr);

// The same, the texts written over the literal itself as it is read, so that they take no
// memory of their own; the literal's bytes are changed. Where an item's text would outgrow
// its place, the texts move into `texts`' buffer. For callers that need the literal no more.
void argumentTextsInPlace(char* text, std::size_t length, std::size_t& cursor, ArgumentTexts* texts,
                          ArgumentProblems* problems = nullptr);

#endif  // INVOKEMODULE_VALUES_ARRAY_PARSER_H_
