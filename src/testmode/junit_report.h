// The JUnit XML report of a test run: one test case per script, the diff as failure text.
#ifndef INVOKEMODULE_TESTMODE_JUNIT_REPORT_H_
#define INVOKEMODULE_TESTMODE_JUNIT_REPORT_H_

#include <string>
#include <string_view>
#include <vector>

struct ScriptOutcome {
  std::string path;
  bool passed = false;
  double seconds = 0;
  std::string failure;  // one line: why it failed
  std::string details;  // the diff or the transcript
};

// `text` as XML character data or attribute value: markup characters as entities, control
// characters XML cannot hold as `\xNN`, carriage returns as a reference so they survive, and
// every byte sequence that is not UTF-8 of a character XML allows as U+FFFD.
std::string xmlEscaped(std::string_view text);

std::string junitReport(const std::vector<ScriptOutcome>& outcomes);

#endif  // INVOKEMODULE_TESTMODE_JUNIT_REPORT_H_
