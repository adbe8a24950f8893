// The test mode: each script runs in a child process of the host, its stable transcript is
// compared with the expected file beside it, and the run ends with a status for CI.
#ifndef INVOKEMODULE_TESTMODE_SUITE_RUNNER_H_
#define INVOKEMODULE_TESTMODE_SUITE_RUNNER_H_

#include <cstdint>
#include <string>
#include <vector>

struct TestRunOptions {
  bool update = false;    // write the expected files instead of failing
  std::string junitPath;  // where the JUnit report goes; empty: none
  std::int64_t timeoutSeconds = 60;
  std::vector<std::string> sessionOptions;  // given to each script's host before the script
};

// Set in the environment of each child: the host then runs its start script for a transcript
// (plain output, no banner, callback lines from other threads held to command boundaries).
inline constexpr const char* kTestChildVariable = "INVOKEMODULE_TEST_CHILD";

// The scripts the paths name, in order: a folder gives its `*.sqf` files sorted by name. On a
// path that is neither, or a folder without scripts, returns false with `error` set.
bool collectScripts(const std::vector<std::string>& paths, std::vector<std::string>* scripts,
                    std::string* error);

// Runs the scripts; returns the exit status: 0 all passed, 1 any failed, 2 when the program's
// own file cannot be found, 130 interrupted.
int runTestMode(const TestRunOptions& options, const std::vector<std::string>& scripts);

// Runs `script` in a child as the test mode does and writes the expected transcript that
// --update writes for a script without one, beside it; `expectedPath` is where. Answers false
// with `error` set when the child did not end by itself within the limit or the file could
// not be written.
bool recordExpectedTranscript(const std::string& script, std::int64_t timeoutSeconds,
                              std::string* expectedPath, std::string* error);

#endif  // INVOKEMODULE_TESTMODE_SUITE_RUNNER_H_
