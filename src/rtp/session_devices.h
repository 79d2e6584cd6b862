#pragma once
// The session's two sound devices: the recorder (microphone) and the player
// (earpiece), how each is created and started, and the watchdog that opens
// again only the one that is not running. TDeviceActivity keeps when each last
// moved audio, from which the health of the bridge reads a device's state.
//
// Threads: TSessionDevices belongs to the session's processor lock (the host
// thread starts, stops and replaces the devices; the session thread plays on
// the player); TDeviceActivity is atomic and noted from any thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/player.h"
#include "audio/recorder.h"

// A device as the health of the bridge sees it: open and moving audio, not
// there (or not opened), or open but silent for a second while it should not be.
enum class TDeviceState : uint8_t { Open, Missing, Stalled };

class TDeviceActivity {
public:
  // A device that moved no audio for this long while it should have is stalled.
  static constexpr uint32_t StallMs = 1000;

  // The start: the devices count as having just moved audio, nothing received yet.
  void Reset(uint32_t Now);
  void Captured(uint32_t Now) { FCaptured = Now; }
  void Received(uint32_t Now) { FReceived = Now; }
  void Played(uint32_t Now, uint32_t Bytes) {
    FPlayed = Now;
    FPlayedBytes += Bytes;
  }
  uint32_t LastReceived() const { return FReceived; }
  uint64_t PlayedBytes() const { return FPlayedBytes; }

  TDeviceState Capture(bool Running, uint32_t Now) const;
  // A player plays only what comes: it is stalled when audio arrives and none
  // of it is played.
  TDeviceState Playback(bool Running, uint32_t Now) const;

private:
  std::atomic<uint32_t> FCaptured{0}, FReceived{0}, FPlayed{0};
  std::atomic<uint64_t> FPlayedBytes{0};  // received audio written to the earpiece
};

class TSessionDevices {
public:
  // One direction's packets as the settings give them.
  struct TPackets {
    int32_t Count;
    int32_t Bytes;
    uint16_t Ms;
  };
  // Settings that would overrun a device buffer or the player's ring are
  // refused before anything starts: logged, and raised as Exception.
  static void ValidateLimits(bool Record, bool Play, const TPackets& Received, const TPackets& Sent);

  TSessionDevices(TRecorderSession& RecorderSession, TPlayerSession& PlayerSession)
      : FRecorderSession(RecorderSession), FPlayerSession(PlayerSession) {}

  // Creates the device's processor, selects its device and opens it; true when
  // it runs.
  bool StartRecorder();
  bool StartPlayer();
  // Stops and frees it; true when there was one.
  bool StopRecorder();
  bool StopPlayer();
  // The watchdog: opens anew each enabled device that is not running, and
  // only that one (reopening a working device for the other's sake chops its
  // audio); how many it opened anew.
  uint32_t Reopen(bool Record, bool Play);

  bool Recording() const { return FRecorder && FRecorder->Running(); }
  bool Playing() const { return FPlayer && FPlayer->Running(); }
  TPlayer* Player() const { return FPlayer.get(); }

private:
  TRecorderSession& FRecorderSession;
  TPlayerSession& FPlayerSession;
  std::unique_ptr<TRecorder> FRecorder;
  std::unique_ptr<TPlayer> FPlayer;
};
