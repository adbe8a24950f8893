// The test extension with planted bugs for the search of --fuzz: each is an input its author
// never tried. Every other call answers "ok".
//
// RVExtension: an empty function text calls exit(3).
// RVExtensionArgs, by function name:
//   pair  reads its second argument whenever it has one or more (one alone: a null pointer)
//   copy  copies its first argument into a 64-byte buffer on the stack, however long it is;
//         a guard word after the buffer, checked before the function returns, makes every
//         overrun fault at the check, as a stack protector would stop it, rather than in
//         whatever code next uses the registers and return address it overwrote
//   wait  never returns when its first argument is 0
//   fill  copies its first argument into the output buffer, however long it is
//   word  faults when its first argument is a string that starts with FUZZ
//   late  with two or more arguments, arms a fault in the destructor of a static object: the
//         library's clean-up code faults when it is unloaded
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif

namespace {

void answer(char* output, std::int32_t outputSize, const char* text) {
  std::strncpy(output, text, static_cast<std::size_t>(outputSize) - 1);
}

// Kept out of line, so that the copy is not optimised into something that checks its size.
__attribute__((noinline)) std::size_t copyIntoSmallBuffer(const char* text, char* output) {
  struct {
    char buffer[64];
    volatile std::uint64_t guard;
  } frame;
  frame.guard = 0x5eed5eed5eed5eedULL;
  std::memcpy(frame.buffer, text, std::strlen(text) + 1);
  if (frame.guard != 0x5eed5eed5eed5eedULL) *static_cast<volatile int*>(nullptr) = 1;
  output[0] = frame.buffer[0];
  return std::strlen(frame.buffer);
}

// The prefix checked byte by byte, as a hand-written parser would.
bool startsWithFuzz(const char* text) {
  return text[0] == '"' && text[1] == 'F' && text[2] == 'U' && text[3] == 'Z' && text[4] == 'Z';
}

volatile int spinning = 1;

// Its destructor runs when the library is unloaded.
struct FaultsWhenArmed {
  volatile bool armed = false;
  ~FaultsWhenArmed() {
    if (armed) *static_cast<volatile int*>(nullptr) = 1;
  }
} cleanUp;

}  // namespace

extern "C" {

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
  answer(output, outputSize, "fuzzbugs 1.0");
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
  if (function[0] == '\0') std::exit(3);
  answer(output, outputSize, "ok");
}

EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char** argv,
                                                             std::int32_t argc) {
  if (std::strcmp(function, "pair") == 0 && argc >= 1) {
    return static_cast<std::int32_t>(std::strlen(argv[0]) + std::strlen(argv[1]));
  }
  if (std::strcmp(function, "copy") == 0 && argc >= 1) {
    return static_cast<std::int32_t>(copyIntoSmallBuffer(argv[0], output));
  }
  if (std::strcmp(function, "wait") == 0 && argc >= 1 && std::strcmp(argv[0], "0") == 0) {
    while (spinning) {
    }
  }
  if (std::strcmp(function, "fill") == 0 && argc >= 1) {
    std::memcpy(output, argv[0], std::strlen(argv[0]) + 1);
    return 0;
  }
  if (std::strcmp(function, "word") == 0 && argc >= 1 && startsWithFuzz(argv[0])) {
    *static_cast<volatile int*>(nullptr) = 1;
  }
  if (std::strcmp(function, "late") == 0 && argc >= 2) cleanUp.armed = true;
  answer(output, outputSize, "ok");
  return 0;
}

}  // extern "C"
