#pragma once
// The receive path: where accepted packets wait until they are played, and how
// they are played. Two implementations, chosen once when the session starts:
// the fixed jitter buffer (TFixedReceivePath) and the adaptive buffer
// (TAdaptiveReceivePath). The session hands every accepted packet to Push and
// lets Play run on each pass of its thread; it never asks which one it has.
//
// TPlayout is what a path plays into on one pass: the earpiece when one plays,
// and always the recording (the mixer's received channel), so that the
// customer's words are kept even while no earpiece plays.

#include <cstdint>
#include <string>

#include "platform/sync.h"
#include "rtp/rtp_codec.h"

class TPlayer;
class TTCPAudioMixer;
class TMesureStreams;
class TDeviceActivity;

// Made on the session thread under the session's processor lock, for one pass.
class TPlayout {
public:
  TPlayout(TPlayer* Player, TTCPAudioMixer* Mixer, TMesureStreams* Measure, TDeviceActivity& Activity);

  // An earpiece is there and runs (fixed for the pass).
  bool Playing() const { return FPlaying; }
  // The earpiece takes another buffer now.
  bool Ready() const;
  // Buffers written to the earpiece and not yet played.
  int32_t Queued() const;
  // The audio in them (ms): the device's buffering ahead of what is written next.
  uint32_t QueuedMs() const;
  // Silence ahead of the audio, for the earpiece only; true when it took it.
  bool Lead(const uint8_t* Data, uint32_t Size);
  // Audio: to the earpiece (counted as played only when it took it), the
  // recording and the stream measurement.
  void Play(const uint8_t* Data, uint32_t Size);

private:
  TPlayer* const FPlayer;
  TTCPAudioMixer* const FMixer;
  TMesureStreams* const FMeasure;
  TDeviceActivity& FActivity;
  const bool FPlaying;
};

class TReceivePath {
public:
  virtual ~TReceivePath() = default;

  // Host thread, at the session's start and stop.
  virtual void Start() {}
  virtual void Stop() {}
  // Whether the codec should hold to one stream and renew our identity on a
  // new one (the fixed buffer), or take every stream (the adaptive one sorts
  // them out itself).
  virtual bool TracksStreams() const = 0;

  // Network thread: an accepted packet of Sender. True when its payload is
  // audio heard for the first time, which the received raw file takes.
  virtual bool Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) = 0;
  // Network thread: Sender has gone.
  virtual void Forget(int32_t) {}

  // Session thread: the event that wakes it for this path, how long it may
  // wait at most, and one pass of playing what is due.
  virtual Platform::TEvent& DataEvent() = 0;
  virtual uint32_t WaitMs(const TPlayout& Out, uint32_t Now) = 0;
  virtual void Play(TPlayout& Out) = 0;
  // A line for the measure file every ten seconds; empty for none.
  virtual std::string ReportLine() { return {}; }

  // Drops what waits (the session has stopped).
  virtual void Clear() = 0;
};
