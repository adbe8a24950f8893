// Array literal parser: one walk over the literal, without recursion, that writes the
// argument texts directly.
#include "values/array_parser.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/array_walk.h"
#include "values/number_text.h"


// Writes the argument texts: each top-level item's text form, nested arrays included,
// followed by a NUL, all into one buffer, recording where each text starts.
//
// The buffer is reserved up front for twice the literal's length: no item's text is longer
// than twice the item with the separator behind it (the worst are a one-byte item printing as
// "nil" and "1e5" printing as "100000"), so the buffer never moves and the start pointers
// are taken as the texts are written. Should it ever have to grow, the pointers are moved
// along with it. Reserved pages that are never written cost no memory.
class ArgumentTextWriter {
 public:
  ArgumentTextWriter(std::size_t length, ArgumentProblems* problems) : problems_(problems) {
    texts_.bytes_.reserve(2 * length + 64);  // also keeps the bytes off the small-string buffer
    texts_.starts_.reserve(length / 8);
  }

  void beginArray() {
    startItem();
    put('[');
    openCounts_.push_back(0);
  }
  void endArray() {
    put(']');
    openCounts_.pop_back();
    endItem();
  }
  void nil(std::string_view source, bool written) {
    startItem();
    put("nil");
    if (!written && problems_ != nullptr) noteNil(source);
    endItem();
  }
  void boolean(bool value) {
    startItem();
    put(value ? "true" : "false");
    endItem();
  }
  void number(std::string_view item) {
    startItem();
    // Most numbers are typed the way they print; those need no conversion.
    if (isNumberTextAsPrinted(item)) {
      put(item);
    } else {
      makeRoom(kLongestNumberText);
      appendNumber(texts_.bytes_, numberFromText(item));
    }
    endItem();
  }
  void string(std::string_view quoted) {
    startItem();
    put(quoted);  // exactly as quoteString writes the string it holds
    endItem();
  }

  ArgumentTexts result() { return std::move(texts_); }

 private:
  static constexpr std::size_t kLongestNumberText = 32;

  void put(char c) {
    makeRoom(1);
    texts_.bytes_ += c;
  }
  void put(std::string_view text) {
    makeRoom(text.size());
    texts_.bytes_ += text;
  }
  // Grows the buffer when `n` more bytes would not fit, moving the start pointers along.
  void makeRoom(std::size_t n) {
    std::string& bytes = texts_.bytes_;
    if (bytes.capacity() - bytes.size() >= n) return;
    std::vector<std::size_t> offsets;
    offsets.reserve(texts_.starts_.size());
    for (const char* start : texts_.starts_) offsets.push_back(static_cast<std::size_t>(start - bytes.data()));
    bytes.reserve(2 * (bytes.size() + n));
    for (std::size_t i = 0; i < offsets.size(); ++i) texts_.starts_[i] = bytes.data() + offsets[i];
  }
  // A top-level item starts a new text; inside an array an item after the first is
  // preceded by ",".
  void startItem() {
    if (openCounts_.empty()) {
      makeRoom(1);
      texts_.starts_.push_back(texts_.bytes_.data() + texts_.bytes_.size());
    } else if (openCounts_.back()++ != 0) {
      put(',');
    }
  }
  // A top-level item ends its text.
  void endItem() {
    if (openCounts_.empty()) put('\0');
  }

  // Records an item passed as nil: its position (the top-level item, then its place in each
  // open nested array, all counted from 1) and the start of its text.
  void noteNil(std::string_view source) {
    if (problems_->nilCount++ >= ArgumentProblems::kNamed) return;
    ArgumentProblems::Item item;
    item.position = std::to_string(texts_.starts_.size());
    for (std::size_t count : openCounts_) {
      item.position += '.';
      item.position += std::to_string(count);
    }
    item.cut = source.size() > ArgumentProblems::kShownBytes;
    if (item.cut) {
      // Cut at a character's first byte, never inside a UTF-8 sequence.
      std::size_t end = ArgumentProblems::kShownBytes;
      while (end > 0 && (static_cast<unsigned char>(source[end]) & 0xC0) == 0x80) --end;
      source = source.substr(0, end);
    }
    item.text.assign(source);
    problems_->named.push_back(std::move(item));
  }

  ArgumentTexts texts_;
  std::vector<std::size_t> openCounts_;  // items so far in each open nested array
  ArgumentProblems* problems_;           // null when nobody asked
};

ArgumentTexts argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor,
                                     ArgumentProblems* problems) {
  ArgumentTextWriter writer(length, problems);
  if (!array_walk::walkArrayLiteral(text, length, cursor, writer)) {
    if (problems != nullptr) *problems = ArgumentProblems{{}, 0, true};
    return ArgumentTexts();
  }
  return writer.result();
}
