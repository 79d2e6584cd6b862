// The per-packet cost of SRTP for each suite: protecting one 172-byte RTP
// packet (12 bytes of header, 160 of A-law) and checking and decrypting one,
// against the same baseline as the RTP benchmarks (a 172-byte copy under an
// uncontended lock).

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "platform/byte_order.h"
#include "srtp/srtp.h"

namespace {

constexpr size_t PacketBytes = 172;

TSrtpMasterKey BenchKey(TSrtpSuite Suite) {
  std::vector<uint8_t> Bytes(SrtpMasterKeyBytes(Suite) + SrtpMasterSaltBytes(Suite));
  for (size_t I = 0; I < Bytes.size(); ++I) Bytes[I] = static_cast<uint8_t>(I * 13 + 5);
  return TSrtpMasterKey(Suite, Bytes);
}

std::vector<uint8_t> Packet(uint16_t Seq) {
  std::vector<uint8_t> P(PacketBytes + SrtpMaxOverhead, 0xD5);
  P[0] = 0x80;
  P[1] = 8;
  Platform::PutBE16(P.data() + 2, Seq);
  Platform::PutBE32(P.data() + 4, Seq * 160u);
  Platform::PutBE32(P.data() + 8, 0x12345678);
  return P;
}

void BM_Baseline(benchmark::State& State) {
  std::mutex Lock;
  std::vector<uint8_t> From(PacketBytes, 1), To(PacketBytes);
  for (auto _ : State) {
    std::lock_guard<std::mutex> G(Lock);
    std::memcpy(To.data(), From.data(), PacketBytes);
    benchmark::DoNotOptimize(To.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Baseline);

// The session's send: the packet built afresh (here: its plain bytes copied
// in, the sequence number advanced), then protected in place.
void BM_ProtectRtp(benchmark::State& State) {
  const auto Suite = static_cast<TSrtpSuite>(State.range(0));
  TSrtpSender Sender(BenchKey(Suite));
  const std::vector<uint8_t> Plain = Packet(0);
  std::vector<uint8_t> Buffer(Plain.size());
  uint16_t Seq = 0;
  for (auto _ : State) {
    std::memcpy(Buffer.data(), Plain.data(), PacketBytes);
    Platform::PutBE16(Buffer.data() + 2, ++Seq);
    if (Sender.ProtectRtp(Buffer.data(), PacketBytes, Buffer.size()) == 0) State.SkipWithError("protect failed");
    benchmark::ClobberMemory();
  }
  State.SetLabel(std::string(SrtpSuiteName(Suite)));
}

// The network thread's receive: one protected datagram copied out of the
// transport's buffer, checked and decrypted in place. The packets are made
// beforehand; each lap through them starts a fresh receiver (outside the
// timing) since a packet is taken once only.
void BM_UnprotectRtp(benchmark::State& State) {
  const auto Suite = static_cast<TSrtpSuite>(State.range(0));
  const TSrtpMasterKey Key = BenchKey(Suite);
  TSrtpSender Sender(Key);
  constexpr size_t Lap = 8192;
  std::vector<std::vector<uint8_t>> Sent;
  for (uint16_t Seq = 0; Seq < Lap; ++Seq) {
    std::vector<uint8_t> P = Packet(Seq);
    P.resize(Sender.ProtectRtp(P.data(), PacketBytes, P.size()));
    Sent.push_back(std::move(P));
  }
  auto Receiver = std::make_unique<TSrtpReceiver>(Key);
  std::vector<uint8_t> Buffer(Sent[0].size());
  size_t Next = 0;
  for (auto _ : State) {
    if (Next == Lap) {
      State.PauseTiming();
      Receiver = std::make_unique<TSrtpReceiver>(Key);
      Next = 0;
      State.ResumeTiming();
    }
    const std::vector<uint8_t>& P = Sent[Next++];
    std::memcpy(Buffer.data(), P.data(), P.size());
    size_t Length = P.size();
    if (Receiver->UnprotectRtp(Buffer.data(), Length) != TSrtpVerdict::Ok) State.SkipWithError("unprotect failed");
    benchmark::ClobberMemory();
  }
  State.SetLabel(std::string(SrtpSuiteName(Suite)));
}

constexpr int64_t Suites[] = {static_cast<int64_t>(TSrtpSuite::AesCm128HmacSha1_80),
                              static_cast<int64_t>(TSrtpSuite::AesCm128HmacSha1_32),
                              static_cast<int64_t>(TSrtpSuite::AeadAes128Gcm)};
BENCHMARK(BM_ProtectRtp)->Arg(Suites[0])->Arg(Suites[1])->Arg(Suites[2]);
BENCHMARK(BM_UnprotectRtp)->Arg(Suites[0])->Arg(Suites[1])->Arg(Suites[2]);

}  // namespace

int main(int argc, char** argv) { return BenchRatio::Main(argc, argv, "BM_Baseline"); }
