// Value arena: bump allocation from heap blocks, freed whole when the last value dies.
#include "values/value_arena.h"

#include <new>

namespace {

// Blocks grow from a size that suits the few values of a typical command to one that
// makes the C library's per-block work negligible for millions of values.
constexpr std::size_t kFirstBlockBytes = 4 * 1024 - 64;
constexpr std::size_t kLargestBlockBytes = 1024 * 1024 - 64;
constexpr std::size_t kMaxAlignment = alignof(std::max_align_t);

std::size_t roundUp(std::size_t bytes, std::size_t alignment) {
  return (bytes + alignment - 1) & ~(alignment - 1);
}

}  // namespace

struct ValueArena::Block {
  Block* next;
  std::size_t bytes;  // usable bytes behind the header
};

ValueArena* ValueArena::create() { return new ValueArena(); }

ValueArena::~ValueArena() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ::operator delete(blocks_);
    blocks_ = next;
  }
}

void ValueArena::addBlock(std::size_t minimumBytes) {
  const std::size_t header = roundUp(sizeof(Block), kMaxAlignment);
  std::size_t bytes = blocks_ == nullptr ? kFirstBlockBytes : 2 * (blocks_->bytes + header);
  if (bytes > kLargestBlockBytes) bytes = kLargestBlockBytes;
  bytes -= header;
  if (bytes < minimumBytes) bytes = minimumBytes;
  auto* block = static_cast<Block*>(::operator new(header + bytes));
  block->next = blocks_;
  block->bytes = bytes;
  blocks_ = block;
  next_ = reinterpret_cast<char*>(block) + header;
  end_ = next_ + bytes;
}

void* ValueArena::allocate(std::size_t bytes, std::size_t alignment) {
  // Blocks start aligned to kMaxAlignment, so aligning the offset aligns the address.
  std::size_t offset = 0;
  if (blocks_ != nullptr) {
    const auto used = static_cast<std::size_t>(next_ - reinterpret_cast<char*>(blocks_));
    offset = roundUp(used, alignment) - used;
  }
  if (blocks_ == nullptr || static_cast<std::size_t>(end_ - next_) < offset + bytes) {
    addBlock(bytes);
    offset = 0;
  }
  void* memory = next_ + offset;
  next_ += offset + bytes;
  ++allocated_;
  return memory;
}

void ValueArena::release() {
  // Trade the bias for the number of allocations made; whatever remains is what is live.
  const std::uint64_t settle = kHoldBias - allocated_;
  if (live_.fetch_sub(settle, std::memory_order_acq_rel) == settle) destroy();
}
