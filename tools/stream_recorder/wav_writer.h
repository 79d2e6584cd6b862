#pragma once
// A WAV file of A-law audio, written as it comes and finished (its sizes filled
// in) when closed.

#include <cstdint>
#include <cstdio>
#include <string>

class TWavWriter {
public:
  // Channels interleaved byte by byte, 8000 sample frames per second.
  TWavWriter(const std::string& Path, uint16_t Channels);
  ~TWavWriter();
  TWavWriter(const TWavWriter&) = delete;
  TWavWriter& operator=(const TWavWriter&) = delete;

  bool Ok() const { return FFile != nullptr; }
  bool Write(const void* Data, size_t Size);
  // Writes the final sizes; the destructor does it too.
  void Close();
  uint64_t DataBytes() const { return FDataBytes; }

  // The 46-byte header of an A-law WAV file holding DataBytes bytes.
  static std::string Header(uint16_t Channels, uint32_t DataBytes);

private:
  std::FILE* FFile = nullptr;
  uint16_t FChannels;
  uint64_t FDataBytes = 0;
};
