#include "wav_writer.h"

namespace {
void Put16(std::string& S, uint16_t V) {
  S += static_cast<char>(V & 0xFF);
  S += static_cast<char>(V >> 8);
}
void Put32(std::string& S, uint32_t V) {
  Put16(S, static_cast<uint16_t>(V & 0xFFFF));
  Put16(S, static_cast<uint16_t>(V >> 16));
}
}  // namespace

std::string TWavWriter::Header(uint16_t Channels, uint32_t DataBytes) {
  std::string H = "RIFF";
  Put32(H, 38 + DataBytes + (DataBytes & 1));
  H += "WAVEfmt ";
  Put32(H, 18);                // WAVEFORMATEX with cbSize
  Put16(H, 6);                 // A-law
  Put16(H, Channels);
  Put32(H, 8000);              // sample frames per second
  Put32(H, 8000u * Channels);  // bytes per second
  Put16(H, Channels);          // block alignment
  Put16(H, 8);                 // bits per sample
  Put16(H, 0);                 // no extra bytes
  H += "data";
  Put32(H, DataBytes);
  return H;
}

TWavWriter::TWavWriter(const std::string& Path, uint16_t Channels) : FChannels(Channels) {
  FFile = std::fopen(Path.c_str(), "wb");
  if (!FFile) return;
  const std::string H = Header(Channels, 0);
  std::fwrite(H.data(), 1, H.size(), FFile);
}

TWavWriter::~TWavWriter() { Close(); }

bool TWavWriter::Write(const void* Data, size_t Size) {
  if (!FFile) return false;
  if (std::fwrite(Data, 1, Size, FFile) != Size) return false;
  FDataBytes += Size;
  return true;
}

void TWavWriter::Close() {
  if (!FFile) return;
  const uint32_t Bytes = FDataBytes > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(FDataBytes);
  if (Bytes & 1) std::fputc(0, FFile);  // chunks are padded to an even size
  const std::string H = Header(FChannels, Bytes);
  std::fseek(FFile, 0, SEEK_SET);
  std::fwrite(H.data(), 1, H.size(), FFile);
  std::fclose(FFile);
  FFile = nullptr;
}
