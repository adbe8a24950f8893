// The floor of the coverage-guided search: a libFuzzer target (clang, -fsanitize=fuzzer) that
// calls the instrumented "bench" extension's RVExtensionArgs("fn") with each input as its one
// argument, and does nothing else. BENCH_LIBRARY names the extension's file.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
using ArgsFunction = int (*)(char* output, int outputSize, const char* function, const char** argv, int argc);
ArgsFunction call = nullptr;
char output[10240];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* path = std::getenv("BENCH_LIBRARY");
  void* library = path != nullptr ? dlopen(path, RTLD_NOW) : nullptr;
  if (library != nullptr) call = reinterpret_cast<ArgsFunction>(dlsym(library, "RVExtensionArgs"));
  if (call == nullptr) {
    std::fprintf(stderr, "guided floor: cannot call RVExtensionArgs of %s\n",
                 path != nullptr ? path : "(unset)");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string argument(reinterpret_cast<const char*>(data), size);
  const char* argv[] = {argument.c_str(), nullptr};
  call(output, sizeof output, "fn", argv, 1);
  return 0;
}
