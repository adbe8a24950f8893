// Cost of one extension call through the host: handle lookup, guarded buffer, timing, quoting
// and printing, against the real test extension. Output goes into a reused string.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "captured_output.h"
#include "extensions/argument_vector.h"
#include "extensions/extension_handle.h"
#include "extensions/extension_registry.h"
#include "extensions/guarded_buffer.h"
#include "output/output.h"
#include "platform/crash_guard.h"
#include "platform/dynamic_library.h"

namespace {

// A short bare name, as users type it: found in the current directory, which the benchmarks
// set to the test extensions' directory.
const std::string kExtension = "testext_full";

void enterExtensionDirectory() { std::filesystem::current_path(TESTEXT_DIR); }

void BM_ArgumentFormCall(benchmark::State& state) {
  enterExtensionDirectory();
  CapturedOutput output;
  { ExtensionHandle load(kExtension); }
  const char* argv[] = {"1", "\"two\""};
  for (auto _ : state) {
    ExtensionHandle handle(kExtension);
    handle.callArgs("fn", argv, 2);
    output.trim();
  }
  state.SetItemsProcessed(state.iterations());
  extensionRegistry.unloadAll();
}
BENCHMARK(BM_ArgumentFormCall);

// Function-form calls of `function` to the extension `name`, loaded first.
void callRepeatedly(benchmark::State& state, const std::string& name, const char* function) {
  CapturedOutput output;
  { ExtensionHandle load(name); }
  for (auto _ : state) {
    ExtensionHandle handle(name);
    handle.call(function);
    output.trim();
  }
  state.SetItemsProcessed(state.iterations());
  extensionRegistry.unloadAll();
}

void BM_FunctionFormCall(benchmark::State& state) {
  enterExtensionDirectory();
  callRepeatedly(state, kExtension, "hello");
}
BENCHMARK(BM_FunctionFormCall);

// A function-form call to the "bench" extension (0) and to "bench_context" (1), which also
// exports RVExtensionContext: the difference is what the context costs a call.
void BM_CallWithContext(benchmark::State& state) {
  std::filesystem::current_path(BENCH_EXTENSION_DIR);
  state.SetLabel(state.range(0) != 0 ? "with RVExtensionContext" : "without");
  callRepeatedly(state, state.range(0) != 0 ? "bench_context" : "bench", "fn");
}
BENCHMARK(BM_CallWithContext)->Arg(0)->Arg(1);

// What preparing and checking the 10240-byte buffer with its guard zone costs per call.
void BM_GuardedBufferRoundTrip(benchmark::State& state) {
  GuardedBuffer buffer(10240, static_cast<GuardedBuffer::GuardCheck>(state.range(0)));
  state.SetLabel(buffer.guardCheck() == GuardedBuffer::GuardCheck::Trap ? "trap" : "scan");
  for (auto _ : state) {
    char* data = buffer.prepare();
    data[0] = 'x';
    benchmark::DoNotOptimize(buffer.overrun());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GuardedBufferRoundTrip)
    ->Arg(static_cast<int>(GuardedBuffer::GuardCheck::Trap))
    ->Arg(static_cast<int>(GuardedBuffer::GuardCheck::Scan));

// The check made before and after every call: the trap flags of both guard zones and the
// comparison of the markers in front of the 10240-byte buffer (on the part of its first page
// that page protection cannot cover).
void BM_GuardMarkerCheck(benchmark::State& state) {
  GuardedBuffer buffer(10240);
  state.SetLabel(std::to_string(buffer.markerSize()) + " marker bytes");
  for (auto _ : state) benchmark::DoNotOptimize(buffer.guardsWritten());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GuardMarkerCheck);

// What every argument-form call adds so that argv[argc] is a null pointer and the memory after
// it cannot be read: its pointers copied against the end of the reused mapping (the command of
// the throughput figures has four arguments).
void BM_ArgumentVectorPlaced(benchmark::State& state) {
  ArgumentVector vector;
  const char* argv[] = {"1", "\"two\"", "true", "[3]"};
  for (auto _ : state) benchmark::DoNotOptimize(vector.place(argv, 4));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArgumentVectorPlaced);

// RVExtension of the test extension `base` called with `function`, directly (range 0) or under
// the crash guard (range 1): below the stack gap every call leaves, with the watchdog's per-call
// bookkeeping left out.
void callDirectOrGuarded(benchmark::State& state, const char* base, const char* function) {
  enterExtensionDirectory();
  platform::LibraryOpenFailure failure;
  void* library = platform::openLibrary(std::string("./") + base + "_x64.so", &failure);
  if (library == nullptr) library = platform::openLibrary(std::string("./") + base + ".so", &failure);
  auto entry = reinterpret_cast<RVExtensionFunction>(platform::findLibrarySymbol(library, "RVExtension"));
  char output[64];
  platform::CrashRecord crash;
  state.SetLabel(state.range(0) != 0 ? "guarded" : "unguarded");
  for (auto _ : state) {
    if (state.range(0) != 0) {
      auto call = [&] {
        entry(output, sizeof output, function);
        return 0;
      };
      auto body = [&] { platform::callBelowGap(CallState::kSessionStackGap, call); };
      benchmark::DoNotOptimize(platform::runGuarded(body, {nullptr}, &crash));
    } else {
      entry(output, sizeof output, function);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  platform::closeLibrary(library);
}

// The crash guard's cost: the difference is the guard's share of a typed call.
void BM_CrashGuardedCall(benchmark::State& state) { callDirectOrGuarded(state, "testext_full", "empty"); }
BENCHMARK(BM_CrashGuardedCall)->Arg(0)->Arg(1);

// An exception the extension throws and catches itself (three calls deep): inside a guarded
// call the host records each throw's stack in case it escapes.
void BM_ThrowCaughtInsideExtension(benchmark::State& state) {
  callDirectOrGuarded(state, "crashy", "throwcaught");
}
BENCHMARK(BM_ThrowCaughtInsideExtension)->Arg(0)->Arg(1);

}  // namespace
