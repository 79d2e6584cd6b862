// TRtpSession on its own: configuration and the jitter buffers' dimensions, the
// start and stop sequences, the raw files, the device watchdog, peers and the
// start datagram, and the places that several threads share. Real transport on
// 127.0.0.1, virtual wave devices, the log in a temporary folder.

#include "rtp/rtp_session.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "access/access_policy.h"
#include "audio/jitter_buffer_test_peer.h"
#include "config/start_values.h"
#include "devices/devices_test_support.h"
#include "log_capture.h"
#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/g711.h"
#include "platform/wave_virtual.h"
#include "rtp/long_packet_note.h"
#include "rtp/rtp_codec.h"
#include "rtp/rtp_session_test_peer.h"
#include "rtp/rtp_test_support.h"
#include "rtp/session_test_support.h"
#include "test_support.h"

namespace {

using namespace SessionTest;

// ---- configuration ----------------------------------------------------------------

struct TDims {
  int32_t Threshold;
  uint32_t ReadMax;
  int32_t Capacity;
  bool operator==(const TDims&) const = default;
};

std::ostream& operator<<(std::ostream& O, const TDims& D) {
  return O << "{threshold " << D.Threshold << ", take " << D.ReadMax << ", capacity " << D.Capacity << "}";
}

TDims Dims(TJitterBuffer& B) {
  return {TBufferPeer::Threshold(B), TBufferPeer::ReadMax(B), TBufferPeer::Capacity(B)};
}

TEST_F(Session, DefaultsAfterConstruction) {
  TRtpSession S;
  EXPECT_FALSE(S.Active());
  EXPECT_EQ(S.ReceiveBufCount(), 2);
  EXPECT_EQ(S.ReceivePayloadTime(), 20);
  EXPECT_EQ(S.SendPayloadTime(), 20);
  EXPECT_EQ(S.ReceivePayloadBytes(), 160);
  EXPECT_EQ(S.SendPayloadBytes(), 160);
  EXPECT_EQ(Dims(TSessionPeer::ReceiveBuffer(S)), (TDims{160, 320, 320}));
  EXPECT_EQ(Dims(TSessionPeer::SendBuffer(S)), (TDims{160, 160, 1600})) << "SendBufCount 10";
  const Platform::TWaveFormat& F = S.AudioFormat();
  EXPECT_EQ(F.wFormatTag, Platform::WaveFormatALaw);
  EXPECT_EQ(F.nChannels, 1);
  EXPECT_EQ(F.nSamplesPerSec, 8000u);
  EXPECT_EQ(F.nAvgBytesPerSec, 8000u);
  EXPECT_EQ(F.nBlockAlign, 1);
  EXPECT_EQ(F.wBitsPerSample, 8);
  EXPECT_EQ(TSessionPeer::Codec(S).PayloadType(), 8);
  EXPECT_EQ(TSessionPeer::Codec(S).Version(), 2);
  EXPECT_EQ(TSessionPeer::Codec(S).SendIdentity().Timestamp, 0u);
  EXPECT_FALSE(TSessionPeer::Codec(S).SendIdentity().MarkerPending) << "set by each start";

  // MaxRecvSequenceNumberInterval 1000: once a stream is tracked, a step of
  // 1000 passes and one of 1001 does not.
  TRtpCodec& C = TSessionPeer::Codec(S);
  C.SetAwaitingFirstStream(false);
  auto Accept = [&](uint16_t Seq) {
    const Bytes P = Rtp(Seq, 0, 0xABCD);
    return C.Accept(reinterpret_cast<const uint8_t*>(P.data()), static_cast<uint32_t>(P.size()));
  };
  EXPECT_TRUE(Accept(100));
  EXPECT_TRUE(Accept(1100));
  EXPECT_FALSE(Accept(2101));
}

TEST_F(Session, PayloadTimesAndCountsRedimensionTheJitterBuffers) {
  const Platform::TWaveFormat Wide{Platform::WaveFormatALaw, 1, 16000, 16000, 1, 8, 0};
  const struct {
    const char* Name;
    std::function<void(TRtpSession&)> Steps;
    TDims Receive, Send;
    int32_t ReceiveBytes, SendBytes;
  } Cases[] = {
      {"ReceivePayloadTime set to its own value leaves the buffer alone; ReceiveBufCount still sizes it",
       [](TRtpSession& S) {
         TSessionPeer::ReceiveBuffer(S).SetThreshold(7);
         S.SetReceivePayloadTime(20);
         EXPECT_EQ(TBufferPeer::Threshold(TSessionPeer::ReceiveBuffer(S)), 7);
         S.SetReceiveBufCount(4);
       },
       {7, 640, 640}, {160, 160, 1600}, 160, 160},
      {"a new ReceivePayloadTime sizes all three",
       [](TRtpSession& S) { S.SetReceivePayloadTime(30); }, {240, 480, 480}, {160, 160, 1600}, 240, 160},
      {"ReceiveBufCount, then ReceivePayloadTime",
       [](TRtpSession& S) {
         S.SetReceiveBufCount(5);
         S.SetReceivePayloadTime(10);
       },
       {80, 400, 400}, {160, 160, 1600}, 80, 160},
      {"a new SendPayloadTime sizes all three, one packet per take",
       [](TRtpSession& S) { S.SetSendPayloadTime(40); }, {160, 320, 320}, {320, 320, 3200}, 160, 320},
      {"SendPayloadTime set to its own value leaves the buffer alone",
       [](TRtpSession& S) {
         TSessionPeer::SendBuffer(S).SetThreshold(7);
         S.SetSendPayloadTime(20);
       },
       {160, 320, 320}, {7, 160, 1600}, 160, 160},
      {"SendBufCount sizes the capacity only",
       [](TRtpSession& S) {
         TSessionPeer::SendBuffer(S).SetThreshold(7);
         S.SetSendBufCount(3);
       },
       {160, 320, 320}, {7, 160, 480}, 160, 160},
      {"a new format recomputes the payload sizes; the buffers keep theirs",
       [&](TRtpSession& S) { S.SetAudioFormat(Wide); }, {160, 320, 320}, {160, 160, 1600}, 320, 320},
      {"a count set after a new format sizes with the new payload",
       [&](TRtpSession& S) {
         S.SetAudioFormat(Wide);
         S.SetReceiveBufCount(2);
         S.SetSendBufCount(10);
       },
       {160, 640, 640}, {160, 160, 3200}, 320, 320},
      {"RtpBufSizeMultiple does not touch the buffers",
       [](TRtpSession& S) { S.SetRtpBufSizeMultiple(8); }, {160, 320, 320}, {160, 160, 1600}, 160, 160},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRtpSession S;
    C.Steps(S);
    EXPECT_EQ(Dims(TSessionPeer::ReceiveBuffer(S)), C.Receive);
    EXPECT_EQ(Dims(TSessionPeer::SendBuffer(S)), C.Send);
    EXPECT_EQ(S.ReceivePayloadBytes(), C.ReceiveBytes);
    EXPECT_EQ(S.SendPayloadBytes(), C.SendBytes);
  }
}

TEST_F(Session, FrozenPropertiesSetWhileActiveHaveNoEffectAlsoNotAtTheNextStart) {
  const Platform::TWaveFormat Wide{Platform::WaveFormatALaw, 1, 16000, 16000, 1, 8, 0};
  // Check runs after the stop and again after the next start, with the lines
  // that start wrote.
  using TCheck = std::function<void(TRtpSession&, const std::vector<std::string>*)>;
  const struct {
    const char* Name;
    std::function<void(TRtpSession&)> Set;
    TCheck Check;
  } Cases[] = {
      {"ReceivePayloadTime", [](TRtpSession& S) { S.SetReceivePayloadTime(40); },
       [](TRtpSession& S, auto) {
         EXPECT_EQ(S.ReceivePayloadTime(), 20);
         EXPECT_EQ(Dims(TSessionPeer::ReceiveBuffer(S)), (TDims{160, 320, 320}));
       }},
      {"ReceiveBufCount", [](TRtpSession& S) { S.SetReceiveBufCount(5); },
       [](TRtpSession& S, auto) {
         EXPECT_EQ(S.ReceiveBufCount(), 2);
         EXPECT_EQ(TBufferPeer::Capacity(TSessionPeer::ReceiveBuffer(S)), 320);
       }},
      {"SendPayloadTime", [](TRtpSession& S) { S.SetSendPayloadTime(40); },
       [](TRtpSession& S, auto) {
         EXPECT_EQ(S.SendPayloadTime(), 20);
         EXPECT_EQ(Dims(TSessionPeer::SendBuffer(S)), (TDims{160, 160, 1600}));
       }},
      {"SendBufCount", [](TRtpSession& S) { S.SetSendBufCount(3); },
       [](TRtpSession& S, auto) { EXPECT_EQ(TBufferPeer::Capacity(TSessionPeer::SendBuffer(S)), 1600); }},
      {"audio format", [&](TRtpSession& S) { S.SetAudioFormat(Wide); },
       [](TRtpSession& S, auto) {
         EXPECT_EQ(S.AudioFormat().nAvgBytesPerSec, 8000u);
         EXPECT_EQ(S.SendPayloadBytes(), 160);
       }},
      {"RtpBufSizeMultiple", [](TRtpSession& S) { S.SetRtpBufSizeMultiple(8); },
       [](TRtpSession& S, auto) {
         TRtpPacketBuffer Packet{};
         const uint8_t Payload[160] = {};
         EXPECT_EQ(TSessionPeer::Codec(S).BuildPacket(Payload, 160, Packet), 172u) << "not padded to 176";
       }},
      {"MaxRecvSequenceNumberInterval", [](TRtpSession& S) { S.SetMaxRecvSequenceNumberInterval(10); },
       [](TRtpSession& S, auto) {
         TRtpCodec& C = TSessionPeer::Codec(S);
         const bool Awaiting = C.AwaitingFirstStream();
         C.SetAwaitingFirstStream(false);
         static uint32_t Stream = 0x5151;  // a new one each check: not a repeat of the last
         ++Stream;
         const Bytes First = Rtp(100, 0, Stream), Jump = Rtp(200, 0, Stream);
         C.Accept(reinterpret_cast<const uint8_t*>(First.data()), 172);
         EXPECT_TRUE(C.Accept(reinterpret_cast<const uint8_t*>(Jump.data()), 172)) << "still 1000";
         C.SetAwaitingFirstStream(Awaiting);
       }},
      {"SaveWavData", [](TRtpSession& S) { S.SetSaveWavData(true); },
       [this](TRtpSession&, const std::vector<std::string>* Started) {
         if (Started) {
           EXPECT_EQ(Count(*Started, "Raw file saver"), 0u);
         }
         EXPECT_TRUE(RawFiles().empty());
       }},
      {"record enabled", [](TRtpSession& S) { S.SetRecordEnabled(false); },
       [](TRtpSession&, const std::vector<std::string>* Started) {
         if (Started) {
           EXPECT_EQ(Count(*Started, "Sound recorder processor -> started"), 1u);
         }
       }},
      {"play enabled", [](TRtpSession& S) { S.SetPlayEnabled(false); },
       [](TRtpSession&, const std::vector<std::string>* Started) {
         if (Started) {
           EXPECT_EQ(Count(*Started, "Sound player processor -> started"), 1u);
         }
       }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto S = NewSession();
    S->SetActive(true);
    ASSERT_TRUE(S->Active());
    C.Set(*S);
    S->SetActive(false);
    {
      SCOPED_TRACE("after the stop");
      C.Check(*S, nullptr);
    }
    const size_t Before = Lines().size();
    S->SetActive(true);
    {
      SCOPED_TRACE("after the next start");
      const auto Started = Tail(Lines(), Before);
      C.Check(*S, &Started);
    }
    S->SetActive(false);
  }
}

TEST_F(Session, AddressesSetWhileActiveServeFromTheNextStart) {
  auto S = NewSession();
  S->SetActive(true);
  const uint16_t OldPort = FUdpPort, NewPort = FreeUdpPort(), NewTcp = FreeTcpPort();
  S->SetLocalPort(NewPort);
  S->SetTCPServerListenPort(NewTcp);
  TPeer Peer;
  FUdpPort = OldPort;
  EXPECT_FALSE(Connect(Peer).empty()) << "the running session still listens on the old port";
  S->SetActive(false);
  S->SetActive(true);
  TPeer Other;
  FUdpPort = NewPort;
  EXPECT_FALSE(Connect(Other).empty()) << "the restarted session listens on the new port";
  asio::io_context Io;
  tcp::socket Client(Io);
  std::error_code Ec;
  Client.connect(tcp::endpoint(Loopback, NewTcp), Ec);
  EXPECT_FALSE(Ec) << "the mixer serves on the new TCP port: " << Ec.message();
}

// ---- start and stop ---------------------------------------------------------------

TEST_F(Session, StartAndStopLogTheirStepsInOrder) {
  const std::string Mixer = "Audio mixer processor -> ", Udp = "UDP sender/receiver processor -> ",
                    Raw = "Raw file saver -> ", Rec = "Sound recorder processor -> ",
                    Play = "Sound player processor -> ", Rtp = "RTP session processor -> started";
  const struct {
    bool Record, Play, Save, Log;
    std::vector<std::string> Start, Stop;
  } Cases[] = {
      {true, true, true, true,
       {Mixer + "started", Udp + "started", Raw + "started", Rec + "started", Play + "started", Rtp},
       {Rec + "stopped", Play + "stopped", Raw + "stopped", Udp + "stopped", Mixer + "stopped"}},
      {true, true, false, true,
       {Mixer + "started", Udp + "started", Rec + "started", Play + "started", Rtp},
       {Rec + "stopped", Play + "stopped", Udp + "stopped", Mixer + "stopped"}},
      {false, true, false, true,
       {Mixer + "started", Udp + "started", Play + "started", Rtp},
       {Play + "stopped", Udp + "stopped", Mixer + "stopped"}},
      {true, false, true, true,
       {Mixer + "started", Udp + "started", Raw + "started", Rec + "started", Rtp},
       {Rec + "stopped", Raw + "stopped", Udp + "stopped", Mixer + "stopped"}},
      {false, false, false, true, {Mixer + "started", Udp + "started", Rtp}, {Udp + "stopped", Mixer + "stopped"}},
      {true, true, true, false, {}, {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::Message() << "record " << C.Record << ", play " << C.Play << ", save " << C.Save
                                    << ", log " << C.Log);
    DoLog = C.Log;
    auto S = NewSession();
    S->SetRecordEnabled(C.Record);
    S->SetPlayEnabled(C.Play);
    S->SetSaveWavData(C.Save);
    const size_t Before = Lines().size();
    S->SetActive(true);
    const auto Started = Tail(Lines(), Before);
    EXPECT_EQ(ProcessorLines(Started), C.Start);
    S->SetActive(false);
    EXPECT_EQ(ProcessorLines(Tail(Lines(), Before + Started.size())), C.Stop);
    if (!C.Log) {
      EXPECT_EQ(Lines().size(), Before) << "nothing at all without DoLog";
    }
  }
}

TEST_F(Session, ActiveSetTwiceStartsAndStopsOnce) {
  auto S = NewSession();
  S->SetActive(true);
  S->SetActive(true);  // a second mixer on the same port would throw here
  EXPECT_TRUE(S->Active());
  auto L = Lines();
  EXPECT_EQ(Count(L, "-> started"), 5u);
  EXPECT_EQ(Count(L, "Opened recording device"), 1u);
  S->SetActive(false);
  S->SetActive(false);
  EXPECT_FALSE(S->Active());
  L = Lines();
  EXPECT_EQ(Count(L, "-> stopped"), 4u);

  // Everything was released: the same ports serve again, with the marker on
  // the first packet after the new start.
  S->SetActive(true);
  TPeer Peer;
  const Bytes First = Connect(Peer);
  ASSERT_FALSE(First.empty());
  EXPECT_TRUE(Parse(First).Marker);
}

TEST_F(Session, AStartThatFailsHalfWayReleasesOnlyWhatItStarted) {
  const struct {
    const char* Name;
    std::function<void(TRtpSession&)> Break;
    std::string Error;
    std::vector<std::string> Stop;
  } Cases[] = {
      {"the mixer's port is taken", [](TRtpSession&) {}, "Cannot start server. ", {}},
      {"the raw files cannot be created",
       [this](TRtpSession& S) { TSessionPeer::SetRawFileDir(S, (FDir.Path() / "missing" / "").string()); },
       "Cannot create file \"",
       {"UDP sender/receiver processor -> stopped", "Audio mixer processor -> stopped"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto S = NewSession();
    S->SetSaveWavData(true);
    C.Break(*S);
    asio::io_context Io;
    std::unique_ptr<tcp::acceptor> Taken;
    if (C.Stop.empty()) Taken = std::make_unique<tcp::acceptor>(Io, tcp::endpoint(Loopback, FTcpPort));
    std::string Message;
    try {
      S->SetActive(true);
    } catch (const Exception& E) {
      Message = E.Message();
    }
    EXPECT_EQ(Message.rfind(C.Error, 0), 0u) << Message;
    const size_t Before = Lines().size();
    S->SetActive(false);
    EXPECT_EQ(ProcessorLines(Tail(Lines(), Before)), C.Stop);
    EXPECT_FALSE(S->Active());
  }
}

TEST_F(Session, AUdpPortInUseFailsTheStartAsATakenTcpPortDoes) {
  auto S = NewSession();
  asio::io_context Io;
  udp::socket Taken(Io, udp::endpoint(Loopback, FUdpPort));
  std::string Message;
  try {
    S->SetActive(true);
  } catch (const Exception& E) {
    Message = E.Message();
  }
  EXPECT_EQ(Message.rfind("Cannot start server. ", 0), 0u) << "no deaf bridge: " << Message;
  const std::regex Error(std::to_string(FUdpPort) + R"(:Error\. Operation: 0\. Error: .+\(-?\d+\)\. TID: \d+)");
  const auto All = Lines();
  EXPECT_EQ(std::count_if(All.begin(), All.end(), [&](const std::string& X) { return std::regex_match(X, Error); }), 1);
  EXPECT_EQ(ProcessorLines(All), (std::vector<std::string>{"Audio mixer processor -> started"}));
  const size_t Before = Lines().size();
  S->SetActive(false);
  EXPECT_EQ(ProcessorLines(Tail(Lines(), Before)),
            (std::vector<std::string>{"UDP sender/receiver processor -> stopped", "Audio mixer processor -> stopped"}));
  EXPECT_FALSE(S->Active());
}

TEST_F(Session, SettingsBeyondTheLimitsAreRefusedAtStart) {
  const struct {
    std::function<void(TRtpSession&)> Set;
    std::string Refusal;  // empty: the start goes ahead
  } Cases[] = {
      {[](TRtpSession& S) { S.SetReceiveBufCount(0); }, "ReceiveBufCount=0 is outside 1..1024"},
      {[](TRtpSession& S) { S.SetReceiveBufCount(1025); }, "ReceiveBufCount=1025 is outside 1..1024"},
      {[](TRtpSession& S) { S.SetReceiveBufCount(205); },
       "ReceiveBufCount=205 x 160 bytes of ReceivePayloadTime=20 exceeds 32768 bytes"},
      {[](TRtpSession& S) { S.SetReceiveBufCount(204); }, ""},
      {[](TRtpSession& S) {
         S.SetReceiveBufCount(1);
         S.SetReceivePayloadTime(4097);
       },
       "ReceiveBufCount=1 x 32776 bytes of ReceivePayloadTime=4097 exceeds 32768 bytes"},
      {[](TRtpSession& S) {
         S.SetReceiveBufCount(1);
         S.SetReceivePayloadTime(4096);
       },
       ""},
      {[](TRtpSession& S) { S.SetSendPayloadTime(4097); }, "32776 bytes of SendPayloadTime=4097 exceed 32768 bytes"},
      {[](TRtpSession& S) { S.SetSendPayloadTime(4096); }, ""},
      {[](TRtpSession& S) { S.SetReceivePayloadTime(0); },
       "ReceivePayloadTime=0 and SendPayloadTime=20 must give at least one byte"},
      {[](TRtpSession& S) {
         S.SetPlayEnabled(false);
         S.SetReceiveBufCount(0);
       },
       ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Refusal.empty() ? "accepted" : C.Refusal);
    auto S = NewSession();
    C.Set(*S);
    const size_t Before = Lines().size();
    std::string Message;
    try {
      S->SetActive(true);
    } catch (const Exception& E) {
      Message = E.Message();
    }
    if (C.Refusal.empty()) {
      EXPECT_EQ(Message, "");
      EXPECT_TRUE(S->Active());
      S->SetActive(false);
      continue;
    }
    EXPECT_EQ(Message, "RTP session settings refused: " + C.Refusal);
    EXPECT_FALSE(S->Active());
    EXPECT_EQ(Tail(Lines(), Before), std::vector<std::string>{"RTP session settings refused: " + C.Refusal})
        << "nothing was started";
  }
}

// ---- raw files and the send side without peers ------------------------------------

TEST_F(Session, RawFilesExistOnlyWithSaveWavDataAndFillWhenAudioFlows) {
  {
    auto S = NewSession();
    S->SetActive(true);
    Platform::SleepMs(100);  // running a while: no file may appear
    S->SetActive(false);
    EXPECT_TRUE(RawFiles().empty()) << "SaveWavData off";
  }
  auto S = NewSession();
  S->SetSaveWavData(true);
  S->SetActive(true);
  const auto Files = RawFiles();
  ASSERT_EQ(Files.size(), 2u);
  const std::regex Name(R"(Raw(Recv|Sent)_\d{4}_\d{2}_\d{2}_\d{6}\.raw)");
  EXPECT_TRUE(std::regex_match(Files[0].filename().string(), Name)) << Files[0];
  EXPECT_EQ(Files[0].filename().string().substr(0, 8), "RawRecv_");
  EXPECT_EQ(Files[1].filename().string().substr(0, 8), "RawSent_");
  Platform::SleepMs(200);  // the microphone runs, but there is no peer
  EXPECT_EQ(std::filesystem::file_size(Files[0]), 0u);
  EXPECT_EQ(std::filesystem::file_size(Files[1]), 0u);

  TPeer Peer;
  for (uint16_t I = 0; I < 5; ++I) Peer.Send(FUdpPort, Rtp(I, 160u * I, 0x2222, static_cast<uint8_t>(0x30 + I)));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::file_size(Files[1]) >= 320; }));
  S->SetActive(false);
  const Bytes Received = TestSupport::ReadFile(Files[0]);
  for (uint8_t I = 0; I < 5; ++I)
    EXPECT_NE(Received.find(Bytes(160, static_cast<char>(0x30 + I))), Bytes::npos) << "payload " << int(I);
  EXPECT_EQ(TestSupport::ReadFile(Files[1]).size() % 160, 0u);

  // Starts within one second (or in the hour repeated when the clocks go
  // back) never write over an earlier call's files: the names get a counter.
  for (int I = 0; I < 2; ++I) {
    S->SetActive(true);
    S->SetActive(false);
  }
  const auto All = RawFiles();
  EXPECT_EQ(All.size(), 6u);
  const std::regex Counted(R"(Raw(Recv|Sent)_\d{4}_\d{2}_\d{2}_\d{6}(_[12])?\.raw)");
  for (const auto& F : All) EXPECT_TRUE(std::regex_match(F.filename().string(), Counted)) << F;
  EXPECT_EQ(TestSupport::ReadFile(Files[0]), Received);
}

// Metrics may be read from any thread, also while the host creates and frees
// the processors (the thread-sanitizer build checks every read against them).
TEST_F(Session, MetricsReadFromAnotherThreadWhileStartingAndStopping) {
  auto S = NewSession();
  std::atomic<bool> Done{false};
  std::atomic<int> ActiveReads{0};
  std::thread Reader([&] {
    while (!Done)
      if (S->Metrics().Active) ++ActiveReads;
  });
  for (int Round = 0; Round < 3; ++Round) {
    ActiveReads = 0;
    S->SetActive(true);
    EXPECT_TRUE(WaitUntil([&] { return ActiveReads.load() > 0; }));
    S->SetActive(false);
  }
  Done = true;
  Reader.join();
  EXPECT_FALSE(S->Metrics().Active);
  EXPECT_EQ(S->Metrics().Capture, TDeviceState::Missing) << "no processor left";
}

TEST_F(Session, WithoutAPeerCapturedAudioIsDroppedAndNoSequenceNumberIsUsed) {
  auto S = NewSession();
  S->SetActive(true);
  const TRtpSendIdentity Before = TSessionPeer::Codec(*S).SendIdentity();
  Platform::SleepMs(400);  // twenty captured blocks
  const TRtpSendIdentity After = TSessionPeer::Codec(*S).SendIdentity();
  EXPECT_EQ(After.SequenceNumber, Before.SequenceNumber);
  EXPECT_EQ(After.Timestamp, Before.Timestamp);
  EXPECT_TRUE(After.MarkerPending);
  EXPECT_LE(TBufferPeer::Length(TSessionPeer::SendBuffer(*S)), 320u) << "consumed, not piling up";
  EXPECT_EQ(Count(Lines(), "Drop"), 0u);

  // The first packet to the first peer is the first one built.
  TPeer Peer;
  Peer.Send(FUdpPort, Bytes(20, '\0'));  // a start datagram makes a peer too
  const Bytes First = Peer.Receive(3000), Second = Peer.Receive(3000);
  ASSERT_FALSE(Second.empty());
  const TRtpDatagramInfo A = Parse(First), B = Parse(Second);
  EXPECT_EQ(First.size(), 172u);
  EXPECT_TRUE(A.Marker);
  EXPECT_FALSE(B.Marker);
  EXPECT_EQ(A.SequenceNumber, static_cast<uint16_t>(Before.SequenceNumber + 1));
  EXPECT_EQ(B.SequenceNumber, static_cast<uint16_t>(Before.SequenceNumber + 2));
  EXPECT_EQ(A.Timestamp, 160u);
  EXPECT_EQ(B.Timestamp, 320u);
  EXPECT_EQ(A.Ssrc, Before.Ssrc);
}

// ---- the start datagram and peers -------------------------------------------------

TEST_F(Session, TheStartDatagramIsTwentyZeroBytesToTheRemoteEndpoint) {
  TPeer Remote;
  auto S = NewSession();
  S->SetRemotePort(Remote.Port());
  S->SendHello();  // not active: nothing to send with
  EXPECT_TRUE(Remote.Receive(100).empty());
  S->SetActive(true);
  S->SendHello();
  uint16_t From = 0;
  EXPECT_EQ(Remote.Receive(3000, &From), Bytes(20, '\0'));
  EXPECT_EQ(From, FUdpPort) << "sent from the session's own port";
  EXPECT_TRUE(Remote.Receive(200).empty()) << "one datagram, and the remote is no peer yet";
}

TEST_F(Session, AnInactivePeerIsDroppedAndTheNextConversationStartsAfresh) {
  auto S = NewSession();
  S->SetDisconnectTimeOut(300);
  S->SetActive(true);
  TPeer Peer;
  const Bytes First = Connect(Peer, 0x1111);
  ASSERT_FALSE(First.empty());
  const uint32_t FirstSsrc = Parse(First).Ssrc;
  EXPECT_TRUE(WaitForLine("CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]"));

  // The peer falls silent; the host's checks drop it after the time-out.
  const auto Silent = TClock::now();
  EXPECT_TRUE(WaitUntil(
      [&] {
        S->CheckInactivePeers();
        return Count(Lines(), "DISCONNECT_INACTIVE [1]") > 0;
      },
      3000));
  EXPECT_GE(TClock::now() - Silent, 250ms);
  EXPECT_TRUE(WaitForLine("DISCONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]"));
  EXPECT_EQ(TSessionPeer::PeerCount(*S), 0);
  const TRtpSendIdentity Reset = TSessionPeer::Codec(*S).SendIdentity();
  // The session may build one more block before the transport forgets the
  // peer (which receives nothing more by then).
  EXPECT_LE(Reset.Timestamp, 160u) << "a new identity";
  EXPECT_NE(Reset.Ssrc, FirstSsrc);
  EXPECT_FALSE(TSessionPeer::Codec(*S).AwaitingFirstStream()) << "the departing peer was still counted";

  // The next stream is a new SSRC to the session: adopted, and the identity is
  // new once more. The peer is known from its first datagram on, so a block the
  // session thread built just before that datagram's stream was taken may still
  // reach it under the identity before: the first packet of the new one counts.
  Peer.Drain(100);
  Peer.Send(FUdpPort, Rtp(500, 160, 0x2222));
  TRtpDatagramInfo N;
  for (int Packets = 0; Packets < 3; ++Packets) {
    const Bytes Next = Peer.Receive(3000);
    ASSERT_FALSE(Next.empty());
    N = Parse(Next);
    if (N.Ssrc != Reset.Ssrc) break;
  }
  EXPECT_NE(N.Ssrc, Reset.Ssrc);
  EXPECT_NE(N.Ssrc, FirstSsrc);
  EXPECT_EQ(N.Timestamp, 160u);
  EXPECT_FALSE(N.Marker) << "the marker belongs to the start";
  EXPECT_EQ(Count(Lines(), "RTP SSRC CHANGED!"), 1u);
  EXPECT_EQ(TSessionPeer::Codec(*S).ReceiveTracking().RemoteSsrc, 0x2222u);
}

// ---- the device watchdog ----------------------------------------------------------

TEST_F(Session, WithoutACaptureDeviceTheWatchdogRetriesUntilOneIsPresent) {
  Install({Ear()});
  auto S = NewSession();
  S->SetActive(true);
  EXPECT_TRUE(S->Active());
  auto L = ProcessorLines(Lines());
  EXPECT_EQ(Count(L, "Sound recorder processor -> not started"), 1u);
  EXPECT_EQ(Count(L, "RTP session processor -> started"), 1u);

  // Each check recreates the recorder, which finds nothing; the working
  // earpiece is left alone.
  for (int I = 0; I < 3; ++I) S->CheckDevices();
  L = Lines();
  EXPECT_EQ(Count(L, "No wave audio recording devices found."), 4u);
  EXPECT_EQ(Count(L, "Opened playback device: Test Ear"), 1u);

  Install({Mic(), Ear()});
  S->CheckDevices();
  for (int I = 0; I < 3; ++I) S->CheckDevices();  // all running: nothing to do
  L = Lines();
  EXPECT_EQ(Count(L, "Opened recording device: Test Mic"), 1u);
  EXPECT_EQ(Count(L, "Opened playback device: Test Ear"), 1u);
  TPeer Peer;
  EXPECT_FALSE(Connect(Peer).empty()) << "the microphone is heard";
}

TEST_F(Session, AnEarpieceTheListDoesNotNamePlaysNowhereAndAnEmptyListMeansTheFirst) {
  // Only the room's speakers are there: the customer must not be played on them.
  Install({Mic(), DevicesTest::Ear("Room Speakers")});
  {
    auto S = NewSession();
    S->SetActive(true);
    EXPECT_EQ(Count(Lines(), "Sound player processor -> not started"), 1u);
    S->CheckDevices();
    const TSessionMetrics M = S->Metrics();
    EXPECT_EQ(M.Playback, TDeviceState::Missing);
    EXPECT_EQ(M.Capture, TDeviceState::Open);
    EXPECT_EQ(M.DeviceReopens, 1u) << "the player alone is tried again";
    EXPECT_EQ(Count(Lines(), "Opened playback device"), 0u);
    EXPECT_EQ(Count(Lines(), "Opened recording device"), 1u);
  }
  StartValues.PlayDeviceID = "";
  auto S = NewSession();
  S->SetActive(true);
  EXPECT_EQ(Count(Lines(), "Opened playback device: Room Speakers(0)"), 1u);
  EXPECT_EQ(S->Metrics().Playback, TDeviceState::Open);
}

TEST_F(Session, AnEarpieceBusyAtStartIsOpenedByTheWatchdogAndOnlyWhatReachesItCountsAsPlayed) {
  Platform::TVirtualWaveDevice Busy = Ear();
  Busy.Faults = {{Platform::TWaveFaultOp::Open, 1, Platform::MMSYSERR_ALLOCATED}};
  Install({Mic(), Busy});
  auto S = NewSession();
  S->SetActive(true);
  EXPECT_EQ(Count(Lines(), "Sound player processor -> not started"), 1u);
  TPeer Peer;
  ASSERT_FALSE(Connect(Peer).empty());
  for (uint16_t Seq = 2; Seq < 12; ++Seq) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x11111111));
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Verdicts[0] >= 11; }));
  EXPECT_EQ(S->Metrics().PlayedBytes, 0u);
  EXPECT_EQ(S->Metrics().Playback, TDeviceState::Missing);

  S->CheckDevices();
  EXPECT_EQ(Count(Lines(), "Opened playback device: Test Ear"), 1u);
  EXPECT_EQ(S->Metrics().Playback, TDeviceState::Open);
  for (uint16_t Seq = 12; Seq < 22; ++Seq) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x11111111));
  EXPECT_TRUE(WaitUntil([&] { return S->Metrics().PlayedBytes > 0; })) << "the agent hears the customer";
  for (int I = 0; I < 3; ++I) S->CheckDevices();
  EXPECT_EQ(Count(Lines(), "Opened recording device: Test Mic"), 1u) << "the working microphone is left alone";
  EXPECT_EQ(S->Metrics().DeviceReopens, 1u);
}

TEST_F(Session, TheStartDatagramIsRepeatedEverySecondWhileNoPeerIsThere) {
  TPeer Remote;
  auto S = NewSession();
  S->SetRemotePort(Remote.Port());
  S->SetActive(true);
  S->SendHello();
  ASSERT_EQ(Remote.Receive(1000).size(), 20u);
  const auto Start = TClock::now();
  size_t Hellos = 0;
  while (TClock::now() - Start < 2900ms) {  // repeats due at 1000-1300 and 2000-2600 ms
    S->RepeatHello();  // as the host does every 300 ms
    for (Bytes P = Remote.Receive(300); !P.empty(); P = Remote.Receive(0)) Hellos += P.size() == 20;
  }
  EXPECT_EQ(Hellos, 2u);
  // A peer answers: no more start datagrams.
  Remote.Send(FUdpPort, Rtp(1, 160, 0x1234));
  ASSERT_TRUE(WaitUntil([&] { return TSessionPeer::PeerCount(*S) == 1; }));
  Remote.Drain(100);
  for (int I = 0; I < 5; ++I) {
    S->RepeatHello();
    std::this_thread::sleep_for(300ms);
  }
  size_t Later = 0;
  for (const Bytes& P : Remote.Drain(100)) Later += P.size() == 20;
  EXPECT_EQ(Later, 0u);
}

TEST_F(Session, AVanishedMicrophoneIsReopenedWhenItComesBack) {
  Install({Mic(300, 500), Ear()});
  auto S = NewSession();
  S->SetActive(true);
  TPeer Peer;
  ASSERT_FALSE(Connect(Peer).empty());
  // The host's period; the device is lost 300 ms after each opening and then
  // missing for 500 ms.
  size_t HeardAgain = 0;
  bool Reopened = false;
  const auto Start = TClock::now();
  for (uint16_t Seq = 2; TClock::now() - Start < 2000ms && !HeardAgain; ++Seq) {
    Peer.Send(FUdpPort, Rtp(Seq, 0, 0x1111));  // stays a peer
    const auto Got = Peer.Drain(300);
    if (Reopened) HeardAgain += Got.size();
    S->CheckDevices();
    Reopened = Count(Lines(), "Opened recording device: Test Mic") >= 2;
  }
  EXPECT_TRUE(Reopened);
  EXPECT_GE(Count(Lines(), "No wave audio recording devices found."), 1u) << "retried while it was missing";
  EXPECT_GT(HeardAgain, 0u) << "the microphone is heard again";
}

// ---- the places several threads share ---------------------------------------------

TEST_F(Session, TheWatchdogNeverFreesADeviceInUse) {
  // The microphone and the earpiece are lost every 40 ms and back at once: the
  // watchdog replaces the recorder and the player again and again while the
  // wave-in callback delivers, the session thread plays and a peer streams in.
  Platform::TVirtualWaveDevice Loose = Ear();
  Loose.VanishAfterMs = 40;
  Install({Mic(40, 0), Loose});
  auto S = NewSession();
  S->SetActive(true);
  TPeer Peer;
  std::atomic<bool> Done{false};
  std::atomic<int> Heard{0};
  std::thread Stream([&] {
    for (uint16_t Seq = 0; !Done; ++Seq) {
      Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x3333, static_cast<uint8_t>(Seq)));
      while (!Peer.Receive(0).empty()) ++Heard;
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto Start = TClock::now();
  int Checks = 0;
  while (TClock::now() - Start < 1500ms) {
    S->CheckDevices();
    ++Checks;
    std::this_thread::sleep_for(1ms);
  }
  Done = true;
  Stream.join();
  S->SetActive(false);
  EXPECT_GT(Heard.load(), 0);
  EXPECT_GE(Count(Lines(), "Opened recording device: Test Mic"), 5u) << Checks << " checks";
  EXPECT_GE(Count(Lines(), "Opened playback device: Test Ear"), 5u) << Checks << " checks";
  EXPECT_EQ(Count(Lines(), "Exception"), 0u);
}

TEST_F(Session, TheReceivedFileHoldsEachAcceptedPayloadOnceInArrivalOrder) {
  // Every payload is one repeated byte. The network repeats every fourth
  // datagram: the copy is neither written nor played.
  auto S = NewSession();
  S->SetSaveWavData(true);
  S->SetActive(true);
  TPeer Peer;
  for (uint16_t Seq = 0; Seq < 400; ++Seq) {
    const Bytes Packet = Rtp(Seq, 160u * Seq, 0x4444, static_cast<uint8_t>(1 + Seq % 250));
    Peer.Send(FUdpPort, Packet);
    if (Seq % 4 == 0) {
      Peer.Send(FUdpPort, Packet);
      std::this_thread::sleep_for(2ms);
    }
  }
  const auto Files = RawFiles();
  ASSERT_EQ(Files.size(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::file_size(Files[0]) >= 160u * 400; }));
  Platform::SleepMs(200);  // played meanwhile: nothing more may come
  S->SetActive(false);
  const Bytes Recv = TestSupport::ReadFile(Files[0]);
  ASSERT_EQ(Recv.size(), 160u * 400);
  size_t Wrong = 0;
  for (size_t Seq = 0; Seq < 400; ++Seq)
    Wrong += Recv.substr(Seq * 160, 160) != Bytes(160, static_cast<char>(1 + Seq % 250));
  EXPECT_EQ(Wrong, 0u);
}

TEST_F(Session, StartsAndStopsWhileDatagramsPourIn) {
  // The stop closes the raw files and frees the processors while transport
  // threads may still be inside the receive handler.
  auto S = NewSession();
  S->SetSaveWavData(true);
  TPeer Peer;
  std::atomic<bool> Done{false};
  std::thread Flood([&] {
    for (uint16_t Seq = 0; !Done; ++Seq) {
      Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x5555));
      if (Seq % 8 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  for (int Round = 0; Round < 8; ++Round) {
    S->SetActive(true);
    Platform::SleepMs(60);  // running under the flood a while: the case itself
    S->SetActive(false);
  }
  Done = true;
  Flood.join();
  EXPECT_EQ(Count(Lines(), "Exception"), 0u);
  EXPECT_EQ(Count(Lines(), "Raw file saver -> stopped"), 8u);
}

TEST_F(Session, IdentityResetsAreWholeWhilePacketsAreBuilt) {
  // Every datagram of the peer carries a new SSRC, and each resets the send
  // identity on a transport thread while the session thread builds packets and
  // the host thread drops and re-learns the peer. Each packet sent must belong
  // to one identity: within an SSRC, sequence and timestamp advance together
  // from one step of timestamp.
  // The peer is dropped and learned again hundreds of times a second, far
  // beyond what the new-peer limit lets through.
  TAccessPolicy Unlimited;
  Unlimited.NewPeersPerSecond = 1000000;
  const TScopedAccessPolicy Policy(Unlimited);
  auto S = NewSession();
  S->SetDisconnectTimeOut(0);
  S->SetActive(true);
  TPeer Peer;
  ASSERT_FALSE(Connect(Peer).empty());
  TSessionPeer::Codec(*S).SetAwaitingFirstStream(false);
  std::atomic<bool> Done{false};
  std::thread Host([&] {
    while (!Done) {
      S->CheckInactivePeers();
      std::this_thread::sleep_for(3ms);
    }
  });
  std::vector<Bytes> Got;
  const auto Start = TClock::now();
  for (uint32_t I = 0; TClock::now() - Start < 1500ms; ++I) {
    Peer.Send(FUdpPort, Rtp(static_cast<uint16_t>(I), 160 * I, 0x10000 + I));
    while (true) {
      Bytes P = Peer.Receive(0);
      if (P.empty()) break;
      Got.push_back(std::move(P));
    }
    std::this_thread::sleep_for(2ms);
  }
  Done = true;
  Host.join();
  S->SetActive(false);
  ASSERT_GE(Got.size(), 20u);
  std::map<uint32_t, std::pair<uint16_t, uint32_t>> FirstOf;  // SSRC -> first sequence and timestamp
  size_t Whole = 0;
  for (const Bytes& P : Got) {
    const TRtpDatagramInfo D = Parse(P);
    auto [It, New] = FirstOf.try_emplace(D.Ssrc, D.SequenceNumber, D.Timestamp);
    const uint32_t Steps = static_cast<uint16_t>(D.SequenceNumber - It->second.first);
    Whole += D.Timestamp % 160 == 0 && D.Timestamp - It->second.second == 160 * Steps;
  }
  EXPECT_EQ(Whole, Got.size());
  EXPECT_GE(FirstOf.size(), 5u) << "the identity was reset while packets went out";
  size_t FromOne = 0;
  for (const auto& [Ssrc, First] : FirstOf) FromOne += First.second == 160;
  // A packet built while the peer is being dropped never leaves, so now and then
  // an identity is first seen at its second step.
  EXPECT_GE(FromOne * 10, FirstOf.size() * 9) << "a new identity starts at one step";
}


// A device that hands over a backlog at once (after the process stood still,
// say) as fast as the session takes it: the peer gets at most SendBufCount
// packets together and otherwise the stream's pace; the rest is dropped.
TEST_F(Session, ABacklogFromTheDeviceReachesThePeerAsOneBurstAtMost) {
  auto S = NewSession();
  S->SetSendBufCount(4);
  S->SetActive(true);
  TPeer Peer;
  ASSERT_FALSE(Connect(Peer).empty());
  while (!Peer.Receive(0).empty()) {
  }
  std::string Audio(160, '\x55');
  Platform::WAVEHDR H;
  H.lpData = Audio.data();
  H.dwBufferLength = H.dwBytesRecorded = 160;
  const auto Start = TClock::now();
  for (int I = 0; I < 250; ++I) {
    S->AddRecordedData(H);
    const auto Limit = TClock::now() + 50ms;
    while (TBufferPeer::Length(TSessionPeer::SendBuffer(*S)) != 0 && TClock::now() < Limit) std::this_thread::yield();
  }
  const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start);
  const size_t Got = Peer.Drain(100).size();
  // The burst, the stream's pace over the time taken (with its room for a
  // fast clock), and a packet or two that was on its way.
  const size_t Allowed = 4 + static_cast<size_t>((Took.count() + 100) * 33 / 32 / 20) + 2;
  EXPECT_LE(Got, Allowed) << "within " << Took.count() + 100 << " ms";
  ASSERT_TRUE(WaitForLine(" captured packets dropped"));
  for (const std::string& L : Lines()) {
    if (L.find(" captured packets dropped") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(L, std::regex("Send burst after a stall: [1-9][0-9]* captured packets dropped")))
          << L;
    }
  }
  S->SetActive(false);
}

// ---- the fixed receive mode: one stream, in order, packets whole -----------------

// The played file's bytes as runs of one value, long runs only (real frames of
// one repeated byte; what a time-scale step or a fade leaves between them is
// left out), silence left out.
std::vector<int> LongRuns(const Bytes& Played, size_t Least) {
  std::vector<int> Values;
  for (size_t I = 0; I < Played.size();) {
    size_t J = I;
    while (J < Played.size() && Played[J] == Played[I]) ++J;
    if (J - I >= Least && static_cast<uint8_t>(Played[I]) != Platform::ALawSilence)
      Values.push_back(static_cast<uint8_t>(Played[I]));
    I = J;
  }
  return Values;
}

// A started session whose earphone writes what it plays to played.raw.
class PlayingSession : public Session {
protected:
  std::unique_ptr<TRtpSession> StartPlaying(const std::function<void(TRtpSession&)>& Setup = {}) {
    Platform::TVirtualWaveDevice EarFile = Ear();
    EarFile.FileName = (FDir.Path() / "played.raw").string();
    Install({Mic(), EarFile});
    auto S = NewSession();
    if (Setup) Setup(*S);
    S->SetActive(true);
    return S;
  }
  Bytes Played() const { return TestSupport::ReadFile(FDir.Path() / "played.raw"); }
  static uint64_t Verdicts(TRtpSession& S, TRtpVerdict V) { return S.Metrics().Verdicts[static_cast<size_t>(V)]; }
};

// The remote side moving to a new port, or a second sender: while the first
// stream goes on, the other is not played (and counted); once the first has
// been silent for two packets' time, the other takes over.
TEST_F(PlayingSession, TwoSendersAtOnceArePlayedOneAtATime) {
  auto S = StartPlaying();
  TPeer A, B;
  const char FillA = 0x2A, FillB = 0x3B;
  const auto Start = TClock::now();
  for (uint16_t Seq = 0; Seq < 60; ++Seq) {
    std::this_thread::sleep_until(Start + Seq * 20ms);
    if (Seq < 40) A.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0xAAAA, FillA));
    B.Send(FUdpPort, Rtp(static_cast<uint16_t>(30000 + Seq), 160u * Seq, 0xBBBB, FillB));
  }
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Datagrams == 100; }));
  const uint64_t FromB = Verdicts(*S, TRtpVerdict::Accepted) - 40;
  EXPECT_EQ(Verdicts(*S, TRtpVerdict::OtherSource), 60 - FromB) << "every packet not played is counted";
  WaitUntil([&] { return Played().size() >= 160 * (40 + FromB); }, 10000);
  const Bytes Heard = Played();
  S->SetActive(false);
  const size_t FirstB = Heard.find(FillB);
  ASSERT_NE(FirstB, Bytes::npos) << "the second sender is heard once the first has stopped";
  EXPECT_EQ(std::count(Heard.begin(), Heard.begin() + FirstB, FillA), 160 * 40) << "the first, whole";
  EXPECT_EQ(Heard.find(FillA, FirstB), Bytes::npos) << "not interleaved";
  // From the second or third packet after the first stream's last (later on
  // a machine too busy to send on time).
  EXPECT_GE(FromB, 10u);
  EXPECT_LE(FromB, 20u);
  // Every accepted packet of the second is played; on a machine too busy to
  // play on time (Wine) the earpiece's ring may have dropped one.
  const auto HeardB = static_cast<uint64_t>(std::count(Heard.begin(), Heard.end(), FillB));
  EXPECT_LE(HeardB, 160 * FromB);
  EXPECT_GE(HeardB, 160 * (FromB - 1));
}

// A packet lost on the way that arrives a second later is not played out of
// its place: it is dropped and counted as late.
TEST_F(PlayingSession, APacketASecondLateIsDroppedAsLate) {
  auto S = StartPlaying();
  TPeer Peer;
  auto Packet = [](uint16_t Seq) { return Rtp(static_cast<uint16_t>(65520 + Seq), 160u * Seq, 0x5151, 1 + 2 * Seq); };
  const auto Start = TClock::now();
  for (uint16_t Seq = 0; Seq < 80; ++Seq) {
    std::this_thread::sleep_until(Start + Seq * 20ms);
    if (Seq != 10) Peer.Send(FUdpPort, Packet(Seq));
    if (Seq == 60) Peer.Send(FUdpPort, Packet(10));
  }
  WaitUntil([&] { return S->Metrics().Datagrams == 80 && Played().size() >= 160u * 79; });
  EXPECT_EQ(Verdicts(*S, TRtpVerdict::Late), 1u);
  EXPECT_EQ(Verdicts(*S, TRtpVerdict::Accepted), 79u);
  const std::vector<int> Runs = LongRuns(Played(), 160);
  S->SetActive(false);
  std::vector<int> Want;
  for (uint16_t Seq = 0; Seq < 80; ++Seq)
    if (Seq != 10) Want.push_back(1 + 2 * Seq);
  // In order across the wrap, each once, the late one nowhere (it would break
  // the order). A machine too busy to play on time may have had the buffer
  // drop a few on overflow.
  EXPECT_TRUE(std::includes(Want.begin(), Want.end(), Runs.begin(), Runs.end()) &&
              std::adjacent_find(Runs.begin(), Runs.end(), std::greater_equal<int>()) == Runs.end())
      << ::testing::PrintToString(Runs);
  EXPECT_GE(Runs.size() + 3, Want.size());
}

// A peer sending 80 ms packets to a buffer of 60 ms: each is played whole, and
// the log says once which setting would hold them.
TEST_F(PlayingSession, PacketsLongerThanTheBufferArePlayedWhole) {
  auto S = StartPlaying([](TRtpSession& S) { S.SetReceiveBufCount(3); });
  TPeer Peer;
  const auto Start = TClock::now();
  for (uint16_t Seq = 0; Seq < 10; ++Seq) {
    std::this_thread::sleep_until(Start + Seq * 80ms);
    Peer.Send(FUdpPort, RtpTest::PacketText(Seq, 640u * Seq, 0x6161, Bytes(640, static_cast<char>(1 + Seq))));
  }
  WaitUntil([&] { return Played().size() >= 6400u; });
  const std::vector<int> Runs = LongRuns(Played(), 640);
  S->SetActive(false);
  EXPECT_EQ(Runs, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(Count(Lines(), "RTP packet of 640 bytes from [ID=1] is longer than the receive buffer of 480 bytes "
                           "(ReceiveBufCount=3): played whole; ReceiveBufCount=4 would hold it"),
            1u);
  EXPECT_EQ(Count(Lines(), "Drop"), 0u) << "nothing cut, nothing dropped";
}

// What the receive buffer made of a stream with a gap, in the call's figures:
// 110 packets 20 ms apart, of which 50 to 59 never come.
class CallFigures : public PlayingSession {
protected:
  // Starts the session (with or without an earpiece) and talks; how long the
  // sending took.
  std::chrono::milliseconds TalkWithAGap(bool Adaptive, bool Earpiece) {
    FSession = StartPlaying([&](TRtpSession& S) {
      if (Adaptive) S.SetAdaptiveReceive(true, {LeastDelayMs, 200});
      if (!Earpiece) Install({Mic()});
    });
    TPeer Peer;
    const auto Start = TClock::now();
    for (uint16_t Seq = 0; Seq < 110; ++Seq) {
      std::this_thread::sleep_until(Start + Seq * 20ms);
      if (Seq < 50 || Seq >= 60) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x4242, static_cast<uint8_t>(1 + Seq)));
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start);
  }
  TQualityFigures Figures() { return TSessionPeer::Calls(*FSession).Snapshot(1).value_or(TReceiveSnapshot{}).Call; }

  // The adaptive buffer's least delay: above the few ms by which a busy
  // machine's threads come late, so that the buffer keeps to it.
  static constexpr uint32_t LeastDelayMs = 60;

  std::unique_ptr<TRtpSession> FSession;
};

// The fixed mode plays each packet as it comes: nothing is made up, the gap
// is silence, and a packet waits in the buffer no longer than the session
// thread takes to wake; with an earpiece, behind what it still holds (two
// buffers at most).
TEST_F(CallFigures, TheFixedModeMakesNothingUpAndTheGapIsSilence) {
  for (const bool Earpiece : {true, false}) {
    SCOPED_TRACE(Earpiece ? "with an earpiece" : "without one");
    const auto Took = TalkWithAGap(false, Earpiece);
    const bool AllPlayed = WaitUntil([&] {
      const TQualityFigures F = Figures();
      return F.AudioMs - F.SilentMs >= 100 * 20 && (!Earpiece || Played().size() >= 100 * 160);
    });
    const TQualityFigures F = Figures();
    FSession->SetActive(false);
    ASSERT_TRUE(AllPlayed) << F.AudioMs << " ms played, " << F.SilentMs << " silent";
    EXPECT_EQ(F.AudioMs - F.SilentMs, 100u * 20) << "every packet's 20 ms";
    EXPECT_EQ(F.ConcealedMs, 0u);
    EXPECT_EQ(F.DroppedMs, 0u);
    // The gap, and no more than the sending's own delays (the 110 packets'
    // time less the 100 played) and a late take.
    EXPECT_GE(F.SilentMs, 190u);
    EXPECT_LE(F.SilentMs, static_cast<uint64_t>(Took.count()) + 20 - 2000 + 50) << Took.count() << " ms sending";
    EXPECT_LT(F.BufferDelayMs, 20.0);
    EXPECT_LE(F.DeviceDelayMs, Earpiece ? 40u : 0u);
    if (Earpiece) {
      EXPECT_EQ(Played().size(), 100u * 160);
    }
  }
}

// The adaptive mode makes the gap's 200 ms up and holds each packet about its
// least delay, taking the frame from it up to a frame's time before the
// earpiece (or, without one, the path's own clock) needs it. After the last
// packet it makes audio up until it stops (half a second after it): that
// counts as silence.
TEST_F(CallFigures, TheAdaptiveModeMakesTheGapUpAndHoldsItsLeastDelay) {
  for (const bool Earpiece : {true, false}) {
    SCOPED_TRACE(Earpiece ? "with an earpiece" : "without one");
    TalkWithAGap(true, Earpiece);
    // Once the stream has stopped, the audio made up after it is taken back.
    const bool Stopped = WaitUntil([&] {
      const TQualityFigures F = Figures();
      return F.AudioMs >= 110 * 20 + 100 && F.ConcealedMs <= 240;
    });
    const TQualityFigures F = Figures();
    FSession->SetActive(false);
    ASSERT_TRUE(Stopped) << F.AudioMs << " ms played, " << F.ConcealedMs << " made up";
    EXPECT_GE(F.ConcealedMs, 190u) << "the gap";
    EXPECT_EQ(F.DroppedMs, 0u);
    EXPECT_GE(F.SilentMs, 500u - LeastDelayMs - 40) << "after the last packet";
    EXPECT_GE(F.BufferDelayMs, LeastDelayMs - 5.0);
    EXPECT_LE(F.BufferDelayMs, LeastDelayMs + 25.0);
    if (Earpiece) {
      EXPECT_GT(F.DeviceDelayMs, 0u);
      EXPECT_LE(F.DeviceDelayMs, 50u);
    } else {
      EXPECT_EQ(F.DeviceDelayMs, 0u);
    }
  }
}

// ---- the encrypted call ------------------------------------------------------------

// A peer that speaks SRTP with the bridge: it protects with the bridge's
// receive key and reads what the bridge sends with the bridge's send key.
class EncryptedSession : public PlayingSession {
protected:
  std::unique_ptr<TRtpSession> StartEncrypted(bool Required) {
    return StartPlaying([&](TRtpSession& S) {
      S.SetSaveWavData(true);
      S.SetSrtp(&BridgeSends, &BridgeReceives, Required);
    });
  }
  Bytes Protected(uint16_t Seq, uint8_t Fill, uint32_t Ssrc = 0x5A5A) {
    return SessionTest::Protected(FPeerSender, Rtp(Seq, 160u * Seq, Ssrc, Fill));
  }
  Bytes RawReceived() const {
    for (const auto& F : RawFiles())
      if (F.filename().string().rfind("RawRecv_", 0) == 0) return TestSupport::ReadFile(F);
    return {};
  }
  Bytes RawSent() const {
    for (const auto& F : RawFiles())
      if (F.filename().string().rfind("RawSent_", 0) == 0) return TestSupport::ReadFile(F);
    return {};
  }

  const TSrtpMasterKey BridgeSends = CountingKey(0x10), BridgeReceives = CountingKey(0x80);
  TSrtpSender FPeerSender{BridgeReceives};
};

// Required: plain RTP is refused (counted, logged once), SRTP under the key is
// played, a replay is refused; what the bridge sends is SRTP under its send key,
// while the recording and the raw files keep the plain audio.
TEST_F(EncryptedSession, PlainRtpIsRefusedAndSrtpPlayedWhileTheRecordingStaysPlain) {
  auto S = StartEncrypted(true);
  TPeer Peer;
  const uint8_t PlainFill = 0x2A, SrtpFill = 0x3B;
  for (uint16_t Seq = 0; Seq < 10; ++Seq) Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x5A5A, PlainFill));
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Srtp.Authentication == 10; }));
  const auto Start = TClock::now();
  Bytes Last;
  for (uint16_t Seq = 10; Seq < 30; ++Seq) {
    std::this_thread::sleep_until(Start + (Seq - 10) * 20ms);
    Last = Protected(Seq, SrtpFill);
    Peer.Send(FUdpPort, Last);
  }
  Peer.Send(FUdpPort, Last);  // as an eavesdropper would send it again
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Srtp.Replay == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return Played().size() >= 160u * 20; }));

  // What the peer hears: SRTP that its receiver opens into the bridge's microphone.
  TSrtpReceiver PeerReceiver(BridgeSends);
  Bytes Heard;
  for (int I = 0; I < 10; ++I) {
    Bytes P = Peer.Receive(1000);
    ASSERT_EQ(P.size(), 182u) << "172 bytes and a 10-byte tag";
    size_t Length = P.size();
    ASSERT_EQ(PeerReceiver.UnprotectRtp(reinterpret_cast<uint8_t*>(P.data()), Length), TSrtpVerdict::Ok);
    ASSERT_EQ(Length, 172u);
    Heard += P.substr(12, 160);
  }
  const TSessionMetrics M = S->Metrics();
  S->SetActive(false);
  EXPECT_EQ(M.Srtp.Authentication, 10u);
  EXPECT_EQ(M.Srtp.Decrypted, 20u);
  EXPECT_EQ(M.Srtp.Plain, 0u);
  EXPECT_EQ(M.Verdicts[static_cast<size_t>(TRtpVerdict::Accepted)], 20u) << "only SRTP reached the rules";
  EXPECT_EQ(M.Datagrams, 31u);
  const Bytes Ear = Played();
  EXPECT_EQ(Ear.find(static_cast<char>(PlainFill)), Bytes::npos);
  // A machine too busy to play on time (Wine) may have had the earpiece drop one.
  EXPECT_GE(std::count(Ear.begin(), Ear.end(), static_cast<char>(SrtpFill)), 160 * 19);
  EXPECT_EQ(RawReceived(), Bytes(160 * 20, static_cast<char>(SrtpFill))) << "each accepted payload, decrypted";
  EXPECT_NE(RawSent().find(Heard), Bytes::npos) << "the raw file holds what the peer decrypted, plain";
  EXPECT_EQ(Count(Lines(), "SRTP REFUSED: "), 1u) << "once a minute per sender";
  EXPECT_EQ(Count(Lines(), "SRTP REFUSED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) +
                               ">] authentication failed (another key, or plain RTP)"),
            1u);
}

// Not required: plain RTP and SRTP are both played, each counted; an SRTP
// replay is still refused, never taken for plain.
TEST_F(EncryptedSession, NotRequiredTakesBothKindsAndCountsEach) {
  auto S = StartEncrypted(false);
  TPeer Peer;
  const auto Start = TClock::now();
  Bytes Last;
  for (uint16_t Seq = 0; Seq < 20; ++Seq) {
    std::this_thread::sleep_until(Start + Seq * 20ms);
    Last = Seq < 10 ? Rtp(Seq, 160u * Seq, 0x5A5A, 0x2A) : Protected(Seq, 0x3B);
    Peer.Send(FUdpPort, Last);
  }
  Peer.Send(FUdpPort, Last);
  ASSERT_TRUE(WaitUntil([&] { return S->Metrics().Datagrams == 21; }));
  const TSessionMetrics M = S->Metrics();
  S->SetActive(false);
  EXPECT_EQ(M.Srtp.Plain, 10u);
  EXPECT_EQ(M.Srtp.Decrypted, 10u);
  EXPECT_EQ(M.Srtp.Replay, 1u);
  EXPECT_EQ(M.Srtp.Authentication, 0u) << "a failed tag is plain RTP here";
  EXPECT_EQ(RawReceived(), Bytes(1600, 0x2A) + Bytes(1600, 0x3B));
  EXPECT_EQ(Count(Lines(), "SRTP REFUSED"), 0u);
}

}  // namespace

// The other two things the log may say of a long packet, once per sender
// until it has gone, and how much of one goes into the buffer.
TEST(LongPacketNote, NoCountHoldsItOrItIsCut) {
  ResetStartValues();  // DoLog off: said all the same
  TestSupport::TLogCapture Capture;
  TLongPacketNote Note;
  EXPECT_EQ(Note.Keep(1, 480, 3, 160), 480u);
  EXPECT_EQ(Note.Keep(2, 32700, 2, 160), 32700u);
  EXPECT_EQ(Note.Keep(3, 40000, 3, 160), 32768u);
  EXPECT_EQ(Note.Keep(3, 50000, 3, 160), 32768u);
  const std::vector<std::string> Said = {
      "RTP packet of 32700 bytes from [ID=2] is longer than the receive buffer of 320 bytes (ReceiveBufCount=2): "
      "played whole; no ReceiveBufCount holds it",
      "RTP packet of 40000 bytes from [ID=3] is longer than the receive buffer of 480 bytes (ReceiveBufCount=3): "
      "cut to 32768 bytes, the most a playback buffer holds"};
  EXPECT_EQ(Capture.Lines(), Said);
  Note.Forget(3);
  Note.Keep(3, 40000, 3, 160);
  EXPECT_EQ(Capture.Lines().size(), 3u) << "a sender that has gone is told afresh";
}

// ---- adaptive receive mode --------------------------------------------------------

namespace {

// A session in adaptive mode, started, its earphone writing to played.raw.
class AdaptiveSession : public PlayingSession {
protected:
  std::unique_ptr<TRtpSession> StartAdaptive() {
    return StartPlaying([](TRtpSession& S) { S.SetAdaptiveReceive(true, {20, 200}); });
  }
};

}  // namespace

TEST_F(AdaptiveSession, PlaysReorderedPacketsInOrderAndDropsRepeats) {
  auto S = StartAdaptive();
  EXPECT_TRUE(TSessionPeer::AdaptiveMode(*S));
  TPeer Peer;
  // Pairs sent the wrong way round every 40 ms, every fifth packet twice.
  // Each payload is one byte repeated, 1 + 3 * its sequence number.
  const uint16_t Sent = 60;
  auto Fill = [](uint16_t Seq) { return static_cast<uint8_t>(1 + 3 * Seq); };
  for (uint16_t Seq = 0; Seq < Sent; Seq += 2) {
    for (uint16_t Q : {static_cast<uint16_t>(Seq + 1), Seq}) {
      const Bytes P = Rtp(static_cast<uint16_t>(65500 + Q), 160u * Q, 0x5151, Fill(Q));
      Peer.Send(FUdpPort, P);
      if (Q % 5 == 0) Peer.Send(FUdpPort, P);
    }
    std::this_thread::sleep_for(40ms);
  }
  // Played out once the buffer's delay has passed (longer on a coarse timer).
  WaitUntil([&] { return LongRuns(TestSupport::ReadFile(FDir.Path() / "played.raw"), 40).size() >= Sent; });
  WaitUntil([&] {
    const TAdaptiveCounters N = TSessionPeer::AdaptiveBuffer(*S).Counters();
    return N.Packets + N.Late + N.Duplicate >= Sent + Sent / 5u;
  });
  const TAdaptiveCounters C = TSessionPeer::AdaptiveBuffer(*S).Counters();
  S->SetActive(false);
  // Every datagram counted once. On a busy machine (Wine's timers) a packet
  // may come after its turn: late, then, and not played; two at most.
  EXPECT_EQ(C.Packets + C.Late + C.Duplicate, Sent + Sent / 5u);
  EXPECT_LE(C.Late, 2u);
  EXPECT_GE(C.Reordered + 2 * C.Late, Sent / 2u);
  EXPECT_GE(C.Duplicate + C.Late, Sent / 5u);
  // Each packet in sequence order and none twice. Where the player's pace made
  // the buffer steer its delay (a coarse timer), a step may have shortened a
  // frame below the run length looked for: two such frames at most.
  std::vector<int> Runs = LongRuns(TestSupport::ReadFile(FDir.Path() / "played.raw"), 40);
  // A late packet's turn is concealed by continuing the waveform before it:
  // with payloads of one repeated byte, that is the previous value once more.
  if (C.Late > 0) Runs.erase(std::unique(Runs.begin(), Runs.end()), Runs.end());
  std::vector<int> Want;
  for (uint16_t Seq = 0; Seq < Sent; ++Seq) Want.push_back(Fill(Seq));
  // Made-up audio where the player waited (a busy machine) leads into the next
  // packet's value: a level of its own, no packet's, left out here.
  if (C.Concealed > 0)
    std::erase_if(Runs, [&](int V) { return !std::binary_search(Want.begin(), Want.end(), V); });
  EXPECT_TRUE(std::includes(Want.begin(), Want.end(), Runs.begin(), Runs.end()) &&
              std::adjacent_find(Runs.begin(), Runs.end(), std::greater_equal<int>()) == Runs.end())
      << "in sequence order, none twice: " << ::testing::PrintToString(Runs) << " late " << C.Late << " concealed "
      << C.Concealed << " stretched " << C.Stretched << " accelerated " << C.Accelerated;
  EXPECT_GE(Runs.size() + 2, Want.size());
  EXPECT_EQ(Count(Lines(), "Receive mode: adaptive [delay 20..200 ms]"), 1u);
}

TEST_F(AdaptiveSession, ASteadyStreamPlaysWholeAfterALeadOfSilence) {
  auto S = StartAdaptive();
  TPeer Peer;
  const uint16_t Sent = 50;
  auto Fill = [](uint16_t Seq) { return static_cast<uint8_t>(7 + 4 * Seq); };
  const auto Start = std::chrono::steady_clock::now();
  for (uint16_t Seq = 0; Seq < Sent; ++Seq) {
    std::this_thread::sleep_until(Start + Seq * 20ms);
    Peer.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0x7777, Fill(Seq)));
  }
  WaitUntil([&] { return LongRuns(TestSupport::ReadFile(FDir.Path() / "played.raw"), 150).size() >= Sent; });
  S->SetActive(false);
  const Bytes Played = TestSupport::ReadFile(FDir.Path() / "played.raw");
  // The player starts with 10 ms of silence, so that every frame after the
  // first is taken from the buffer as long before its turn.
  ASSERT_GE(Played.size(), 80u + 160u);
  EXPECT_EQ(std::count(Played.begin(), Played.begin() + 80, static_cast<char>(Platform::ALawSilence)), 80);
  EXPECT_NE(static_cast<uint8_t>(Played[80]), Platform::ALawSilence);
  // Each packet played whole, in order (a busy machine may have delayed two).
  const std::vector<int> Runs = LongRuns(Played, 160);
  std::vector<int> Want;
  for (uint16_t Seq = 0; Seq < Sent; ++Seq) Want.push_back(Fill(Seq));
  EXPECT_TRUE(std::includes(Want.begin(), Want.end(), Runs.begin(), Runs.end()));
  EXPECT_GE(Runs.size() + 2, Want.size());
}

TEST_F(AdaptiveSession, MixesTwoTalkersAndKeepsTheOwnIdentity) {
  auto S = StartAdaptive();
  TPeer A, B;
  const uint8_t CodeA = Platform::LinearToALaw(1000), CodeB = Platform::LinearToALaw(2000);
  A.Send(FUdpPort, Rtp(1, 160, 0xAAAA, CodeA));
  ASSERT_FALSE(A.Receive(3000).empty());
  const uint32_t Own = TSessionPeer::Codec(*S).SendIdentity().Ssrc;
  for (uint16_t Seq = 2; Seq < 80; ++Seq) {
    A.Send(FUdpPort, Rtp(Seq, 160u * Seq, 0xAAAA, CodeA));
    B.Send(FUdpPort, Rtp(static_cast<uint16_t>(Seq + 30000), 90000u + 160u * Seq, 0xBBBB, CodeB));
    std::this_thread::sleep_for(20ms);
  }
  const char Sum = static_cast<char>(Platform::LinearToALaw(
      static_cast<int16_t>(Platform::ALawToLinear(CodeA) + Platform::ALawToLinear(CodeB))));
  WaitUntil([&] {
    const Bytes P = TestSupport::ReadFile(FDir.Path() / "played.raw");
    return std::count(P.begin(), P.end(), Sum) > 160 * 50;
  });
  EXPECT_EQ(TSessionPeer::Codec(*S).SendIdentity().Ssrc, Own);
  EXPECT_EQ(TSessionPeer::AdaptiveBuffer(*S).StreamCount(), 2u);
  S->SetActive(false);
  EXPECT_EQ(Count(Lines(), "RTP SSRC CHANGED!"), 0u);
  EXPECT_EQ(Count(Lines(), "Adaptive receive: new stream [SSRC=43690]"), 1u);
  EXPECT_EQ(Count(Lines(), "Adaptive receive: new stream [SSRC=48059]"), 1u);
  const Bytes Played = TestSupport::ReadFile(FDir.Path() / "played.raw");
  EXPECT_GT(std::count(Played.begin(), Played.end(), Sum), 160 * 50) << "both talkers heard together";
}
