// The portable line splitter of redirected input.
#include "platform/line_splitter.h"

#include <cstring>

namespace platform {

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
      line->append(start, n);
      begin_ += n + 1;
      return true;
    }
    line->append(start, end_ - begin_);
    sawBytes = true;
    begin_ = end_;
  }
}

}  // namespace platform
