// The UTF-8 decoder against valid, broken, overlong and out-of-range sequences.
#include "support/utf8_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Bytes {
  std::string bytes;
  std::size_t at = 0;
  static int read(void* context) {
    auto* input = static_cast<Bytes*>(context);
    return input->at < input->bytes.size() ? static_cast<unsigned char>(input->bytes[input->at++]) : -1;
  }
};

TEST(Utf8Decoder, CharactersOfEachSequence) {
  constexpr int R = support::Utf8Decoder::kReplacement;
  struct Row {
    const char* bytes;
    std::vector<int> characters;
  } rows[] = {
      {"a\x15", {'a', 0x15}},     {"\xc3\xa9", {0xE9}},
      {"\xe2\x82\xac", {0x20AC}}, {"\xf0\x9f\x98\x80", {0x1F600}},
      {"\xc3(", {R, '('}},        // a sequence broken off: the byte is read afresh
      {"\xe2\x82", {R}},          // cut short by the end of input
      {"\xc0\xaf", {R, R}},       // never a valid first byte; a lone continuation byte
      {"\xe0\x80\xaf", {R}},      // overlong
      {"\xed\xa0\x80", {R}},      // a surrogate
      {"\xf4\x90\x80\x80", {R}},  // past U+10FFFF
      {"\xf5\x80", {R, R}},
  };
  for (const Row& row : rows) {
    Bytes input{row.bytes};
    support::Utf8Decoder decoder;
    std::vector<int> characters;
    for (int c; (c = decoder.next(Bytes::read, &input)) >= 0;) characters.push_back(c);
    EXPECT_EQ(characters, row.characters) << row.bytes;
  }
}

}  // namespace
