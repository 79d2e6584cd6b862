#pragma once
// TSessionSrtp: the call encrypted (SRTP with the keys of [Srtp]) as the
// session sees it. Every packet we send is protected once and the same bytes go
// to every peer; every datagram a peer sends is checked and decrypted before
// the acceptance rules see it. Without keys everything passes as it is.
//
// Plain RTP cannot be told from SRTP under another key by its header: both
// fail the tag. So, Required: every datagram is taken as SRTP and one whose tag
// fails is refused (counted as an authentication failure, and logged once a
// minute per sender). Not required (a migration): a datagram whose tag fails,
// or that SRTP cannot take at all, is handed on as it came, as plain RTP, and
// counted so. A packet that authenticates but was seen before is refused
// either way: taken as plain, its cipher text would be played.
//
// With [Rtcp] the compound packets are SRTCP under the same keys, by the same
// rules (Required: plain RTCP is refused; not: read as plain), counted apart
// from the audio's: a peer's reports must not read as refused audio.
//
// Threads: Configure on the host thread while the session is stopped; Protect
// and ProtectRtcp on the session thread, and ProtectRtcp on the host thread for
// the BYE at the stop (the send lock keeps the two apart); Admit, Leave,
// Unprotect on the network thread, UnprotectRtcp on the thread of the server
// the RTCP came by (the RTCP receiver's lock); the counts from anywhere.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access/refusal_log.h"
#include "platform/mutex.h"
#include "srtp/srtp.h"

struct TSrtpCounts {
  bool On = false;
  uint64_t Decrypted = 0;  // the tag held
  uint64_t Plain = 0;      // taken as plain RTP (not required)
  uint64_t Authentication = 0, Replay = 0, Malformed = 0;  // refused
  // The same for RTCP's compound packets.
  uint64_t RtcpDecrypted = 0, RtcpPlain = 0;
  uint64_t RtcpAuthentication = 0, RtcpReplay = 0, RtcpMalformed = 0;
};

class TSessionSrtp {
public:
  // Keys for both directions, or none (Send null): plain RTP. The keys are
  // taken into the contexts; the caller may let them go.
  void Configure(const TSrtpMasterKey* Send, const TSrtpMasterKey* Receive, bool Required);
  bool On() const { return FOn.load(std::memory_order_relaxed); }

  // The RTP packet Packet[0, Length) protected in place; its new length, or 0
  // when it would not fit into Capacity. Off: Length.
  uint32_t Protect(uint8_t* Packet, uint32_t Length, size_t Capacity) EXCLUDES(FSendLock);
  // The same for an RTCP compound packet (SRTCP, the E flag set).
  uint32_t ProtectRtcp(uint8_t* Packet, uint32_t Length, size_t Capacity) EXCLUDES(FSendLock);

  // A sender that became a peer, for the log line of its refusals; and gone.
  void Admit(int32_t Sender, const std::string& Address, int32_t Port) EXCLUDES(FLock);
  void Leave(int32_t Sender) EXCLUDES(FLock);
  // A datagram of Sender at tick Now: true when it goes on to the acceptance
  // rules, then as Data[0, Size), which may point into this object's buffer
  // until the next call; false when it is refused (counted).
  bool Unprotect(int32_t Sender, const uint8_t*& Data, uint32_t& Size, uint32_t Now);
  // An RTCP datagram: true when it goes on to be read, then as Data[0, Size),
  // which may point into Plain; false when it is refused (counted). RTCP comes
  // seldom and may come on another thread than the audio: the caller's buffer
  // rather than one of ours.
  bool UnprotectRtcp(const uint8_t*& Data, uint32_t& Size, std::vector<uint8_t>& Plain) EXCLUDES(FRtcpLock);

  TSrtpCounts Counts() const;

private:
  void LogAuthenticationFailure(int32_t Sender, uint32_t Now) EXCLUDES(FLock);

  std::atomic<bool> FOn{false};        // written while stopped, read on every thread
  std::atomic<bool> FRequired{true};   // written while stopped, read on the network thread
  // The session thread's for the audio and the reports, the host thread's for
  // the BYE at the stop.
  Platform::TMutex FSendLock;
  std::unique_ptr<TSrtpSender> FSender GUARDED_BY(FSendLock);
  std::unique_ptr<TSrtpReceiver> FReceiver;  // network thread (made while stopped)
  std::vector<uint8_t> FPlain;               // network thread: the datagram decrypted in place
  std::atomic<uint64_t> FDecrypted{0}, FPlainTaken{0}, FAuthentication{0}, FReplay{0}, FMalformed{0};
  // The peers' RTCP: a receiver of its own (SRTCP's replay lists are its
  // own anyway), used on whichever thread the RTCP's server delivers.
  Platform::TMutex FRtcpLock;
  std::unique_ptr<TSrtpReceiver> FRtcpReceiver GUARDED_BY(FRtcpLock);
  std::atomic<uint64_t> FRtcpDecrypted{0}, FRtcpPlain{0}, FRtcpAuthentication{0}, FRtcpReplay{0}, FRtcpMalformed{0};

  Platform::TMutex FLock;
  struct TPeer {
    std::string Address;
    int32_t Port;
  };
  std::map<int32_t, TPeer> FPeers GUARDED_BY(FLock);
  TRefusalLog FRefusals;  // locks itself
};
