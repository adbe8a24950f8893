// The coverage-guided engine on POSIX: libFuzzer's LLVMFuzzerRunDriver, from the shared object
// the build makes of clang's fuzzer runtime where it found one, beside the executable or, once
// installed, in <prefix>/lib/invokemodule.
#include "platform/coverage_engine.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/child_process.h"
#include "platform/crash_guard.h"

namespace platform {

namespace {

using RunDriver = int (*)(int* argc, char*** argv, int (*callback)(const std::uint8_t*, std::size_t));
RunDriver runDriver = nullptr;  // set by loadCoverageEngine, main thread

// The driver's callback takes no context: the search's, for the one run of the process.
std::function<void(const std::uint8_t*, std::size_t)> eachInput;
std::function<int()> finishRun;

int oneInput(const std::uint8_t* data, std::size_t size) {
  eachInput(data, size);
  return 0;
}

// The driver ends the process with exit(0) when its runs or time are used up: the search's
// summary and exit status come first.
void atDriverExit() {
  if (!finishRun) return;
  const int status = finishRun();
  std::fflush(nullptr);
  endProcessNow(status);
}

}  // namespace

bool loadCoverageEngine() {
  if (runDriver != nullptr) return true;
  const std::string executable = executablePath();
  const std::string folder = executable.substr(0, executable.rfind('/') + 1);
  for (const std::string& path :
       {folder + "invokemodule-libfuzzer.so", folder + "../lib/invokemodule/invokemodule-libfuzzer.so"}) {
    // Global, so that the extensions loaded after it bind their coverage hooks to it.
    void* runtime = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (runtime == nullptr) continue;
    runDriver = reinterpret_cast<RunDriver>(dlsym(runtime, "LLVMFuzzerRunDriver"));
    if (runDriver != nullptr) return true;
  }
  return false;
}

bool coverageEngineLoaded() { return runDriver != nullptr; }

void runCoverageEngine(const std::vector<std::string>& flags,
                       std::function<void(const std::uint8_t*, std::size_t)> each,
                       std::function<int()> finish) {
  if (runDriver == nullptr) {
    std::fflush(nullptr);
    endProcessNow(finish());
  }
  eachInput = std::move(each);
  finishRun = std::move(finish);
  std::atexit(atDriverExit);
  // The driver keeps the argument vector for the whole run: these live until the process ends.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.assign(1, "invokemodule");
  texts.insert(texts.end(), flags.begin(), flags.end());
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  int argc = static_cast<int>(texts.size());
  char** argv = pointers.data();
  runDriver(&argc, &argv, oneInput);
  atDriverExit();
  std::fflush(nullptr);
  endProcessNow(0);
}

}  // namespace platform
