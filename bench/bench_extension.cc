// The benchmark extension "bench": entry points that cost as little as an entry point can, and
// one that busy-waits for a known time by its own clock.
//
// Function names (both call forms):
//   fn        writes the result "ok"; the argument form returns 0
//   busy N    busy-waits N milliseconds (argument form: ["busy", [N]]) on the monotonic clock
//             and writes the time it measured itself, in milliseconds with six decimals
// Anything else writes nothing. Built with BENCH_CONTEXT=1 ("bench_context"), it also exports
// an RVExtensionContext that only keeps the slot count, so that a call's extra cost is the host's.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif

namespace {

void writeOk(char* output, std::int32_t outputSize) {
  if (outputSize >= 3) std::memcpy(output, "ok", 3);
}

// Spins until `milliseconds` have passed and writes how long the spin took by this clock.
void busyWait(char* output, std::int32_t outputSize, double milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double, std::milli>(milliseconds);
  auto now = start;
  while (now < until) now = Clock::now();
  double measured = std::chrono::duration<double, std::milli>(now - start).count();
  std::snprintf(output, static_cast<std::size_t>(outputSize), "%.6f", measured);
}

}  // namespace

extern "C" {

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
  std::snprintf(output, static_cast<std::size_t>(outputSize), "bench 1.0");
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
  if (std::strcmp(function, "fn") == 0) {
    writeOk(output, outputSize);
  } else if (std::strncmp(function, "busy ", 5) == 0) {
    busyWait(output, outputSize, std::atof(function + 5));
  }
}

EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char** argv,
                                                             std::int32_t argc) {
  if (std::strcmp(function, "fn") == 0) {
    writeOk(output, outputSize);
  } else if (std::strcmp(function, "busy") == 0 && argc >= 1) {
    busyWait(output, outputSize, std::atof(argv[0]));
  }
  return 0;
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionRegisterCallback(std::int32_t (*)(const char*, const char*,
                                                                                  const char*)) {}

#if BENCH_CONTEXT
volatile unsigned int contextSlots = 0;

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionContext(const char**, unsigned int argsCnt) {
  contextSlots = argsCnt;
}
#endif

}  // extern "C"
