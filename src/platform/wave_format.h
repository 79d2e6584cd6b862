#pragma once
// The audio format record the wave devices are opened with: the fields of the
// Windows WAVEFORMATEX, in its order, without the Windows headers. The wave
// device backends map it to the system's own record.

#include <cstdint>

namespace Platform {

struct TWaveFormat {
  uint16_t wFormatTag = 0;       // 6 = A-law
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;           // extra format bytes after the record; none for A-law

  friend bool operator==(const TWaveFormat&, const TWaveFormat&) = default;
};

inline constexpr uint16_t WaveFormatALaw = 6;

// The size of a WAVEFORMATEX with its extra bytes, as the system counts it.
inline constexpr int32_t WaveFormatBytes(const TWaveFormat& F) { return 18 + F.cbSize; }

}  // namespace Platform
