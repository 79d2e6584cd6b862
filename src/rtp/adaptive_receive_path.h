#pragma once
// The adaptive receive path: accepted packets go to the adaptive buffer, which
// orders them, follows the network's jitter and makes up what is missing; the
// session takes one 20 ms frame when it is due, shortly before the earpiece
// runs dry, so that audio waits in the buffer (where waiting guards against
// jitter) as long as possible and in the device only as long as the session
// thread may be late. Without an earpiece the path keeps that pace itself.
// Each frame tells the call of every sender heard in it what was made up, how
// long the audio waited and what was dropped to shorten the wait.

#include <atomic>
#include <optional>

#include "audio/adaptive_buffer.h"
#include "platform/clock.h"
#include "rtp/call_quality.h"
#include "rtp/receive_path.h"

class TAdaptiveReceivePath final : public TReceivePath {
public:
  explicit TAdaptiveReceivePath(TCallQuality& Calls) : FCalls(Calls) {}

  // Host thread, while the session is stopped.
  void Configure(const TAdaptiveSettings& Settings, int32_t ReceiveBufCount);
  TAdaptiveReceiver& Buffer() { return FBuffer; }

  void Start() override;
  void Stop() override { FFineTimers.reset(); }
  bool TracksStreams() const override { return false; }
  bool Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) override;
  Platform::TEvent& DataEvent() override { return FBell; }
  uint32_t WaitMs(const TPlayout& Out, uint32_t Now) override;
  void Play(TPlayout& Out) override;
  std::string ReportLine() override { return FBuffer.ReportLine(); }
  void Clear() override { FBuffer.Clear(); }

private:
  // Frames handed over and not yet played, by the earpiece or, without one,
  // by the path's own clock.
  int32_t Queued(const TPlayout& Out, uint32_t Now) const;
  // The earpiece starts from empty: silence goes first.
  void PlayLead(TPlayout& Out, uint32_t Now);
  // What the frame's streams did, to their senders' calls.
  void Report(const TAdaptiveReceiver::TFrameReport& Streams, uint32_t DeviceMs, uint32_t Now);

  TAdaptiveReceiver FBuffer;  // locks itself
  TCallQuality& FCalls;       // locks itself
  // Rung by the first packet while nothing is queued: the only wake-up that
  // does not come from the clock.
  Platform::TEvent FBell{true, false};
  std::atomic<bool> FIdle{true};             // nothing queued; set by the session thread
  std::atomic<uint32_t> FLastPush{0};        // network thread: the tick of the last packet
  uint32_t FPlayedUntil = 0;                 // session thread: when the audio handed over runs out (tick)
  std::optional<Platform::TFineTimers> FFineTimers;  // host thread: from the start to the stop
  // Written by the host thread while stopped, read afterwards.
  TAdaptiveSettings FSettings;
  int32_t FReceiveBufCount = 0;
};
