// Benchmark support: the host's output routed into a string that is emptied now and then.
#ifndef INVOKEMODULE_BENCH_CAPTURED_OUTPUT_H_
#define INVOKEMODULE_BENCH_CAPTURED_OUTPUT_H_

#include <string>

#include "output/output.h"

class CapturedOutput {
 public:
  CapturedOutput() {
    sink_.reserve(1 << 24);
    captureOutputForTesting(&sink_);
  }
  ~CapturedOutput() { captureOutputForTesting(nullptr); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  // Empties the string once it has grown large, so a long run does not grow it without end.
  void trim() {
    if (sink_.size() > (1 << 23)) sink_.clear();
  }

 private:
  std::string sink_;
};

#endif  // INVOKEMODULE_BENCH_CAPTURED_OUTPUT_H_
