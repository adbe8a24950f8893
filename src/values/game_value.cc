// Game values: text forms, argument texts and the non-recursive release of array trees.
#include "values/game_value.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "values/number_text.h"

namespace {

bool isArray(const GameType& value) { return value.kind() == GameType::Kind::Array; }

// Appends the text of a value that is not an array.
void appendLeafText(std::string& out, const GameType& value) {
  switch (value.kind()) {
    case GameType::Kind::Scalar:
      appendNumber(out, static_cast<const GameScalar&>(value).value);
      return;
    case GameType::Kind::String:
      appendQuoted(out, static_cast<const GameString&>(value).value);
      return;
    case GameType::Kind::Bool:
      out += static_cast<const GameBool&>(value).value ? "true" : "false";
      return;
    case GameType::Kind::Nil:
    case GameType::Kind::Array:
      break;
  }
  out += "nil";
}

// The open arrays of a walk through a tree, innermost last. The first levels live in the
// object itself, so printing a shallow array allocates nothing for the walk.
class OpenArrays {
 public:
  struct Frame {
    const GameArray* array;
    std::size_t next;  // index of the next element to print
  };

  bool empty() const { return depth_ == 0; }
  Frame& innermost() { return depth_ <= kInline ? inline_[depth_ - 1] : spilled_[depth_ - kInline - 1]; }
  void push(const GameArray* array) {
    if (depth_ < kInline) {
      inline_[depth_] = {array, 0};
    } else {
      spilled_.push_back({array, 0});
    }
    ++depth_;
  }
  void pop() {
    if (depth_ > kInline) spilled_.pop_back();
    --depth_;
  }

 private:
  static constexpr std::size_t kInline = 16;
  Frame inline_[kInline];
  std::vector<Frame> spilled_;
  std::size_t depth_ = 0;
};

// Appends the array form of `root`, walking nested arrays with an explicit stack so the
// depth of nesting never reaches the call stack.
void appendArrayText(std::string& out, const GameArray& root) {
  OpenArrays open;
  open.push(&root);
  out += '[';
  while (!open.empty()) {
    OpenArrays::Frame& frame = open.innermost();
    const std::vector<GameTypePtr>& elements = frame.array->elements;
    if (frame.next == elements.size()) {
      out += ']';
      open.pop();
      continue;
    }
    if (frame.next != 0) out += ',';
    const GameType* element = elements[frame.next].get();
    ++frame.next;
    if (element == nullptr) {
      out += "nil";
    } else if (isArray(*element)) {
      out += '[';
      open.push(static_cast<const GameArray*>(element));  // invalidates `frame`
    } else {
      appendLeafText(out, *element);
    }
  }
}

bool isSoleArray(const GameTypePtr& element) {
  return element && element.use_count() == 1 && isArray(*element);
}

// Releases a tree of elements without recursion: an array that nobody else owns is
// emptied before it is destroyed, so no destructor finds anything to recurse into. Each
// such array is taken apart right when it is met, while it is still in the cache.
void releaseElements(std::vector<GameTypePtr>& elements) {
  std::vector<GameTypePtr> pending;  // sole arrays met but not yet emptied
  for (GameTypePtr& element : elements) {
    if (!isSoleArray(element)) {
      element.reset();
      continue;
    }
    pending.push_back(std::move(element));
    while (!pending.empty()) {
      const GameTypePtr array = std::move(pending.back());
      pending.pop_back();
      for (GameTypePtr& child : static_cast<GameArray&>(*array).elements) {
        if (isSoleArray(child)) {
          pending.push_back(std::move(child));
        } else {
          child.reset();
        }
      }
    }  // each `array` is destroyed here, its elements all empty
  }
  elements.clear();
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
    : GameType(other), elements(std::move(other.elements)), argumentTexts(std::move(other.argumentTexts)) {}

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
  // Texts of an earlier call are overwritten in place and surplus ones dropped; new ones
  // are made in place at their final content, so each text is written once.
  if (argumentTexts.size() > count) argumentTexts.resize(count);
  argumentTexts.reserve(count);  // no reallocation below: the pointers stay valid
  std::vector<const char*> pointers;
  pointers.reserve(count);
  std::string arrayText;  // an array's text is built here, then copied at its final size
  for (std::size_t i = 0; i < count; ++i) {
    if (i == argumentTexts.size()) argumentTexts.emplace_back();
    std::string& text = argumentTexts[i];
    const GameType* element = elements[i].get();
    if (element != nullptr && isArray(*element)) {
      arrayText.clear();
      appendArrayText(arrayText, static_cast<const GameArray&>(*element));
      text.assign(arrayText);
    } else {
      text.clear();
      if (element != nullptr) {
        appendLeafText(text, *element);
      } else {
        text = "nil";
      }
    }
    pointers.push_back(text.c_str());
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
