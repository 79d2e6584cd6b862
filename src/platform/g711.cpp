#include "platform/g711.h"

namespace Platform {

uint8_t LinearToALaw(int16_t Sample) {
  // Magnitude in 12 bits; a negative sample is taken in ones' complement, so
  // that -1 falls into the same interval as 0, mirrored.
  const bool Positive = Sample >= 0;
  int Magnitude = (Positive ? Sample : ~Sample) >> 4;
  int Code;
  if (Magnitude < 16) {
    Code = Magnitude;  // segment 0: linear steps of 16
  } else {
    int Segment = 1;
    while (Magnitude > 31) {
      Magnitude >>= 1;
      ++Segment;
    }
    Code = (Segment << 4) | (Magnitude - 16);
  }
  if (Positive) Code |= 0x80;
  return static_cast<uint8_t>(Code ^ 0x55);
}

int16_t ALawToLinear(uint8_t Code) {
  const int C = Code ^ 0x55;
  const int Segment = (C >> 4) & 0x07;
  int Value = C & 0x0F;
  if (Segment > 0) Value += 16;
  Value = (Value << 4) + 8;
  if (Segment > 1) Value <<= Segment - 1;
  return static_cast<int16_t>((C & 0x80) ? Value : -Value);
}

}  // namespace Platform
