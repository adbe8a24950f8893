// Number text: reading and writing numbers in the game's notation, locale-independent.
#ifndef INVOKEMODULE_VALUES_NUMBER_TEXT_H_
#define INVOKEMODULE_VALUES_NUMBER_TEXT_H_

#include <string>
#include <string_view>

// The nearest float to what the C library's atof gives for exactly these bytes in the
// "C" locale: decimal and hexadecimal forms, inf, infinity and nan, one leading + or -,
// leading white space, the longest readable prefix, and 0 when nothing can be read.
// Independent of the global locale; a NUL byte ends the number like any other byte
// that cannot continue it.
float numberFromText(std::string_view text);

// The same reading in double precision, before it is stored in a float: what strtod gives
// in the "C" locale, infinity for a number too large for a double.
double doubleFromText(std::string_view text);

// Appends `number`, widened to double, as printf("%g") writes it in the "C" locale:
// six significant digits, exponent forms like "1e+06", "-0", "inf" and "nan". Independent
// of the global locale and of the C runtime's exponent style.
void appendNumber(std::string& out, float number);

// Whether `text` is exactly what appendNumber writes for numberFromText(text): plain
// decimals such as "42", "-0", "3.25" or "0.001" with at most six significant digits, no
// superfluous zeros or signs, and no exponent.
bool isNumberTextAsPrinted(std::string_view text);

#endif  // INVOKEMODULE_VALUES_NUMBER_TEXT_H_
