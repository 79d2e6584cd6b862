#pragma once
// Section [Rtcp] of the configuration file: whether the bridge sends and reads
// RTCP, where, and how often.
//
//   [Rtcp]
//   Mode=port          ; off (the default), mux (on the RTP port) or port (the RTP port + 1)
//   IntervalMs=5000    ; the mean report interval, 100..60000
//   Cname=desk-7       ; the name in SDES; absent or empty: one made for this installation
//
// A file without the section sends no RTCP and ignores what arrives.

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

enum class TRtcpMode { Off, Mux, Port };

struct TRtcpSettings {
  TRtcpMode Mode = TRtcpMode::Off;
  uint32_t IntervalMs = DefaultIntervalMs;
  std::string Cname;
  // What was wrong in the section and what was taken instead, one line each.
  std::vector<std::string> Problems;

  static constexpr uint32_t DefaultIntervalMs = 5000;
  // Below 100 ms the reports would cost more than the audio they describe;
  // above a minute the round trip and the far end's loss come too late to tell.
  static constexpr uint32_t LowestIntervalMs = 100;
  static constexpr uint32_t HighestIntervalMs = 60000;
};

// Read by LoadStartValues with the other settings (StartValues.Rtcp).
// DefaultCname is the name taken when Cname is absent, empty or too long.
TRtcpSettings ReadRtcpSettings(const TIniFile& Ini, const std::string& DefaultCname);

// The CNAME of an installation: "brenvic-" and 16 hexadecimal digits, a hash of
// the machine's identity and the program's folder. The same across restarts,
// distinct between machines and between installations on one machine, and
// telling nothing of the host's name.
std::string InstallationCname(const std::string& MachineIdentity, const std::string& ExeDir);
