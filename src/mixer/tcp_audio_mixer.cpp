#include "mixer/tcp_audio_mixer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "access/access_policy.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/mutex.h"

// ---- one direction's pending audio ------------------------------------------

TTCPAudioMixer::TChannel::TChannel() : Ring(new uint8_t[MaxPendingBytes]) {}

void TTCPAudioMixer::TChannel::Append(const uint8_t* Data, uint32_t Size) {
  const uint32_t Tail = (Head + Count) % MaxPendingBytes;
  const uint32_t First = std::min(Size, MaxPendingBytes - Tail);
  if (Data) {
    std::memcpy(Ring.get() + Tail, Data, First);
    std::memcpy(Ring.get(), Data + First, Size - First);
  } else {
    std::memset(Ring.get() + Tail, Silence, First);
    std::memset(Ring.get(), Silence, Size - First);
  }
  Count += Size;
}

void TTCPAudioMixer::TChannel::DropOldest(uint32_t Size) {
  Size = std::min(Size, Count);
  Count -= Size;
  Head = Count == 0 ? 0 : (Head + Size) % MaxPendingBytes;
}

uint32_t TTCPAudioMixer::TChannel::TakeChunk(uint8_t* Out) {
  const uint32_t N = std::min(Count, ChunkSize);
  const uint32_t First = std::min(N, MaxPendingBytes - Head);
  const uint8_t* Src = Ring.get() + Head;
  for (uint32_t I = 0; I < First; ++I) Out[2 * I] = Src[I];
  for (uint32_t I = First; I < N; ++I) Out[2 * I] = Ring[I - First];
  for (uint32_t I = N; I < ChunkSize; ++I) Out[2 * I] = Silence;
  Count -= N;
  Head = Count == 0 ? 0 : (Head + N) % MaxPendingBytes;
  return ChunkSize - N;
}

void TTCPAudioMixer::TChannel::Clear() {
  Head = 0;
  Count = 0;
  Restart = true;
}

// ---- the mixer ----------------------------------------------------------------

TTCPAudioMixer::TTCPAudioMixer(const std::string& ListenIP, uint16_t Port)
    : FServer(std::make_unique<TTPKTServer>()) {
  FServer->OnConnect() = [this](TTPKTServer* Sender, int32_t Id, const std::string& Address, int32_t ClientPort) {
    // A client the access policy does not name hears nothing: closed at once,
    // before any frame is queued for it.
    if (!AdmitRecordingClient(Address, ClientPort)) {
      Sender->DisconnectClient(Id);
      return;
    }
    ++FConnections;
    if (DoLog) WriteLog(Format("Mixer TCPConnect happend: %s:%d", Address.c_str(), ClientPort));
  };
  FServer->OnDisconnect() = [this](TTPKTServer* Sender, int32_t, const std::string& Address, int32_t ClientPort) {
    if (DoLog) WriteLog(Format("Mixer TCPDisconnect happend: %s:%d", Address.c_str(), ClientPort));
    // The leaving client still counts here. Audio held back for the last one
    // would reach the next client late and out of step: it goes.
    if (Sender->ClientCount() <= 1) FDiscardPending = true;
  };
  FServer->SetListenIP(ListenIP + ",NOTPKT=YES");
  FServer->SetPort(Port);
  FServer->SetActive(true);
  Resume();
}

TTCPAudioMixer::~TTCPAudioMixer() {
  // The thread uses the members below; it ends before any of them goes.
  Terminate();
  WaitFor();
  try {
    FServer->SetActive(false);
  } catch (const Exception& E) {
    WriteLog("TCPAudioMixer internal exception: " + E.Message());
  }
  FServer.reset();
}

TMixerStats TTCPAudioMixer::Stats() const {
  const uint64_t DroppedSlow = FServer->ClientsDroppedSlow();  // the library's lock, not under ours
  Platform::TLockGuard Guard(FLock);
  TMixerStats S = FStats;
  S.DroppedSlow = DroppedSlow;
  S.PendingBytes[SentChannel] = FChannels[SentChannel].Count;
  S.PendingBytes[ReceivedChannel] = FChannels[ReceivedChannel].Count;
  S.Clients = FServer->ClientCount();
  S.Connections = FConnections.load();
  return S;
}

void TTCPAudioMixer::Append(uint8_t Channel, const uint8_t* Data, uint32_t Size) {
  TChannel& Own = FChannels[Channel];
  if (Size > MaxPendingBytes) {  // only the newest part of a huge block can stay
    if (Data) Data += Size - MaxPendingBytes;
    FStats.DroppedBytes += Size - MaxPendingBytes;
    Size = MaxPendingBytes;
  }
  if (Own.Count + Size > MaxPendingBytes) {
    // The oldest goes first, from both directions alike.
    const uint32_t Over = Own.Count + Size - MaxPendingBytes;
    for (TChannel& C : FChannels) {
      FStats.DroppedBytes += std::min(Over, C.Count);
      C.DropOldest(Over);
    }
  }
  if (!Data) FStats.SilenceBytes += Size;
  Own.Append(Data, Size);
}

void TTCPAudioMixer::AddBuffer(const void* Data, uint32_t Size, uint8_t Channel) {
  if (!Data || Size == 0 || Channel > 1) return;
  if (FServer->ClientCount() == 0) return;
  const uint8_t OtherChannel = 1 - Channel;
  bool Due;
  {
    Platform::TLockGuard Guard(FLock);
    TChannel& Own = FChannels[Channel];
    TChannel& Other = FChannels[OtherChannel];
    FLastInputTick = Platform::TickCount();
    if (Own.Restart) {
      // Back (or new): this block ends beside the other direction's newest
      // audio. A block longer than the gap keeps all its bytes; the offset is
      // then at most the block's own length.
      Own.Restart = false;
      if (Other.Count > Own.Count + Size) Append(Channel, nullptr, Other.Count - Own.Count - Size);
    }
    const uint32_t Before = Own.Count;
    Append(Channel, static_cast<const uint8_t*>(Data), Size);
    // The other direction has nothing for a chunk this one completed, and
    // lagged by more than jitter before this block came: it is silent now.
    // (A long block arrives at once; only the time before it tells.)
    const uint32_t Complete = Own.Count / ChunkSize * ChunkSize;
    if (Complete > Other.Count && Before >= Other.Count + LagBytes) {
      Append(OtherChannel, nullptr, Complete - Other.Count);
      Other.Restart = true;
    }
    Due = FrameDue();
  }
  if (Due) FFrameDue.Set();
}

bool TTCPAudioMixer::FrameDue() const {
  return FChannels[SentChannel].Count >= ChunkSize && FChannels[ReceivedChannel].Count >= ChunkSize;
}

bool TTCPAudioMixer::TakeFrame(uint8_t* Frame) {
  if (!FrameDue()) {
    const bool Left = FChannels[SentChannel].Count > 0 || FChannels[ReceivedChannel].Count > 0;
    if (!Left || Platform::TickCount() - FLastInputTick < FlushAfterMs) return false;
  }
  // Received byte first in every pair.
  for (uint8_t Channel : {ReceivedChannel, SentChannel}) {
    const uint32_t Filled = FChannels[Channel].TakeChunk(Frame + (Channel == ReceivedChannel ? 0 : 1));
    if (Filled > 0) {
      FStats.SilenceBytes += Filled;
      FChannels[Channel].Restart = true;
    }
  }
  return true;
}

void TTCPAudioMixer::DiscardPending() {
  Platform::TLockGuard Guard(FLock);
  for (TChannel& C : FChannels) C.Clear();
}

void TTCPAudioMixer::Execute() {
  std::vector<uint8_t> Frame(FrameSize);
  while (KeepRunning()) {
    try {
      if (FDiscardPending && FServer->ClientCount() == 0) {
        FDiscardPending = false;
        DiscardPending();
      }
      uint32_t WaitMs = WaitTimeoutMs;
      {
        Platform::TLockGuard Guard(FLock);
        if (FChannels[SentChannel].Count > 0 || FChannels[ReceivedChannel].Count > 0) {
          const uint32_t Quiet = Platform::TickCount() - FLastInputTick;
          WaitMs = Quiet >= FlushAfterMs ? 0 : std::min(WaitMs, FlushAfterMs - Quiet);
        }
      }
      FFrameDue.Wait(WaitMs);
      for (;;) {
        {
          Platform::TLockGuard Guard(FLock);
          if (!TakeFrame(Frame.data())) break;
        }
        const bool Sent = FServer->SendToAll(Frame.data(), FrameSize);
        Platform::TLockGuard Guard(FLock);
        if (Sent) ++FStats.FramesSent;
      }
    } catch (const Exception& E) {
      WriteLog("TCPAudioMixer internal exception: " + E.Message());
    } catch (const std::exception& E) {
      // Not the program's own class, but the thread must go on all the same.
      WriteLog(std::string("TCPAudioMixer internal exception: ") + E.what());
    }
  }
}
