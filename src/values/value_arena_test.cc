// Tests for the value arena: alignment, and lifetimes of values that outlive their parse.
#include "values/value_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "values/game_array_parser.h"

namespace {

GameArray parse(const std::string& literal) {
  std::size_t cursor = 0;
  return parseGameArray(literal.c_str(), literal.size(), cursor);
}

TEST(ValueArena, AllocationsAreAlignedAndDoNotOverlap) {
  ValueArena* arena = ValueArena::create();
  struct Allocation {
    unsigned char* memory;
    std::size_t bytes;
  };
  std::vector<Allocation> allocations;
  // Sizes from 1 byte to past the first block, with every alignment up to 16.
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::size_t bytes = 1 + (i * 37) % 200 + (i % 500 == 0 ? 10000 : 0);
    const std::size_t alignment = std::size_t{1} << (i % 5);
    auto* memory = static_cast<unsigned char*>(arena->allocate(bytes, alignment));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(memory) % alignment, 0u) << i;
    std::memset(memory, static_cast<int>(i & 0xff), bytes);
    allocations.push_back({memory, bytes});
  }
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t b = 0; b < allocations[i].bytes; ++b) {
      ASSERT_EQ(allocations[i].memory[b], i & 0xff) << "allocation " << i << " overwritten";
    }
  }
  arena->release();
  for (std::size_t i = 0; i < allocations.size(); ++i) arena->deallocate();  // frees the arena
}

TEST(ValueArena, AnElementOutlivesItsArray) {
  GameTypePtr kept;
  {
    GameArray parsed = parse(R"([[1,"two",[true]],"x"])");
    kept = parsed.elements[0];
  }
  EXPECT_EQ(kept->toString(), R"([1,"two",[true]])");
  GameTypePtr inner = static_cast<GameArray&>(*kept).elements[2];
  kept.reset();
  EXPECT_EQ(inner->toString(), "[true]");
}

TEST(ValueArena, ValuesOfOneParseMayDieOnDifferentThreads) {
  for (int round = 0; round < 50; ++round) {
    GameArray parsed = parse(R"([1,[2,[3]],"a","b",true,[[],[]]])");
    std::vector<GameTypePtr> halves[2];
    for (std::size_t i = 0; i < parsed.elements.size(); ++i) {
      halves[i % 2].push_back(parsed.elements[i]);
    }
    parsed = GameArray();
    std::thread other([held = std::move(halves[0])]() mutable { held.clear(); });
    halves[1].clear();
    other.join();
  }
}

}  // namespace
