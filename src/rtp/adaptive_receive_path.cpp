#include "rtp/adaptive_receive_path.h"

#include <algorithm>

#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"
#include "platform/g711.h"

namespace {
// A frame is taken this long before the earpiece runs out of audio. The loop
// wakes when the next frame is due; while a stream is about to start it looks
// this often; with nothing to play, a packet wakes it.
constexpr uint32_t LeadMs = 10;
constexpr uint32_t StartingWaitMs = 5;
constexpr uint32_t IdleWaitMs = 100;
constexpr uint32_t LiveMs = 1000;  // a stream is live this long after its last packet
constexpr int32_t QueuedFrames = 2;
constexpr uint32_t CatchUpMs = 200;  // without a device: how far behind its pace the path catches up
constexpr uint32_t FrameBytes = TAdaptiveStream::FrameSamples;
constexpr uint32_t FrameMs = FrameBytes / 8;
}  // namespace

void TAdaptiveReceivePath::Configure(const TAdaptiveSettings& Settings, int32_t ReceiveBufCount) {
  FSettings = Settings;
  FReceiveBufCount = ReceiveBufCount;
}

void TAdaptiveReceivePath::Start() {
  FFineTimers.emplace();  // the thread wakes a few ms before a frame is due
  FBuffer.Configure(FSettings);
  if (DoLog) WriteLog(Format("Receive mode: adaptive [delay %u..%u ms]", FSettings.MinDelayMs, FSettings.MaxDelayMs));
}

bool TAdaptiveReceivePath::Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) {
  FLastPush = Now;
  const TPushResult R = FBuffer.Push(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, Payload,
                                     static_cast<uint32_t>(Info.PayloadLength), Now, Sender);
  // A player with nothing to play is woken by the first packet.
  if (R == TPushResult::Stored && FIdle) FBell.Set();
  if (R == TPushResult::Late) FCalls.Late(Sender, Info.SequenceNumber);
  // The raw file takes what arrived, once: a repeat is not written again.
  return R == TPushResult::Stored || R == TPushResult::Late;
}

int32_t TAdaptiveReceivePath::Queued(const TPlayout& Out, uint32_t Now) const {
  if (Out.Playing()) return Out.Queued();
  // Without a device the path keeps the pace itself: the frames "queued" are
  // those whose time has not yet run out. A session thread that woke late (a
  // busy machine) owes the frames of the time it lost and takes them at once:
  // nothing limits it as a device would, and the recording loses nothing.
  const int32_t Ahead = static_cast<int32_t>(FPlayedUntil - Now);
  if (Ahead > 0) return (Ahead + static_cast<int32_t>(FrameMs) - 1) / static_cast<int32_t>(FrameMs);
  return Ahead > -static_cast<int32_t>(CatchUpMs) ? 1 : 0;
}

uint32_t TAdaptiveReceivePath::WaitMs(const TPlayout& Out, uint32_t Now) {
  if (Queued(Out, Now) > 0) {
    const int32_t Due = static_cast<int32_t>(FPlayedUntil - LeadMs - Now);
    // Past due with the player still full: its clock runs slower than ours.
    return static_cast<uint32_t>(std::clamp<int32_t>(Due, 2, static_cast<int32_t>(IdleWaitMs)));
  }
  return Now - FLastPush.load() < LiveMs ? StartingWaitMs : IdleWaitMs;
}

void TAdaptiveReceivePath::PlayLead(TPlayout& Out, uint32_t Now) {
  // The frames after this one are taken as long before their turn as the lead lasts.
  FPlayedUntil = Now;
  if (!Out.Playing() || FReceiveBufCount < QueuedFrames) return;
  uint8_t Lead[LeadMs * 8];
  std::fill(std::begin(Lead), std::end(Lead), Platform::ALawSilence);
  if (Out.Lead(Lead, sizeof(Lead))) FPlayedUntil += LeadMs;
}

// One 20 ms frame at a time, when it is due: the adaptive buffer plays from
// the device's pace, and makes up what is missing.
void TAdaptiveReceivePath::Play(TPlayout& Out) {
  // The bell has done its work by waking the thread.
  FBell.Reset();
  uint8_t Frame[FrameBytes];
  TAdaptiveReceiver::TFrameReport Streams;
  while (!Out.Playing() || Out.Ready()) {
    const uint32_t Now = Platform::TickCount();
    const int32_t Queue = Queued(Out, Now);
    FIdle = Queue == 0;
    if (Queue > 0 &&
        (Queue >= QueuedFrames || static_cast<int32_t>(FPlayedUntil - Now) > static_cast<int32_t>(LeadMs)))
      return;
    if (!FBuffer.Pull(Frame, Now, Streams)) {
      Report(Streams, 0, Now);  // streams that stopped
      return;
    }
    if (Queue == 0) PlayLead(Out, Now);
    if (Out.Playing() && static_cast<int32_t>(FPlayedUntil - Now) < 0) FPlayedUntil = Now;
    FPlayedUntil += FrameMs;
    FIdle = false;
    const uint32_t DeviceMs = Out.QueuedMs();
    Out.Play(Frame, FrameBytes);
    Report(Streams, DeviceMs, Now);
  }
}

void TAdaptiveReceivePath::Report(const TAdaptiveReceiver::TFrameReport& Streams, uint32_t DeviceMs, uint32_t Now) {
  constexpr uint32_t SamplesPerMs = TAdaptiveStream::SamplesPerMs;
  const auto Ms = [](uint32_t Samples) { return (Samples + SamplesPerMs / 2) / SamplesPerMs; };
  for (size_t I = 0; I < Streams.Count; ++I) {
    const TStreamFrame& S = Streams.Streams[I];
    if (S.Played) FCalls.Played(S.Sender, {FrameMs, Ms(S.MadeUpSamples), S.DelayMs, DeviceMs, Now});
    if (S.DroppedSamples > 0) FCalls.Dropped(S.Sender, Ms(S.DroppedSamples));
    if (S.EndedSamples > 0) FCalls.StreamEnded(S.Sender, Ms(S.EndedSamples));
  }
}
