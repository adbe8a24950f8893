// An output buffer with guard zones around it: page-aligned layout, pattern fill and overrun test.
#include "extensions/guarded_buffer.h"

#include <cstdint>
#include <cstring>

#include "platform/write_trap.h"

namespace {

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Word-wise comparison with the pattern, accumulated without branches so it vectorises.
bool patternIntact(const unsigned char* bytes, std::size_t size) {
  std::uint64_t pattern;
  std::memset(&pattern, GuardedBuffer::kGuardPattern, sizeof pattern);
  std::uint64_t difference = 0;
  std::size_t words = size / sizeof pattern;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i * sizeof word, sizeof word);
    difference |= word ^ pattern;
  }
  for (std::size_t i = words * sizeof pattern; i < size; ++i) {
    difference |= static_cast<std::uint64_t>(bytes[i] ^ GuardedBuffer::kGuardPattern);
  }
  return difference == 0;
}

}  // namespace

GuardedBuffer::GuardedBuffer(std::size_t size, GuardCheck preferred) : size_(size) {
  Zone& back = zones_[0];
  Zone& front = zones_[1];
  Zone& markers = zones_[2];
  // Mapped pages: whole guard pages in front, then the buffer's pages with the buffer ending
  // exactly where a page starts, then whole guard pages behind. Page protection covers both
  // guard zones and nothing else; the rest of the buffer's first page holds the markers.
  std::size_t page = platform::memoryPageSize();
  std::size_t bufferPages = roundUp(size_, page);
  guardSize_ = roundUp(kMinimumGuardSize, page);
  pagesSize_ = guardSize_ + bufferPages + guardSize_;
  pages_ = platform::mapPagesWithBarrier(pagesSize_);
  if (pages_ != nullptr) {
    front = Zone{pages_, guardSize_};
    markers = Zone{pages_ + guardSize_, bufferPages - size_, -1, true};
    back = Zone{pages_ + guardSize_ + bufferPages, guardSize_};
  } else {
    guardSize_ = kMinimumGuardSize;
    heapBlock_ = std::make_unique<unsigned char[]>(guardSize_ + size_ + guardSize_);
    front = Zone{heapBlock_.get(), guardSize_};
    markers = Zone{front.begin + guardSize_, 0};
    back = Zone{markers.begin + size_, guardSize_};
  }
  data_ = reinterpret_cast<char*>(back.begin - size_);
  frontSize_ = front.size + markers.size;
  markerSize_ = markers.size;
  for (Zone& zone : zones_) std::memset(zone.begin, kGuardPattern, zone.size);
  if (preferred == GuardCheck::Trap && pages_ != nullptr) {
    back.trap = platform::installWriteTrap(back.begin, back.size);
    front.trap = platform::installWriteTrap(front.begin, front.size);
    if (back.trap < 0 || front.trap < 0) {  // both trapped or both scanned
      for (Zone* zone : {&back, &front}) {
        if (zone->trap >= 0) platform::removeWriteTrap(zone->trap);
        zone->trap = -1;
      }
    }
  }
  check_ = back.trap >= 0 ? GuardCheck::Trap : GuardCheck::Scan;
}

GuardedBuffer::~GuardedBuffer() {
  for (Zone& zone : zones_) {
    if (zone.trap >= 0) platform::removeWriteTrap(zone.trap);
  }
  if (pages_ != nullptr) platform::unmapPagesWithBarrier(pages_, pagesSize_);
}

char* GuardedBuffer::prepare() {
  std::memset(data_, 0, size_);
  return data_;
}

bool GuardedBuffer::overrun() {
  bool lastByteSet = size_ > 0 && data_[size_ - 1] != 0;
  bool written = guardsWritten();
  return lastByteSet || written;
}

bool GuardedBuffer::guardsWritten() {
  bool written = false;
  for (Zone& zone : zones_) written = zoneWritten(zone) || written;  // every zone restored
  return written;
}

std::string_view GuardedBuffer::text() const { return std::string_view(data_, strnlen(data_, size_)); }

bool GuardedBuffer::zoneWritten(Zone& zone) {
  if (zone.trap >= 0) {
    if (!platform::writeTrapFired(zone.trap)) return false;
    platform::disarmWriteTrap(zone.trap);
    std::memset(zone.begin, kGuardPattern, zone.size);
    platform::armWriteTrap(zone.trap);
    return true;
  }
  bool intact;
  if (zone.endsOnly && zone.size > 2 * kMarkerCheckSize) {
    intact = patternIntact(zone.begin, kMarkerCheckSize) &&
             patternIntact(zone.begin + zone.size - kMarkerCheckSize, kMarkerCheckSize);
  } else {
    intact = patternIntact(zone.begin, zone.size);
  }
  if (intact) return false;
  std::memset(zone.begin, kGuardPattern, zone.size);
  return true;
}
