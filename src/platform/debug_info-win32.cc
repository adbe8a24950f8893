// Debug information on Windows: not read yet; frames show their offsets alone.
#include "platform/debug_info.h"

namespace platform {

struct ModuleDebugInfo::Reader {};

ModuleDebugInfo::ModuleDebugInfo(const std::string&, std::uintptr_t) : reader_(new Reader) {}

ModuleDebugInfo::~ModuleDebugInfo() = default;

bool ModuleDebugInfo::describe(std::uintptr_t, CodePlace* place) {
  *place = CodePlace();
  return false;
}

}  // namespace platform
