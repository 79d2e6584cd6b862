#pragma once
// Where an RTP peer is born: the session asks the gate at each new sender that
// the transport reports whether it may become a peer, by the access policy's
// list and its two limits. A refused sender is disconnected at once by the
// session; until the transport has let it go, the gate remembers it so that its
// datagrams are not processed and its departure is no peer's departure.
//
// Threads: Decide and Leave run on the transport library's network thread,
// Refused on the path of every received datagram, LastPeersAmong on the host's
// thread.

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "access/access_policy.h"
#include "access/refusal_log.h"
#include "platform/mutex.h"

enum class TPeerVerdict { Admitted, NotListed, TooManyPeers, TooManyNewPeers };

class TPeerGate {
public:
  // A new sender at Address:Port, announced as ClientId at tick Now. Anything
  // but Admitted is a refusal, logged (at most once a minute per address).
  TPeerVerdict Decide(const TAccessPolicy& Policy, int32_t ClientId, const std::string& Address, int32_t Port,
                      uint32_t Now);
  // Whether ClientId was refused and has not left yet. Cheap while no refused
  // sender is waiting to leave.
  bool Refused(int32_t ClientId) const {
    if (FRefusedWaiting.load(std::memory_order_acquire) == 0) return false;
    return LookUpRefused(ClientId);
  }
  // ClientId has left; true when it was a peer (or unknown to the gate), false
  // for a refused sender. PeersLeft, when given, receives the peers that stay.
  bool Leave(int32_t ClientId, size_t* PeersLeft = nullptr);
  // Ids, the clients just disconnected ("7,4,1"), took the last peers with
  // them: at least one of them was a peer and no other peer is left.
  bool LastPeersAmong(const std::string& Ids) const;

  size_t PeerCount() const;
  uint64_t RefusedCount() const { return FRefusedCount.load(); }

private:
  // Refused's look at FRefused, under FLock.
  bool LookUpRefused(int32_t ClientId) const EXCLUDES(FLock);
  // One new peer's share of the rate; false when the second's share is used.
  bool TakeNewPeerToken(uint32_t PerSecond, uint32_t Now) REQUIRES(FLock);

  mutable Platform::TMutex FLock;
  std::set<int32_t> FPeers GUARDED_BY(FLock);
  std::set<int32_t> FRefused GUARDED_BY(FLock);  // refused, not yet gone
  std::atomic<size_t> FRefusedWaiting{0};  // FRefused.size(), written under FLock
  std::atomic<uint64_t> FRefusedCount{0};  // refusals since construction
  // The new-peer rate as a bucket of thousandths of a peer, refilled with
  // the rate every second up to one second's worth.
  int64_t FTokens GUARDED_BY(FLock) = 0;
  uint32_t FLastRefill GUARDED_BY(FLock) = 0;
  bool FBucketStarted GUARDED_BY(FLock) = false;
  TRefusalLog FRefusals;  // locks itself
};
