// The libraries the host unloaded, kept to name a thread of one that still runs afterwards.
// Portable, but the fault filters reach it, so it stays in the platform layer.
#ifndef INVOKEMODULE_PLATFORM_UNLOADED_LIBRARIES_H_
#define INVOKEMODULE_PLATFORM_UNLOADED_LIBRARIES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crash_guard.h"

namespace platform {

struct UnloadedLibrary {
  std::uintptr_t begin = 0;  // the address range it was mapped at
  std::uintptr_t end = 0;
  std::string name;                    // the extension's name
  std::string file;                    // its file name, without the directory
  std::vector<std::uint64_t> threads;  // the process's threads when it was unloaded
};

// Keeps the newest few, forgetting the oldest.
void recordUnloadedLibrary(UnloadedLibrary library);

// The newest unloaded library that held `address`. Where a module is loaded now (`loadedNow`),
// often in the very place of the one unloaded, only a library unloaded while `threadId` ran.
bool findUnloadedLibrary(std::uintptr_t address, bool loadedNow, std::uint64_t threadId,
                         UnloadedLibrary* found);

// Makes `fault` that of a thread still running `library`'s code, or reading its data, after its
// unload: with the frame at `pc` alone when the fault was in its code (`pc` 0: the frames stay).
void blameUnloadedLibrary(const UnloadedLibrary& library, std::uintptr_t pc, RawFault* fault);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_UNLOADED_LIBRARIES_H_
