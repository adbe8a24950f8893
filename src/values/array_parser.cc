// Array literal parser: one walk over the literal, without recursion, that either builds
// the tree of Game values or writes the argument texts directly.
#include "values/array_parser.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "values/number_text.h"
#include "values/value_arena.h"

namespace {

// Character classes of the "C" locale; bytes of 0x80 and above belong to none of them.
bool isWhitespace(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');  // \t \n \v \f \r
}
bool isLetter(char byte) { return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'); }
bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }

// Compares a letter-only `word` with `item` in any letter case. OR-ing 0x20 lower-cases a
// letter and maps no other byte onto a lower-case letter except that letter's upper case.
bool equalsWordAnyCase(std::string_view item, std::string_view word) {
  if (item.size() != word.size()) return false;
  for (std::size_t i = 0; i < item.size(); ++i) {
    if ((item[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// Whether a word item is nil as the user would write it: in any letter case, white space
// behind it allowed.
bool isWordNil(std::string_view item) {
  while (!item.empty() && isWhitespace(item.back())) item.remove_suffix(1);
  return equalsWordAnyCase(item, "nil");
}

// Finds the end of the string whose opening quote is at text[cursor]: a doubled quote
// stands for one quote, any other quote closes the string. Answers false when the input
// ends inside the string, with `cursor` at `length`; otherwise leaves `cursor` on the
// closing quote.
bool findStringEnd(const char* text, std::size_t length, std::size_t& cursor) {
  ++cursor;
  while (cursor < length) {
    const void* found = std::memchr(text + cursor, '"', length - cursor);
    if (found == nullptr) break;
    const auto quote = static_cast<std::size_t>(static_cast<const char*>(found) - text);
    if (quote + 1 < length && text[quote + 1] == '"') {
      cursor = quote + 2;
      continue;
    }
    cursor = quote;
    return true;
  }
  cursor = length;
  return false;
}

// Number of bytes from text[cursor] up to the first "," or "]", or to `length`.
std::size_t itemSize(const char* text, std::size_t length, std::size_t cursor) {
  std::size_t end = cursor;
  while (end < length && text[end] != ',' && text[end] != ']') ++end;
  return end - cursor;
}

// Walks the array literal whose opening "[" is at text[cursor] and tells `sink` what it
// finds, in order: beginArray(at) and endArray(at) around each nested array (`at` its
// bracket), and one of nil(source, written), boolean(b, item), number(item) or
// string(quoted) for every other item,
// where `item` is a number item's text, `quoted` a string's source text from its opening to
// its closing quote, `source` the text of an item that could not be read and `written` true
// when that text is the word nil itself. Answers true with `cursor` on the outer "]", or false when the input
// runs out first (the sink's work is then to be dropped), with `cursor` at or past
// `length`. Nested arrays are counted, not recursed into; the sinks keep their own
// stacks of open arrays on the heap.
template <class Sink>
bool walkArrayLiteral(const char* text, std::size_t length, std::size_t& cursor, Sink& sink) {
  if (cursor >= length || ++cursor >= length) return false;  // step over the "["
  std::size_t depth = 0;  // nested arrays open inside the outer one
  for (;;) {
    while (cursor < length && isWhitespace(text[cursor])) ++cursor;
    if (cursor >= length) return false;  // ended inside an array

    const char byte = text[cursor];
    if (byte == ',') {
      // A separator adds nothing, however many there are.
    } else if (byte == ']') {
      if (depth == 0) return true;  // `cursor` stays on the outer "]"
      --depth;
      sink.endArray(text + cursor);
    } else if (byte == '[') {
      ++depth;
      sink.beginArray(text + cursor);
      if (++cursor >= length) return false;
      continue;  // the byte after "[" starts the nested array's first item
    } else if (byte == '"') {
      // A string counts only when "," or "]" follows its closing quote directly; the byte
      // after the quote starts the next item either way.
      const std::size_t opening = cursor;
      if (!findStringEnd(text, length, cursor)) return false;
      const char after = cursor + 1 < length ? text[cursor + 1] : '\0';
      const std::string_view quoted(text + opening, cursor + 1 - opening);
      if (after == ',' || after == ']') {
        sink.string(quoted);
      } else {
        sink.nil(quoted, false);
      }
    } else {
      // A word or a number runs to the next "," or "]"; white space behind it is part of
      // it. A word is true or false in any letter case; a number ends in a digit.
      const std::string_view item(text + cursor, itemSize(text, length, cursor));
      if (isLetter(byte)) {
        if (equalsWordAnyCase(item, "true")) {
          sink.boolean(true, item);
        } else if (equalsWordAnyCase(item, "false")) {
          sink.boolean(false, item);
        } else {
          sink.nil(item, isWordNil(item));
        }
      } else if (isDigit(item.back())) {
        sink.number(item);
      } else {
        sink.nil(item, false);
      }
      cursor += item.size() - 1;  // onto the item's last byte
    }
    if (++cursor >= length) return false;  // ended inside an array
  }
}

// Builds the tree of values. The items of every open array wait on one stack, `items_`;
// `openStarts_` holds where each open nested array's first item is. When an array closes,
// its items move into an element vector of exactly their number, and the array becomes
// the next item of its parent; the outer array's items are what remains.
class TreeBuilder {
 public:
  explicit TreeBuilder(std::size_t length) : arena_(ValueArena::create()) {
    // Items take at least two bytes each ("1,"); an eighth of the length as a first guess
    // spares a long literal most of the regrowth of `items_`.
    items_.reserve(length / 8);
  }
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;
  // The parse's hold on the arena ends here; the values made keep it alive.
  ~TreeBuilder() { arena_->release(); }

  void beginArray(const char*) { openStarts_.push_back(items_.size()); }
  void endArray(const char*) {
    GameTypePtr nested = make<GameArray>();
    const auto first = items_.begin() + static_cast<std::ptrdiff_t>(openStarts_.back());
    static_cast<GameArray&>(*nested).elements.assign(std::make_move_iterator(first),
                                                     std::make_move_iterator(items_.end()));
    items_.erase(first, items_.end());
    openStarts_.pop_back();
    items_.push_back(std::move(nested));
  }
  void nil(std::string_view, bool) { items_.push_back(make<GameType>()); }
  void boolean(bool value, std::string_view) { items_.push_back(make<GameBool>(value)); }
  void number(std::string_view item) { items_.push_back(make<GameScalar>(numberFromText(item))); }
  void string(std::string_view quoted) {
    // Between the quotes every quote character is doubled: keep one of each pair.
    std::string value;
    const char* next = quoted.data() + 1;
    const char* const end = quoted.data() + quoted.size() - 1;
    while (next != end) {
      const auto* quote = static_cast<const char*>(
          std::memchr(next, '"', static_cast<std::size_t>(end - next)));
      if (quote == nullptr) {
        value.append(next, end);
        break;
      }
      value.append(next, quote + 1);
      next = quote + 2;
    }
    items_.push_back(make<GameString>(std::move(value)));
  }

  GameArray result() {
    GameArray array;
    array.elements = std::move(items_);
    return array;
  }

 private:
  // Each value is made in one allocation with its reference counts, from the arena.
  template <class Value, class... Arguments>
  GameTypePtr make(Arguments&&... arguments) {
    return std::allocate_shared<Value>(ArenaAllocator<Value>(arena_),
                                       std::forward<Arguments>(arguments)...);
  }

  ValueArena* arena_;
  std::vector<GameTypePtr> items_;
  std::vector<std::size_t> openStarts_;
};

}  // namespace

// Writes the argument texts: each top-level item's text form, nested arrays included,
// followed by a NUL, all into one buffer, recording where each text starts.
//
// The buffer is reserved up front for twice the literal's length: no item's text is longer
// than twice the item with the separator behind it (the worst are a one-byte item printing as
// "nil" and "1e5" printing as "100000"), so the buffer never moves and the start pointers
// are taken as the texts are written. Should it ever have to grow, the pointers are moved
// along with it. The pointers are reserved for the most items the literal can hold (one byte
// and a separator each), so they never move either. Reserved pages that are never written
// cost no memory. The texts written into are emptied first, their memory kept.
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
    texts_.starts_.reserve(length / 2 + 1);
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
    if (bytes.capacity() - bytes.size() >= n) [[likely]] return;
    grow(n);
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    std::string& bytes = texts_.bytes_;
    std::vector<std::size_t> offsets;
    offsets.reserve(texts_.starts_.size());
    for (const char* start : texts_.starts_) offsets.push_back(static_cast<std::size_t>(start - bytes.data()));
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

  ArgumentTexts& texts_;         // texts_.openCounts_: items so far in each open nested array
  ArgumentProblems* problems_;   // null when nobody asked
  std::size_t length_;           // of the literal
  char* place_ = nullptr;        // written in place: the literal's first byte, else null
  char* out_ = nullptr;          // written in place: where the next byte goes
  const char* unread_ = nullptr;  // written in place: the first byte of the literal not yet read
};

GameArray parseGameArray(const char* text, std::size_t length, std::size_t& cursor) {
  TreeBuilder builder(length);
  if (!walkArrayLiteral(text, length, cursor, builder)) return GameArray();
  return builder.result();
}

namespace {

void writeArgumentTexts(const char* text, std::size_t length, std::size_t& cursor,
                        ArgumentTexts* texts, ArgumentProblems* problems, char* place) {
  ArgumentTextWriter writer(*texts, length, problems);
  if (place != nullptr) {
    writer.writeInPlace(place);
  } else {
    writer.writeIntoBuffer();
  }
  if (!walkArrayLiteral(text, length, cursor, writer)) {
    if (problems != nullptr) *problems = ArgumentProblems{{}, 0, true};
    texts->clear();
    return;
  }
  writer.finish();
}

}  // namespace

void argumentTextsOfLiteral(const char* text, std::size_t length, std::size_t& cursor,
                            ArgumentTexts* texts, ArgumentProblems* problems) {
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
