// Fuzz target for the array literal parser, the argument texts and the number texts.
//
// Checks, for any input: no crash, leak or undefined behaviour; the cursor ends on the
// outer "]" or at the end; every argument text is its element's text form, twice over;
// the array form is "[" + the texts joined by "," + "]"; argumentTextsOfLiteral gives the
// same texts; text forms of values without infinities or NaNs parse back to themselves;
// numbers read like atof and print like printf("%g"), and number texts taken as already
// printed do print back unchanged.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "values/game_array_parser.h"
#include "values/number_text.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

void check(bool holds, const char* what, const std::string& detail = "") {
  if (!holds) fail(what, detail);
}

// Whether the tree holds only values whose text forms read back as themselves: no
// infinite or NaN number anywhere.
bool printsReadably(const GameType& root) {
  std::vector<const GameType*> pending{&root};
  while (!pending.empty()) {
    const GameType* value = pending.back();
    pending.pop_back();
    if (value->kind() == GameType::Kind::Scalar) {
      if (!std::isfinite(static_cast<const GameScalar*>(value)->value)) return false;
    } else if (value->kind() == GameType::Kind::Array) {
      for (const GameTypePtr& element : static_cast<const GameArray*>(value)->elements) {
        pending.push_back(element.get());
      }
    }
  }
  return true;
}

GameArray parseWhole(const std::string& text, std::size_t& cursor) {
  cursor = 0;
  return parseGameArray(text.c_str(), text.size(), cursor);
}

void checkParse(const std::string& text) {
  std::size_t cursor = 0;
  GameArray parsed = parseWhole(text, cursor);
  if (cursor < text.size()) {
    check(text[cursor] == ']', "a complete parse ends on a ]", text);
  } else {
    check(parsed.elements.empty(), "input that ran out gives an empty array", text);
  }

  parsed.argumentList();
  const std::vector<const char*> tree = parsed.argumentList();  // a second time: the same
  std::size_t directCursor = 0;
  const ArgumentTexts direct = argumentTextsOfLiteral(text.c_str(), text.size(), directCursor);
  std::string place = text;
  std::size_t placeCursor = 0;
  ArgumentTexts inPlace;
  argumentTextsInPlace(place.data(), place.size(), placeCursor, &inPlace);
  check(placeCursor == directCursor && inPlace.size() == direct.size(),
        "texts written in place: as many, ending where the parse ends", text);
  for (std::size_t i = 0; i < inPlace.size() && i < direct.size(); ++i) {
    check(inPlace.text(i) == direct.text(i) && inPlace.pointers()[i][direct.text(i).size()] == '\0',
          "texts written in place equal, NUL-terminated", text);
  }
  check(directCursor == cursor, "texts written directly end where the parse ends", text);
  check(tree.size() == parsed.elements.size() && direct.size() == tree.size(),
        "one argument per element, written directly too", text);
  std::string joined = "[";
  for (std::size_t i = 0; i < tree.size(); ++i) {
    const std::string elementText = parsed.elements[i]->toString();
    check(tree[i] == parsed.argumentTexts[i].c_str() && parsed.argumentTexts[i] == elementText,
          "argument text is the element's text", text);
    check(direct.text(i) == elementText && direct.pointers()[i] == direct.text(i).data() &&
              direct.pointers()[i][elementText.size()] == '\0',
          "texts written directly equal, NUL-terminated", text);
    joined += (i != 0 ? "," : "") + elementText;
  }
  const std::string whole = parsed.toString();
  check(whole == joined + "]", "array form joins the element texts", text);

  if (printsReadably(parsed)) {
    std::size_t again = 0;
    check(parseWhole(whole, again).toString() == whole, "the array form reads back", whole);
  }
}

void checkNumbers(const std::string& text) {
  // Reading: the same value as the C library (this process stays in the "C" locale).
  const float expected = static_cast<float>(std::atof(text.c_str()));
  const float actual = numberFromText(text);
  const bool same = std::isnan(expected)
                        ? std::isnan(actual)
                        : actual == expected && std::signbit(actual) == std::signbit(expected);
  check(same, "numberFromText agrees with atof", text);

  // A text taken as already printed must print back unchanged.
  if (isNumberTextAsPrinted(text)) {
    std::string printed;
    appendNumber(printed, numberFromText(text));
    check(printed == text, "a number text taken as printed prints back unchanged", text);
  }

  // Writing: the first four bytes as a float's bits, printed as printf prints them.
  if (text.size() >= 4) {
    float number;
    std::memcpy(&number, text.data(), sizeof number);
    char reference[64];
    std::snprintf(reference, sizeof reference, "%g", static_cast<double>(number));
    std::string written;
    appendNumber(written, number);
    check(written == reference, "appendNumber agrees with printf", reference);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // std::string keeps a NUL behind the last byte, as the parser's callers provide.
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkParse(text);
  checkNumbers(text);
  return 0;
}
