// The audio devices at work, on virtual devices: a recorder and a player running
// together at 50 buffers a second each, as in a call.
//
// - Whole-process CPU time over the run, against a baseline thread that only
//   wakes up as often (100 times a second) and does nothing.
// - The delay from a capture buffer's completion (the instant its last byte is
//   due at the format's byte rate) to the session's AddRecordedData returning,
//   p50 and p99, against the same thread's lateness when it wakes (the
//   system's own timer lateness).
// Baseline and devices take turns, so that both see the same machine load.
//
//   devices_bench [seconds]   (30 by default)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/player.h"
#include "audio/recorder.h"
#include "config/start_values.h"
#include "devices/wave_devices_test_peer.h"
#include "platform/wave_virtual.h"

using namespace Platform;
using TClock = std::chrono::steady_clock;

namespace {

const TWaveFormat ALaw{WaveFormatALaw, 1, 8000, 8000, 1, 8, 0};
constexpr auto Period = std::chrono::milliseconds(20);

// The session: each captured block is timed, kept, and handed to the session
// thread, which plays it (a loopback, so the player runs at the capture's pace).
class TBenchSession : public TRecorderSession, public TPlayerSession {
public:
  const TWaveFormat& AudioFormat() const override { return ALaw; }
  int32_t SendPayloadBytes() const override { return 160; }
  int32_t ReceivePayloadBytes() const override { return 160; }
  int32_t ReceiveBufCount() const override { return 3; }
  const std::string& RecDeviceID() const override { return Device; }
  const std::string& PlayDeviceID() const override { return Device; }
  void AddRecordedData(const WAVEHDR& Header) override {
    {
      std::lock_guard L(FLock);
      FPending.assign(Header.lpData, Header.dwBytesRecorded);
      ++FBlocks;
    }
    FChanged.notify_one();
    Returned.push_back(TClock::now());  // only the device thread writes it
  }

  void RunSessionThread(TPlayer& Player, const std::atomic<bool>& Stop) {
    std::string Block;
    uint64_t Seen = 0;
    while (!Stop) {
      {
        std::unique_lock L(FLock);
        if (!FChanged.wait_for(L, std::chrono::milliseconds(100), [&] { return FBlocks != Seen; })) continue;
        Seen = FBlocks;
        Block.swap(FPending);
      }
      if (Player.IsReady()) Player.Play(Block.data(), static_cast<int32_t>(Block.size()));
    }
  }

  std::vector<TClock::time_point> Returned;  // written by the device thread while capturing
  const std::string Device = "Bench";

private:
  std::mutex FLock;
  std::condition_variable FChanged;  // waits on FLock
  std::string FPending;              // guarded by FLock
  uint64_t FBlocks = 0;              // guarded by FLock
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct TPercentiles {
  double P50 = 0, P99 = 0;  // microseconds
};

TPercentiles Percentiles(std::vector<double> Us) {
  if (Us.empty()) return {};
  std::sort(Us.begin(), Us.end());
  return {Us[Us.size() / 2], Us[std::min(Us.size() - 1, Us.size() * 99 / 100)]};
}

// A thread that wakes as often as the two devices (100 times a second) and
// does nothing; returns the process CPU seconds, adds its lateness (us) to Us.
double Baseline(int Seconds, std::vector<double>& Us) {
  const double Before = CpuSeconds();
  std::thread T([&] {
    const auto Start = TClock::now();
    for (int N = 1; N <= Seconds * 100; ++N) {
      const auto Due = Start + N * Period / 2;
      std::this_thread::sleep_until(Due);
      Us.push_back(std::chrono::duration<double, std::micro>(TClock::now() - Due).count());
    }
  });
  T.join();
  return CpuSeconds() - Before;
}

// One slice of the devices at work; returns the process CPU seconds and adds
// the delays of the captured blocks (microseconds) to Us.
double DeviceSlice(int Seconds, std::vector<double>& Us, size_t& Blocks) {
  TBenchSession Session;
  Session.Returned.reserve(static_cast<size_t>(Seconds) * 60);
  TClock::time_point Started;
  double Cpu = 0;
  {
    TRecorder Recorder(Session);
    TPlayer Player(Session);
    if (Recorder.SelectDevice() != 0 || Player.SelectDevice() != 0) {
      std::fprintf(stderr, "no virtual devices\n");
      std::exit(1);
    }
    Player.Start();
    std::atomic<bool> Stop{false};
    std::thread SessionThread([&] { Session.RunSessionThread(Player, Stop); });
    const double Before = CpuSeconds();
    Recorder.Start();
    // The capture clock started inside Start, just before it queued its last
    // four buffers: taking the return as the start understates the delays by
    // that queueing (a few microseconds).
    Started = TClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(Seconds));
    Recorder.Stop();
    Stop = true;
    SessionThread.join();
    Cpu = CpuSeconds() - Before;
    Player.Stop();
  }
  // Block n (from 0) is complete when its last byte is due, n + 1 periods after the start.
  for (size_t N = 0; N < Session.Returned.size(); ++N)
    Us.push_back(std::chrono::duration<double, std::micro>(Session.Returned[N] - (Started + (N + 1) * Period)).count());
  Blocks += Session.Returned.size();
  return Cpu;
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  ResetStartValues();
  TWaveDevicesTestPeer::HideSystem(true);
  TVirtualWaveDevice Mic, Ear;
  Mic.Name = "Bench Microphone";
  Mic.ToneHz = 440;
  Ear.Dir = TWaveDir::Out;
  Ear.Name = "Bench Earphone";
  SetVirtualWaveDevices({Mic, Ear});

  // Baseline and devices take turns in slices of up to 5 s, so that both see
  // the same load of a shared machine.
  double BaseCpu = 0, Cpu = 0;
  std::vector<double> BaseUs, Us;
  size_t Blocks = 0;
  for (int Done = 0; Done < Seconds;) {
    const int Slice = std::min(5, Seconds - Done);
    BaseCpu += Baseline(Slice, BaseUs);
    Cpu += DeviceSlice(Slice, Us, Blocks);
    Done += Slice;
  }
  const TPercentiles BaseLate = Percentiles(BaseUs), Late = Percentiles(Us);

  std::printf("recorder and player, %d s, %zu capture buffers and as many played\n", Seconds, Blocks);
  std::printf("%-44s %12s %12s\n", "figure", "value", "x baseline");
  std::printf("%-44s %12.2f %12.2f\n", "process CPU, ms per second of audio", Cpu * 1000 / Seconds,
              BaseCpu > 0 ? Cpu / BaseCpu : 0.0);
  std::printf("%-44s %12.2f\n", "process CPU, % of one core", Cpu * 100 / Seconds);
  std::printf("%-44s %12.1f\n", "process CPU, us per buffer", Blocks > 0 ? Cpu * 1e6 / (2.0 * Blocks) : 0.0);
  std::printf("%-44s %12.1f %12.2f\n", "buffer complete -> AddRecordedData, p50 us", Late.P50,
              BaseLate.P50 > 0 ? Late.P50 / BaseLate.P50 : 0.0);
  std::printf("%-44s %12.1f %12.2f\n", "buffer complete -> AddRecordedData, p99 us", Late.P99,
              BaseLate.P99 > 0 ? Late.P99 / BaseLate.P99 : 0.0);
  std::printf("%-44s %12.2f\n", "baseline: wake-ups alone, ms CPU per second", BaseCpu * 1000 / Seconds);
  std::printf("%-44s %12.1f\n", "baseline: timer lateness p50 us", BaseLate.P50);
  std::printf("%-44s %12.1f\n", "baseline: timer lateness p99 us", BaseLate.P99);
  SetVirtualWaveDevices({});
  TWaveDevicesTestPeer::HideSystem(false);
  return 0;
}
