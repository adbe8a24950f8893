// What the 32-bit stack check adds to a call into an extension: the same stdcall function
// called through its pointer, directly and through callEntryPoint, in alternating rounds.
// Prints "direct <ns> checked <ns>", each the median nanoseconds per call of the rounds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "extensions/entry_point_call.h"
#include "extensions/extension_api.h"

namespace {

// An argument-form entry point that does as little as one can: it writes "ok".
std::int32_t INVOKEMODULE_STDCALL writeOk(char* output, std::int32_t outputSize, const char*, const char**,
                                          std::int32_t) {
  if (outputSize >= 3) std::memcpy(output, "ok", 3);
  return 0;
}

// Read through a volatile pointer, so the calls stay indirect as calls into a library are.
RVExtensionArgsFunction volatile entryPoint = writeOk;

template <class Call>
double nanosecondsPerCall(int calls, Call call) {
  char output[16];
  const char* argv[] = {"1", nullptr};
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) call(output, argv);
  std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / calls;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  const int calls = 2000000;
  std::vector<double> direct, checked;
  for (int round = 0; round < 9; ++round) {
    direct.push_back(nanosecondsPerCall(
        calls, [](char* output, const char** argv) { entryPoint(output, 16, "fn", argv, 1); }));
    checked.push_back(nanosecondsPerCall(calls, [](char* output, const char** argv) {
      callEntryPoint(kArgsEntryPoint, entryPoint, output, 16, "fn", argv, 1);
    }));
  }
  std::printf("direct %.2f checked %.2f\n", median(direct), median(checked));
  return 0;
}
