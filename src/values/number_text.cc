// Number text: atof-compatible reading and printf("%g")-compatible writing of numbers.
//
// Both directions rest on <charconv>, which is locale-independent and exactly rounded,
// with short exact paths in front of it for the common plain forms.
#include "values/number_text.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace {

// The short paths need double arithmetic rounded once per operation, which excludes
// the x87 unit's extended intermediates.
constexpr bool kExactDoubleArithmetic = FLT_EVAL_METHOD == 0;

// Powers of ten that a double holds exactly.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestExactPower = 22;

bool isWhitespace(char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }
bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }
bool isHexDigit(char byte) {
  return isDigit(byte) || (byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F');
}

// ---- Reading ----

// Reads an optionally signed decimal exponent at `next`, saturating far beyond any range
// that matters; answers 0 when there is none.
long long readExponent(const char* next, const char* end) {
  bool negative = false;
  if (next != end && (*next == '+' || *next == '-')) negative = *next++ == '-';
  long long exponent = 0;
  for (; next != end && isDigit(*next); ++next) {
    if (exponent < 1000000000) exponent = exponent * 10 + (*next - '0');
  }
  return negative ? -exponent : exponent;
}

// For a number text that is out of double's range, answers whether it is too large (as
// opposed to too small): the sign of its order of magnitude, in decimal or, for
// hexadecimal digits, in binary.
bool magnitudeIsLarge(const char* next, const char* end, bool hexadecimal) {
  const auto isMantissaDigit = hexadecimal ? isHexDigit : isDigit;
  const char exponentMark = hexadecimal ? 'p' : 'e';
  const long long digitWeight = hexadecimal ? 4 : 1;
  while (next != end && *next == '0') ++next;
  long long order = 0;  // order of magnitude of the leading non-zero digit
  bool found = false;
  for (; next != end && isMantissaDigit(*next); ++next) {
    found = true;
    order += digitWeight;
  }
  if (next != end && *next == '.') {
    ++next;
    if (!found) {
      for (; next != end && *next == '0'; ++next) order -= digitWeight;
    }
    while (next != end && isMantissaDigit(*next)) ++next;
  }
  if (next != end && (*next | 0x20) == exponentMark) order += readExponent(next + 1, end);
  return order > 0;
}

// Answers where strtod stops reading the hexadecimal digits at `next`: after the digits,
// an optional point and more digits, and a binary exponent only when a digit follows its
// "p" and optional sign. std::from_chars is not trusted with the end: some libraries read
// "p+-5" as an exponent.
const char* hexadecimalNumberEnd(const char* next, const char* end) {
  while (next != end && isHexDigit(*next)) ++next;
  if (next != end && *next == '.') {
    ++next;
    while (next != end && isHexDigit(*next)) ++next;
  }
  if (next == end || (*next | 0x20) != 'p') return next;
  const char* exponent = next + 1;
  if (exponent != end && (*exponent == '+' || *exponent == '-')) ++exponent;
  if (exponent == end || !isDigit(*exponent)) return next;
  while (exponent != end && isDigit(*exponent)) ++exponent;
  return exponent;
}

// Reads a text that is entirely digits with at most one point, at most 15 digits in all,
// and optionally an exponent ("e", a sign, up to three digits). When the number's digits
// times ten to some power between -22 and 22 give its value, that is one multiplication
// or division of two exact doubles, which rounds exactly like strtod. Answers false for
// any other text.
bool readPlainDecimal(const char* next, const char* end, double& value) {
  if (!kExactDoubleArithmetic || end - next > 22) return false;
  std::uint64_t digits = 0;
  int digitCount = 0;
  int power = 0;  // of ten, to multiply the digits with
  bool point = false;
  for (; next != end && *next != 'e' && *next != 'E'; ++next) {
    if (isDigit(*next)) {
      digits = digits * 10 + static_cast<unsigned>(*next - '0');
      ++digitCount;
      if (point) --power;
    } else if (*next == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (digitCount == 0 || digitCount > 15) return false;
  if (next != end) {  // the exponent
    ++next;
    bool negative = false;
    if (next != end && (*next == '+' || *next == '-')) negative = *next++ == '-';
    if (next == end || end - next > 3) return false;
    int exponent = 0;
    for (; next != end; ++next) {
      if (!isDigit(*next)) return false;
      exponent = exponent * 10 + (*next - '0');
    }
    power += negative ? -exponent : exponent;
  }
  if (power < -kLargestExactPower || power > kLargestExactPower) return false;
  const auto mantissa = static_cast<double>(digits);
  value = power >= 0 ? mantissa * kPowersOfTen[power] : mantissa / kPowersOfTen[-power];
  return true;
}

// Converts the text after a sign, "C" locale, as strtod does. Answers false when no
// number can be read at all.
bool readUnsignedNumber(const char* next, const char* end, double& value) {
  value = 0.0;
  if (readPlainDecimal(next, end, value)) return true;
  if (end - next >= 2 && next[0] == '0' && (next[1] | 0x20) == 'x') {
    const char* digits = next + 2;
    const bool hasDigits = digits != end && (isHexDigit(*digits) ||
                                             (*digits == '.' && end - digits >= 2 && isHexDigit(digits[1])));
    // Without hexadecimal digits the number is the "0" in front of the x.
    if (!hasDigits) return true;
    const char* const numberEnd = hexadecimalNumberEnd(digits, end);
    const std::from_chars_result read = std::from_chars(digits, numberEnd, value, std::chars_format::hex);
    if (read.ec == std::errc::result_out_of_range) {
      value = magnitudeIsLarge(digits, end, true) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return true;
  }
  // from_chars reads what strtod reads once the sign and a hexadecimal prefix are gone.
  const std::from_chars_result read = std::from_chars(next, end, value);
  if (read.ec == std::errc::result_out_of_range) {
    value = magnitudeIsLarge(next, end, false) ? std::numeric_limits<double>::infinity() : 0.0;
    return true;
  }
  return read.ec == std::errc();
}

// ---- Writing ----

// Writes `magnitude` (below one million) in decimal; answers the end.
char* writeSmallInteger(char* out, std::uint32_t magnitude) {
  char digits[8];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const auto count = static_cast<std::size_t>(digits + sizeof digits - first);
  std::memcpy(out, first, count);
  return out + count;
}

// Whether magnitude >= 10^power, for |power| <= kLargestExactPower. For a negative power
// the product is rounded, which can only err for a magnitude within one rounding of
// 10^power, where both answers lead to the same six digits below.
bool reachesPowerOfTen(double magnitude, int power) {
  return power >= 0 ? magnitude >= kPowersOfTen[power] : magnitude * kPowersOfTen[-power] >= 1.0;
}

// Writes a positive, finite, normal float `magnitude` as "%g" does, using one exactly
// rounded multiplication or division by an exact power of ten. The scaled value lies
// below 10^6 and is off by at most 2^-53 of it, about 1.2e-10, so the digit rounding is
// certain unless the fraction is that close to one half; then, or out of the range of
// exact powers, it answers nullptr and the caller converts exactly instead.
char* writeGeneralShort(char* out, float magnitude) {
  if (!kExactDoubleArithmetic || !(magnitude >= FLT_MIN)) return nullptr;
  const double value = magnitude;
  std::uint32_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  const int binaryExponent = static_cast<int>((bits >> 23) & 0xff) - 127;
  // floor(binaryExponent * log10(2)) is the decimal exponent or one below it.
  int decimalExponent = (binaryExponent * 78913) >> 18;
  if (decimalExponent < -17 || decimalExponent > 21) return nullptr;
  if (reachesPowerOfTen(value, decimalExponent + 1)) ++decimalExponent;

  const int shift = 5 - decimalExponent;  // scale to six digits before the point
  const double scaled = shift >= 0 ? value * kPowersOfTen[shift] : value / kPowersOfTen[-shift];
  auto whole = static_cast<std::uint32_t>(scaled);
  const double fraction = scaled - whole;
  if (std::fabs(fraction - 0.5) < 1e-9) return nullptr;
  if (fraction > 0.5) ++whole;
  if (whole == 1000000) {
    whole = 100000;
    ++decimalExponent;
  }
  if (whole < 100000 || whole > 999999) return nullptr;

  char digits[6];
  for (int i = 5; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  }
  int significant = 6;
  while (significant > 1 && digits[significant - 1] == '0') --significant;

  if (decimalExponent < -4 || decimalExponent >= 6) {
    *out++ = digits[0];
    if (significant > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, static_cast<std::size_t>(significant - 1));
      out += significant - 1;
    }
    *out++ = 'e';
    *out++ = decimalExponent < 0 ? '-' : '+';
    const int exponent = decimalExponent < 0 ? -decimalExponent : decimalExponent;
    *out++ = static_cast<char>('0' + exponent / 10);
    *out++ = static_cast<char>('0' + exponent % 10);
  } else if (decimalExponent >= 0) {
    const int wholeDigits = decimalExponent + 1;
    std::memcpy(out, digits, static_cast<std::size_t>(wholeDigits));
    out += wholeDigits;
    if (significant > wholeDigits) {
      *out++ = '.';
      std::memcpy(out, digits + wholeDigits, static_cast<std::size_t>(significant - wholeDigits));
      out += significant - wholeDigits;
    }
  } else {
    *out++ = '0';
    *out++ = '.';
    for (int zeros = -decimalExponent - 1; zeros > 0; --zeros) *out++ = '0';
    std::memcpy(out, digits, static_cast<std::size_t>(significant));
    out += significant;
  }
  return out;
}

}  // namespace

double doubleFromText(std::string_view text) {
  const char* next = text.data();
  const char* const end = next + text.size();
  while (next != end && isWhitespace(*next)) ++next;
  bool negative = false;
  if (next != end && (*next == '+' || *next == '-')) negative = *next++ == '-';
  // With no number at all (a second sign included) strtod answers a positive zero.
  double magnitude = 0.0;
  if (next == end || *next == '+' || *next == '-' || !readUnsignedNumber(next, end, magnitude)) {
    return 0.0;
  }
  return negative ? -magnitude : magnitude;
}

float numberFromText(std::string_view text) {
  // Storing in single precision rounds to nearest; beyond its range that is infinity.
  return static_cast<float>(doubleFromText(text));
}

bool isNumberTextAsPrinted(std::string_view text) {
  // Any decimal of at most six significant digits reads as the float nearest to it, and
  // six digits are fewer than a float holds, so "%g" writes that decimal back. It only has
  // to be in the form "%g" chooses: -?(0|[1-9][0-9]*)(\.[0-9]*[1-9])? with the decimal
  // exponent from -4 to 5.
  std::size_t next = 0;
  const std::size_t size = text.size();
  if (next < size && text[next] == '-') ++next;
  if (next == size || !isDigit(text[next])) return false;
  const bool zeroWhole = text[next] == '0';
  const std::size_t wholeStart = next;
  if (zeroWhole) {
    ++next;
  } else {
    while (next < size && isDigit(text[next])) ++next;
  }
  const std::size_t wholeDigits = zeroWhole ? 0 : next - wholeStart;  // significant ones
  if (next == size) return wholeDigits <= 6;
  if (text[next] != '.') return false;
  const std::size_t fractionStart = ++next;
  while (next < size && isDigit(text[next])) ++next;
  if (next != size || next == fractionStart || text[size - 1] == '0') return false;
  std::size_t leadingZeros = 0;  // behind the point, before the first significant digit
  if (zeroWhole) {
    while (text[fractionStart + leadingZeros] == '0') ++leadingZeros;
    if (leadingZeros > 3) return false;  // below 10^-4 "%g" writes an exponent
  }
  return wholeDigits + (size - fractionStart - leadingZeros) <= 6;
}

void appendNumber(std::string& out, float number) {
  char buffer[32];
  char* end = buffer;
  const bool negative = std::signbit(number);
  const float magnitude = negative ? -number : number;
  if (negative) *end++ = '-';  // also for -0, as "%g" writes it
  if (magnitude < 1000000.0f && static_cast<float>(static_cast<std::uint32_t>(magnitude)) == magnitude) {
    // A whole number below one million: "%g" writes its plain digits.
    end = writeSmallInteger(end, static_cast<std::uint32_t>(magnitude));
  } else if (char* written = writeGeneralShort(end, magnitude)) {
    end = written;
  } else {
    // std::to_chars with a precision is specified as printf's "%.6g" in the "C" locale.
    end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(number),
                        std::chars_format::general, 6)
              .ptr;
  }
  out.append(buffer, end);
}
