// G.711 A-law against its definition: each code stands for an interval of
// 16-bit samples (segment 0: steps of 16 from 0; segment s > 0: steps of
// 2^(s+3) from 2^(s+7)), negative samples taken in ones' complement, even bits
// inverted on the line.
#include <gtest/gtest.h>

#include <array>

#include "platform/g711.h"

using Platform::ALawToLinear;
using Platform::LinearToALaw;

namespace {

struct TInterval {
  int Low, High;  // inclusive, in 16-bit sample values
};

TInterval IntervalOf(uint8_t Code) {
  const int C = Code ^ 0x55;
  const int Segment = (C >> 4) & 7, Step = C & 15;
  const int Width = Segment == 0 ? 16 : 1 << (Segment + 3);
  const int Low = Segment == 0 ? Step * 16 : (16 + Step) << (Segment + 3);
  if (C & 0x80) return {Low, Low + Width - 1};
  return {-(Low + Width - 1) - 1, -Low - 1};  // ~x for the magnitudes above
}

}  // namespace

TEST(G711, EveryCodeDecodesToTheMiddleOfItsIntervalAndEncodesBack) {
  std::array<int, 65536> Owners{};
  for (int Code = 0; Code < 256; ++Code) {
    const TInterval I = IntervalOf(static_cast<uint8_t>(Code));
    const int Value = ALawToLinear(static_cast<uint8_t>(Code));
    EXPECT_EQ(Value, (I.Low + I.High + 1) / 2) << Code;
    EXPECT_GE(Value, I.Low);
    EXPECT_LE(Value, I.High);
    EXPECT_EQ(LinearToALaw(static_cast<int16_t>(Value)), Code);
    for (int X = I.Low; X <= I.High; ++X) ++Owners[static_cast<size_t>(X + 32768)];
  }
  // The 256 intervals cover every sample exactly once.
  for (int X = 0; X < 65536; ++X) ASSERT_EQ(Owners[static_cast<size_t>(X)], 1) << X - 32768;
}

TEST(G711, EverySampleEncodesToTheCodeOfItsInterval) {
  for (int X = -32768; X <= 32767; ++X) {
    const uint8_t Code = LinearToALaw(static_cast<int16_t>(X));
    const TInterval I = IntervalOf(Code);
    ASSERT_TRUE(X >= I.Low && X <= I.High) << X << " -> " << int(Code);
  }
}

TEST(G711, KnownCodes) {
  EXPECT_EQ(LinearToALaw(0), 0xD5);
  EXPECT_EQ(LinearToALaw(-1), 0x55);
  EXPECT_EQ(LinearToALaw(32767), 0xAA);
  EXPECT_EQ(LinearToALaw(-32768), 0x2A);
  EXPECT_EQ(ALawToLinear(0xD5), 8);
  EXPECT_EQ(ALawToLinear(0x55), -8);
  EXPECT_EQ(ALawToLinear(0xAA), 32256);
  EXPECT_EQ(Platform::ALawSilence, LinearToALaw(0));
}
