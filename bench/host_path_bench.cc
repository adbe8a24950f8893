// The host's hot path piece by piece, with the two costs no host can avoid beside it: a clock
// read and a call through a library pointer. Output goes into a reused string, so no system
// call is timed here; run_benchmarks.py times the whole executable for that.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "captured_output.h"
#include "commands/command_patterns.h"
#include "commands/dispatch.h"
#include "extensions/extension_api.h"
#include "extensions/extension_registry.h"
#include "output/output.h"
#include "platform/dynamic_library.h"
#include "platform/platform.h"
#include "values/array_parser.h"

namespace {

const std::string kCommand = R"("bench" invokeModule ["fn", [1, "two", true, [3]]])";

// The bench extension's RVExtensionArgs, loaded once.
RVExtensionArgsFunction benchEntryPoint() {
  static RVExtensionArgsFunction entry = [] {
    std::filesystem::current_path(BENCH_EXTENSION_DIR);
    platform::LibraryOpenFailure failure;
    void* library = nullptr;
    for (const char* suffix : platform::libraryFileSuffixes()) {
      library = platform::openLibrary(std::string("./bench") + suffix, &failure);
      if (library != nullptr) break;
    }
    if (library == nullptr) return static_cast<RVExtensionArgsFunction>(nullptr);
    return reinterpret_cast<RVExtensionArgsFunction>(platform::findLibrarySymbol(library, "RVExtensionArgs"));
  }();
  return entry;
}

// Baseline: one read of the host's clock.
void BM_ClockRead(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(platform::counter());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClockRead);

// Baseline: one call of the "fn" entry point through its library pointer, buffer not cleared.
void BM_CallThroughPointer(benchmark::State& state) {
  RVExtensionArgsFunction entry = benchEntryPoint();
  if (entry == nullptr) {
    state.SkipWithError("bench extension not found");
    return;
  }
  static char output[kExtensionOutputSize];
  const char* argv[] = {"1", "\"two\"", "true", "[3]"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(entry(output, kExtensionOutputSize, "fn", argv, 4));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallThroughPointer);

// Recognising the command line among the five command forms.
void BM_RecogniseArgumentCall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(recogniseCommand(kCommand).array.data());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecogniseArgumentCall);

// Writing one execution-time line into the output buffer.
void BM_PrintExecutionTime(benchmark::State& state) {
  CapturedOutput output;
  double milliseconds = 0.000031;
  for (auto _ : state) {
    printExecutionTime(milliseconds);
    milliseconds += 0.000001;
    output.trim();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintExecutionTime);

// The values' share of one command: the argument texts of the command's array and the
// pointers to them, as the dispatcher builds them.
void BM_CommandArguments(benchmark::State& state) {
  const std::string_view literal = recogniseCommand(kCommand).array;
  for (auto _ : state) {
    std::size_t cursor = 0;
    ArgumentTexts arguments = argumentTextsOfLiteral(literal.data(), literal.size(), cursor);
    benchmark::DoNotOptimize(arguments.argv());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommandArguments);

// One whole typed command: recognise, parse, argument texts, look-up, call, print.
void BM_DispatchArgumentCall(benchmark::State& state) {
  if (benchEntryPoint() == nullptr) {
    state.SkipWithError("bench extension not found");
    return;
  }
  CapturedOutput output;
  std::string command = kCommand;
  dispatchCommand(false, command);  // loads the extension
  for (auto _ : state) {
    dispatchCommand(false, command.assign(kCommand));
    output.trim();
  }
  state.SetItemsProcessed(state.iterations());
  extensionRegistry.unloadAll();
}
BENCHMARK(BM_DispatchArgumentCall);

// An argument-form command whose array literal holds at least `size` bytes of mixed items.
std::string bigArgumentLine(std::size_t size) {
  static const char* const kItems[] = {
      "1",     R"("two")",        "true",   "[3]",  "-2.5", R"("a ""quoted"" text, with ] inside")",
      "FALSE", R"([[1,"x"],[]])", "123456", "1e-3",
  };
  std::string line = R"("bench" invokeModule ["fn", [)";
  std::size_t next = 0;
  while (line.size() < size) {
    if (next != 0) line += ", ";
    line += kItems[next % (sizeof kItems / sizeof kItems[0])];
    ++next;
  }
  line += "]]";
  return line;
}

// Recognising the line, parsing its array and building the argument texts and their pointers,
// as the dispatcher does: the work between reading the line and calling the extension. Their
// release is outside the timing.
void BM_BigArgumentLine(benchmark::State& state) {
  const std::string line = bigArgumentLine(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    CommandMatch match = recogniseCommand(line);
    std::size_t cursor = 0;
    auto arguments = std::make_unique<ArgumentTexts>(
        argumentTextsOfLiteral(match.array.data(), match.array.size(), cursor));
    std::string function = unquoteString(match.function);
    benchmark::DoNotOptimize(arguments->argv());
    benchmark::DoNotOptimize(function.data());
    state.PauseTiming();
    arguments.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_BigArgumentLine)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// The whole command on a big line through the real dispatcher, release included: the line
// copied into the dispatcher, recognised, its argument texts built, the "fn" call, its output.
void BM_DispatchBigArgumentLine(benchmark::State& state) {
  if (benchEntryPoint() == nullptr) {
    state.SkipWithError("bench extension not found");
    return;
  }
  const std::string line = bigArgumentLine(static_cast<std::size_t>(state.range(0)));
  CapturedOutput output;
  std::string command = kCommand;
  dispatchCommand(false, command);  // loads the extension
  for (auto _ : state) {
    dispatchCommand(false, command.assign(line));
    output.trim();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
  extensionRegistry.unloadAll();
}
BENCHMARK(BM_DispatchBigArgumentLine)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// The recognition alone, the host's share of the work above.
void BM_RecogniseBigArgumentLine(benchmark::State& state) {
  const std::string line = bigArgumentLine(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(recogniseCommand(line).array.data());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_RecogniseBigArgumentLine)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
