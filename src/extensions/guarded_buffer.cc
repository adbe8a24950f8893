// An output buffer with a guard zone behind it: page-aligned layout, pattern fill and overrun test.
#include "extensions/guarded_buffer.h"

#include <cstdint>
#include <cstring>

#include "platform/write_trap.h"

namespace {

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

GuardedBuffer::GuardedBuffer(std::size_t size, GuardCheck preferred) : size_(size) {
  // Mapped pages: the buffer ends exactly where a page starts, and the guard zone fills whole
  // pages from there, so page protection covers the guard zone and nothing else.
  std::size_t page = platform::memoryPageSize();
  std::size_t bufferPages = roundUp(size_, page);
  guardSize_ = roundUp(kMinimumGuardSize, page);
  pagesSize_ = bufferPages + guardSize_;
  pages_ = platform::mapPagesWithBarrier(pagesSize_);
  if (pages_ != nullptr) {
    guard_ = pages_ + bufferPages;
    data_ = reinterpret_cast<char*>(guard_ - size_);
  } else {
    guardSize_ = kMinimumGuardSize;
    heapBlock_ = std::make_unique<unsigned char[]>(size_ + guardSize_);
    data_ = reinterpret_cast<char*>(heapBlock_.get());
    guard_ = heapBlock_.get() + size_;
  }
  fillGuard();
  if (preferred == GuardCheck::Trap && pages_ != nullptr) {
    trap_ = platform::installWriteTrap(guard_, guardSize_);
  }
  check_ = trap_ >= 0 ? GuardCheck::Trap : GuardCheck::Scan;
}

GuardedBuffer::~GuardedBuffer() {
  if (trap_ >= 0) platform::removeWriteTrap(trap_);
  if (pages_ != nullptr) platform::unmapPagesWithBarrier(pages_, pagesSize_);
}

char* GuardedBuffer::prepare() {
  std::memset(data_, 0, size_);
  return data_;
}

bool GuardedBuffer::overrun() {
  bool lastByteSet = size_ > 0 && data_[size_ - 1] != 0;
  bool guardWritten;
  if (check_ == GuardCheck::Trap) {
    guardWritten = platform::writeTrapFired(trap_);
    if (guardWritten) {
      platform::disarmWriteTrap(trap_);
      fillGuard();
      platform::armWriteTrap(trap_);
    }
  } else {
    guardWritten = !guardIntact();
    if (guardWritten) fillGuard();
  }
  return lastByteSet || guardWritten;
}

std::string_view GuardedBuffer::text() const {
  return std::string_view(data_, strnlen(data_, size_));
}

void GuardedBuffer::fillGuard() { std::memset(guard_, kGuardPattern, guardSize_); }

bool GuardedBuffer::guardIntact() const {
  // Word-wise comparison with the pattern, accumulated without branches so it vectorises.
  std::uint64_t pattern;
  std::memset(&pattern, kGuardPattern, sizeof pattern);
  std::uint64_t difference = 0;
  std::size_t words = guardSize_ / sizeof pattern;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, guard_ + i * sizeof word, sizeof word);
    difference |= word ^ pattern;
  }
  for (std::size_t i = words * sizeof pattern; i < guardSize_; ++i) {
    difference |= static_cast<std::uint64_t>(guard_[i] ^ kGuardPattern);
  }
  return difference == 0;
}
