// The argument vector at the end of a mapping whose next page cannot be touched.
#include "extensions/argument_vector.h"

#include <cstring>

#include "platform/write_trap.h"

ArgumentVector::~ArgumentVector() {
  if (pages_ != nullptr) platform::unmapPagesWithBarrier(pages_, size_);
}

const char** ArgumentVector::place(const char* const* argv, std::int32_t argc) {
  latest_ = nullptr;
  if (argc > kMaxPlaced) return nullptr;
  const std::size_t count = argc > 0 ? static_cast<std::size_t>(argc) : 0;
  const std::size_t needed = (count + 1) * sizeof(const char*);
  if (needed > size_) {
    const std::size_t page = platform::memoryPageSize();
    std::size_t size = (needed + page - 1) / page * page;
    unsigned char* pages = platform::mapPagesWithBarrier(size);
    if (pages == nullptr) return nullptr;
    if (pages_ != nullptr) platform::unmapPagesWithBarrier(pages_, size_);
    pages_ = pages;
    size_ = size;
  }
  const char** slots = reinterpret_cast<const char**>(pages_ + size_) - (count + 1);
  if (count > 0) std::memcpy(slots, argv, count * sizeof(const char*));
  slots[count] = nullptr;
  latest_ = slots;
  return slots;
}

std::int64_t ArgumentVector::slotPastEnd(std::uintptr_t address) const {
  if (pages_ == nullptr || latest_ == nullptr) return -1;
  const auto barrier = reinterpret_cast<std::uintptr_t>(pages_ + size_);
  if (address < barrier || address - barrier >= platform::memoryPageSize()) return -1;
  const auto start = reinterpret_cast<std::uintptr_t>(latest_);
  return static_cast<std::int64_t>((address - start) / sizeof(const char*));
}
