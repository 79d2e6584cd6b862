// The real program on a desk with more sound devices than the headset: which
// microphone the peer hears, where the customer is played, and a remote side
// that starts listening after the bridge.
#include <gtest/gtest.h>

#include <thread>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;

const std::string DefaultNames = "Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device";

std::string DeskIni(uint16_t Port, uint16_t RemotePort, uint16_t Tcp, const std::string& Extra) {
  return "[Options]\r\nDoLog=1\r\nLocalIP=127.0.0.1\r\nLocalPort=" + std::to_string(Port) +
         "\r\nRemoteIP=127.0.0.1\r\nRemotePort=" + std::to_string(RemotePort) +
         "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" + std::to_string(Tcp) +
         "\r\nRecDeviceID=" + DefaultNames + "\r\nPlayDeviceID=" + DefaultNames + "\r\nDisconnectTimeOut=20000\r\n" +
         Extra +
         "[VirtualDevices]\r\nSystemDevices=0\r\n"
         "Capture1=USB Webcam Mic|file=webcam.raw\r\nCapture2=Logitech USB Headset|file=headset.raw\r\n"
         "Playback1=Room Speakers|file=room.raw\r\n";
}

TEST(Desk, ThePeerHearsTheListedHeadsetAndTheCustomerIsNotPlayedOnTheRoomsSpeakers) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(DeskIni(Port, 9, Tcp, ""));
  const Bytes Webcam = MicFile(21), Headset = MicFile(22);
  TestSupport::WriteFile(B.Dir() / "webcam.raw", Webcam);
  TestSupport::WriteFile(B.Dir() / "headset.raw", Headset);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TSocket Peer(SOCK_DGRAM);
  Peer.SetTimeout(500ms);
  Bytes Heard;
  for (uint16_t Seq = 0; Seq < 50; ++Seq) {
    Peer.SendTo(Port, RtpPacket(Seq, 160u * Seq, 0x7777, Bytes(160, '\x2A')));
    for (Bytes P = Peer.Receive(); P.size() > 12 && Heard.size() < 1600; P = Peer.Receive()) Heard += P.substr(12);
    std::this_thread::sleep_for(20ms);
  }
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);
  ASSERT_GE(Heard.size(), 1600u);
  EXPECT_NE(Headset.find(Heard.substr(0, 1600)), Bytes::npos) << "the headset's microphone, not the webcam's";
  EXPECT_EQ(Webcam.find(Heard.substr(0, 1600)), Bytes::npos);
  const auto Log = B.LogLines();
  EXPECT_TRUE(HasLine(Log, "Sound player processor -> not started"));
  EXPECT_EQ(CountContaining(Log, "Opened playback device"), 0u);
  EXPECT_EQ(TestSupport::ReadFile(B.Dir() / "room.raw").find('\x2A'), Bytes::npos) << "nothing played on the speakers";
}

TEST(Desk, ARemoteSideThatStartsListeningLaterStillHearsTheStartDatagram) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), Remote = FreePort(SOCK_DGRAM);
  TBridge B(DeskIni(Port, Remote, Tcp, "StartAsClient=1\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  std::this_thread::sleep_for(1500ms);  // the first datagram went out to nobody
  TSocket Late(SOCK_DGRAM, Remote);
  Late.SetTimeout(2500ms);
  EXPECT_EQ(Late.Receive(), Bytes(20, '\0'));
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);
}

}  // namespace
