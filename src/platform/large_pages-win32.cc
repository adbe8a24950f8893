// Large pages under a big block: Windows gives them only to privileged processes, so the
// advice is left out there.
#include <cstddef>

#include "platform/platform.h"

namespace platform {

void adviseLargePages(void*, std::size_t) {}

}  // namespace platform
