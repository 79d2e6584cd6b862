// The per-packet cost of the receive statistics: a received datagram taken
// apart (the baseline), and the same with the packet fed to the statistics:
// in order, and with one packet in 50 lost and one in 50 a place late. Windows
// close every 500 packets, their E-model score included.

#include <cstdint>
#include <vector>

#include "bench_ratio.h"
#include "quality/receive_stats.h"
#include "rtp/rtp_codec.h"

namespace {

std::vector<uint8_t> Datagram() {
  std::vector<uint8_t> D(172, 0xD5);
  D[0] = 0x80;
  D[1] = 8;
  D[8] = 0x12;
  D[9] = 0x34;
  D[10] = 0x56;
  D[11] = 0x78;
  return D;
}

// The datagram of packet N: its sequence number and timestamp.
void Number(std::vector<uint8_t>& D, uint32_t N) {
  const uint16_t Seq = static_cast<uint16_t>(N);
  const uint32_t Ts = N * 160;
  D[2] = static_cast<uint8_t>(Seq >> 8);
  D[3] = static_cast<uint8_t>(Seq);
  D[4] = static_cast<uint8_t>(Ts >> 24);
  D[5] = static_cast<uint8_t>(Ts >> 16);
  D[6] = static_cast<uint8_t>(Ts >> 8);
  D[7] = static_cast<uint8_t>(Ts);
}

void BM_Parse(benchmark::State& State) {
  std::vector<uint8_t> D = Datagram();
  uint32_t N = 0;
  for (auto _ : State) {
    Number(D, ++N);
    benchmark::DoNotOptimize(ParseRtpDatagram(D.data(), 172));
  }
}
BENCHMARK(BM_Parse);

void Feed(benchmark::State& State, bool Lossy) {
  std::vector<uint8_t> D = Datagram();
  TReceiveStats Stats;
  Stats.Start(0);
  uint32_t N = 0;
  int64_t Now = 0;
  for (auto _ : State) {
    ++N;
    Now += 20000;
    uint32_t Packet = N;
    if (Lossy && N % 50 == 0) continue;                  // lost
    if (Lossy && N % 50 == 10) Packet = N + 1;           // the next one first
    else if (Lossy && N % 50 == 11) Packet = N - 1;      // then this one
    Number(D, Packet);
    const TRtpDatagramInfo Info = ParseRtpDatagram(D.data(), 172);
    Stats.OnPacket(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, Now, TPacketFate::Played);
  }
  benchmark::DoNotOptimize(Stats.Snapshot());
}

void BM_ParseAndFeed(benchmark::State& State) { Feed(State, false); }
BENCHMARK(BM_ParseAndFeed);

void BM_ParseAndFeedLossy(benchmark::State& State) { Feed(State, true); }
BENCHMARK(BM_ParseAndFeedLossy);

// What the player reports per 20 ms frame.
void BM_Frame(benchmark::State& State) {
  TReceiveStats Stats;
  Stats.Start(0);
  uint32_t N = 0;
  for (auto _ : State) {
    ++N;
    Stats.OnFrame(20, N % 50 == 0 ? 20 : 0, 40 + N % 7);
  }
  benchmark::DoNotOptimize(Stats.Snapshot());
}
BENCHMARK(BM_Frame);

}  // namespace

int main(int argc, char** argv) { return BenchRatio::Main(argc, argv, "BM_Parse"); }
