// The guarded output buffer: zero fill, result text, and every kind of overrun, with the guard
// zone checked by write traps and by scanning.
#include "extensions/guarded_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class GuardedBufferTest : public ::testing::TestWithParam<GuardedBuffer::GuardCheck> {};

constexpr std::size_t kSize = 10240;

TEST_P(GuardedBufferTest, PrepareZeroFillsWhatAnEarlierCallLeft) {
  GuardedBuffer buffer(kSize, GetParam());
  char* data = buffer.prepare();
  std::memset(data, 'x', kSize - 1);
  ASSERT_FALSE(buffer.overrun());
  data = buffer.prepare();
  std::memcpy(data, "ab", 2);
  EXPECT_EQ("ab", buffer.text());
  for (std::size_t i = 2; i < kSize; ++i) ASSERT_EQ(0, data[i]) << "byte " << i;
}

TEST_P(GuardedBufferTest, TextOfTheLargestResultThatFits) {
  GuardedBuffer buffer(kSize, GetParam());
  char* data = buffer.prepare();
  std::memset(data, 'x', kSize - 1);
  EXPECT_FALSE(buffer.overrun());
  EXPECT_EQ(std::string(kSize - 1, 'x'), buffer.text());
}

TEST_P(GuardedBufferTest, NothingWrittenIsAnEmptyTextAndNoOverrun) {
  GuardedBuffer buffer(kSize, GetParam());
  buffer.prepare();
  EXPECT_FALSE(buffer.overrun());
  EXPECT_EQ("", buffer.text());
}

TEST_P(GuardedBufferTest, LastByteSetIsAnOverrun) {
  GuardedBuffer buffer(kSize, GetParam());
  buffer.prepare()[kSize - 1] = 'x';
  EXPECT_TRUE(buffer.overrun());
}

// Writes that leave the buffer itself well-formed but touch the guard zone somewhere.
TEST_P(GuardedBufferTest, AnyWriteIntoTheGuardZoneIsAnOverrun) {
  GuardedBuffer buffer(kSize, GetParam());
  ASSERT_GE(buffer.guardSize(), GuardedBuffer::kMinimumGuardSize);
  const std::size_t offsets[] = {kSize, kSize + 1, kSize + 4095, kSize + 4096, kSize + 30000,
                                 kSize + buffer.guardSize() - 1};
  for (std::size_t offset : offsets) {
    char* data = buffer.prepare();
    std::memcpy(data, "ok", 3);
    data[offset] = 0x11;
    EXPECT_TRUE(buffer.overrun()) << "write at offset " << offset;
    // The zone is restored: the next well-behaved call is clean again.
    std::memcpy(buffer.prepare(), "ok", 3);
    EXPECT_FALSE(buffer.overrun()) << "after the write at offset " << offset;
    EXPECT_EQ("ok", buffer.text());
  }
}

TEST_P(GuardedBufferTest, LongRunawayWriteIsAnOverrun) {
  GuardedBuffer buffer(kSize, GetParam());
  std::memset(buffer.prepare(), 'x', 12000);
  EXPECT_TRUE(buffer.overrun());
  buffer.prepare();
  EXPECT_FALSE(buffer.overrun());
}

TEST_P(GuardedBufferTest, VersionSizedBufferIsGuardedToo) {
  GuardedBuffer buffer(32, GetParam());
  char* data = buffer.prepare();
  std::memcpy(data, std::string(31, 'v').c_str(), 32);
  EXPECT_FALSE(buffer.overrun());
  EXPECT_EQ(std::string(31, 'v'), buffer.text());
  data = buffer.prepare();
  std::memcpy(data, std::string(40, 'v').c_str(), 41);
  EXPECT_TRUE(buffer.overrun());
}

INSTANTIATE_TEST_SUITE_P(BothGuardChecks, GuardedBufferTest,
                         ::testing::Values(GuardedBuffer::GuardCheck::Trap,
                                           GuardedBuffer::GuardCheck::Scan),
                         [](const auto& info) {
                           return info.param == GuardedBuffer::GuardCheck::Trap ? "Trap" : "Scan";
                         });

TEST(GuardedBufferTrapTest, TrapsAreUsedWhereThePlatformHasThem) {
  GuardedBuffer buffer(kSize);
  EXPECT_EQ(GuardedBuffer::GuardCheck::Trap, buffer.guardCheck());
}

}  // namespace
