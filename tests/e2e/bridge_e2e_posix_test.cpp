// Bridges end to end: two of them in conversation, a recording client on the TCP
// stream, a scripted RTP peer, peer time-outs, the raw stream files, Ctrl+C and
// a start that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;
using TestSupport::ReadFile;
using TestSupport::WaitUntil;

// ---- tests ----------------------------------------------------------------------

TEST(Bridge, TwoBridgesConverseAndServeTheInterleavedStream) {
  const uint16_t PortA = FreePort(SOCK_DGRAM), PortB = FreePort(SOCK_DGRAM);
  const uint16_t TcpA = FreePort(SOCK_STREAM), TcpB = FreePort(SOCK_STREAM);
  const std::string Devices = "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|file=ear.raw\r\n";
  TBridge A(Ini(PortA, PortB, TcpA, "StartAsClient=1\r\nSaveWavData=1\r\n", Devices));
  TBridge B(Ini(PortB, PortA, TcpB, "SaveWavData=1\r\n", Devices));
  TestSupport::WriteFile(A.Dir() / "mic.raw", MicFile(1));
  TestSupport::WriteFile(B.Dir() / "mic.raw", MicFile(2));

  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  A.Start();
  ASSERT_TRUE(A.WaitForLog("RTP session processor -> started", 5s));
  ASSERT_TRUE(B.WaitForLog("CONNECTED: [ID=", 3s));
  ASSERT_TRUE(A.WaitForLog("CONNECTED: [ID=", 3s));

  // A recording client on B's TCP stream for about two seconds.
  Bytes Stream;
  {
    TSocket Client(SOCK_STREAM);
    ASSERT_TRUE(Client.Connect(TcpB));
    Client.SetTimeout(300ms);
    const auto End = std::chrono::steady_clock::now() + 2500ms;
    while (std::chrono::steady_clock::now() < End) Stream += Client.Receive();
  }
  A.Signal(SIGINT);
  B.Signal(SIGINT);
  EXPECT_EQ(A.Wait(3s), 0);
  EXPECT_EQ(B.Wait(3s), 0);

  const auto LogB = B.LogLines();
  EXPECT_TRUE(HasLine(LogB, "CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(PortA) + ">]"));
  EXPECT_TRUE(HasLine(A.LogLines(), "CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(PortB) + ">]"));

  // Each side's earpiece heard the other's microphone, in order and unaltered.
  const Bytes EarA = ReadFile(A.Dir() / "ear.raw"), EarB = ReadFile(B.Dir() / "ear.raw");
  const Bytes SentA = RawFile(A, "RawSent_"), SentB = RawFile(B, "RawSent_");
  EXPECT_GT(EarA.size(), 8000u) << "at least a second of audio";
  EXPECT_GT(EarB.size(), 8000u);
  EXPECT_TRUE(PiecesInOrder(EarA, SentB, 160)) << "A played what B sent";
  EXPECT_TRUE(PiecesInOrder(EarB, SentA, 160)) << "B played what A sent";
  EXPECT_TRUE(PiecesInOrder(SentA, ReadFile(A.Dir() / "mic.raw") + ReadFile(A.Dir() / "mic.raw"), 160))
      << "what A sent is its microphone";

  // The stream: 2000-byte frames, even bytes received (played), odd bytes sent.
  ASSERT_GE(Stream.size(), 4000u);
  Stream.resize(Stream.size() / 2000 * 2000);
  for (size_t F = 0; F < Stream.size(); F += 2000) {
    Bytes Received, Sent;
    for (size_t I = 0; I < 2000; I += 2) {
      Received += Stream[F + I];
      Sent += Stream[F + I + 1];
    }
    EXPECT_NE(EarB.find(Received), Bytes::npos) << "frame " << F / 2000 << ": received channel";
    EXPECT_NE(SentB.find(Sent), Bytes::npos) << "frame " << F / 2000 << ": sent channel";
  }
}

TEST(Bridge, ScriptedPeerTimeoutSsrcChangeAndRawFiles) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "SaveWavData=1\r\nDisconnectTimeOut=600\r\n",
                "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  TestSupport::WriteFile(B.Dir() / "mic.raw", MicFile(3));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));

  TSocket Peer(SOCK_DGRAM);
  Peer.SetTimeout(100ms);
  const Bytes Payload = MicFile(4, 160);
  Bytes Received;
  uint32_t FirstSsrc = 0;
  for (uint16_t I = 0; I < 40; ++I) {  // 800 ms of audio
    Peer.SendTo(Port, RtpPacket(static_cast<uint16_t>(1000 + I), 160u * I, 0x11111111, Payload));
    for (Bytes P = Peer.Receive(); !P.empty(); P = Peer.Receive()) {
      EXPECT_EQ(P.size(), 172u);
      if (!FirstSsrc) FirstSsrc = SsrcOf(P);
      Received += P.substr(12);
      if (Received.size() >= 160u * (I + 1)) break;
    }
  }
  ASSERT_NE(FirstSsrc, 0u) << "the bridge answers its peer";

  // Silent now: disconnected between the time-out and about 300 ms later.
  const auto Silent = std::chrono::steady_clock::now();
  ASSERT_TRUE(B.WaitForLog("DISCONNECT_INACTIVE [1]", 3s));
  const auto Waited = std::chrono::steady_clock::now() - Silent;
  EXPECT_GE(Waited, 550ms);
  EXPECT_LE(Waited, 600ms + 300ms + 400ms) << "time-out plus the check period, with slack for a loaded machine";
  EXPECT_TRUE(B.WaitForLog("DISCONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]", 1s));

  // A new stream: the SSRC change is adopted, and the bridge speaks with a new SSRC.
  while (!Peer.Receive().empty()) {
  }  // what was still queued from the first stream
  uint32_t SecondSsrc = 0;
  for (uint16_t I = 0; I < 10 && !SecondSsrc; ++I) {
    Peer.SendTo(Port, RtpPacket(static_cast<uint16_t>(5000 + I), 160u * I, 0x22222222, Payload));
    for (Bytes P = Peer.Receive(); !P.empty(); P = Peer.Receive())
      if (P.size() == 172 && !SecondSsrc) SecondSsrc = SsrcOf(P);
  }
  EXPECT_TRUE(B.WaitForLog("RTP SSRC CHANGED!", 2s));
  EXPECT_NE(SecondSsrc, 0u);
  EXPECT_NE(SecondSsrc, FirstSsrc);

  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
  const Bytes RawSent = RawFile(B, "RawSent_");
  EXPECT_EQ(RawSent.substr(0, Received.size()), Received) << "the sent file holds what went out";
  const Bytes RawRecv = RawFile(B, "RawRecv_");
  EXPECT_NE(RawRecv.find(Payload), Bytes::npos) << "the received file holds what came in";
  EXPECT_EQ(RawRecv.size() % 160, 0u);
}

TEST(Bridge, CtrlCStopsWithinASecond) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "", "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("TAVEK Vantelo service started successfully", 5s));
  const auto Before = std::chrono::steady_clock::now();
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - Before, 1s);
  EXPECT_EQ(TestSupport::SplitCrLf(B.Console()),
            (std::vector<std::string>{"", "TAVEK Vantelo service v" + std::string(BRENVIC_EXPECTED_VERSION), "",
                                      "Running as application - OK", "Have a STOP signal...",
                                      "TAVEK Vantelo service stopped as application successfully"}));
  const auto Log = B.LogLines();
  for (const char* Line :
       {"TAVEK Vantelo service stopping...", "RTP Session stopping...", "Sound recorder processor -> stopped",
        "Sound player processor -> stopped", "UDP sender/receiver processor -> stopped",
        "Audio mixer processor -> stopped", "RTP Session stopped", "TAVEK Vantelo service stopped successfully"})
    EXPECT_TRUE(HasLine(Log, Line)) << Line;
}

// A service manager follows Ctrl+C with SIGTERM: the second signal is ignored
// while the bridge stops, and the stop is as clean as with one.
TEST(Bridge, ASecondSignalDuringTheStopIsIgnored) {
  TBridge B(Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "",
                "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("TAVEK Vantelo service started successfully", 5s));
  B.Signal(SIGINT);
  std::this_thread::sleep_for(10ms);  // the gap is the case itself, not a wait for something
  B.Signal(SIGTERM);
  EXPECT_EQ(B.Wait(3s), 0) << "ended by the signal instead of its own stop";
  const auto Console = TestSupport::SplitCrLf(B.Console());
  EXPECT_EQ(std::count(Console.begin(), Console.end(), "Have a STOP signal..."), 1);
  ASSERT_FALSE(Console.empty());
  EXPECT_EQ(Console.back(), "TAVEK Vantelo service stopped as application successfully");
  const auto Log = B.LogLines();
  for (const char* Line : {"TAVEK Vantelo service stopping...", "RTP Session stopped",
                           "TAVEK Vantelo service stopped successfully"})
    EXPECT_TRUE(HasLine(Log, Line)) << Line;
}

TEST(Bridge, ATakenPortFailsTheStartAndEndsWithItsExitCode) {
  for (const int Type : {SOCK_STREAM, SOCK_DGRAM}) {
    SCOPED_TRACE(Type == SOCK_STREAM ? "TCP port taken" : "UDP port taken");
    // Taken without SO_REUSEADDR, as another program would hold it.
    const int Fd = socket(AF_INET, Type, 0);
    sockaddr_in A = TSocket::Addr(0);
    socklen_t L = sizeof(A);
    ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
    if (Type == SOCK_STREAM) listen(Fd, 1);
    getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    const uint16_t Taken = ntohs(A.sin_port);
    const uint16_t Udp = Type == SOCK_DGRAM ? Taken : FreePort(SOCK_DGRAM);
    const uint16_t Tcp = Type == SOCK_STREAM ? Taken : FreePort(SOCK_STREAM);
    std::string Settings = Ini(Udp, 9, Tcp, "", "");
    Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=0");
    TBridge B(Settings);
    B.Start();
    EXPECT_EQ(B.Wait(5s), 3) << "the bridge could not start";
    close(Fd);
    const auto Log = B.LogLines();
    ASSERT_EQ(Log.size(), 2u) << "with logging off only the error lines";
    EXPECT_EQ(Log[0].rfind("Exception starting RTP Session: Cannot start server. ", 0), 0u) << Log[0];
    EXPECT_EQ(Log[1], "Exception in main proceding: TAVEK Vantelo service failed to start");
    const auto Console = TestSupport::SplitCrLf(B.Console());
    ASSERT_FALSE(Console.empty());
    EXPECT_EQ(Console.back(), "TAVEK Vantelo service stopped as application successfully") << "the lines as they were";
  }
}

TEST(Bridge, AMissingHeadsetCostsAFewLinesNotAFlood) {
  // The shipped logging (DoLog=5) and no device of the configured name: the
  // watchdog tries again every 300 ms and each try writes the device lines.
  std::string Settings = Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "", "Capture1=Other Mic|tone=440\r\n");
  Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=5");
  Settings.replace(Settings.find("RecDeviceID=Test"), 16, "RecDeviceID=Missing Headset");
  TBridge B(Settings);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("TAVEK Vantelo service started successfully", 5s));
  // Each text is written twice, then only counted.
  const std::string NotFound = "Could not find record device by name \"Missing Headset\"";
  ASSERT_TRUE(WaitUntil([&] {
    const auto L = B.LogLines();
    return std::count(L.begin(), L.end(), NotFound) == 2;
  }));
  std::this_thread::sleep_for(600ms);  // the second try's other lines
  const size_t Settled = B.LogLines().size();
  std::this_thread::sleep_for(3s);  // ten more tries, and nothing may be written of them
  const auto Log = B.LogLines();
  EXPECT_EQ(Log.size(), Settled) << "a dozen more tries, not one more line";
  EXPECT_LT(Log.size(), 40u);
  EXPECT_EQ(std::count(Log.begin(), Log.end(), NotFound), 2);

  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);
  // At the stop: how many times each collapsed text came.
  const auto Final = B.LogLines();
  const std::string Count = "Repeated ";
  const std::string Missing = ": Could not find record device by name \"Missing Headset\"";
  const auto It = std::find_if(Final.begin(), Final.end(), [&](const std::string& L) {
    return L.rfind(Count, 0) == 0 && L.size() > Missing.size() && L.compare(L.size() - Missing.size(), Missing.size(), Missing) == 0;
  });
  ASSERT_NE(It, Final.end());
  EXPECT_GE(std::stoi(It->substr(Count.size())), 8) << *It;
}

TEST(Bridge, SettingsThatDisableTheBridgeAreWarnedAboutAtStart) {
  std::string Settings = Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "DisconnectTimeOut=-1\r\n",
                             "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n");
  Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=0");
  TBridge B(Settings);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("Warning: ", 5s));
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0) << "a warning is no failure";
  EXPECT_EQ(B.LogLines(), std::vector<std::string>{"Warning: DisconnectTimeOut=-1: a peer that falls silent is never dropped"})
      << "written whatever DoLog says, once";
}

TEST(Bridge, SettingsBeyondTheBufferLimitsAreRefusedAtStart) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "ReceiveBufCount=0\r\n", ""));
  B.Start();
  EXPECT_EQ(B.Wait(5s), 3);
  const auto Log = B.LogLines();
  EXPECT_EQ(CountContaining(Log, "ReceiveBufCount=0 is outside 1..1024"), 2u) << "its own line and the start's";
  EXPECT_TRUE(HasLine(Log, "RTP Session failed to start"));
  EXPECT_TRUE(HasLine(Log, "Exception in main proceding: TAVEK Vantelo service failed to start"));
}

// A value that cannot work ends the start before anything is opened, with a line
// naming the key, whatever DoLog says; so does a file saved as UTF-16.
TEST(Bridge, SettingsThatCannotWorkRefuseTheStart) {
  auto ExpectRefused = [](TBridge& B, const std::string& Line) {
    B.Start();
    EXPECT_EQ(B.Wait(5s), 3);
    EXPECT_EQ(B.LogLines(),
              (std::vector<std::string>{Line, "Exception in main proceding: TAVEK Vantelo service failed to start"}));
  };
  const struct {
    const char* Setting;
    const char* Line;
  } Cases[] = {
      {"LocalPort=106000", "Error: LocalPort=106000: not a port number (1..65535)"},
      {"PayloadType=0", "Error: PayloadType=0: labels the A-law audio as another codec (only 8 or 96..127)"},
      {"SendPayloadTime=600", "Error: SendPayloadTime=600: packets of 4812 bytes exceed the sender's 4096"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Setting);
    std::string Settings = Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "", "");
    Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=0");
    Settings.insert(Settings.find("\r\n") + 2, std::string(C.Setting) + "\r\n");  // the first of its name wins
    TBridge B(Settings);
    ExpectRefused(B, C.Line);
  }

  std::string Utf16 = "\xFF\xFE";
  for (const char Ch : Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "", "")) Utf16 += std::string{Ch, '\0'};
  TBridge B(Utf16);
  ExpectRefused(B, "Error: " + (B.Dir() / "Brenvic.ini").string() + ": UTF-16 text, save it as ANSI or UTF-8");
}

// A UTF-8 byte-order mark before "[Options]" is skipped: the first section's
// values are in force, and the log says that the mark was there.
TEST(Bridge, AByteOrderMarkDoesNotHideTheFirstSection) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B("\xEF\xBB\xBF" +
            Ini(Port, 9, Tcp, "", "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("TAVEK Vantelo service started successfully", 5s)) << "DoLog=1 of [Options] is read";
  TSocket Peer(SOCK_DGRAM);
  Peer.SendTo(Port, RtpPacket(1, 160, 0x11111111, Bytes(160, '\x55')));
  EXPECT_TRUE(B.WaitForLog("CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]", 3s))
      << "the bridge listens on the file's LocalIP and LocalPort";
  TSocket Client(SOCK_STREAM);
  EXPECT_TRUE(Client.Connect(Tcp)) << "and serves the recording stream on its TCPServerListenPort";
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);
  const auto Log = B.LogLines();
  EXPECT_EQ(std::count(Log.begin(), Log.end(),
                       "Warning: " + (B.Dir() / "Brenvic.ini").string() + ": UTF-8 byte-order mark skipped"),
            1);
}

// The process stands still for two seconds (stopped, as a frozen machine would
// be): when it goes on, the peer gets at most SendBufCount packets together,
// not the two seconds it missed.
TEST(Bridge, AfterTheProcessStoodStillThePeerGetsNoBurst) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "DisconnectTimeOut=60000\r\n", "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TSocket Peer(SOCK_DGRAM);
  Peer.SetTimeout(100ms);
  Peer.SendTo(Port, RtpPacket(1, 160, 0x11111111, Bytes(160, '\x55')));
  int Flowing = 0;
  while (Flowing < 20 && !Peer.Receive().empty()) ++Flowing;
  ASSERT_EQ(Flowing, 20) << "the bridge talks to its peer";

  B.Signal(SIGSTOP);
  const auto Stopped = std::chrono::steady_clock::now();
  while (!Peer.Receive().empty()) {
  }  // what was on its way
  std::this_thread::sleep_until(Stopped + 2s);  // standing still is the case under test
  B.Signal(SIGCONT);
  std::vector<std::chrono::steady_clock::time_point> At;
  const auto Until = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < Until)
    if (!Peer.Receive().empty()) At.push_back(std::chrono::steady_clock::now());
  ASSERT_FALSE(At.empty()) << "the conversation goes on";
  const size_t Burst = static_cast<size_t>(std::count_if(At.begin(), At.end(), [&](auto T) { return T < At[0] + 50ms; }));
  // SendBufCount (5), then the stream's pace: two or three more within those
  // 50 ms, a few more if this thread is late to its first packet. Without the
  // limit the whole missed interval comes at once (about a hundred packets).
  EXPECT_LE(Burst, 5u + 5u);
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
}

}  // namespace

namespace {

using namespace std::chrono_literals;
using namespace E2E;

TEST(Bridge, AdaptiveReceiveModeFromTheIniFilePlaysInOrderOnce) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "[Receive]\r\nMode=Adaptive\r\nMaxDelayMs=9999\r\n",
                "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  EXPECT_TRUE(B.WaitForLog("[Receive] MaxDelayMs=9999 is outside 20..2000; 2000 is used", 1s));
  EXPECT_TRUE(B.WaitForLog("Receive mode: adaptive [delay 20..2000 ms]", 1s));

  // Pairs the wrong way round every 40 ms, every fourth packet twice; each
  // payload one byte repeated.
  TSocket Peer(SOCK_DGRAM);
  auto Fill = [](int K) { return static_cast<char>(0x10 + 2 * K); };
  for (int K = 0; K < 40; K += 2) {
    for (int Q : {K + 1, K}) {
      const Bytes P = RtpPacket(static_cast<uint16_t>(700 + Q), 160u * static_cast<uint32_t>(Q), 0xABCDEF, Bytes(160, Fill(Q)));
      Peer.SendTo(Port, P);
      if (Q % 4 == 0) Peer.SendTo(Port, P);
    }
    std::this_thread::sleep_for(40ms);
  }
  EXPECT_TRUE(B.WaitForLog("Adaptive receive: new stream [SSRC=11259375]", 1s));
  std::this_thread::sleep_for(300ms);
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
  // What was played, as runs of one byte long enough to be a packet's audio
  // (silence and what a pitch step or a fade leaves between them aside).
  const Bytes Ear = TestSupport::ReadFile(B.Dir() / "ear.raw");
  std::vector<int> Runs;
  for (size_t I = 0; I < Ear.size();) {
    size_t J = I;
    while (J < Ear.size() && Ear[J] == Ear[I]) ++J;
    if (J - I >= 40 && static_cast<uint8_t>(Ear[I]) != 0xD5) Runs.push_back(static_cast<uint8_t>(Ear[I]));
    I = J;
  }
  std::vector<int> Want;
  for (int K = 0; K < 40; ++K) Want.push_back(static_cast<uint8_t>(Fill(K)));
  EXPECT_EQ(Runs, Want);
}

}  // namespace
