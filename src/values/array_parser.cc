// Array literal parser: turns an array literal into a tree of Game values, without recursion.
#include "values/array_parser.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

// Character classes of the "C" locale; bytes of 0x80 and above belong to none of them.
bool isWhitespace(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');  // \t \n \v \f \r
}
bool isLetter(char byte) { return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'); }
bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }
bool isHexDigit(char byte) {
  return isDigit(byte) || (byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F');
}

// Compares a letter-only `word` with `item` in any letter case. OR-ing 0x20 lower-cases a
// letter and maps no other byte onto a lower-case letter except that letter's upper case.
bool equalsWordAnyCase(const char* item, std::size_t size, std::string_view word) {
  if (size != word.size()) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if ((item[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// Reads an optionally signed decimal exponent at `next`, saturating far beyond any range
// that matters; answers 0 when there is none.
long long readExponent(const char* next, const char* end) {
  bool negative = false;
  if (next != end && (*next == '+' || *next == '-')) negative = *next++ == '-';
  long long exponent = 0;
  for (; next != end && isDigit(*next); ++next) {
    if (exponent < 1000000000) exponent = exponent * 10 + (*next - '0');
  }
  return negative ? -exponent : exponent;
}

// For a number text that is out of double's range, answers whether it is too large (as
// opposed to too small): the sign of its order of magnitude, in decimal or, for
// hexadecimal digits, in binary.
bool magnitudeIsLarge(const char* next, const char* end, bool hexadecimal) {
  const auto isMantissaDigit = hexadecimal ? isHexDigit : isDigit;
  const char exponentMark = hexadecimal ? 'p' : 'e';
  const long long digitWeight = hexadecimal ? 4 : 1;
  while (next != end && *next == '0') ++next;
  long long order = 0;  // order of magnitude of the leading non-zero digit
  bool found = false;
  for (; next != end && isMantissaDigit(*next); ++next) {
    found = true;
    order += digitWeight;
  }
  if (next != end && *next == '.') {
    ++next;
    if (!found) {
      for (; next != end && *next == '0'; ++next) order -= digitWeight;
    }
    while (next != end && isMantissaDigit(*next)) ++next;
  }
  if (next != end && (*next | 0x20) == exponentMark) order += readExponent(next + 1, end);
  return order > 0;
}

// Converts the text after a sign, "C" locale, as strtod does. Answers false when no
// number can be read at all.
bool readUnsignedNumber(const char* next, const char* end, double& value) {
  value = 0.0;
  if (end - next >= 2 && next[0] == '0' && (next[1] | 0x20) == 'x') {
    const char* digits = next + 2;
    const bool hasDigits =
        digits != end && (isHexDigit(*digits) ||
                          (*digits == '.' && end - digits >= 2 && isHexDigit(digits[1])));
    // Without hexadecimal digits the number is the "0" in front of the x.
    if (!hasDigits) return true;
    const std::from_chars_result read =
        std::from_chars(digits, end, value, std::chars_format::hex);
    if (read.ec == std::errc::result_out_of_range) {
      value = magnitudeIsLarge(digits, end, true) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return true;
  }
  const std::from_chars_result read = std::from_chars(next, end, value);
  if (read.ec == std::errc::result_out_of_range) {
    value = magnitudeIsLarge(next, end, false) ? std::numeric_limits<double>::infinity() : 0.0;
    return true;
  }
  return read.ec == std::errc();
}

// The number item at text[cursor] with `size` bytes.
GameTypePtr makeNumberItem(const char* item, std::size_t size) {
  if (!isDigit(item[size - 1])) return std::make_shared<GameType>();
  return std::make_shared<GameScalar>(numberFromText(std::string_view(item, size)));
}

// The word item (begins with a letter): true or false in any letter case, else nil.
GameTypePtr makeWordItem(const char* item, std::size_t size) {
  if (equalsWordAnyCase(item, size, "true")) return std::make_shared<GameBool>(true);
  if (equalsWordAnyCase(item, size, "false")) return std::make_shared<GameBool>(false);
  return std::make_shared<GameType>();
}

// Number of bytes from text[cursor] up to the first "," or "]", or to `length`.
std::size_t itemSize(const char* text, std::size_t length, std::size_t cursor) {
  std::size_t end = cursor;
  while (end < length && text[end] != ',' && text[end] != ']') ++end;
  return end - cursor;
}

}  // namespace

float numberFromText(std::string_view item) {
  const char* next = item.data();
  const char* const end = next + item.size();
  while (next != end && isWhitespace(*next)) ++next;
  bool negative = false;
  if (next != end && (*next == '+' || *next == '-')) negative = *next++ == '-';
  // With no number at all (a second sign included) strtod answers a positive zero.
  double magnitude = 0.0;
  if (next == end || *next == '+' || *next == '-' || !readUnsignedNumber(next, end, magnitude)) {
    return 0.0f;
  }
  // Storing in single precision rounds to nearest; beyond its range that is infinity.
  return static_cast<float>(negative ? -magnitude : magnitude);
}

GameArray parseGameArray(const char* text, std::size_t length, std::size_t& cursor) {
  // open.back() is the array that items are appended to; open.front() is the result.
  // A nested array is appended to its parent as soon as its "[" is read and filled in
  // place; when any array is left unterminated the whole result is dropped, so that
  // early append is never seen.
  GameArray result;
  std::vector<GameArray*> open{&result};

  if (cursor >= length || ++cursor >= length) return GameArray();  // step over the "["
  for (;;) {
    while (cursor < length && isWhitespace(text[cursor])) ++cursor;
    if (cursor >= length) return GameArray();  // ended inside an array

    std::vector<GameTypePtr>& elements = open.back()->elements;
    const char byte = text[cursor];
    if (byte == ',') {
      // A separator adds nothing, however many there are.
    } else if (byte == ']') {
      if (open.size() == 1) return result;  // `cursor` stays on the outer "]"
      open.pop_back();
    } else if (byte == '[') {
      auto nested = std::make_shared<GameArray>();
      open.push_back(nested.get());
      elements.push_back(std::move(nested));
      if (++cursor >= length) return GameArray();
      continue;  // the byte after "[" starts the nested array's first item
    } else if (byte == '"') {
      // A string: a doubled quote stands for one quote; any other quote closes it, and the
      // string counts only when "," or "]" follows directly.
      std::string value;
      ++cursor;
      bool closed = false;
      while (cursor < length) {
        const void* found = std::memchr(text + cursor, '"', length - cursor);
        if (found == nullptr) {
          cursor = length;
          break;
        }
        const std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(found) - text);
        value.append(text + cursor, quote - cursor);
        cursor = quote + 1;
        const char after = cursor < length ? text[cursor] : '\0';
        if (after == '"') {
          value += '"';
          ++cursor;
          continue;
        }
        if (after == ',' || after == ']') {
          elements.push_back(std::make_shared<GameString>(std::move(value)));
        } else {
          elements.push_back(std::make_shared<GameType>());
        }
        cursor = quote;  // the byte after the closing quote starts the next item
        closed = true;
        break;
      }
      if (!closed) return GameArray();  // ended inside a string
    } else {
      // A word or a number runs to the next "," or "]"; white space behind it is part of it.
      const std::size_t size = itemSize(text, length, cursor);
      elements.push_back(isLetter(byte) ? makeWordItem(text + cursor, size)
                                        : makeNumberItem(text + cursor, size));
      cursor += size - 1;  // onto the item's last byte
    }
    if (++cursor >= length) return GameArray();  // ended inside an array
  }
}
