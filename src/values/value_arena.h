// Value arena: one bump allocator for all the values that one parse makes.
//
// A parse of a large literal makes millions of small values that all die together at
// the end of the command. Taking them from large blocks instead of one heap allocation
// each makes both the parse and the release several times faster. Each value is still
// made in one allocation with its reference counts (std::allocate_shared) and destroyed
// by its last owner; only its memory goes back to the arena, which frees its blocks when
// the last of its values is gone, on whichever thread that happens.
#ifndef INVOKEMODULE_VALUES_VALUE_ARENA_H_
#define INVOKEMODULE_VALUES_VALUE_ARENA_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

class ValueArena {
 public:
  // A new arena, held by the caller until release().
  static ValueArena* create();

  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;

  // `bytes` of memory aligned to `alignment` (a power of two). Only the creating thread
  // allocates, and only before release().
  void* allocate(std::size_t bytes, std::size_t alignment) {
    bytes = (bytes + kGrain - 1) & ~(kGrain - 1);  // keeps next_ aligned to kGrain
    ++allocated_;
    if (alignment <= kGrain && bytes <= static_cast<std::size_t>(end_ - next_)) {
      void* memory = next_;
      next_ += bytes;
      return memory;
    }
    return allocateInNewBlock(bytes, alignment);
  }
  // One allocation is no longer used; may run on any thread.
  void deallocate() {
    if (live_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // The creator's hold ends; the arena frees itself once no allocation is in use.
  void release();

 private:
  struct Block;
  static constexpr std::size_t kGrain = alignof(void*);

  ValueArena() = default;
  ~ValueArena();
  void* allocateInNewBlock(std::size_t bytes, std::size_t alignment);

  // Live allocations plus a large bias while the creator holds the arena. Allocations
  // are counted in `allocated_` without atomics and settled in release().
  static constexpr std::uint64_t kHoldBias = std::uint64_t{1} << 62;
  std::atomic<std::uint64_t> live_{kHoldBias};
  std::uint64_t allocated_ = 0;
  char* next_ = nullptr;  // free space of the newest block: [next_, end_)
  char* end_ = nullptr;
  Block* blocks_ = nullptr;  // owned, newest first
};

// The allocator that std::allocate_shared uses to place a value in a ValueArena.
template <class T>
class ArenaAllocator {
 public:
  using value_type = T;

  explicit ArenaAllocator(ValueArena* arena) : arena_(arena) {}
  template <class U>
  ArenaAllocator(const ArenaAllocator<U>& other) : arena_(other.arena()) {}

  T* allocate(std::size_t count) { return static_cast<T*>(arena_->allocate(count * sizeof(T), alignof(T))); }
  void deallocate(T*, std::size_t) { arena_->deallocate(); }

  ValueArena* arena() const { return arena_; }
  template <class U>
  bool operator==(const ArenaAllocator<U>& other) const {
    return arena_ == other.arena();
  }

 private:
  ValueArena* arena_;
};

#endif  // INVOKEMODULE_VALUES_VALUE_ARENA_H_
