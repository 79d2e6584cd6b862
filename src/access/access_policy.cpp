#include "access/access_policy.h"

#include <vector>

#include "access/refusal_log.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/exception.h"

namespace {
TAccessPolicy& Policy() {
  static TAccessPolicy P;
  return P;
}

TAccessList ParseLogged(const char* Key, const std::string& Text) {
  std::vector<std::string> Invalid;
  TAccessList L = TAccessList::Parse(Text, &Invalid);
  for (const std::string& Entry : Invalid)
    WriteLog(Format("[Access] %s: \"%s\" is neither an address nor a network; it admits nobody", Key, Entry.c_str()));
  return L;
}
}  // namespace

TAccessPolicy MakeAccessPolicy(const TAccessValues& Values) {
  TAccessPolicy P;
  P.Peers = ParseLogged("Peers", Values.Peers);
  P.RecordingClients = ParseLogged("RecordingClients", Values.RecordingClients);
  P.MaxPeers = Values.MaxPeers;
  P.NewPeersPerSecond = Values.NewPeersPerSecond;
  return P;
}

const TAccessPolicy& AccessPolicy() { return Policy(); }

void InstallAccessPolicy(const TAccessPolicy& P) { Policy() = P; }

bool AdmitRecordingClient(const std::string& Address, int32_t Port) {
  if (Policy().RecordingClients.Admits(Address)) return true;
  static TRefusalLog Refusals;  // locks itself
  Refusals.Write(Address,
                 Format("REFUSED RECORDING CLIENT: [IP=<%s>,Port=<%d>] not in [Access] RecordingClients",
                        Address.c_str(), Port),
                 Platform::TickCount());
  return false;
}
