// The heavy-debug benchmark extension: "segv" reads through a null pointer a few calls deep;
// the generated parts beside it only add debug information.
#include <cstring>

#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif

namespace {

int* volatile nullPointer = nullptr;

__attribute__((noinline)) int readNull() { return *nullPointer; }
__attribute__((noinline)) int parse(const char* function) { return function[0] == 's' ? readNull() : 0; }

}  // namespace

extern "C" EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, unsigned outputSize,
                                                            const char* function) {
  int value = parse(function);
  std::strncpy(output, value == 0 ? function : "", outputSize - 1);
  output[outputSize - 1] = '\0';
}
