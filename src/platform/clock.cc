// Counter arithmetic shared by every platform: ticks of the high-resolution counter to time.
#include "platform/platform.h"

namespace platform {

double elapsedMilliseconds(std::int64_t start, std::int64_t end, std::int64_t frequency) {
  return static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
}

}  // namespace platform
