#pragma once
// Who may reach the bridge: section [Access] of the configuration file, read
// once at start-up beside [Options]. A file without the section leaves every
// list empty (anyone may be a peer or a recording client) and the limits at
// their defaults, which no real call reaches.
//
//   [Access]
//   Peers=10.1.0.0/16,192.168.1.250,::1
//   RecordingClients=127.0.0.1,::1
//   MaxPeers=16
//   NewPeersPerSecond=10

#include <cstdint>
#include <string>

class TIniFile;

struct TAccessValues {
  // A call has one remote endpoint, two for a moment when it moves; a flood of
  // forged senders is held to this many peers at once.
  static constexpr uint32_t DefaultMaxPeers = 16;
  // A call learns its peer once; a flood is held to this many new peers a
  // second (and as many at once).
  static constexpr uint32_t DefaultNewPeersPerSecond = 10;

  std::string Peers;             // the RTP peers allowed; empty: anyone
  std::string RecordingClients;  // the TCP recording clients allowed; empty: anyone
  uint32_t MaxPeers = DefaultMaxPeers;
  uint32_t NewPeersPerSecond = DefaultNewPeersPerSecond;
};

// The section as Ini holds it. A limit that is not a whole number of at least 1
// keeps its default: the limits cannot be switched off.
TAccessValues ReadAccessValues(const TIniFile& Ini);

// The process-wide values, written once by LoadAccessValues before any other
// thread starts and only read afterwards.
extern TAccessValues AccessValues;

// Reads [Access] of the configuration file into AccessValues.
void LoadAccessValues(const std::string& ConfigFile);
