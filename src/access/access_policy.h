#pragma once
// The access rules in force: the [Access] values made into address lists, one
// policy for the process, installed at start-up before any other thread runs
// and only read afterwards (by the RTP session at each new sender and by the
// mixer at each new recording client).

#include <cstdint>
#include <string>

#include "access/access_list.h"
#include "config/access_values.h"

struct TAccessPolicy {
  TAccessList Peers;             // empty: anyone
  TAccessList RecordingClients;  // empty: anyone
  uint32_t MaxPeers = TAccessValues::DefaultMaxPeers;
  uint32_t NewPeersPerSecond = TAccessValues::DefaultNewPeersPerSecond;
};

// The policy of the values. Every entry that is neither an address nor a network
// is logged (whatever DoLog says): it admits nobody.
TAccessPolicy MakeAccessPolicy(const TAccessValues& Values);

// The process-wide policy: anyone, with the default limits, until one is installed.
const TAccessPolicy& AccessPolicy();
void InstallAccessPolicy(const TAccessPolicy& Policy);

// A TCP recording client at Address:Port has connected: whether the policy lets
// it hear the call. A refusal is logged, at most once a minute per address.
bool AdmitRecordingClient(const std::string& Address, int32_t Port);
