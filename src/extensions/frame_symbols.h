// Names the code of a crash report's frames: each library's debug information is opened at its
// first report and kept until the library is unloaded, so later reports cost only the lookups.
#ifndef INVOKEMODULE_EXTENSIONS_FRAME_SYMBOLS_H_
#define INVOKEMODULE_EXTENSIONS_FRAME_SYMBOLS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "extensions/fault_description.h"
#include "platform/debug_info.h"

// Used by the main thread and by the thread that reports other threads' faults.
class FrameSymbols {
 public:
  // Fills each frame's `code` from the debug information of its library, read from the file at
  // `pathOf(frame)` (the file the library was loaded from, or the author's file of a private copy).
  template <class PathOf>
  void describe(std::vector<CrashFrame>& frames, PathOf pathOf) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (CrashFrame& frame : frames) {
      if (frame.moduleBase == 0 || frame.repeatedFrames != 0) continue;
      moduleAt(frame.moduleBase, pathOf(frame)).describe(frame.address, &frame.code);
    }
  }

  // Drops what was read of the library loaded at `base`, which is being unloaded.
  void forget(std::uintptr_t base);

  // How many libraries' debug information is held.
  std::size_t size();

 private:
  platform::ModuleDebugInfo& moduleAt(std::uintptr_t base, const std::string& path);

  struct Module {
    std::string path;
    std::unique_ptr<platform::ModuleDebugInfo> info;
  };
  std::mutex mutex_;
  std::map<std::uintptr_t, Module> modules_;
};

#endif  // INVOKEMODULE_EXTENSIONS_FRAME_SYMBOLS_H_
