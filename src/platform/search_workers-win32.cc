// The workers of --fuzz on Windows: none beside the process itself (it cannot be copied as it
// runs), so the search runs in one worker.
#include "platform/search_workers.h"

#include <cstdlib>

namespace platform {

bool searchWorkersSupported() { return false; }
void* mapSharedMemory(std::size_t size) { return std::calloc(1, size); }
int startSearchWorkers(int) { return 0; }
void waitForSearchWorkers() {}
void silenceStandardStreams(bool) {}

}  // namespace platform
