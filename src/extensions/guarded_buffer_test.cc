// The guarded output buffer: zero fill, result text, and every kind of overrun, with the guard
// zone checked by write traps and by scanning.
#include "extensions/guarded_buffer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

class GuardedBufferTest : public ::testing::TestWithParam<GuardedBuffer::GuardCheck> {};

constexpr std::size_t kSize = 10240;

// What the extension wrote, with whether it is an overrun, for buffers of 10240 and 32 bytes.
TEST_P(GuardedBufferTest, ResultsThatFitAndOverrunsOfTheLastByte) {
  for (std::size_t size : {kSize, std::size_t{32}}) {
    GuardedBuffer buffer(size, GetParam());
    buffer.prepare();
    EXPECT_FALSE(buffer.overrun());
    EXPECT_EQ("", buffer.text());
    std::memset(buffer.prepare(), 'x', size - 1);
    EXPECT_FALSE(buffer.overrun());
    EXPECT_EQ(std::string(size - 1, 'x'), buffer.text());
    char* data = buffer.prepare();  // zero-fills what the last call left
    std::memcpy(data, "ab", 2);
    EXPECT_EQ("ab", buffer.text());
    for (std::size_t i = 2; i < size; ++i) ASSERT_EQ(0, data[i]) << "byte " << i;
    buffer.prepare()[size - 1] = 'x';
    EXPECT_TRUE(buffer.overrun()) << size;
    std::memset(buffer.prepare(), 'x', size + 1800);  // a runaway write
    EXPECT_TRUE(buffer.overrun()) << size;
    buffer.prepare();
    EXPECT_FALSE(buffer.overrun()) << size;
  }
}

// Writes that leave the buffer itself well-formed but touch a guard zone somewhere, behind the
// buffer or in front of it (the markers there included), found after the call or, for a write
// made while no call ran, before the next one.
TEST_P(GuardedBufferTest, AnyWriteIntoAGuardZoneIsAnOverrun) {
  GuardedBuffer buffer(kSize, GetParam());
  ASSERT_GE(buffer.guardSize(), GuardedBuffer::kMinimumGuardSize);
  ASSERT_GE(buffer.frontSize(), GuardedBuffer::kMinimumGuardSize);
  const auto size = static_cast<std::ptrdiff_t>(kSize);
  const auto front = static_cast<std::ptrdiff_t>(buffer.frontSize());
  const std::ptrdiff_t offsets[] = {size,
                                    size + 4095,
                                    size + 4096,
                                    size + 30000,
                                    size + static_cast<std::ptrdiff_t>(buffer.guardSize()) - 1,
                                    -1,
                                    -64,
                                    -2048,
                                    -2049,
                                    -8192,
                                    -front};
  for (std::ptrdiff_t offset : offsets) {
    for (bool duringCall : {true, false}) {
      char* data = buffer.prepare();
      std::memcpy(data, "ok", 3);
      data[offset] = 0x11;
      if (duringCall) {
        EXPECT_TRUE(buffer.overrun()) << "write at offset " << offset;
      } else {
        EXPECT_TRUE(buffer.guardsWritten()) << "write at offset " << offset;
        EXPECT_FALSE(buffer.guardsWritten()) << "after the write at offset " << offset;
      }
      // The zone is restored: the next well-behaved call is clean again.
      std::memcpy(buffer.prepare(), "ok", 3);
      EXPECT_FALSE(buffer.overrun()) << "after the write at offset " << offset;
      EXPECT_EQ("ok", buffer.text());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothGuardChecks, GuardedBufferTest,
                         ::testing::Values(GuardedBuffer::GuardCheck::Trap, GuardedBuffer::GuardCheck::Scan),
                         [](const auto& info) {
                           return info.param == GuardedBuffer::GuardCheck::Trap ? "Trap" : "Scan";
                         });

TEST(GuardedBufferTrapTest, TrapsAreUsedWhereThePlatformHasThem) {
  GuardedBuffer buffer(kSize);
  EXPECT_EQ(GuardedBuffer::GuardCheck::Trap, buffer.guardCheck());
}

}  // namespace
