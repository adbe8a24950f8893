// The reference parser: reads an array literal into the tree of Game values.
#include "values/game_array_parser.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/array_walk.h"
#include "values/number_text.h"
#include "values/value_arena.h"

namespace {

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
      const auto* quote =
          static_cast<const char*>(std::memchr(next, '"', static_cast<std::size_t>(end - next)));
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
    return std::allocate_shared<Value>(ArenaAllocator<Value>(arena_), std::forward<Arguments>(arguments)...);
  }

  ValueArena* arena_;
  std::vector<GameTypePtr> items_;
  std::vector<std::size_t> openStarts_;
};

}  // namespace

GameArray parseGameArray(const char* text, std::size_t length, std::size_t& cursor) {
  TreeBuilder builder(length);
  if (!array_walk::walkArrayLiteral(text, length, cursor, builder)) return GameArray();
  return builder.result();
}
