// Value arena: bump allocation from heap blocks, freed whole when the last value dies.
#include "values/value_arena.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

// Blocks double from a size that suits the few values of a typical command up to one
// that makes the C library's per-block work negligible for millions of values.
constexpr std::size_t kFirstBlockBytes = 4 * 1024;
constexpr std::size_t kLargestBlockBytes = 1024 * 1024;

}  // namespace

struct ValueArena::Block {
  Block* next;
  std::size_t bytes;  // the whole block, header included
};

ValueArena* ValueArena::create() { return new ValueArena(); }

ValueArena::~ValueArena() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ::operator delete(blocks_);
    blocks_ = next;
  }
}

void* ValueArena::allocateInNewBlock(std::size_t bytes, std::size_t alignment) {
  alignment = std::max(alignment, kGrain);
  std::size_t blockBytes =
      blocks_ == nullptr ? kFirstBlockBytes : std::min(2 * blocks_->bytes, kLargestBlockBytes);
  blockBytes = std::max(blockBytes, sizeof(Block) + alignment + bytes);
  auto* block = static_cast<Block*>(::operator new(blockBytes));
  block->next = blocks_;
  block->bytes = blockBytes;
  blocks_ = block;
  // The first allocation follows the header at the next multiple of `alignment`.
  const auto headerEnd = reinterpret_cast<std::uintptr_t>(block) + sizeof(Block);
  char* memory = reinterpret_cast<char*>((headerEnd + alignment - 1) & ~(alignment - 1));
  next_ = memory + bytes;
  end_ = reinterpret_cast<char*>(block) + blockBytes;
  return memory;
}

void ValueArena::release() {
  // Trade the bias for the number of allocations made; whatever remains is what is live.
  const std::uint64_t settle = kHoldBias - allocated_;
  if (live_.fetch_sub(settle, std::memory_order_acq_rel) == settle) delete this;
}
