// The delay a running session adds to the audio, in both directions, at 50
// packets a second on virtual devices with a loopback peer:
//
// - receive: from a datagram's arrival in the session's transport handler (its
//   acceptance) to the player's write of the block that carries it;
// - send: from the recorder's callback (the captured block entering the send
//   jitter buffer) to the datagram leaving SendToAll.
//
// The session is the real one. The four calls that mark the instants are the
// session's own calls into its neighbours (TRtpCodec::Check, TPlayer::Play,
// TJitterBuffer::Write, TTPKTServer::SendToAll), wrapped at link time by this
// program: the product's code stays as it is. Every block carries its number
// in its first four bytes, so each instant is paired with the right block.
//
// A received block that finds the player's buffers all busy stays in the
// receive jitter buffer until the next datagram arrives (the session looks at
// the player only then), so it waits about one packet period: such blocks are
// counted apart, and the delay of the others is the session's own work.
//
// Baseline in the same run: the same hand-over the session thread depends on
// (an event set on one thread, a realtime thread waking from WaitForEither),
// at the same rate.
//
//   bridge_latency_bench [seconds]   (60 by default)

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/jitter_buffer.h"
#include "audio/player.h"
#include "config/start_values.h"
#include "devices/wave_devices_test_peer.h"
#include "log/log.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/wave_virtual.h"
#include "rtp/rtp_codec.h"
#include "rtp/rtp_session.h"
#include "rtp/rtp_session_test_peer.h"
#include "transport/tpkt_server.h"

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr size_t MaxBlocks = 1 << 16;

// Nanoseconds on the steady clock per block number; 0 while unset.
struct TMarks {
  std::unique_ptr<std::atomic<int64_t>[]> At{new std::atomic<int64_t>[MaxBlocks]};
  TMarks() {
    for (size_t I = 0; I < MaxBlocks; ++I) At[I] = 0;
  }
  void Mark(uint32_t Block, int64_t Now) {
    if (Block >= MaxBlocks) return;
    int64_t Unset = 0;
    At[Block].compare_exchange_strong(Unset, Now);
  }
};

TMarks GArrived, GPlayed, GCaptured, GSent;
std::atomic<TJitterBuffer*> GSendBuffer{nullptr};

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count(); }

uint32_t BlockOf(const void* Data) {
  uint32_t N;
  std::memcpy(&N, Data, 4);
  return N;
}

}  // namespace

// ---- the wrapped calls -----------------------------------------------------------

extern "C" {
TRtpVerdict __real__ZN9TRtpCodec5CheckEPKhjP16TRtpDatagramInfoRK11TRtpArrival(TRtpCodec*, const uint8_t*, uint32_t,
                                                                            TRtpDatagramInfo*, const TRtpArrival&);
int32_t __real__ZN7TPlayer4PlayEPKvi(TPlayer*, const void*, int32_t);
void __real__ZN13TJitterBuffer5WriteEPKht(TJitterBuffer*, const uint8_t*, uint16_t);
bool __real__ZN11TTPKTServer9SendToAllEPKvj(TTPKTServer*, const void*, uint32_t);

TRtpVerdict __wrap__ZN9TRtpCodec5CheckEPKhjP16TRtpDatagramInfoRK11TRtpArrival(TRtpCodec* Self, const uint8_t* Data,
                                                                            uint32_t Size, TRtpDatagramInfo* Info,
                                                                            const TRtpArrival& From) {
  if (Size >= RtpHeaderBytes + 4) GArrived.Mark(BlockOf(Data + RtpHeaderBytes), NowNs());
  return __real__ZN9TRtpCodec5CheckEPKhjP16TRtpDatagramInfoRK11TRtpArrival(Self, Data, Size, Info, From);
}

int32_t __wrap__ZN7TPlayer4PlayEPKvi(TPlayer* Self, const void* Data, int32_t Size) {
  const int32_t R = __real__ZN7TPlayer4PlayEPKvi(Self, Data, Size);
  const int64_t Now = NowNs();
  for (int32_t At = 0; At + 160 <= Size; At += 160) GPlayed.Mark(BlockOf(static_cast<const char*>(Data) + At), Now);
  return R;
}

void __wrap__ZN13TJitterBuffer5WriteEPKht(TJitterBuffer* Self, const uint8_t* Data, uint16_t Size) {
  if (Self == GSendBuffer.load() && Size >= 4) GCaptured.Mark(BlockOf(Data), NowNs());
  __real__ZN13TJitterBuffer5WriteEPKht(Self, Data, Size);
}

bool __wrap__ZN11TTPKTServer9SendToAllEPKvj(TTPKTServer* Self, const void* Data, uint32_t Size) {
  const bool R = __real__ZN11TTPKTServer9SendToAllEPKvj(Self, Data, Size);
  if (Size == RtpHeaderBytes + 160) GSent.Mark(BlockOf(static_cast<const char*>(Data) + RtpHeaderBytes), NowNs());
  return R;
}
}

namespace {

struct TStats {
  size_t Count = 0;
  double P50 = 0, P90 = 0, P99 = 0, Max = 0;  // microseconds
};

TStats Stats(std::vector<double> Us) {
  TStats S;
  S.Count = Us.size();
  if (Us.empty()) return S;
  std::sort(Us.begin(), Us.end());
  S.P50 = Us[Us.size() / 2];
  S.P90 = Us[std::min(Us.size() - 1, Us.size() * 90 / 100)];
  S.P99 = Us[std::min(Us.size() - 1, Us.size() * 99 / 100)];
  S.Max = Us.back();
  return S;
}

// The delays below a packet period (10 ms): blocks that did not wait for the player.
std::vector<double> Unheld(std::vector<double> Us) {
  Us.erase(std::remove_if(Us.begin(), Us.end(), [](double D) { return D >= 10000; }), Us.end());
  return Us;
}

std::vector<double> Delays(const TMarks& From, const TMarks& To) {
  std::vector<double> Us;
  for (size_t I = 0; I < MaxBlocks; ++I) {
    const int64_t A = From.At[I].load(), B = To.At[I].load();
    if (A && B && B >= A) Us.push_back(static_cast<double>(B - A) / 1000.0);
  }
  return Us;
}

// The hand-over alone: an event set every 20 ms, a realtime thread waking on it.
TStats Baseline(int Seconds) {
  Platform::TEvent Ready(true, false), Other(true, false);
  std::atomic<int64_t> SetAt{0};
  std::atomic<bool> Done{false};
  std::vector<double> Us;
  std::thread Waiter([&] {
    Platform::RaiseToRealtimePriority();
    while (!Done) {
      if (Platform::WaitForEither(Ready, Other, 100) != Platform::TWaitResult::First) continue;
      Us.push_back(static_cast<double>(NowNs() - SetAt.load()) / 1000.0);
      Ready.Reset();
    }
  });
  const auto Start = TClock::now();
  for (int N = 1; N <= Seconds * 50; ++N) {
    std::this_thread::sleep_until(Start + N * 20ms);
    SetAt = NowNs();
    Ready.Set();
  }
  std::this_thread::sleep_for(50ms);
  Done = true;
  Waiter.join();
  return Stats(Us);
}

void Print(const char* Name, const TStats& S, const TStats& Base) {
  std::printf("%-50s %7zu %9.1f %9.1f %9.1f %9.1f %8.2f %8.2f\n", Name, S.Count, S.P50, S.P90, S.P99, S.Max,
              Base.P50 > 0 ? S.P50 / Base.P50 : 0.0, Base.P99 > 0 ? S.P99 / Base.P99 : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const size_t Blocks = static_cast<size_t>(Seconds) * 50 + 1000;
  if (Blocks >= MaxBlocks) {
    std::fprintf(stderr, "at most %zu seconds\n", MaxBlocks / 50 - 20);
    return 2;
  }
  const auto Dir = std::filesystem::temp_directory_path() / ("bridge-latency-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(Dir);
  OpenLogIn((Dir / "").string(), "Brenvic", "Brenvic");

  // The microphone plays a file whose 160-byte blocks carry their numbers.
  std::string Mic(Blocks * 160, static_cast<char>(0xD5));
  for (uint32_t N = 0; N < Blocks; ++N) std::memcpy(&Mic[N * 160], &N, 4);
  std::ofstream((Dir / "mic.raw").string(), std::ios::binary) << Mic;

  ResetStartValues();
  DoLog = false;
  StartValues.RecDeviceID = "Bench Microphone";
  StartValues.PlayDeviceID = "Bench Earphone";
  Platform::TWaveDevicesTestPeer::HideSystem(true);
  Platform::TVirtualWaveDevice In, Out;
  In.Name = "Bench Microphone";
  In.FileName = (Dir / "mic.raw").string();
  Out.Dir = Platform::TWaveDir::Out;
  Out.Name = "Bench Earphone";
  Platform::SetVirtualWaveDevices({In, Out});

  asio::io_context Io;
  const auto Loopback = asio::ip::make_address("127.0.0.1");
  asio::ip::udp::socket Peer(Io, asio::ip::udp::endpoint(Loopback, 0));
  const uint16_t Port = asio::ip::udp::socket(Io, asio::ip::udp::endpoint(Loopback, 0)).local_endpoint().port();
  const uint16_t Tcp = asio::ip::tcp::acceptor(Io, asio::ip::tcp::endpoint(Loopback, 0)).local_endpoint().port();

  const TStats Base = Baseline(std::min(Seconds, 20));

  size_t Answered = 0;
  {
    TRtpSession Session;
    GSendBuffer = &TRtpSessionTestPeer::SendBuffer(Session);
    Session.SetLocalIP("127.0.0.1");
    Session.SetLocalPort(Port);
    Session.SetTCPServerListenIP("127.0.0.1");
    Session.SetTCPServerListenPort(Tcp);
    Session.SetReceiveBufCount(3);
    Session.SetSendBufCount(5);
    Session.SetRecordEnabled(true);
    Session.SetPlayEnabled(true);
    Session.SetRecDeviceID(StartValues.RecDeviceID);
    Session.SetPlayDeviceID(StartValues.PlayDeviceID);
    Session.SetActive(true);

    // The peer: one packet every 20 ms, and whatever the session sends back.
    Peer.non_blocking(true);
    const asio::ip::udp::endpoint To(Loopback, Port);
    std::string Packet(RtpHeaderBytes + 160, static_cast<char>(0xD5));
    Packet[0] = static_cast<char>(0x80);
    Packet[1] = 8;
    char Buf[2048];
    const auto Start = TClock::now();
    for (uint32_t N = 0; N < static_cast<uint32_t>(Seconds) * 50; ++N) {
      std::this_thread::sleep_until(Start + N * 20ms);
      Packet[2] = static_cast<char>(N >> 8);
      Packet[3] = static_cast<char>(N);
      std::memcpy(&Packet[RtpHeaderBytes], &N, 4);
      std::error_code Ec;
      Peer.send_to(asio::buffer(Packet), To, 0, Ec);
      while (Peer.receive(asio::buffer(Buf), 0, Ec) > 0 && !Ec) ++Answered;
    }
    std::this_thread::sleep_for(200ms);
    Session.Resume();
    Session.Terminate();
    Session.WaitFor();
    Session.SetActive(false);
    GSendBuffer = nullptr;
  }

  const std::vector<double> ReceiveUs = Delays(GArrived, GPlayed);
  const TStats Receive = Stats(ReceiveUs), Own = Stats(Unheld(ReceiveUs)), Send = Stats(Delays(GCaptured, GSent));
  std::printf("session delays, %d s at 50 packets a second each way; %zu packets came back to the peer\n", Seconds,
              Answered);
  std::printf("%-50s %7s %9s %9s %9s %9s %8s %8s\n", "figure (microseconds)", "blocks", "p50", "p90", "p99", "max",
              "p50 x b", "p99 x b");
  Print("receive: transport handler -> player write", Receive, Base);
  Print("  of which not waiting for a busy player", Own, Base);
  Print("send: recorder callback -> SendToAll returned", Send, Base);
  Print("baseline: event set -> realtime thread awake", Base, Base);
  std::printf("received blocks that waited for the player (>= 10 ms): %zu of %zu (%.1f %%)\n",
              Receive.Count - Own.Count, Receive.Count,
              Receive.Count ? 100.0 * static_cast<double>(Receive.Count - Own.Count) / static_cast<double>(Receive.Count) : 0.0);
  auto Met = [](const TStats& S) { return S.Count && S.P99 < 2000 ? "met" : "NOT met"; };
  std::printf("target p99 under 2000 us: receive %s (not waiting for the player: %s), send %s\n", Met(Receive),
              Met(Own), Met(Send));

  Platform::SetVirtualWaveDevices({});
  CloseLog();
  std::error_code Ec;
  std::filesystem::remove_all(Dir, Ec);
  return 0;
}
