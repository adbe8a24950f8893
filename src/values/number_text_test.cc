// Tests for number text: writing against printf("%g") and reading against atof.
#include "values/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

// The C library is the reference here; this test process stays in the "C" locale.
std::string printfGeneral(float value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(value));
  return buffer;
}

// Some C runtimes write three exponent digits or read neither hexadecimal nor infinity;
// they cannot serve as the reference. The fixed tables hold everywhere.
bool printfIsC99() { return printfGeneral(1e6f) == "1e+06" && printfGeneral(-0.0f) == "-0"; }
bool atofIsC99() { return std::atof("0x1p3") == 8.0 && std::isinf(std::atof("-infinity")); }

std::string numberText(float value) {
  std::string text;
  appendNumber(text, value);
  return text;
}

// `value` rounded to single precision: with the x87 unit a float may otherwise carry
// excess precision into the reference call.
float stored(float value) {
  volatile float memory = value;
  return memory;
}

float floatFromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(NumberWriting, AppendsAndNotANumberKeepsItsSign) {
  const float quiet = std::numeric_limits<float>::quiet_NaN();
  std::string out = "x=";
  for (float value : {2.5f, -1e-7f, std::copysign(quiet, 1.0f), std::copysign(quiet, -1.0f)}) {
    appendNumber(out, value);
  }
  EXPECT_EQ(out, "x=2.5-1e-07nan-nan");
}

TEST(NumberWriting, MatchesPrintfAcrossTheWholeFloatRange) {
  if (!printfIsC99()) GTEST_SKIP() << "this C runtime's printf is not the C99 one";
  // Every 4099th bit pattern: all exponents, both signs, subnormals and infinities. (C
  // runtimes disagree on the sign of a NaN; the test above fixes it.)
  for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 4099) {
    const float value = floatFromBits(static_cast<std::uint32_t>(bits));
    if (std::isnan(value)) continue;
    ASSERT_EQ(numberText(value), printfGeneral(value)) << "bits " << bits;
  }
  std::mt19937 random(12345);
  std::uniform_real_distribution<float> ordinary(-2000000.0f, 2000000.0f);
  for (int i = 0; i < 300000; ++i) {
    const float value = stored(ordinary(random));
    ASSERT_EQ(numberText(value), printfGeneral(value)) << value;
  }
}

TEST(NumberWriting, MatchesPrintfOnRoundingTiesAndBoundaries) {
  if (!printfIsC99()) GTEST_SKIP() << "this C runtime's printf is not the C99 one";
  // Exactly representable values with a 5 in the seventh significant digit are ties;
  // values around powers of ten and one million test the choice of the form.
  const float edges[] = {1234565.0f, 1234575.0f, 123456.5f,       123457.5f, 0.5f,         2.5f,
                         1000005.0f, 9999995.0f, 8388607.5f,      0.125f,    9.765625e-4f, 999999.5f,
                         0.0001f,    0.00001f,   99999.95f,       1e-17f,    1e22f,        1e23f,
                         1e-18f,     1e27f,      3.0517578125e-5f};
  for (float value : edges) {
    for (float candidate : {value, std::nextafter(value, 0.0f), std::nextafter(value, 1e38f)}) {
      EXPECT_EQ(numberText(candidate), printfGeneral(candidate)) << candidate;
      EXPECT_EQ(numberText(-candidate), printfGeneral(-candidate)) << -candidate;
    }
  }
  for (int whole = 999000; whole <= 1001000; ++whole) {
    const auto value = static_cast<float>(whole);
    ASSERT_EQ(numberText(value), printfGeneral(value)) << whole;
  }
  for (int power = -45; power <= 38; ++power) {
    const float value = stored(static_cast<float>(std::pow(10.0, power)));
    for (float candidate : {value, std::nextafter(value, 0.0f), std::nextafter(value, 1e38f)}) {
      ASSERT_EQ(numberText(candidate), printfGeneral(candidate)) << candidate;
    }
  }
}

// Compares numberFromText with atof, NaN with NaN and zero signs included.
void expectSameAsAtof(const std::string& text) {
  const float expected = static_cast<float>(std::atof(text.c_str()));
  const float actual = numberFromText(text);
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << text;
  } else {
    EXPECT_EQ(actual, expected) << text;
  }
  EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << text;
}

TEST(NumberReading, AgreesWithAtof) {
  if (!atofIsC99()) GTEST_SKIP() << "this C runtime's atof is not the C99 one";
  const char* texts[] = {
      "0",
      "-0",
      "+7",
      "-3",
      ".5",
      "1.",
      "1e3",
      "1e",
      "1e+",
      "1e-2x",
      "12abc3",
      "#5",
      "",
      "-",
      "+",
      "--5",
      "+-5",
      "-+5",
      " 5",
      "\t-5",
      "- 5",
      "5 ",
      "1,5",
      "0.1",
      "-0.000",
      "007",
      "0x10",
      "0X1P3",
      "-0x1p-2",
      "0x",
      "0x.8",
      "0x.",
      "0xg",
      "-0x",
      "0x-5",
      "0x1p",
      "0x1.8p1x",
      "0x99999999p+-5",
      "0x1p-+3",
      "0x1.8p+",
      "0x1e5p-",
      "1e+-5",
      "1e-+5",
      "1e39",
      "-1e39",
      "3.4028235e38",
      "3.4028236e38",
      "3.40282357e38",
      "1e400",
      "-1e400",
      "1e-400",
      "-1e-400",
      "1e-46",
      "1e-45",
      "7e-46",
      "1e-310",
      "-inf",
      "-infinity5",
      "+INF9",
      "-nan5",
      "nan(12)",
      "00012.50",
      "1e0000000000000000000005",
      "0.000000000000000000000000000001e30",
      "123456789012345678901234567890",
      "999999999999999",
      "9999999999999999",
      "0.123456789012345",
      "1.00000005960464477539",
      "16777217",
      "16777219",
      "0x123456789abcdef0123456789p-100",
      "0x1p99999",
      "0x1p-99999",
      "0x0.0000000001p-1080",
      ".e5",
      "-.5e-1",
      "1e+38",
      "99999999999e30",
      "1.5\xff",
      "\u00e95",
  };
  for (const char* text : texts) expectSameAsAtof(text);
}

// The fixed values hold on every platform, also where atof cannot be the reference.
TEST(NumberReading, ReadsWhatAtofReads) {
  const float infinity = std::numeric_limits<float>::infinity();
  const std::pair<std::string_view, float> cases[] = {
      {"+7", 7.0f},
      {"--5", 0.0f},
      {" \t5", 5.0f},
      {"1,5", 1.0f},
      {"12abc3", 12.0f},
      {"1e+", 1.0f},
      {"2.5e-3", 0.0025f},
      {"-0x1p-2", -0.25f},
      {"0xg", 0.0f},
      {"0x.8", 0.5f},
      {"0x10p+-5", 16.0f},
      {"0x1.8p-", 1.5f},
      {"1e39", infinity},
      {"-1e400", -infinity},
      {"1e-50", 0.0f},
      {"-infinity5", -infinity},
      {"16777217", 16777216.0f},
      {{"12\0"
        "34",
        5},
       12.0f},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(numberFromText(text), expected) << text;
  EXPECT_TRUE(std::signbit(numberFromText("-1e-400")));
  EXPECT_FALSE(std::signbit(numberFromText("-x")));  // nothing read: a positive zero
  EXPECT_TRUE(std::isnan(numberFromText("-nan5")));
}

TEST(NumberReading, AgreesWithAtofOnRandomDecimals) {
  if (!atofIsC99()) GTEST_SKIP() << "this C runtime's atof is not the C99 one";
  std::mt19937 random(777);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> length(1, 20);
  std::uniform_int_distribution<int> exponent(-50, 50);
  for (int i = 0; i < 100000; ++i) {
    std::string text = i % 2 ? "-" : "";
    const int digits = length(random);
    const int point = length(random);
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + digit(random));
    }
    if (i % 3 == 0) {
      text += 'e';
      text += std::to_string(exponent(random));
    }
    expectSameAsAtof(text);
  }
}

TEST(NumberTextAsPrinted, WhatItAcceptsPrintsBackUnchanged) {
  std::mt19937 random(4242);
  std::uniform_int_distribution<int> pick(0, 11);
  std::uniform_int_distribution<int> length(1, 9);
  int accepted = 0;
  for (int i = 0; i < 300000; ++i) {
    std::string text;
    for (int n = length(random); n > 0; --n) {
      const int choice = pick(random);
      text += choice < 10 ? static_cast<char>('0' + choice) : choice == 10 ? '.' : '-';
    }
    if (!isNumberTextAsPrinted(text)) continue;
    ++accepted;
    std::string printed;
    appendNumber(printed, numberFromText(text));
    ASSERT_EQ(printed, text);
  }
  EXPECT_GT(accepted, 10000);  // the generator does reach the accepted forms
  for (const char* text : {"0", "-0", "42", "123456", "-3.25", "0.0001", "12345.6", "0.123456"}) {
    EXPECT_TRUE(isNumberTextAsPrinted(text)) << text;
  }
  for (const char* text :
       {"",    "-",       "+7",       "007",       "1.",  "1.50", ".5",  "0.0",  "-00", "1.0",  "0.00001",
        "1e3", "1234567", "12345.67", "0.1234567", "1,5", "5 ",   "inf", "0x10", "-.5", "1.2.3"}) {
    EXPECT_FALSE(isNumberTextAsPrinted(text)) << text;
  }
}

}  // namespace
