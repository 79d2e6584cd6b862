#pragma once
// TTCPAudioMixer: serves both directions of the conversation to local TCP
// clients as one two-channel A-law stream. Each direction is cut into chunks of
// 1000 bytes; a chunk of each is interleaved into a 2000-byte frame (received
// byte first in every pair) and sent to every client, unframed.
//
// The stream stays on the conversation's clock. While either direction
// carries audio, frames come at the audio's own rate: a direction that has
// nothing at that moment (a peer on hold, a player that stalls, a peer that
// only listens) is filled with A-law silence, and when it comes back it is
// placed beside the other direction's newest audio again. So the two halves of
// every frame hold audio of the same moment within one chunk, across pauses of
// any length. When neither direction has audio, nothing is sent; what is left
// of a last chunk goes out padded with silence once both have been quiet for a
// moment, so that a call's end is not held back until the next call.
//
// Threads: AddBuffer runs on the session thread, for both channels; the
// mixer's own thread builds and sends the frames; the transport library's
// network thread reports clients. One lock guards both channels.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "transport/tpkt_server.h"

// What the mixer has done since it was created.
struct TMixerStats {
  uint64_t FramesSent = 0;
  uint64_t SilenceBytes = 0;   // filled in for a direction that had no audio
  uint64_t DroppedBytes = 0;   // the oldest pending audio, over the bound
  uint32_t PendingBytes[2] = {0, 0};  // now, per channel
  int Clients = 0;                     // connected now
  uint64_t Connections = 0;            // accepted in all
  uint64_t DroppedSlow = 0;            // let go for having stopped reading
};

class TTCPAudioMixer : public Platform::TThread {
public:
  static constexpr uint32_t ChunkSize = 1000;  // 125 ms of 8000 Hz A-law
  static constexpr uint32_t FrameSize = 2 * ChunkSize;
  static constexpr uint8_t Silence = 0xD5;     // A-law zero
  // Pending audio per channel is bounded to two seconds; the oldest goes first.
  static constexpr uint32_t MaxPendingBytes = 16000;
  // A direction that lagged the other by this much (80 ms) when the other
  // completes a chunk is taken as silent at that moment. Far above what the
  // session's block sizes cause, far below what a listener notices as a gap.
  static constexpr uint32_t LagBytes = 640;
  // Both directions quiet this long: the last partial chunks go out padded.
  static constexpr uint32_t FlushAfterMs = 250;
  static constexpr uint32_t WaitTimeoutMs = 200;

  enum : uint8_t { SentChannel = 0, ReceivedChannel = 1 };

  // Starts listening on ListenIP:Port and the mixer thread. A server that
  // cannot start fails the construction with ETPKTServerError.
  TTCPAudioMixer(const std::string& ListenIP, uint16_t Port);
  ~TTCPAudioMixer() override;

  // Appends a block of one channel's stream. Nothing is stored while no client
  // is connected. Blocks of any length are taken.
  void AddBuffer(const void* Data, uint32_t Size, uint8_t Channel);

  int ClientCount() const { return FServer->ClientCount(); }
  TMixerStats Stats() const;

protected:
  void Execute() override;

private:
  // One direction's pending audio: a ring of MaxPendingBytes. Both rings
  // start at the same point of the stream (every frame takes a chunk of
  // each), so their counts compare positions.
  struct TChannel {
    TChannel();
    // Appends Size bytes of Data, or of silence when Data is null; the ring
    // must have room.
    void Append(const uint8_t* Data, uint32_t Size);
    void DropOldest(uint32_t Size);
    // Moves up to ChunkSize bytes into every other byte of Out (stride 2) and
    // fills the rest with silence; returns the silence bytes.
    uint32_t TakeChunk(uint8_t* Out);
    void Clear();

    std::unique_ptr<uint8_t[]> Ring;
    uint32_t Head = 0;   // the oldest byte
    uint32_t Count = 0;  // bytes pending
    // The direction was filled with silence (or has not started): its next
    // audio is placed beside the other direction's newest.
    bool Restart = true;
  };

  // Appends to one channel, making room within the bound in both (so that
  // they stay in step).
  void Append(uint8_t Channel, const uint8_t* Data, uint32_t Size) REQUIRES(FLock);
  // The next frame when both directions hold a chunk or, both quiet for
  // FlushAfterMs, what is left of their last chunks.
  bool TakeFrame(uint8_t* Frame) REQUIRES(FLock);
  bool FrameDue() const REQUIRES(FLock);
  void DiscardPending();

  std::unique_ptr<TTPKTServer> FServer;  // set by the constructor, freed after the thread ended
  mutable Platform::TMutex FLock;
  TChannel FChannels[2] GUARDED_BY(FLock);
  uint32_t FLastInputTick GUARDED_BY(FLock) = 0;
  TMixerStats FStats GUARDED_BY(FLock);
  Platform::TEvent FFrameDue{false, false};  // auto reset; set by AddBuffer when a frame is due
  std::atomic<bool> FDiscardPending{false};  // set by the last client's departure
  std::atomic<uint64_t> FConnections{0};
};
