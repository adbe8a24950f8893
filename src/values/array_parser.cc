// Array literal parser: turns an array literal into a tree of Game values, without recursion.
#include "values/array_parser.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
bool equalsWordAnyCase(const char* item, std::size_t size, std::string_view word) {
  if (size != word.size()) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if ((item[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// Makes the values of one parse, each in one allocation with its reference counts, from
// one arena. The parse's hold on the arena ends with the maker; the values keep it alive.
class ValueMaker {
 public:
  ValueMaker() : arena_(ValueArena::create()) {}
  ValueMaker(const ValueMaker&) = delete;
  ValueMaker& operator=(const ValueMaker&) = delete;
  ~ValueMaker() { arena_->release(); }

  template <class Value, class... Arguments>
  GameTypePtr make(Arguments&&... arguments) {
    return std::allocate_shared<Value>(ArenaAllocator<Value>(arena_),
                                       std::forward<Arguments>(arguments)...);
  }

  // The number item of `size` bytes: a number when its last byte is a digit, else nil.
  GameTypePtr numberItem(const char* item, std::size_t size) {
    if (!isDigit(item[size - 1])) return make<GameType>();
    return make<GameScalar>(numberFromText(std::string_view(item, size)));
  }

  // The word item (begins with a letter): true or false in any letter case, else nil.
  GameTypePtr wordItem(const char* item, std::size_t size) {
    if (equalsWordAnyCase(item, size, "true")) return make<GameBool>(true);
    if (equalsWordAnyCase(item, size, "false")) return make<GameBool>(false);
    return make<GameType>();
  }

 private:
  ValueArena* arena_;
};

// Reads the string whose opening quote is at text[cursor] into `value`: a doubled quote
// stands for one quote, any other quote closes the string. Answers false when the input
// ends inside the string, with `cursor` at `length`. Otherwise `cursor` is left on the
// closing quote and `delimited` tells whether "," or "]" follows it directly.
bool readString(const char* text, std::size_t length, std::size_t& cursor, std::string& value,
                bool& delimited) {
  ++cursor;
  while (cursor < length) {
    const void* found = std::memchr(text + cursor, '"', length - cursor);
    if (found == nullptr) break;
    const auto quote = static_cast<std::size_t>(static_cast<const char*>(found) - text);
    value.append(text + cursor, quote - cursor);
    const char after = quote + 1 < length ? text[quote + 1] : '\0';
    if (after == '"') {
      value += '"';
      cursor = quote + 2;
      continue;
    }
    cursor = quote;
    delimited = after == ',' || after == ']';
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

}  // namespace

GameArray parseGameArray(const char* text, std::size_t length, std::size_t& cursor) {
  // The items of every open array wait on one stack, `items`; `openStarts` holds the
  // index in `items` where each open array's first item is, the outermost first. When an
  // array closes, its items move into an element vector of exactly their number, and the
  // array itself becomes the next item of its parent. Nothing recurses, however deep the
  // nesting; input that ends inside any array drops everything read.
  ValueMaker maker;
  std::vector<GameTypePtr> items;
  // Items take at least two bytes each ("1,"); an eighth of the length as a first guess
  // spares a long literal most of the regrowth of `items`.
  items.reserve(length / 8);
  std::vector<std::size_t> openStarts{0};
  const auto closeInto = [&](std::vector<GameTypePtr>& elements) {
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(openStarts.back());
    elements.assign(std::make_move_iterator(first), std::make_move_iterator(items.end()));
    items.erase(first, items.end());
    openStarts.pop_back();
  };

  if (cursor >= length || ++cursor >= length) return GameArray();  // step over the "["
  for (;;) {
    while (cursor < length && isWhitespace(text[cursor])) ++cursor;
    if (cursor >= length) return GameArray();  // ended inside an array

    const char byte = text[cursor];
    if (byte == ',') {
      // A separator adds nothing, however many there are.
    } else if (byte == ']') {
      if (openStarts.size() == 1) {
        GameArray result;
        result.elements = std::move(items);  // only the outer array's items are left
        return result;  // `cursor` stays on the outer "]"
      }
      GameTypePtr nested = maker.make<GameArray>();
      closeInto(static_cast<GameArray&>(*nested).elements);
      items.push_back(std::move(nested));
    } else if (byte == '[') {
      openStarts.push_back(items.size());
      if (++cursor >= length) return GameArray();
      continue;  // the byte after "[" starts the nested array's first item
    } else if (byte == '"') {
      // A string counts only when "," or "]" follows its closing quote directly; the byte
      // after the quote starts the next item either way.
      std::string value;
      bool delimited = false;
      if (!readString(text, length, cursor, value, delimited)) return GameArray();
      items.push_back(delimited ? maker.make<GameString>(std::move(value))
                                : maker.make<GameType>());
    } else {
      // A word or a number runs to the next "," or "]"; white space behind it is part of it.
      const std::size_t size = itemSize(text, length, cursor);
      items.push_back(isLetter(byte) ? maker.wordItem(text + cursor, size)
                                     : maker.numberItem(text + cursor, size));
      cursor += size - 1;  // onto the item's last byte
    }
    if (++cursor >= length) return GameArray();  // ended inside an array
  }
}
