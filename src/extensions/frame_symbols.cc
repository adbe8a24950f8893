// The per-library cache of debug information for crash reports.
#include "extensions/frame_symbols.h"

void FrameSymbols::forget(std::uintptr_t base) {
  std::lock_guard<std::mutex> lock(mutex_);
  modules_.erase(base);
}

std::size_t FrameSymbols::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return modules_.size();
}

platform::ModuleDebugInfo& FrameSymbols::moduleAt(std::uintptr_t base, const std::string& path) {
  Module& module = modules_[base];
  // Another library loaded where a forgotten one was: read afresh.
  if (module.info == nullptr || module.path != path) {
    module.path = path;
    module.info = std::make_unique<platform::ModuleDebugInfo>(path, base);
  }
  return *module.info;
}
