#pragma once
// TTCPAudioMixer: serves both directions of the conversation to local TCP
// clients as one two-channel A-law stream. Each direction is cut into chunks of
// 1000 bytes; the oldest chunk of each is interleaved into a 2000-byte frame
// (received byte first in every pair) and sent to every client, unframed.
//
// Threads: AddBuffer runs on the session thread, for both channels; the
// mixer's own thread pairs and sends; the transport's threads report clients.
// Where both channel locks are held (aligning a stream that starts), they are
// taken in channel order; the mixer thread never holds both.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"
#include "transport/tpkt_server.h"

// A piece of one channel's stream; complete when Count reaches the chunk size.
struct TMixerChunk {
  uint32_t Count = 0;              // bytes filled
  uint8_t Channel = 0;             // the channel it belongs to
  std::unique_ptr<uint8_t[]> Data;  // chunk size bytes, not zeroed
};

class TTCPAudioMixer : public Platform::TThread {
public:
  static constexpr uint32_t ChunkSize = 1000;  // 125 ms of 8000 Hz A-law
  static constexpr uint32_t FrameSize = 2 * ChunkSize;
  static constexpr uint32_t BacklogLimit = 10;  // complete chunks (1.25 s)
  static constexpr uint32_t WaitTimeoutMs = 200;

  enum : uint8_t { SentChannel = 0, ReceivedChannel = 1 };

  // Starts listening on ListenIP:Port and the mixer thread. A server that
  // cannot start fails the construction with ETPKTServerError.
  TTCPAudioMixer(const std::string& ListenIP, uint16_t Port);
  ~TTCPAudioMixer() override;

  // Appends a block of one channel's stream. Nothing is stored while no client
  // is connected. Blocks longer than a chunk are spread over several chunks.
  void AddBuffer(const void* Data, uint32_t Size, uint8_t Channel);

  int ClientCount() const { return FServer->ClientCount(); }
  // The fill counts of a channel's pending chunks, oldest first (diagnostics).
  std::vector<uint32_t> ChunkCounts(uint8_t Channel) const;

protected:
  void Execute() override;

private:
  // Pairs the oldest complete chunk of each channel into Frame; false when
  // none came within the wait time-out.
  bool Mix(uint8_t* Frame);
  // Drops every pending chunk (when the last client has gone).
  void DiscardPending();
  // Appends bytes to a channel as new chunks; called with its lock held.
  void AppendChunks(uint8_t Channel, const uint8_t* Data, uint32_t Size);
  // Fills up the channel's newest chunk (the list is not empty); returns the
  // bytes taken. Called with its lock held.
  uint32_t FillNewest(uint8_t Channel, const uint8_t* Data, uint32_t Size);

  std::unique_ptr<TTPKTServer> FServer;  // set by the constructor, freed after the thread ended
  mutable std::mutex FChannelLock[2];
  std::deque<TMixerChunk> FChunks[2];  // guarded by FChannelLock[i]
  // Complete chunks of each channel that Mix has not claimed yet (semaphores
  // synchronise themselves).
  Platform::TSemaphore FChunkCount[2]{{0, 2147483647}, {0, 2147483647}};
  std::atomic<bool> FDiscardPending{false};  // set by the last client's departure
};
