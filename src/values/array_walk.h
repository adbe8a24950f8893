// The grammar of array literals, shared by the two readers: the argument-text writer the
// host uses and the value-tree builder the tests, fuzzers and benchmarks use as reference.
#ifndef INVOKEMODULE_VALUES_ARRAY_WALK_H_
#define INVOKEMODULE_VALUES_ARRAY_WALK_H_

#include <cstddef>
#include <cstring>
#include <string_view>

namespace array_walk {

// Character classes of the "C" locale; bytes of 0x80 and above belong to none of them.
inline bool isWhitespace(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');  // \t \n \v \f \r
}
inline bool isLetter(char byte) { return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'); }
inline bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }

// Compares a letter-only `word` with `item` in any letter case. OR-ing 0x20 lower-cases a
// letter and maps no other byte onto a lower-case letter except that letter's upper case.
inline bool equalsWordAnyCase(std::string_view item, std::string_view word) {
  if (item.size() != word.size()) return false;
  for (std::size_t i = 0; i < item.size(); ++i) {
    if ((item[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// Whether a word item is nil as the user would write it: in any letter case, white space
// behind it allowed.
inline bool isWordNil(std::string_view item) {
  while (!item.empty() && isWhitespace(item.back())) item.remove_suffix(1);
  return equalsWordAnyCase(item, "nil");
}

// Finds the end of the string whose opening quote is at text[cursor]: a doubled quote
// stands for one quote, any other quote closes the string. Answers false when the input
// ends inside the string, with `cursor` at `length`; otherwise leaves `cursor` on the
// closing quote.
inline bool findStringEnd(const char* text, std::size_t length, std::size_t& cursor) {
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
inline std::size_t itemSize(const char* text, std::size_t length, std::size_t cursor) {
  std::size_t end = cursor;
  while (end < length && text[end] != ',' && text[end] != ']') ++end;
  return end - cursor;
}

// Walks the array literal whose opening "[" is at text[cursor] and tells `sink` what it
// finds, in order: beginArray(at) and endArray(at) around each nested array (`at` its
// bracket), and one of nil(source, written), boolean(b, item), number(item) or
// string(quoted) for every other item, where `item` is a word's or a number item's text, `quoted` a string's
// source text from its opening to its closing quote, `source` the text of an item that could not be read and
// `written` true when that text is the word nil itself. Answers true with `cursor` on the outer "]", or false
// when the input runs out first (the sink's work is then to be dropped), with `cursor` at or past `length`.
// Nested arrays are counted, not recursed into; the sinks keep their own stacks of open arrays on the heap.
template <class Sink>
inline bool walkArrayLiteral(const char* text, std::size_t length, std::size_t& cursor, Sink& sink) {
  if (cursor >= length || ++cursor >= length) return false;  // step over the "["
  std::size_t depth = 0;                                     // nested arrays open inside the outer one
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

}  // namespace array_walk

#endif  // INVOKEMODULE_VALUES_ARRAY_WALK_H_
