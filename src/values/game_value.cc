// Game values: text forms, argument texts and the non-recursive release of array trees.
#include "values/game_value.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <typeinfo>
#include <utility>

namespace {

// Values are only ever of the classes in game_value.h, all final below GameType, so the
// dynamic type identifies the kind exactly.
bool isArray(const GameType& value) { return typeid(value) == typeid(GameArray); }

// Appends the text of a value that is not an array.
void appendLeafText(std::string& out, const GameType& value) {
  const std::type_info& kind = typeid(value);
  if (kind == typeid(GameScalar)) {
    appendNumber(out, static_cast<const GameScalar&>(value).value);
  } else if (kind == typeid(GameString)) {
    appendQuoted(out, static_cast<const GameString&>(value).value);
  } else if (kind == typeid(GameBool)) {
    out += static_cast<const GameBool&>(value).value ? "true" : "false";
  } else {
    out += "nil";
  }
}

// Appends the array form of `root`, walking nested arrays with an explicit stack so the
// depth of nesting never reaches the call stack.
void appendArrayText(std::string& out, const GameArray& root) {
  struct Frame {
    const GameArray* array;
    std::size_t next;  // index of the next element to print
  };
  std::vector<Frame> open;
  open.push_back({&root, 0});
  out += '[';
  while (!open.empty()) {
    Frame& frame = open.back();
    const std::vector<GameTypePtr>& elements = frame.array->elements;
    if (frame.next == elements.size()) {
      out += ']';
      open.pop_back();
      continue;
    }
    if (frame.next != 0) out += ',';
    const GameType* element = elements[frame.next].get();
    ++frame.next;
    if (element == nullptr) {
      out += "nil";
    } else if (isArray(*element)) {
      out += '[';
      open.push_back({static_cast<const GameArray*>(element), 0});  // invalidates `frame`
    } else {
      appendLeafText(out, *element);
    }
  }
}

// Moves every element that is an array owned by nobody else into `pending`, then drops
// the rest. Destroying an element left behind never recurses into a deeper array.
void detachSoleArrays(std::vector<GameTypePtr>& elements, std::vector<GameTypePtr>& pending) {
  for (GameTypePtr& element : elements) {
    if (element && element.use_count() == 1 && isArray(*element)) {
      pending.push_back(std::move(element));
    }
  }
  elements.clear();
}

// Releases a tree of elements level by level: an array is emptied before it is destroyed,
// so each destructor call finds nothing to recurse into.
void releaseElements(std::vector<GameTypePtr>& elements) {
  std::vector<GameTypePtr> pending;
  detachSoleArrays(elements, pending);
  while (!pending.empty()) {
    GameTypePtr array = std::move(pending.back());
    pending.pop_back();
    detachSoleArrays(static_cast<GameArray&>(*array).elements, pending);
  }
}

// Appends the decimal digits of `magnitude` (below one million).
void appendSmallInteger(std::string& out, unsigned magnitude) {
  char digits[8];
  char* end = digits + sizeof digits;
  char* first = end;
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  out.append(first, end);
}

}  // namespace

std::string GameType::toString() const { return "nil"; }
std::string GameType::typeName() const { return "Nil"; }

std::string GameString::toString() const { return quoteString(value); }
std::string GameString::typeName() const { return "String"; }

std::string GameScalar::toString() const {
  std::string text;
  appendNumber(text, value);
  return text;
}
std::string GameScalar::typeName() const { return "Scalar"; }

std::string GameBool::toString() const { return value ? "true" : "false"; }
std::string GameBool::typeName() const { return "Bool"; }

GameArray::GameArray(GameArray&& other) noexcept
    : GameType(other),
      elements(std::move(other.elements)),
      argumentTexts(std::move(other.argumentTexts)) {}

GameArray& GameArray::operator=(const GameArray& other) {
  if (this == &other) return *this;
  // The old tree stays alive until the copy is made: `other` may be part of it.
  std::vector<GameTypePtr> old = std::move(elements);
  elements = other.elements;
  argumentTexts = other.argumentTexts;
  releaseElements(old);
  return *this;
}

GameArray& GameArray::operator=(GameArray&& other) noexcept {
  if (this == &other) return *this;
  std::vector<GameTypePtr> old = std::move(elements);
  elements = std::move(other.elements);
  argumentTexts = std::move(other.argumentTexts);
  other.elements.clear();
  other.argumentTexts.clear();
  releaseElements(old);
  return *this;
}

GameArray::~GameArray() { releaseElements(elements); }

std::string GameArray::toString() const {
  std::string text;
  appendArrayText(text, *this);
  return text;
}
std::string GameArray::typeName() const { return "Array"; }

std::vector<const char*> GameArray::argumentList() {
  const std::size_t count = elements.size();
  std::vector<const char*> pointers(count, nullptr);
  argumentTexts.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string& text = argumentTexts[i];
    text.clear();  // keeps the capacity of an earlier call
    if (elements[i]) {
      appendText(text, *elements[i]);
    } else {
      text = "nil";
    }
    pointers[i] = text.c_str();
  }
  return pointers;
}

void appendText(std::string& out, const GameType& value) {
  if (isArray(value)) {
    appendArrayText(out, static_cast<const GameArray&>(value));
  } else {
    appendLeafText(out, value);
  }
}

void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  // Copy the runs between double quotes whole; each quote is written twice.
  const char* next = text.data();
  const char* const end = next + text.size();
  while (next != end) {
    const void* quote = std::memchr(next, '"', static_cast<std::size_t>(end - next));
    if (quote == nullptr) {
      out.append(next, end);
      break;
    }
    const char* quoteChar = static_cast<const char*>(quote);
    out.append(next, quoteChar + 1);
    out += '"';
    next = quoteChar + 1;
  }
  out += '"';
}

std::string quoteString(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  appendQuoted(quoted, text);
  return quoted;
}

void appendNumber(std::string& out, float number) {
  // Whole numbers below one million print as plain digits under "%g"; that is the
  // common case and needs no general conversion. The sign bit keeps "-0".
  const bool negative = std::signbit(number);
  const float magnitude = negative ? -number : number;
  if (magnitude < 1000000.0f) {
    const unsigned whole = static_cast<unsigned>(magnitude);
    if (static_cast<float>(whole) == magnitude) {
      if (negative) out += '-';
      appendSmallInteger(out, whole);
      return;
    }
  }
  // std::to_chars with a precision is specified as printf's "%.6g" in the "C" locale.
  char buffer[32];
  const std::to_chars_result written = std::to_chars(
      buffer, buffer + sizeof buffer, static_cast<double>(number), std::chars_format::general, 6);
  out.append(buffer, written.ptr);
}
