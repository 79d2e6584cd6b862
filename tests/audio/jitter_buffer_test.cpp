#include "audio/jitter_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "audio/jitter_buffer_test_peer.h"
#include "config/start_values.h"
#include "log_capture.h"

namespace {

using Platform::TWaitResult;

// One step of a scenario and what must hold after it.
struct TOp {
  enum TKind { Write, WritePacket, Read, Clear, ResetEvent, SetCapacity } Kind;
  int Arg;                // bytes to write, the read time-out, the new capacity
  bool ReadResult;        // Read only
  uint32_t ReadSize;      // Read only
  bool EventAfter;
  uint32_t LengthAfter;
  const char* LogLine;    // the line this step logs, or nullptr
};

struct TScenario {
  const char* Name;
  int32_t Threshold;
  uint32_t ReadMax;
  int32_t Capacity;
  std::vector<TOp> Ops;
};

constexpr auto W = TOp::Write;
constexpr auto P = TOp::WritePacket;  // the receive side: whole packets
constexpr auto R = TOp::Read;

const std::vector<TScenario> Scenarios = {
    {"receive defaults: signalled from the first write, a fourth write discards all",
     160, 480, 480,
     {{W, 160, {}, {}, true, 160, nullptr},
      {W, 160, {}, {}, true, 320, nullptr},
      {W, 160, {}, {}, true, 480, nullptr},
      {W, 160, {}, {}, true, 0, "Jitter bubber: Drop overflow data [Data size=<160>]"},
      // The write did not reset the event: a true read of nothing resets it.
      {R, 0, true, 0, false, 0, nullptr},
      {R, 0, false, 0, false, 0, nullptr}}},
    {"a cut to the free room",
     160, 480, 480,
     {{W, 400, {}, {}, true, 400, nullptr},
      {W, 160, {}, {}, true, 480, "Jitter bubber: Drop underflow data [Write size=80,Data size=<160>]"},
      {R, 0, true, 480, false, 0, nullptr}}},
    {"send buffer takes one payload at a time",
     160, 160, 800,
     {{W, 320, {}, {}, true, 320, nullptr},
      {R, 0, true, 160, true, 160, nullptr},
      {R, 0, true, 160, false, 0, nullptr},
      {R, 0, false, 0, false, 0, nullptr}}},
    {"below the threshold no signal",
     160, 480, 480,
     {{R, 0, false, 0, false, 0, nullptr},
      {W, 100, {}, {}, false, 100, nullptr},
      {R, 0, false, 0, false, 100, nullptr},
      {W, 60, {}, {}, true, 160, nullptr},
      {W, 20, {}, {}, true, 180, nullptr},
      {R, 0, true, 180, false, 0, nullptr}}},
    {"a read leaving less than the threshold resets, more keeps the event",
     100, 150, 1000,
     {{W, 400, {}, {}, true, 400, nullptr},
      {R, 0, true, 150, true, 250, nullptr},
      {R, 0, true, 150, true, 100, nullptr},  // exactly the threshold left
      {R, 0, true, 100, false, 0, nullptr}}},
    {"content beyond a lowered capacity: nothing written, nothing logged",
     160, 480, 480,
     {{W, 480, {}, {}, true, 480, nullptr},
      {TOp::SetCapacity, 160, {}, {}, true, 480, nullptr},
      {W, 160, {}, {}, true, 480, nullptr},
      {R, 0, true, 480, false, 0, nullptr},
      {W, 200, {}, {}, true, 160, "Jitter bubber: Drop underflow data [Write size=160,Data size=<200>]"}}},
    {"clear keeps the event; the next read is true and empty",
     160, 480, 480,
     {{W, 300, {}, {}, true, 300, nullptr},
      {TOp::Clear, 0, {}, {}, true, 0, nullptr},
      {R, 0, true, 0, false, 0, nullptr}}},
    {"the session resets the event while the player is busy; data keeps collecting",
     160, 480, 480,
     {{W, 160, {}, {}, true, 160, nullptr},
      {TOp::ResetEvent, 0, {}, {}, false, 160, nullptr},
      {R, 0, false, 0, false, 160, nullptr},
      {W, 160, {}, {}, true, 320, nullptr},
      {R, 0, true, 320, false, 0, nullptr}}},
    {"an empty write changes nothing",
     160, 480, 480,
     {{W, 480, {}, {}, true, 480, nullptr},
      {W, 0, {}, {}, true, 480, nullptr},
      {R, 0, true, 480, false, 0, nullptr},
      {W, 0, {}, {}, false, 0, nullptr}}},
    {"receive defaults: a fourth packet drops the oldest one, not all",
     160, 480, 480,
     {{P, 160, {}, {}, true, 160, nullptr},
      {P, 160, {}, {}, true, 320, nullptr},
      {P, 160, {}, {}, true, 480, nullptr},
      {P, 160, {}, {}, true, 480, "Jitter bubber: Drop overflow data [Data size=<160>]"},
      {R, 0, true, 480, false, 0, nullptr}}},
    {"packets are dropped whole, oldest first; one longer than the buffer is kept and taken whole",
     160, 480, 480,
     {{P, 640, {}, {}, true, 640, nullptr},
      {R, 0, true, 640, false, 0, nullptr},
      {P, 160, {}, {}, true, 160, nullptr},
      {P, 640, {}, {}, true, 640, "Jitter bubber: Drop overflow data [Data size=<640>]"},
      {P, 100, {}, {}, true, 100, "Jitter bubber: Drop overflow data [Data size=<100>]"},
      {R, 0, true, 100, false, 0, nullptr}}},
    {"a take hands out whole packets, as many as the largest take holds",
     160, 480, 1000,
     {{P, 200, {}, {}, true, 200, nullptr},
      {P, 200, {}, {}, true, 400, nullptr},
      {P, 200, {}, {}, true, 600, nullptr},
      {R, 0, true, 400, true, 200, nullptr},
      {P, 300, {}, {}, true, 500, nullptr},
      {R, 0, true, 200, true, 300, nullptr},
      {R, 0, true, 300, false, 0, nullptr}}},
    {"a write of the full 16-bit size",
     160, 100000, 100000,
     {{W, 65535, {}, {}, true, 65535, nullptr},
      {W, 65535, {}, {}, true, 100000, "Jitter bubber: Drop underflow data [Write size=34465,Data size=<65535>]"},
      {R, 0, true, 100000, false, 0, nullptr}}},
};

TEST(JitterBuffer, Scenarios) {
  for (const bool Log : {false, true}) {  // the drop lines do not depend on DoLog
    ResetStartValues();
    DoLog = Log;
    for (const TScenario& S : Scenarios) {
      SCOPED_TRACE(testing::Message() << S.Name << (Log ? " (DoLog on)" : " (DoLog off)"));
      TestSupport::TLogCapture Capture;
      TJitterBuffer Buffer(S.Threshold, S.ReadMax, S.Capacity);
      EXPECT_FALSE(Buffer.DataEvent().IsSet());
      std::vector<std::string> ExpectedLog;
      // Bytes are numbered as written; reads must return them oldest first, with
      // nothing lost but what a logged drop discarded.
      uint8_t NextWritten = 0;
      int N = 0;
      for (const TOp& Op : S.Ops) {
        SCOPED_TRACE(testing::Message() << "step " << N++);
        switch (Op.Kind) {
          case TOp::Write:
          case TOp::WritePacket: {
            std::vector<uint8_t> Data(static_cast<size_t>(Op.Arg));
            for (uint8_t& B : Data) B = NextWritten++;
            if (Op.Kind == TOp::Write)
              Buffer.Write(Data.data(), static_cast<uint16_t>(Op.Arg));
            else
              Buffer.WritePacket(Data.data(), static_cast<uint16_t>(Op.Arg));
            break;
          }
          case TOp::Read: {
            TAudioBlock Block;
            Block.Size = 12345;
            EXPECT_EQ(Buffer.Read(static_cast<uint32_t>(Op.Arg), Block), Op.ReadResult);
            if (!Op.ReadResult) {
              EXPECT_EQ(Block.Size, 12345u);  // untouched
              break;
            }
            ASSERT_EQ(Block.Size, Op.ReadSize);
            EXPECT_EQ(Block.Data == nullptr, Op.ReadSize == 0);
            for (uint32_t I = 1; I < Block.Size; ++I)
              ASSERT_EQ(static_cast<uint8_t>(Block.Data[I - 1] + 1), Block.Data[I]) << "order broken at " << I;
            break;
          }
          case TOp::Clear: Buffer.Clear(); break;
          case TOp::ResetEvent: Buffer.DataEvent().Reset(); break;
          case TOp::SetCapacity: Buffer.SetCapacity(Op.Arg); break;
        }
        EXPECT_EQ(Buffer.DataEvent().IsSet(), Op.EventAfter);
        EXPECT_EQ(TJitterBufferTestPeer::Length(Buffer), Op.LengthAfter);
        if (Op.LogLine) ExpectedLog.push_back(Op.LogLine);
        EXPECT_EQ(Capture.Lines(), ExpectedLog);
      }
    }
  }
  ResetStartValues();
}

// What the counters say of a burst into the receive buffer: only the excess
// is dropped, and nothing is cut.
TEST(JitterBuffer, APacketBurstCountsOnlyTheExcess) {
  TJitterBuffer Buffer(160, 480, 480);
  const std::vector<uint8_t> Data(160, 0xD5);
  for (int I = 0; I < 5; ++I) Buffer.WritePacket(Data.data(), 160);
  const TJitterStats S = Buffer.Stats();
  EXPECT_EQ(S.Overflows, 2u);
  EXPECT_EQ(S.OverflowBytes, 320u);
  EXPECT_EQ(S.Cuts + S.CutBytes, 0u);
}

// Each packet leaves with its sender and arrival, whether a take hands it out
// or an overflow drops it; a take hands out only the packets it holds whole.
TEST(JitterBuffer, PacketsLeaveWithTheirTags) {
  TJitterBuffer Buffer(160, 400, 480);
  const std::vector<uint8_t> Data(160, 0xD5);
  std::vector<TTaggedPacket> Dropped;
  for (int32_t I = 0; I < 4; ++I) Buffer.WritePacket(Data.data(), 160, {I + 1, 100u + I}, &Dropped);
  ASSERT_EQ(Dropped.size(), 1u);
  EXPECT_EQ(Dropped[0].Tag.Sender, 1);
  EXPECT_EQ(Dropped[0].Tag.Arrival, 100u);
  EXPECT_EQ(Dropped[0].Size, 160u);
  TAudioBlock Block;
  std::vector<TTaggedPacket> Taken = Dropped;  // a take starts the list afresh
  ASSERT_TRUE(Buffer.Read(0, Block, &Taken));
  EXPECT_EQ(Block.Size, 320u);
  ASSERT_EQ(Taken.size(), 2u);
  EXPECT_EQ(Taken[0].Tag.Sender, 2);
  EXPECT_EQ(Taken[1].Tag.Arrival, 102u);
  ASSERT_TRUE(Buffer.Read(0, Block, &Taken));
  ASSERT_EQ(Taken.size(), 1u);
  EXPECT_EQ(Taken[0].Tag.Sender, 4);
}

TEST(JitterBuffer, OldestBytesFirstAcrossWrites) {
  TJitterBuffer Buffer(3, 4, 100);
  const uint8_t A[] = {1, 2}, B[] = {3, 4, 5}, C[] = {6};
  Buffer.Write(A, 2);
  Buffer.Write(B, 3);
  Buffer.Write(C, 1);
  TAudioBlock Block;
  ASSERT_TRUE(Buffer.Read(0, Block));
  EXPECT_EQ(std::vector<uint8_t>(Block.Data.get(), Block.Data.get() + Block.Size), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_FALSE(Buffer.Read(0, Block));  // two left, below the threshold
  const uint8_t D[] = {7};
  Buffer.Write(D, 1);
  ASSERT_TRUE(Buffer.Read(0, Block));
  EXPECT_EQ(std::vector<uint8_t>(Block.Data.get(), Block.Data.get() + Block.Size), (std::vector<uint8_t>{5, 6, 7}));
}

TEST(JitterBuffer, ReadWaitsForAWriteFromAnotherThread) {
  TJitterBuffer Buffer(160, 480, 480);
  const auto Start = std::chrono::steady_clock::now();
  TAudioBlock Block;
  EXPECT_FALSE(Buffer.Read(50, Block));
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(45));
  std::thread Writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::vector<uint8_t> Data(160, 0xD5);
    Buffer.Write(Data.data(), 160);
  });
  EXPECT_TRUE(Buffer.Read(5000, Block));
  EXPECT_EQ(Block.Size, 160u);
  Writer.join();
}

// The session's way: wait on both buffers' events, the receive buffer first.
TEST(JitterBuffer, SessionWaitsOnBothEvents) {
  TJitterBuffer Receive(160, 480, 480), Send(160, 160, 800);
  const std::vector<uint8_t> Data(160, 0xD5);
  EXPECT_EQ(Platform::WaitForEither(Receive.DataEvent(), Send.DataEvent(), 20), TWaitResult::TimedOut);
  Send.Write(Data.data(), 160);
  EXPECT_EQ(Platform::WaitForEither(Receive.DataEvent(), Send.DataEvent(), 0), TWaitResult::Second);
  Receive.Write(Data.data(), 160);
  // Manual reset: both stay signalled until read; the receive buffer is first.
  EXPECT_EQ(Platform::WaitForEither(Receive.DataEvent(), Send.DataEvent(), 0), TWaitResult::First);
  TAudioBlock Block;
  EXPECT_TRUE(Receive.Read(0, Block));
  EXPECT_EQ(Platform::WaitForEither(Receive.DataEvent(), Send.DataEvent(), 0), TWaitResult::Second);
  EXPECT_TRUE(Send.Read(0, Block));
  std::thread Writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Receive.Write(Data.data(), 160);
  });
  EXPECT_EQ(Platform::WaitForEither(Receive.DataEvent(), Send.DataEvent(), 5000), TWaitResult::First);
  Writer.join();
}

// A producer writes numbered blocks while the session-like reader takes them:
// with room enough every byte arrives once and in order.
TEST(JitterBufferConcurrency, ProducerAndReaderLoseNothing) {
  constexpr int Blocks = 4000;
  TJitterBuffer Buffer(160, 480, 1 << 20);
  std::thread Producer([&] {
    std::vector<uint8_t> Data(160);
    uint32_t Counter = 0;
    for (int B = 0; B < Blocks; ++B) {
      for (uint8_t& X : Data) X = static_cast<uint8_t>(Counter++);
      Buffer.Write(Data.data(), 160);
      if (B % 64 == 0) std::this_thread::yield();
    }
  });
  uint32_t Received = 0;
  bool InOrder = true;
  TAudioBlock Block;
  while (Received < Blocks * 160u) {
    if (Platform::WaitForEither(Buffer.DataEvent(), Buffer.DataEvent(), 2000) == TWaitResult::TimedOut) break;
    if (!Buffer.Read(0, Block)) continue;
    for (uint32_t I = 0; I < Block.Size; ++I) InOrder &= Block.Data[I] == static_cast<uint8_t>(Received + I);
    Received += Block.Size;
  }
  Producer.join();
  EXPECT_EQ(Received, Blocks * 160u);
  EXPECT_TRUE(InOrder);
}

// Overflowing writers, a reader and a host thread clearing at once: no crash,
// no race, and nothing taken that was not written.
TEST(JitterBufferConcurrency, OverflowClearAndReadTogether) {
  TJitterBuffer Buffer(160, 480, 480);
  std::atomic<bool> Done{false};
  std::vector<std::thread> Threads;
  for (int T = 0; T < 2; ++T)
    Threads.emplace_back([&, T] {
      std::vector<uint8_t> Data(160, static_cast<uint8_t>(T + 1));
      while (!Done.load()) Buffer.Write(Data.data(), 160);
    });
  Threads.emplace_back([&] {
    while (!Done.load()) {
      Buffer.Clear();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int Reads = 0;
  TAudioBlock Block;
  for (int I = 0; I < 3000; ++I) {
    if (!Buffer.Read(10, Block)) continue;
    ++Reads;
    EXPECT_LE(Block.Size, 480u);
    for (uint32_t At = 0; At < Block.Size; ++At) ASSERT_TRUE(Block.Data[At] == 1 || Block.Data[At] == 2);
  }
  Done.store(true);
  for (auto& T : Threads) T.join();
  EXPECT_GT(Reads, 0);
}

}  // namespace
