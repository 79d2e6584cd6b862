#pragma once
// What only the tests (and the benchmarks) look at inside a session: its codec
// and buffers, the receive mode, the peers, and where its raw files go.

#include <string>

#include "rtp/rtp_session.h"
#include "transport/tpkt_server.h"

class TRtpSessionTestPeer {
public:
  static TRtpCodec& Codec(TRtpSession& S) { return S.FCodec; }
  static TJitterBuffer& ReceiveBuffer(TRtpSession& S) { return S.FFixed.Buffer(); }
  static TJitterBuffer& SendBuffer(TRtpSession& S) { return S.FSendBuffer; }
  static TAdaptiveReceiver& AdaptiveBuffer(TRtpSession& S) { return S.FAdaptive.Buffer(); }
  static bool AdaptiveMode(const TRtpSession& S) { return S.FReceive.load() == &S.FAdaptive; }
  static TCallQuality& Calls(TRtpSession& S) { return S.FCalls; }
  // The transport's client count, as the host thread sees it.
  static int PeerCount(const TRtpSession& S) {
    const TTPKTServer* Transport = S.HostTransport();
    return Transport ? Transport->ClientCount() : 0;
  }
  // The raw stream files go to Dir (with its trailing separator) instead of
  // the executable's folder.
  static void SetRawFileDir(TRtpSession& S, const std::string& Dir) { S.FRawFileDir = Dir; }
};
