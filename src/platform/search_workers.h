// Parallel workers of --fuzz: copies of the process made at the start of the search (POSIX),
// sharing one block of memory for their tallies; elsewhere the search runs in one worker.
#ifndef INVOKEMODULE_PLATFORM_SEARCH_WORKERS_H_
#define INVOKEMODULE_PLATFORM_SEARCH_WORKERS_H_

#include <cstddef>

namespace platform {

// True where startSearchWorkers can start more than one.
bool searchWorkersSupported();

// Memory of `size` bytes, zeroed, that the workers started after it share; null on failure.
// Never freed (it lives as long as the search).
void* mapSharedMemory(std::size_t size);

// Makes `count` workers of this process, the calling one included: answers this worker's
// number, 0 for the calling one, 1 to count - 1 for the copies. Fewer copies where the system
// refuses more. Called while the process runs one thread; flushes standard output first.
int startSearchWorkers(int count);

// In the first worker: waits until every copy has ended.
void waitForSearchWorkers();

// While true, what the process writes to standard output and standard error goes nowhere (a
// copy's set-up, which the first worker shows).
void silenceStandardStreams(bool silent);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_SEARCH_WORKERS_H_
