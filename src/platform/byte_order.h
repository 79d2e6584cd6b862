#pragma once
// Network byte order (big-endian) fields of packets, read and written byte by
// byte: the same on every host, without the sockets headers.

#include <cstdint>

namespace Platform {

inline uint16_t GetBE16(const uint8_t* P) { return static_cast<uint16_t>(P[0] << 8 | P[1]); }

inline uint32_t GetBE32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) << 24 | static_cast<uint32_t>(P[1]) << 16 |
         static_cast<uint32_t>(P[2]) << 8 | P[3];
}

inline void PutBE16(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V >> 8);
  P[1] = static_cast<uint8_t>(V);
}

inline void PutBE32(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V >> 24);
  P[1] = static_cast<uint8_t>(V >> 16);
  P[2] = static_cast<uint8_t>(V >> 8);
  P[3] = static_cast<uint8_t>(V);
}

}  // namespace Platform
