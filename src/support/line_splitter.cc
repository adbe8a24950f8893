// The portable line splitter of redirected input.
#include "support/line_splitter.h"

#include <algorithm>
#include <cstring>

namespace support {

namespace {

// Appends to a line. A long line grows fourfold at a time into large pages, where the system
// offers them (`hint`): fewer copies of what it holds, and a few page faults instead of thousands.
void appendToLine(std::string* line, const char* bytes, std::size_t n, LineSplitter::LargeBlockHint hint) {
  constexpr std::size_t kLongLine = 1 << 20;
  if (line->capacity() - line->size() < n && line->size() + n >= kLongLine) {
    std::string grown;
    grown.reserve(std::max(4 * line->capacity(), line->size() + n));
    if (hint != nullptr) hint(grown.data(), grown.capacity());
    grown.append(*line);
    line->swap(grown);
  }
  line->append(bytes, n);
}

}  // namespace

bool LineSplitter::nextLine(std::string* line, ReadFunction read, void* context) {
  line->clear();
  bool sawBytes = false;
  for (;;) {
    if (begin_ == end_) {
      std::size_t got = ended_ ? 0 : read(context, buffer_, sizeof buffer_);
      if (got == 0) {
        ended_ = true;
        return sawBytes;
      }
      begin_ = 0;
      end_ = got;
    }
    const char* start = buffer_ + begin_;
    const void* newline = std::memchr(start, '\n', end_ - begin_);
    if (newline != nullptr) {
      std::size_t n = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      appendToLine(line, start, n, largeBlockHint_);
      begin_ += n + 1;
      return true;
    }
    appendToLine(line, start, end_ - begin_, largeBlockHint_);
    sawBytes = true;
    begin_ = end_;
  }
}

}  // namespace support
