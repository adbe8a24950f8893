// Benchmarks for the array literal parser and argument texts on large mixed literals.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "values/game_array_parser.h"
#include "values/number_text.h"

namespace {

// A literal of at least `size` bytes whose items mix whole and fractional numbers,
// strings with doubled quotes and delimiters inside, booleans, nil and nested arrays.
std::string mixedLiteral(std::size_t size) {
  static const char* const kItems[] = {
      "42",
      "-3.25",
      R"("say ""hi"" to ""them""")",
      "true",
      R"([1,"a,b]",[false,2.5e-3],[]])",
      "1.5e7",
      R"("plain text with spaces, commas] and brackets")",
      "FALSE",
      "123456",
      R"([[["deep"]],-0.001])",
      "nil",
      R"("""")",
  };
  std::string literal = "[";
  std::size_t next = 0;
  while (literal.size() < size) {
    if (next != 0) literal += ", ";
    literal += kItems[next % (sizeof kItems / sizeof kItems[0])];
    ++next;
  }
  literal += ']';
  return literal;
}

// Parse and argument texts, the work between reading a command and calling the
// extension. The release of the array, which follows the call, is timed separately.
void BM_ParseAndArgumentList(benchmark::State& state) {
  const std::string literal = mixedLiteral(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t cursor = 0;
    auto parsed = std::make_unique<GameArray>(parseGameArray(literal.c_str(), literal.size(), cursor));
    const std::vector<const char*> arguments = parsed->argumentList();
    benchmark::DoNotOptimize(arguments.data());
    state.PauseTiming();
    parsed.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(literal.size()));
}
BENCHMARK(BM_ParseAndArgumentList)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// Everything one command does with its argument array: parse, argument texts, release.
void BM_ParseArgumentListAndRelease(benchmark::State& state) {
  const std::string literal = mixedLiteral(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t cursor = 0;
    GameArray parsed = parseGameArray(literal.c_str(), literal.size(), cursor);
    const std::vector<const char*> arguments = parsed.argumentList();
    benchmark::DoNotOptimize(arguments.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(literal.size()));
}
BENCHMARK(BM_ParseArgumentListAndRelease)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// The argument texts written straight from the literal, without the value tree.
void BM_ArgumentTextsOfLiteral(benchmark::State& state) {
  const std::string literal = mixedLiteral(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t cursor = 0;
    ArgumentTexts texts = argumentTextsOfLiteral(literal.c_str(), literal.size(), cursor);
    benchmark::DoNotOptimize(texts.argv());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(literal.size()));
}
BENCHMARK(BM_ArgumentTextsOfLiteral)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// One deeply nested literal: a million levels, read and released without recursion.
void BM_ParseDeepNesting(benchmark::State& state) {
  const auto depth = static_cast<std::size_t>(state.range(0));
  const std::string literal = std::string(depth, '[') + "1" + std::string(depth, ']');
  for (auto _ : state) {
    std::size_t cursor = 0;
    GameArray parsed = parseGameArray(literal.c_str(), literal.size(), cursor);
    const std::vector<const char*> arguments = parsed.argumentList();
    benchmark::DoNotOptimize(arguments.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(literal.size()));
}
BENCHMARK(BM_ParseDeepNesting)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Writing numbers, the costliest text form.
void BM_NumberText(benchmark::State& state) {
  std::string out;
  float value = 0.001f;
  for (auto _ : state) {
    out.clear();
    for (int i = 0; i < 1000; ++i) {
      appendNumber(out, value);
      value = value * 1.0001f + 0.37f;
      if (value > 1e30f) value = 0.001f;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000);
}
BENCHMARK(BM_NumberText);

}  // namespace
