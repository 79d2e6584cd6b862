#pragma once
// A capture file for an independent dissector (tshark) to read the datagrams
// we build: IPv4/UDP from 127.0.0.1:Port to 127.0.0.1:Port, one a second.

#include <cstdint>
#include <string>

namespace TestSupport {

class TPcapWriter {
public:
  explicit TPcapWriter(uint16_t Port) : FPort(Port) {
    PutLE32(FBytes, 0xA1B2C3D4);
    PutLE16(FBytes, 2);
    PutLE16(FBytes, 4);
    PutLE32(FBytes, 0);      // time zone
    PutLE32(FBytes, 0);      // accuracy
    PutLE32(FBytes, 65535);  // snapshot length
    PutLE32(FBytes, 228);    // LINKTYPE_IPV4
  }

  void Add(const uint8_t* Payload, uint32_t Size) {
    std::string Ip;
    Ip += '\x45';
    Ip += '\0';
    PutBE16(Ip, static_cast<uint16_t>(20 + 8 + Size));
    PutBE16(Ip, static_cast<uint16_t>(++FId));
    PutBE16(Ip, 0x4000);  // don't fragment
    Ip += '\x40';         // TTL 64
    Ip += '\x11';         // UDP
    PutBE16(Ip, 0);       // checksum, filled in below
    Ip += std::string("\x7F\x00\x00\x01\x7F\x00\x00\x01", 8);
    uint32_t Sum = 0;
    for (size_t I = 0; I < 20; I += 2)
      Sum += static_cast<uint8_t>(Ip[I]) << 8 | static_cast<uint8_t>(Ip[I + 1]);
    while (Sum >> 16) Sum = (Sum & 0xFFFF) + (Sum >> 16);
    Ip[10] = static_cast<char>(~Sum >> 8);
    Ip[11] = static_cast<char>(~Sum);
    PutBE16(Ip, FPort);
    PutBE16(Ip, FPort);
    PutBE16(Ip, static_cast<uint16_t>(8 + Size));
    PutBE16(Ip, 0);  // no UDP checksum
    Ip.append(reinterpret_cast<const char*>(Payload), Size);

    PutLE32(FBytes, 1700000000 + FId);  // one packet per second
    PutLE32(FBytes, 0);
    PutLE32(FBytes, static_cast<uint32_t>(Ip.size()));
    PutLE32(FBytes, static_cast<uint32_t>(Ip.size()));
    FBytes += Ip;
  }

  const std::string& Bytes() const { return FBytes; }

private:
  static void PutLE32(std::string& S, uint32_t V) {
    for (int I = 0; I < 4; ++I) S += static_cast<char>(V >> (8 * I));
  }
  static void PutLE16(std::string& S, uint16_t V) {
    S += static_cast<char>(V);
    S += static_cast<char>(V >> 8);
  }
  static void PutBE16(std::string& S, uint16_t V) {
    S += static_cast<char>(V >> 8);
    S += static_cast<char>(V);
  }

  uint16_t FPort;
  std::string FBytes;
  uint32_t FId = 0;
};

}  // namespace TestSupport
