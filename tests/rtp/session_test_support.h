#pragma once
// What the session tests share: loopback ports and a scripted RTP peer, the
// access policy for one test, and the fixture that sets a session up as the
// host does, with virtual wave devices and the log in a temporary folder.

#include <gtest/gtest.h>

#include <asio.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "access/access_policy.h"
#include "audio/jitter_buffer_test_peer.h"
#include "config/start_values.h"
#include "devices/devices_test_support.h"
#include "log_capture.h"
#include "platform/wave_virtual.h"
#include "rtp/rtp_codec.h"
#include "rtp/rtp_session.h"
#include "rtp/rtp_session_test_peer.h"
#include "rtp/rtp_test_support.h"
#include "test_support.h"

namespace SessionTest {

using asio::ip::tcp;
using asio::ip::udp;
using Bytes = std::string;
using TClock = std::chrono::steady_clock;
using TSessionPeer = TRtpSessionTestPeer;
using TBufferPeer = TJitterBufferTestPeer;
using namespace std::chrono_literals;

inline const asio::ip::address Loopback = asio::ip::make_address("127.0.0.1");

inline uint16_t FreeUdpPort() {
  asio::io_context Io;
  return udp::socket(Io, udp::endpoint(Loopback, 0)).local_endpoint().port();
}

inline uint16_t FreeTcpPort() {
  asio::io_context Io;
  return tcp::acceptor(Io, tcp::endpoint(Loopback, 0)).local_endpoint().port();
}

// An RTP packet of 160 A-law bytes, all equal to Fill.
inline Bytes Rtp(uint16_t Seq, uint32_t Ts, uint32_t Ssrc, uint8_t Fill = 0x55) {
  return RtpTest::PacketText(Seq, Ts, Ssrc, Bytes(160, static_cast<char>(Fill)));
}

inline TRtpDatagramInfo Parse(const Bytes& P) {
  return ParseRtpDatagram(reinterpret_cast<const uint8_t*>(P.data()), static_cast<uint16_t>(P.size()));
}

// A remote RTP endpoint on loopback.
// A master key whose 30 bytes count up from First.
inline TSrtpMasterKey CountingKey(uint8_t First) {
  uint8_t B[30];
  for (uint8_t I = 0; I < 30; ++I) B[I] = static_cast<uint8_t>(First + I);
  return TSrtpMasterKey(TSrtpSuite::AesCm128HmacSha1_80, B);
}

// Packet protected in place by a peer's sender: SRTCP when Rtcp, else SRTP.
inline Bytes Protected(TSrtpSender& Sender, Bytes Packet, bool Rtcp = false) {
  const size_t Length = Packet.size();
  Packet.resize(Length + SrtpMaxOverhead);
  uint8_t* P = reinterpret_cast<uint8_t*>(Packet.data());
  Packet.resize(Rtcp ? Sender.ProtectRtcp(P, Length, Packet.size()) : Sender.ProtectRtp(P, Length, Packet.size()));
  return Packet;
}

class TPeer {
public:
  explicit TPeer(uint16_t Port = 0) : FSocket(FIo, udp::endpoint(Loopback, Port)) { FSocket.non_blocking(true); }

  uint16_t Port() const { return FSocket.local_endpoint().port(); }
  void Send(uint16_t To, const Bytes& Data) {
    std::error_code Ec;
    FSocket.send_to(asio::buffer(Data), udp::endpoint(Loopback, To), 0, Ec);
  }
  // The next datagram within TimeoutMs (empty when none came) and its sender's port.
  Bytes Receive(int TimeoutMs, uint16_t* From = nullptr) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    char Buf[4096];
    for (;;) {
      udp::endpoint Sender;
      std::error_code Ec;
      const size_t N = FSocket.receive_from(asio::buffer(Buf), Sender, 0, Ec);
      if (!Ec) {
        if (From) *From = Sender.port();
        return Bytes(Buf, N);
      }
      if (TClock::now() >= Deadline) return {};
      std::this_thread::sleep_for(1ms);
    }
  }
  // Everything that arrives within TimeoutMs.
  std::vector<Bytes> Drain(int TimeoutMs) {
    std::vector<Bytes> All;
    const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    while (TClock::now() < Deadline)
      if (Bytes P = Receive(10); !P.empty()) All.push_back(std::move(P));
    return All;
  }

private:
  asio::io_context FIo;
  udp::socket FSocket;
};

// Installs an access policy for the life of the object; the default one after.
class TScopedAccessPolicy {
public:
  explicit TScopedAccessPolicy(const TAccessPolicy& Policy) { InstallAccessPolicy(Policy); }
  ~TScopedAccessPolicy() { InstallAccessPolicy(TAccessPolicy()); }
  TScopedAccessPolicy(const TScopedAccessPolicy&) = delete;
  TScopedAccessPolicy& operator=(const TScopedAccessPolicy&) = delete;
};

using TestSupport::WaitUntil;

inline size_t Count(const std::vector<std::string>& Lines, const std::string& Text) {
  size_t N = 0;
  for (const auto& L : Lines) N += L.find(Text) != std::string::npos;
  return N;
}

// The session's own lines about its processors, in order.
inline std::vector<std::string> ProcessorLines(const std::vector<std::string>& Lines) {
  std::vector<std::string> R;
  for (const auto& L : Lines)
    if (L.find(" -> ") != std::string::npos) R.push_back(L);
  return R;
}

inline std::vector<std::string> Tail(const std::vector<std::string>& Lines, size_t From) {
  return {Lines.begin() + static_cast<ptrdiff_t>(std::min(From, Lines.size())), Lines.end()};
}

class Session : public ::testing::Test {
protected:
  void SetUp() override {
    ResetStartValues();
    DoLog = true;
    StartValues.RecDeviceID = "Test Mic";
    StartValues.PlayDeviceID = "Test Ear";
    Install({Mic(), Ear()});
  }
  void TearDown() override {
    Platform::SetVirtualWaveDevices({});
    Platform::TWaveDevicesTestPeer::HideSystem(false);
    ResetStartValues();
  }

  static Platform::TVirtualWaveDevice Mic(uint32_t VanishMs = 0, uint32_t AbsentMs = 0) {
    Platform::TVirtualWaveDevice D = DevicesTest::Mic("Test Mic");
    D.ToneHz = 440;
    D.VanishAfterMs = VanishMs;
    D.AbsentMs = AbsentMs;
    return D;
  }
  static Platform::TVirtualWaveDevice Ear() { return DevicesTest::Ear("Test Ear"); }
  static void Install(std::vector<Platform::TVirtualWaveDevice> Devices) {
    Platform::TWaveDevicesTestPeer::HideSystem(true);
    Platform::SetVirtualWaveDevices(std::move(Devices));
  }

  // A session set up as the host does, on free loopback ports.
  std::unique_ptr<TRtpSession> NewSession() {
    auto S = std::make_unique<TRtpSession>();
    FUdpPort = FreeUdpPort();
    FTcpPort = FreeTcpPort();
    S->SetLocalIP("127.0.0.1");
    S->SetLocalPort(FUdpPort);
    S->SetRemoteIP("127.0.0.1");
    S->SetRemotePort(9);
    S->SetTCPServerListenIP("127.0.0.1");
    S->SetTCPServerListenPort(FTcpPort);
    S->SetRecordEnabled(true);
    S->SetPlayEnabled(true);
    S->SetRecDeviceID(StartValues.RecDeviceID);
    S->SetPlayDeviceID(StartValues.PlayDeviceID);
    TSessionPeer::SetRawFileDir(*S, FDir.Dir());
    return S;
  }

  std::vector<std::string> Lines() const { return FLog.Lines(); }
  bool WaitForLine(const std::string& Text, int TimeoutMs = 5000) const {
    return WaitUntil([&] { return Count(Lines(), Text) > 0; }, TimeoutMs);
  }
  std::vector<std::filesystem::path> RawFiles() const {
    std::vector<std::filesystem::path> R;
    for (const auto& E : std::filesystem::directory_iterator(FDir.Path())) R.push_back(E.path());
    std::sort(R.begin(), R.end());
    return R;
  }

  // Makes the peer known to the session and returns the first packet it is sent.
  Bytes Connect(TPeer& Peer, uint32_t Ssrc = 0x11111111) {
    Peer.Send(FUdpPort, Rtp(1, 160, Ssrc));
    return Peer.Receive(3000);
  }

  TestSupport::TLogCapture FLog;
  TestSupport::TTempDir FDir;
  uint16_t FUdpPort = 0;
  uint16_t FTcpPort = 0;
};

}  // namespace SessionTest
