// Game values: the typed values an argument array is parsed into, and their text forms.
//
// The text forms follow the game's notation: strings are quoted with doubled inner quotes,
// numbers are written as printf's "%g" writes them in the "C" locale, arrays print without
// spaces and the nil value prints as "nil".
//
// Nesting depth is unbounded: printing (toString, argumentList) and destroying an array
// use explicit work lists instead of recursion, so a million nested arrays cost heap
// memory, never stack.
#ifndef INVOKEMODULE_VALUES_GAME_VALUE_H_
#define INVOKEMODULE_VALUES_GAME_VALUE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/game_text.h"

// The base of every value. An object of this class itself is the nil value: the parser
// makes one for every item it cannot read.
class GameType {
 public:
  // The kind of a value, fixed at construction; lets the printer and the release of
  // arrays tell kinds apart without a virtual call or a type_info comparison.
  enum class Kind : unsigned char { Nil, String, Scalar, Bool, Array };

  GameType() : kind_(Kind::Nil) {}
  GameType(const GameType&) = default;
  // Assignment between values never changes the kind of the target.
  GameType& operator=(const GameType&) { return *this; }

  Kind kind() const { return kind_; }

  // The value's text form in the game's notation.
  virtual std::string toString() const;
  // The name of the value's kind: "Nil", "String", "Scalar", "Bool" or "Array".
  virtual std::string typeName() const;
  virtual ~GameType() = default;

 protected:
  explicit GameType(Kind kind) : kind_(kind) {}

 private:
  Kind kind_;
};

// Shared ownership of one value, made in one allocation with its reference counts: with
// std::make_shared, or by the parser with std::allocate_shared from its arena.
using GameTypePtr = std::shared_ptr<GameType>;

class GameString final : public GameType {
 public:
  explicit GameString(std::string text) : GameType(Kind::String), value(std::move(text)) {}
  std::string toString() const override;
  std::string typeName() const override;

  std::string value;  // the bytes as read, quotes already un-doubled
};

class GameScalar final : public GameType {
 public:
  explicit GameScalar(float number) : GameType(Kind::Scalar), value(number) {}
  std::string toString() const override;
  std::string typeName() const override;

  float value;
};

class GameBool final : public GameType {
 public:
  explicit GameBool(bool truth) : GameType(Kind::Bool), value(truth) {}
  std::string toString() const override;
  std::string typeName() const override;

  bool value;
};

class GameArray final : public GameType {
 public:
  GameArray() : GameType(Kind::Array) {}
  // Copies share the element objects; moves leave the source with two empty sequences.
  GameArray(const GameArray& other) = default;
  GameArray(GameArray&& other) noexcept;
  GameArray& operator=(const GameArray& other);
  GameArray& operator=(GameArray&& other) noexcept;
  // Releases the element tree without recursion, however deeply it nests.
  ~GameArray() override;

  std::string toString() const override;
  std::string typeName() const override;

  // Rebuilds argumentTexts with the text form of each element and returns one pointer
  // per element to its NUL-terminated text. The pointers stay valid until this array is
  // destroyed or argumentList runs on it again.
  std::vector<const char*> argumentList();

  std::vector<GameTypePtr> elements;
  std::vector<std::string> argumentTexts;  // owns the bytes argumentList points at
};

// Appends the text form of `value` to `out`; the same text as value.toString().
void appendText(std::string& out, const GameType& value);

#endif  // INVOKEMODULE_VALUES_GAME_VALUE_H_
