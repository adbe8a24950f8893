// Test support: a fixture that captures everything the output module prints during a test.
#ifndef INVOKEMODULE_OUTPUT_OUTPUT_TEST_SUPPORT_H_
#define INVOKEMODULE_OUTPUT_OUTPUT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>

#include "output/output.h"

// Output goes into `text_` instead of standard output, as plain text unless a test asks for
// colours; the settings in force before the test are restored after it.
class OutputCaptureTest : public ::testing::Test {
 protected:
  // Colours (and terminal controls) as escape sequences, or plain text.
  void useColours(bool colours) {
    OutputSettings settings;
    settings.colourEscapes = colours;
    settings.terminalControls = colours;
    configureOutput(settings);
  }
  void SetUp() override {
    saved_ = outputSettings();
    captureOutputForTesting(&text_);
    useColours(false);
  }
  void TearDown() override {
    captureOutputForTesting(nullptr);
    configureOutput(saved_);
  }
  // Everything printed so far.
  std::string printed() {
    flushOutput();
    return text_;
  }

  std::string text_;
  OutputSettings saved_;
};

#endif  // INVOKEMODULE_OUTPUT_OUTPUT_TEST_SUPPORT_H_
