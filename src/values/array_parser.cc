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

#include "platform/platform.h"
#include "values/array_walk.h"
#include "values/number_text.h"

// Writes the argument texts: each top-level item's text form, nested arrays included,
// followed by a NUL, all into one buffer, recording where each text starts.
//
// The buffer is reserved up front for twice the literal's length: no item's text is longer
// than twice the item with the separator behind it (the worst are a one-byte item printing as
// "nil" and "1e5" printing as "100000"), so the buffer never moves and the start pointers
// are taken as the texts are written. Should it ever have to grow, the pointers are moved
// along with it. The pointers are reserved for the most items the literal can hold (one byte
// and a separator each) and the null pointer that ends them, so they never move either. Reserved pages that
// are never written cost no memory. The texts written into are emptied first, their memory kept.
//
// Written in place, the texts go over the literal itself, behind the walk: every byte written
// stands for a byte of the literal already read (an item's text for its source, a "," or NUL
// for a separator, a bracket for a bracket), so the texts never catch up with the unread rest,
// except where an item's text is longer than its source (a "nil" for a shorter item, a number
// not written as it prints). Each write is checked against the first byte not yet read; the
// first that would reach it moves the texts written so far into the buffer, and the rest is
// written there as above.
class ArgumentTextWriter {
 public:
  ArgumentTextWriter(ArgumentTexts& texts, std::size_t length, ArgumentProblems* problems)
      : texts_(texts), problems_(problems), length_(length) {
    texts_.clear();
    texts_.starts_.reserve(length / 2 + 2);
    platform::adviseLargePages(texts_.starts_.data(), texts_.starts_.capacity() * sizeof(const char*));
  }
  // Writes over the literal from `literal` on (before the walk starts); else into the buffer.
  void writeInPlace(char* literal) { place_ = out_ = literal; }
  void writeIntoBuffer() { reserveBytes(2 * length_ + 64); }  // off the small-string buffer too
  // After a walk written in place: where the texts end.
  void finish() {
    if (place_ != nullptr) texts_.placeEnd_ = out_;
  }

  void beginArray(const char* at) {
    startItem(at + 1, at + 1);
    put('[');
    texts_.openCounts_.push_back(0);
  }
  void endArray(const char* at) {
    unread_ = at + 1;
    put(']');
    texts_.openCounts_.pop_back();
    endItem();
  }
  void nil(std::string_view source, bool written) {
    startItem(source);
    if (!written && problems_ != nullptr) noteNil(source);  // read before it is written over
    put("nil");
    endItem();
  }
  void boolean(bool value, std::string_view source) {
    startItem(source);
    put(value ? "true" : "false");
    endItem();
  }
  void number(std::string_view item) {
    startItem(item);
    // Most numbers are typed the way they print; those need no conversion.
    if (isNumberTextAsPrinted(item)) {
      put(item);
    } else {
      std::string printed;  // short enough for the small-string buffer
      appendNumber(printed, numberFromText(item));
      put(printed);
    }
    endItem();
  }
  void string(std::string_view quoted) {
    startItem(quoted);
    put(quoted);  // exactly as quoteString writes the string it holds
    endItem();
  }

 private:
  void put(char c) { put(std::string_view(&c, 1)); }
  void put(std::string_view text) {
    if (place_ != nullptr) {
      if (text.size() <= static_cast<std::size_t>(unread_ - out_)) [[likely]] {
        std::memmove(out_, text.data(), text.size());  // an item's own text may overlap it
        out_ += text.size();
        return;
      }
      leavePlace();
    }
    makeRoom(text.size());
    texts_.bytes_ += text;
  }
  // Moves the texts written in place into the buffer, where the rest is written.
  [[gnu::noinline]] void leavePlace() {
    std::string& bytes = texts_.bytes_;
    reserveBytes(static_cast<std::size_t>(out_ - place_) + 2 * length_ + 64);
    bytes.assign(place_, out_);
    for (const char*& start : texts_.starts_) start = bytes.data() + (start - place_);
    place_ = nullptr;
  }
  void reserveBytes(std::size_t size) {
    texts_.bytes_.reserve(size);
    platform::adviseLargePages(texts_.bytes_.data(), texts_.bytes_.capacity());
  }
  // Grows the buffer when `n` more bytes would not fit, moving the start pointers along.
  void makeRoom(std::size_t n) {
    std::string& bytes = texts_.bytes_;
    if (bytes.capacity() - bytes.size() >= n) [[likely]]
      return;
    grow(n);
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    std::string& bytes = texts_.bytes_;
    std::vector<std::size_t> offsets;
    offsets.reserve(texts_.starts_.size());
    for (const char* start : texts_.starts_)
      offsets.push_back(static_cast<std::size_t>(start - bytes.data()));
    bytes.reserve(2 * (bytes.size() + n));
    for (std::size_t i = 0; i < offsets.size(); ++i) texts_.starts_[i] = bytes.data() + offsets[i];
  }
  // A top-level item starts a new text; inside an array an item after the first is
  // preceded by ",". The item's source, read already, runs from `first` to `unreadAfter`:
  // the "," must not reach it, the item's text must not pass it.
  void startItem(const char* first, const char* unreadAfter) {
    unread_ = first;
    if (texts_.openCounts_.empty()) {
      if (place_ != nullptr) {
        texts_.starts_.push_back(out_);
      } else {
        makeRoom(1);
        texts_.starts_.push_back(texts_.bytes_.data() + texts_.bytes_.size());
      }
    } else if (texts_.openCounts_.back()++ != 0) {
      put(',');
    }
    unread_ = unreadAfter;
  }
  void startItem(std::string_view source) { startItem(source.data(), source.data() + source.size()); }
  // A top-level item ends its text.
  void endItem() {
    if (texts_.openCounts_.empty()) put('\0');
  }

  // Records an item passed as nil: its position (the top-level item, then its place in each
  // open nested array, all counted from 1) and the start of its text.
  void noteNil(std::string_view source) {
    if (problems_->nilCount++ >= ArgumentProblems::kNamed) return;
    ArgumentProblems::Item item;
    item.position = std::to_string(texts_.starts_.size());
    for (std::size_t count : texts_.openCounts_) {
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

  ArgumentTexts& texts_;          // texts_.openCounts_: items so far in each open nested array
  ArgumentProblems* problems_;    // null when nobody asked
  std::size_t length_;            // of the literal
  char* place_ = nullptr;         // written in place: the literal's first byte, else null
  char* out_ = nullptr;           // written in place: where the next byte goes
  const char* unread_ = nullptr;  // written in place: the first byte of the literal not yet read
};

namespace {

void writeArgumentTexts(const char* text, std::size_t length, std::size_t& cursor, ArgumentTexts* texts,
                        ArgumentProblems* problems, char* place) {
  ArgumentTextWriter writer(*texts, length, problems);
  if (place != nullptr) {
    writer.writeInPlace(place);
  } else {
    writer.writeIntoBuffer();
  }
  if (!array_walk::walkArrayLiteral(text, length, cursor, writer)) {
    if (problems != nullptr) *problems = ArgumentProblems{{}, 0, true};
    texts->clear();
    return;
  }
  writer.finish();
}

}  // namespace

void argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor, ArgumentTexts* texts,
                            ArgumentProblems* problems) {
  writeArgumentTexts(text, length, cursor, texts, problems, nullptr);
}

void argumentTextsInPlace(char* text, std::size_t length, std::size_t& cursor, ArgumentTexts* texts,
                          ArgumentProblems* problems) {
  writeArgumentTexts(text, length, cursor, texts, problems, text + cursor);
}

ArgumentTexts argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor,
                                     ArgumentProblems* problems) {
  ArgumentTexts texts;
  argumentTextsOfLiteral(text, length, cursor, &texts, problems);
  return texts;
}
