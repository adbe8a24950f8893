// The libraries the host unloaded: their address ranges and the threads running at the time.
#include "platform/unloaded_libraries.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace platform {

namespace {

constexpr std::size_t kMaxUnloadedLibraries = 32;

std::mutex unloadedMutex;
std::vector<UnloadedLibrary> unloadedLibraries;  // newest last

}  // namespace

void recordUnloadedLibrary(UnloadedLibrary library) {
  std::sort(library.threads.begin(), library.threads.end());
  std::lock_guard<std::mutex> lock(unloadedMutex);
  if (unloadedLibraries.size() >= kMaxUnloadedLibraries) unloadedLibraries.erase(unloadedLibraries.begin());
  unloadedLibraries.push_back(std::move(library));
}

bool findUnloadedLibrary(std::uintptr_t address, bool loadedNow, std::uint64_t threadId,
                         UnloadedLibrary* found) {
  std::lock_guard<std::mutex> lock(unloadedMutex);
  for (auto it = unloadedLibraries.rbegin(); it != unloadedLibraries.rend(); ++it) {
    if (address >= it->begin && address < it->end &&
        (!loadedNow || std::binary_search(it->threads.begin(), it->threads.end(), threadId))) {
      *found = *it;
      return true;
    }
  }
  return false;
}

void blameUnloadedLibrary(const UnloadedLibrary& library, std::uintptr_t pc, RawFault* fault) {
  fault->kind = FaultKind::UnloadedLibrary;
  fault->libraryName = library.name;
  if (pc == 0) return;
  RawFrame frame;
  frame.address = pc;
  frame.moduleBase = library.begin;
  frame.moduleFile = library.file;
  fault->frames.assign(1, std::move(frame));
}

}  // namespace platform
