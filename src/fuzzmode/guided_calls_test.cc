// The coverage-guided search's decoding: the bytes the engine mutates become calls a script
// line can hold, and the seeds' encodings decode to the seeds themselves.
#include "fuzzmode/guided_calls.h"

#include <gtest/gtest.h>

namespace {

const std::vector<SearchCall> kSeeds = {
    {"ext", false, "hello", {}},
    {"ext", true, "word", {"\"he said \"\"hi\"\"\"", "-12", "true", "[1]"}},
};

SearchCall decoded(std::string_view bytes) {
  return decodeGuidedCall(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kSeeds,
                          {"hello", "word"}, 10240);
}

TEST(GuidedCalls, BytesDecodeToCallsOfTheGrammar) {
  using namespace std::string_literals;
  const struct {
    std::string bytes;
    std::string line;
  } cases[] = {
      {"", "\"ext\" invokeModule \"hello\""},
      {"\x02\x01x\ny", "\"ext\" invokeModule \"xy\""},
      {"\x01\x00sFUZZ!\0n-3a4\0btrue\0z\0bno\0\"q"s,
       "\"ext\" invokeModule [\"word\", [\"FUZZ!\",-34,true,nil,false,\"\"\"q\"]]"},
      {"\x01\x01wo\"rd\r\0n\0"s, "\"ext\" invokeModule [\"word\", [0]]"},
      {"\x01\x00"s, "\"ext\" invokeModule [\"word\", [\"he said \"\"hi\"\"\",-12,true,[1]]]"},
  };
  for (const auto& c : cases) EXPECT_EQ(callCommandLine(decoded(c.bytes)), c.line);
  // With mode bit 1 the call is a variant of the blind search's, the same for the same bytes.
  EXPECT_EQ(decoded("\x01\x02sabc"), decoded("\x01\x02sabc"));
  EXPECT_NE(decoded("\x01\x02sabc"), decoded("\x01\x00sabc"));
}

TEST(GuidedCalls, SeedsEncodeToThemselvesAndFillTheDictionary) {
  EXPECT_EQ(decoded(encodeGuidedSeed(0, kSeeds[0])), kSeeds[0]);
  SearchCall arrayless = kSeeds[1];
  arrayless.items.back() = "nil";
  EXPECT_EQ(decoded(encodeGuidedSeed(1, kSeeds[1])), arrayless);
  EXPECT_EQ(guidedDictionary(kSeeds), "\"he said \\x22hi\\x22\"\n\"hello\"\n\"word\"\n");
}

}  // namespace
