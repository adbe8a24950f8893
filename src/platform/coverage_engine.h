// The coverage-guided engine of --fuzz: libFuzzer's driver, where the build made a shared
// object of clang's fuzzer runtime (Linux builds that found it); elsewhere absent.
#ifndef INVOKEMODULE_PLATFORM_COVERAGE_ENGINE_H_
#define INVOKEMODULE_PLATFORM_COVERAGE_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Loads the engine, so that the extensions loaded after it find its coverage hooks; false where
// there is none. Loading again answers as the first time.
bool loadCoverageEngine();

// True once loadCoverageEngine succeeded.
bool coverageEngineLoaded();

// Runs libFuzzer's driver with `flags` (its options and corpus folders; no program name):
// `each` gets every input it makes. When the driver ends on its own, `finish` is called and
// its result is the exit status; without the engine, at once. Never returns.
[[noreturn]] void runCoverageEngine(const std::vector<std::string>& flags,
                                    std::function<void(const std::uint8_t*, std::size_t)> each,
                                    std::function<int()> finish);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_COVERAGE_ENGINE_H_
