#include "access/peer_gate.h"

#include <algorithm>

#include "platform/exception.h"
#include "platform/mutex.h"
#include "platform/text.h"

bool TPeerGate::TakeNewPeerToken(uint32_t PerSecond, uint32_t Now) {
  const int64_t Full = int64_t{PerSecond} * 1000;
  if (!FBucketStarted) {
    FBucketStarted = true;
    FTokens = Full;
  } else {
    const uint32_t Elapsed = std::min<uint32_t>(Now - FLastRefill, 1000);
    FTokens = std::min(Full, FTokens + int64_t{Elapsed} * PerSecond);
  }
  FLastRefill = Now;
  if (FTokens < 1000) return false;
  FTokens -= 1000;
  return true;
}

TPeerVerdict TPeerGate::Decide(const TAccessPolicy& Policy, int32_t ClientId, const std::string& Address,
                               int32_t Port, uint32_t Now) {
  TPeerVerdict Verdict = TPeerVerdict::Admitted;
  {
    Platform::TLockGuard Guard(FLock);
    // The list first: a stranger never takes a share of the limits.
    if (!Policy.Peers.Admits(Address))
      Verdict = TPeerVerdict::NotListed;
    else if (FPeers.size() >= Policy.MaxPeers)
      Verdict = TPeerVerdict::TooManyPeers;
    else if (!TakeNewPeerToken(Policy.NewPeersPerSecond, Now))
      Verdict = TPeerVerdict::TooManyNewPeers;
    if (Verdict == TPeerVerdict::Admitted) {
      FPeers.insert(ClientId);
      return Verdict;
    }
    FRefused.insert(ClientId);
    FRefusedWaiting.store(FRefused.size(), std::memory_order_release);
  }
  ++FRefusedCount;
  std::string Why;
  if (Verdict == TPeerVerdict::NotListed)
    Why = "not in [Access] Peers";
  else if (Verdict == TPeerVerdict::TooManyPeers)
    Why = Format("MaxPeers=%u reached", Policy.MaxPeers);
  else
    Why = Format("NewPeersPerSecond=%u exceeded", Policy.NewPeersPerSecond);
  FRefusals.Write(Address, Format("REFUSED: [IP=<%s>,Port=<%d>] %s", Address.c_str(), Port, Why.c_str()), Now);
  return Verdict;
}

bool TPeerGate::LookUpRefused(int32_t ClientId) const {
  Platform::TLockGuard Guard(FLock);
  return FRefused.count(ClientId) != 0;
}

bool TPeerGate::Leave(int32_t ClientId, size_t* PeersLeft) {
  Platform::TLockGuard Guard(FLock);
  const bool Refused = FRefused.erase(ClientId) != 0;
  if (Refused)
    FRefusedWaiting.store(FRefused.size(), std::memory_order_release);
  else
    FPeers.erase(ClientId);
  if (PeersLeft) *PeersLeft = FPeers.size();
  return !Refused;
}

bool TPeerGate::LastPeersAmong(const std::string& Ids) const {
  std::set<int32_t> Gone;
  for (const std::string& Item : Platform::SplitDelimitedText(Ids, ',')) {
    int32_t Id = 0;
    if (Platform::ParseInt32(Item, Id)) Gone.insert(Id);
  }
  Platform::TLockGuard Guard(FLock);
  bool AnyPeer = false;
  for (const int32_t Id : FPeers) {
    if (Gone.count(Id) == 0) return false;
    AnyPeer = true;
  }
  // A peer whose departure has already been reported counts as one of them.
  return AnyPeer ||
         std::any_of(Gone.begin(), Gone.end(), [&](int32_t Id) REQUIRES(FLock) { return FRefused.count(Id) == 0; });
}

size_t TPeerGate::PeerCount() const {
  Platform::TLockGuard Guard(FLock);
  return FPeers.size();
}
