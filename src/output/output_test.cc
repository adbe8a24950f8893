// The print routine's directives and the shared printers, in plain and in colour mode.
#include "output/output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "output/output_test_support.h"

namespace {

using OutputTest = OutputCaptureTest;

TEST_F(OutputTest, ALineFromAnotherThreadRestoresTheColourInEffect) {
  useColours(true);
  setColour(ConsoleColour::DarkGray);
  consolePrint("\r%d%%", 20);
  printColouredRestoring(ConsoleColour::Cyan, "\n>> %s\n", "cb");
  consolePrint("\r%d%%", 21);
  setColour(ConsoleColour::White);
  printColouredRestoring(ConsoleColour::Cyan, "%s\n", "cb");
  EXPECT_EQ("\x1b[90m\r20%\x1b[96m\n>> cb\n\x1b[90m\r21%\x1b[0m\x1b[96mcb\n\x1b[0m", printed());
}

TEST_F(OutputTest, FormatDirectives) {
  consolePrint("[%d|%d|%u|%s|%%|%lf]", -42, 2147483647, 4294967295u, "a\"b", 1234.5);
  consolePrint("{%s}", "");
  EXPECT_EQ("[-42|2147483647|4294967295|a\"b|%|1234.500000]{}", printed());
}

// "%lf" must give exactly what the C library's "%.6f" gives, for every finite double: both
// sides of every internal boundary, exact ties and a wide random sample.
TEST_F(OutputTest, FixedNotationMatchesTheCLibraryForEveryFiniteDouble) {
  std::vector<double> values = {0.0,
                                -0.0,
                                0.5,
                                1e-7,
                                4e-7,
                                5e-7,
                                6e-7,
                                0.0000005,
                                -0.0000004,
                                0.000031,
                                0.9999995,
                                0.99999949999999,
                                9.9999995,
                                123456.7890125,
                                1e15,
                                -1e15,
                                1e300,
                                -1e300,
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(),
                                -std::numeric_limits<double>::denorm_min(),
                                std::ldexp(1.0, 43),
                                std::nextafter(std::ldexp(1.0, 43), 0.0),
                                std::ldexp(1.0, -67),
                                std::ldexp(1.0, -66),
                                std::ldexp(1.0, -21),
                                std::ldexp(3.0, -22),
                                std::ldexp(1.0, 42) + 0.0078125};
  for (int odd = 1; odd < 4000; odd += 2) {
    values.push_back(odd / 128.0);  // ties at the seventh decimal: half to even
    values.push_back(-odd / 128.0);
    values.push_back(std::ldexp(1.0, 30) + odd / 128.0);
  }
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 100000; ++i) {
    std::uint64_t bits = random();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    values.push_back(any);
    double millionths = static_cast<double>(random() % 100000000000ULL);
    double near = millionths / 1e6 + 5e-7;  // next to a rounding boundary
    values.push_back(near);
    values.push_back(std::nextafter(near, 0.0));
    values.push_back(std::nextafter(near, 1e9));
    int exponent = -static_cast<int>(random() % 80);
    values.push_back(std::ldexp(static_cast<double>(random() >> 11), exponent));
  }
  for (double value : values) {
    if (!std::isfinite(value)) continue;  // the random bit patterns hold a few
    char expected[400];
    std::snprintf(expected, sizeof expected, "%.6f", value);
    text_.clear();
    consolePrint("%lf", value);
    ASSERT_EQ(expected, printed()) << std::hexfloat << value;
  }
}

// Infinities and NaNs are written the same on every platform, as glibc's printf writes them.
TEST_F(OutputTest, FixedNotationOfInfinitiesAndNaNs) {
  const double infinity = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  consolePrint("%lf|%lf|%lf|%lf", infinity, -infinity, nan, -nan);
  EXPECT_EQ("inf|-inf|nan|-nan", printed());
}

TEST_F(OutputTest, PointersAreUpperCaseHexWithoutPrefix) {
  consolePrint("%p", reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xABCDEF12)));
  std::string expected = sizeof(void*) == 8 ? "00000000ABCDEF12" : "ABCDEF12";
  EXPECT_EQ(expected, printed());
}

TEST_F(OutputTest, TerminalControlsOnlyWhenEnabled) {
  moveCursorUp();
  setWindowTitle("t");
  EXPECT_EQ("", printed());
  useColours(true);
  moveCursorUp();
  setWindowTitle("t");
  EXPECT_EQ("\x1b[A\x1b]0;t\x07", printed());
}

}  // namespace
