// The workers of --fuzz on POSIX: fork() copies, shared anonymous memory.
#include "platform/search_workers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {

namespace {
std::vector<pid_t> copies;       // the first worker's copies, until they are waited for
int savedStreams[2] = {-1, -1};  // standard output and error while silenced
}  // namespace

bool searchWorkersSupported() { return true; }

void* mapSharedMemory(std::size_t size) {
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

int startSearchWorkers(int count) {
  std::fflush(nullptr);
  for (int number = 1; number < count; ++number) {
    pid_t pid = fork();
    if (pid == 0) {
      copies.clear();
      return number;
    }
    if (pid < 0) break;
    copies.push_back(pid);
  }
  return 0;
}

void waitForSearchWorkers() {
  for (pid_t pid : copies) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  copies.clear();
}

void silenceStandardStreams(bool silent) {
  std::fflush(nullptr);
  if (silent && savedStreams[0] < 0) {
    int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0) return;
    for (int stream = 0; stream < 2; ++stream) {
      savedStreams[stream] = fcntl(stream + 1, F_DUPFD_CLOEXEC, 3);
      dup2(nowhere, stream + 1);
    }
    close(nowhere);
  } else if (!silent && savedStreams[0] >= 0) {
    for (int stream = 0; stream < 2; ++stream) {
      dup2(savedStreams[stream], stream + 1);
      close(savedStreams[stream]);
      savedStreams[stream] = -1;
    }
  }
}

}  // namespace platform
