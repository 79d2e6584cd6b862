// The per-packet work of the RTP paths: building one packet, accepting one
// received datagram, the jitter buffer's write and read, and the whole receive
// path of one datagram (the access and payload-type checks, acceptance and
// buffer write), each against a 172-byte copy under an uncontended lock; the
// same for the adaptive receive buffer (a packet stored, a frame played, a
// frame made up for a lost packet). And what the call statistics cost: a
// packet from its datagram to the frame that plays it in each receive mode,
// with the statistics fed as the session feeds them, as ratios to the same
// without them and with the datagrams' share alone.

#include <cstring>
#include <mutex>
#include <vector>

#include "access/peer_gate.h"
#include "audio/adaptive_buffer.h"
#include "audio/jitter_buffer.h"
#include "bench_ratio.h"
#include "rtp/call_quality.h"
#include "rtp/long_packet_note.h"
#include "rtp/rtp_codec.h"
#include "rtp/rtp_payload_filter.h"

namespace {

std::vector<uint8_t> Datagram(uint32_t Ssrc) {
  std::vector<uint8_t> D(172, 0xD5);
  D[0] = 0x80;
  D[1] = 8;
  D[2] = D[3] = 0;
  D[8] = static_cast<uint8_t>(Ssrc >> 24);
  D[9] = static_cast<uint8_t>(Ssrc >> 16);
  D[10] = static_cast<uint8_t>(Ssrc >> 8);
  D[11] = static_cast<uint8_t>(Ssrc);
  return D;
}

// The next packet of the same stream.
void NextSequence(std::vector<uint8_t>& D) {
  const uint16_t Seq = static_cast<uint16_t>((D[2] << 8 | D[3]) + 1);
  D[2] = static_cast<uint8_t>(Seq >> 8);
  D[3] = static_cast<uint8_t>(Seq);
}

void BM_Baseline(benchmark::State& State) {
  std::mutex Lock;
  std::vector<uint8_t> From(172, 1), To(172);
  for (auto _ : State) {
    std::lock_guard<std::mutex> G(Lock);
    std::memcpy(To.data(), From.data(), 172);
    benchmark::DoNotOptimize(To.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Baseline);

void BM_BuildPacket(benchmark::State& State) {
  TRtpCodec Codec(1);
  const std::vector<uint8_t> Payload(160, 0xD5);
  TRtpPacketBuffer Packet;
  for (auto _ : State) {
    benchmark::DoNotOptimize(Codec.BuildPacket(Payload.data(), 160, Packet));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BuildPacket);

void BM_ParseAccept(benchmark::State& State) {
  TRtpCodec Codec(1);
  std::vector<uint8_t> D = Datagram(0x12345678);
  Codec.Accept(D.data(), 172);  // the stream is known from here on
  TRtpDatagramInfo Info;
  for (auto _ : State) {
    NextSequence(D);
    benchmark::DoNotOptimize(Codec.Accept(D.data(), 172, &Info));
  }
}
BENCHMARK(BM_ParseAccept);

// One write and one read: captured bytes (Write) or a received packet, kept
// whole (WritePacket).
template <void (TJitterBuffer::*WriteOne)(const uint8_t*, uint16_t)>
void JitterWriteRead(benchmark::State& State) {
  TJitterBuffer Buffer(160, 480, 480);
  const std::vector<uint8_t> Payload(160, 0xD5);
  TAudioBlock Block;
  for (auto _ : State) {
    (Buffer.*WriteOne)(Payload.data(), 160);
    benchmark::DoNotOptimize(Buffer.Read(0, Block));
  }
}
void BM_JitterWriteRead(benchmark::State& State) { JitterWriteRead<&TJitterBuffer::Write>(State); }
BENCHMARK(BM_JitterWriteRead);
void BM_JitterPacketWriteRead(benchmark::State& State) { JitterWriteRead<&TJitterBuffer::WritePacket>(State); }
BENCHMARK(BM_JitterPacketWriteRead);

// One received datagram as the session takes it: its sender not refused, its
// payload type the configured one, acceptance (of the one stream played), the
// length against the buffer's, then its payload into the receive buffer as a
// packet. The buffer is emptied now and then so that it never overflows.
void BM_ReceivePath(benchmark::State& State) {
  TRtpCodec Codec(1);
  TPeerGate Gate;
  TRtpPayloadFilter Filter;
  TLongPacketNote Long;
  TJitterBuffer Buffer(160, 480, 1 << 20);
  std::vector<uint8_t> D = Datagram(0x12345678);
  Codec.Accept(D.data(), 172, nullptr, {1, 0, 40});
  TRtpDatagramInfo Info;
  uint32_t N = 0;
  for (auto _ : State) {
    NextSequence(D);
    if (Gate.Refused(1) || Filter.Check(1, D.data(), 172) != TRtpPayloadVerdict::Play) continue;
    if (Codec.Accept(D.data(), 172, &Info, {1, N, 40})) {
      const uint32_t Kept = Long.Keep(1, static_cast<uint32_t>(Info.PayloadLength), 3, 160);
      Buffer.WritePacket(D.data() + Info.PayloadOffset, static_cast<uint16_t>(Kept));
    }
    if ((++N & 4095) == 0) Buffer.Clear();
  }
}
BENCHMARK(BM_ReceivePath);


// A lost packet every other one: the pulls alternate a real frame and a frame
// made up (a pitch search and the replication), at the stream's own pace.
void BM_AdaptiveHalfConcealed(benchmark::State& State) {
  TAdaptiveStream Stream({});
  std::vector<uint8_t> P(160);
  for (size_t I = 0; I < P.size(); ++I) P[I] = static_cast<uint8_t>(0x80 + I % 32);
  int16_t Frame[160];
  int64_t Now = 0;
  uint64_t N = 0;
  for (auto _ : State) {
    if (N % 2 == 0) Stream.Push(static_cast<uint16_t>(N), static_cast<uint32_t>(160 * N), P.data(), 160, Now);
    benchmark::DoNotOptimize(Stream.Pull(Frame, Now));
    Now += 20;
    ++N;
  }
}
BENCHMARK(BM_AdaptiveHalfConcealed);

// What the call statistics are fed per packet: nothing, the datagram (as
// the session did before it counted the audio played), or the datagram and
// the audio played (as it does now).
enum class TFeed { None, Packets, PacketsAndFrames };

// One packet of the fixed mode, from its datagram to the take that plays it;
// fed the frame, the packet waits tagged with its sender and arrival.
template <TFeed Feed>
void FixedPacketPlayed(benchmark::State& State) {
  TRtpCodec Codec(1);
  TPeerGate Gate;
  TRtpPayloadFilter Filter;
  TLongPacketNote Long;
  TJitterBuffer Buffer(160, 320, 320);
  TCallQuality Calls;
  Calls.Begin(1, "10.0.0.7", 5004);
  std::vector<uint8_t> D = Datagram(0x12345678);
  Codec.Check(D.data(), 172, nullptr, {1, 0, 40});
  TRtpDatagramInfo Info;
  TAudioBlock Block;
  std::vector<TTaggedPacket> Taken;
  uint32_t Tick = 0;
  for (auto _ : State) {
    NextSequence(D);
    ++Tick;
    if (Gate.Refused(1) || Filter.Check(1, D.data(), 172) != TRtpPayloadVerdict::Play) continue;
    const TRtpVerdict Verdict = Codec.Check(D.data(), 172, &Info, {1, Tick, 40});
    if (Feed != TFeed::None) Calls.Packet(1, Info, Verdict);
    if (Verdict != TRtpVerdict::Accepted) continue;
    const auto Kept = static_cast<uint16_t>(Long.Keep(1, static_cast<uint32_t>(Info.PayloadLength), 2, 160));
    if (Feed == TFeed::PacketsAndFrames) {
      Buffer.WritePacket(D.data() + Info.PayloadOffset, Kept, {1, Tick}, nullptr);
      Buffer.Read(0, Block, &Taken);
      for (const TTaggedPacket& P : Taken) Calls.Played(P.Tag.Sender, {20, 0, Tick - P.Tag.Arrival, 20, Tick});
    } else {
      Buffer.WritePacket(D.data() + Info.PayloadOffset, Kept);
      Buffer.Read(0, Block);
    }
    benchmark::DoNotOptimize(Block.Data.get());
  }
}
BENCHMARK(FixedPacketPlayed<TFeed::None>)->Name("BM_FixedPacketPlayed");
BENCHMARK(FixedPacketPlayed<TFeed::Packets>)->Name("BM_FixedPacketPlayedPacketStats");
BENCHMARK(FixedPacketPlayed<TFeed::PacketsAndFrames>)->Name("BM_FixedPacketPlayedWithStats");

// One datagram in adaptive mode: acceptance, the packet stored, and the frame
// it becomes played (decoded, steered, encoded), 20 ms of clock apart; fed
// the frame, its report of the stream counts as played.
template <TFeed Feed>
void AdaptivePacketPlayed(benchmark::State& State) {
  TRtpCodec Codec(1);
  Codec.SetStreamTracking(false);
  TAdaptiveReceiver Buffer;
  Buffer.Configure({});
  TCallQuality Calls;
  Calls.Begin(1, "10.0.0.7", 5004);
  std::vector<uint8_t> D = Datagram(0x12345678);
  for (size_t I = 12; I < D.size(); ++I) D[I] = static_cast<uint8_t>(0x80 + I % 32);  // not silence
  TRtpDatagramInfo Info;
  uint8_t Frame[160];
  TAdaptiveReceiver::TFrameReport Report;
  uint32_t Tick = 0, Ts = 0;
  for (auto _ : State) {
    NextSequence(D);
    Ts += 160;
    D[4] = static_cast<uint8_t>(Ts >> 24);
    D[5] = static_cast<uint8_t>(Ts >> 16);
    D[6] = static_cast<uint8_t>(Ts >> 8);
    D[7] = static_cast<uint8_t>(Ts);
    Tick += 20;
    const TRtpVerdict Verdict = Codec.Check(D.data(), 172, &Info, {1, Tick, 40});
    if (Feed != TFeed::None) Calls.Packet(1, Info, Verdict);
    if (Verdict == TRtpVerdict::Accepted)
      Buffer.Push(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, D.data() + Info.PayloadOffset,
                  static_cast<uint32_t>(Info.PayloadLength), Tick, 1);
    if (Feed != TFeed::PacketsAndFrames) {
      benchmark::DoNotOptimize(Buffer.Pull(Frame, Tick));
      continue;
    }
    benchmark::DoNotOptimize(Buffer.Pull(Frame, Tick, Report));
    for (size_t I = 0; I < Report.Count; ++I)
      if (const TStreamFrame& S = Report.Streams[I]; S.Played)
        Calls.Played(S.Sender, {20, S.MadeUpSamples / 8, S.DelayMs, 20, Tick});
  }
}
BENCHMARK(AdaptivePacketPlayed<TFeed::None>)->Name("BM_AdaptiveReceivePath");
BENCHMARK(AdaptivePacketPlayed<TFeed::Packets>)->Name("BM_AdaptivePacketPlayedPacketStats");
BENCHMARK(AdaptivePacketPlayed<TFeed::PacketsAndFrames>)->Name("BM_AdaptivePacketPlayedWithStats");

}  // namespace

int main(int argc, char** argv) {
  return BenchRatio::Main(argc, argv, "BM_Baseline",
                          {{"BM_FixedPacketPlayedWithStats", "BM_FixedPacketPlayed"},
                           {"BM_FixedPacketPlayedWithStats", "BM_FixedPacketPlayedPacketStats"},
                           {"BM_AdaptivePacketPlayedWithStats", "BM_AdaptiveReceivePath"},
                           {"BM_AdaptivePacketPlayedWithStats", "BM_AdaptivePacketPlayedPacketStats"}});
}
