// Large pages under a big block: Windows gives them only to privileged processes, so the
// advice is left out there; the pages of a block are left to come as it is filled.
#include <cstddef>

#include "platform/platform.h"

namespace platform {

void adviseLargePages(void*, std::size_t) {}

void prefaultPages(void*, std::size_t) {}

}  // namespace platform
