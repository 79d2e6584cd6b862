#pragma once
// G.711 A-law: 16-bit linear samples to 8-bit codes and back. The encoder takes
// the top 13 bits of the sample; the decoder gives the middle of each code's
// interval. Codes carry the even-bit inversion of the line format.

#include <cstdint>

namespace Platform {

uint8_t LinearToALaw(int16_t Sample);
int16_t ALawToLinear(uint8_t Code);

// The code of digital silence (a sample of 0).
inline constexpr uint8_t ALawSilence = 0xD5;

}  // namespace Platform
