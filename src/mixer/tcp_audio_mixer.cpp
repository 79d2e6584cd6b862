#include "mixer/tcp_audio_mixer.h"

#include <algorithm>
#include <cstring>

#include "access/access_policy.h"
#include "config/start_values.h"
#include "log/log.h"

TTCPAudioMixer::TTCPAudioMixer(const std::string& ListenIP, uint16_t Port)
    : FServer(std::make_unique<TTPKTServer>()) {
  FServer->OnConnect() = [](TTPKTServer* Sender, int32_t Id, const std::string& Address, int32_t ClientPort) {
    // A client the access policy does not name hears nothing: closed at once,
    // before any frame is queued for it.
    if (!AdmitRecordingClient(Address, ClientPort)) {
      Sender->DisconnectClient(Id);
      return;
    }
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

std::vector<uint32_t> TTCPAudioMixer::ChunkCounts(uint8_t Channel) const {
  std::lock_guard<std::mutex> Guard(FChannelLock[Channel & 1]);
  std::vector<uint32_t> Counts;
  for (const TMixerChunk& C : FChunks[Channel & 1]) Counts.push_back(C.Count);
  return Counts;
}

void TTCPAudioMixer::AppendChunks(uint8_t Channel, const uint8_t* Data, uint32_t Size) {
  while (Size > 0) {
    TMixerChunk Chunk;
    Chunk.Channel = Channel;
    Chunk.Data.reset(new uint8_t[ChunkSize]);
    Chunk.Count = std::min(Size, ChunkSize);
    std::memcpy(Chunk.Data.get(), Data, Chunk.Count);
    Data += Chunk.Count;
    Size -= Chunk.Count;
    const bool Complete = Chunk.Count == ChunkSize;
    FChunks[Channel].push_back(std::move(Chunk));
    if (Complete) FChunkCount[Channel].Release();
  }
}

uint32_t TTCPAudioMixer::FillNewest(uint8_t Channel, const uint8_t* Data, uint32_t Size) {
  TMixerChunk& Last = FChunks[Channel].back();
  const uint32_t N = std::min(ChunkSize - Last.Count, Size);
  std::memcpy(Last.Data.get() + Last.Count, Data, N);
  Last.Count += N;
  if (N > 0 && Last.Count == ChunkSize) FChunkCount[Channel].Release();
  return N;
}

void TTCPAudioMixer::AddBuffer(const void* Data, uint32_t Size, uint8_t Channel) {
  if (!Data || Size == 0 || Channel > 1) return;
  if (FServer->ClientCount() == 0) return;
  const uint8_t Own = Channel;
  const uint8_t Other = 1 - Channel;
  const uint8_t* Bytes = static_cast<const uint8_t*>(Data);
  std::deque<TMixerChunk>& List = FChunks[Own];

  {
    std::lock_guard<std::mutex> OwnGuard(FChannelLock[Own]);
    if (!List.empty()) {
      // Fill up the newest chunk first; what is left starts new chunks.
      const uint32_t N = FillNewest(Own, Bytes, Size);
      AppendChunks(Own, Bytes + N, Size - N);
      return;
    }
  }

  // The stream starts or restarts: align it with the other channel. Both
  // channels are locked, always in the same order whichever one is fed.
  std::lock_guard<std::mutex> Guard0(FChannelLock[0]);
  std::lock_guard<std::mutex> Guard1(FChannelLock[1]);
  uint32_t Skip = 0;
  if (List.empty()) {
    // The other channel's count, read without changing it. Mix cannot claim in
    // between: this channel's own count is 0.
    int32_t Backlog = 0;
    FChunkCount[Other].Release(&Backlog);
    FChunkCount[Other].TryTake();
    if (Backlog >= static_cast<int32_t>(BacklogLimit)) {
      std::deque<TMixerChunk>& OtherList = FChunks[Other];
      // A pair Mix has claimed but not removed yet stays at the front for it.
      const size_t Complete = static_cast<size_t>(std::count_if(
          OtherList.begin(), OtherList.end(), [](const TMixerChunk& C) { return C.Count == ChunkSize; }));
      const size_t Claimed = Complete > static_cast<size_t>(Backlog) ? Complete - Backlog : 0;
      OtherList.erase(OtherList.begin() + Claimed, OtherList.begin() + Claimed + Backlog);
      for (int32_t I = 0; I < Backlog; ++I) FChunkCount[Other].TryTake();
      if (!OtherList.empty() && OtherList.back().Count < ChunkSize) {
        TMixerChunk& Partial = OtherList.back();
        if (Partial.Count >= Size)
          Partial.Count = Size;  // its newer bytes go
        else
          Skip = Size - Partial.Count;  // only the newest bytes of this block stay
      }
    }
  } else {
    // Fed in the meantime by another thread (not in this program): append.
    Skip = FillNewest(Own, Bytes, Size);
  }
  AppendChunks(Own, Bytes + Skip, Size - Skip);
}

bool TTCPAudioMixer::Mix(uint8_t* Frame) {
  if (!Platform::TakeBoth(FChunkCount[SentChannel], FChunkCount[ReceivedChannel], WaitTimeoutMs)) return false;
  TMixerChunk Sent, Received;
  {
    std::lock_guard<std::mutex> Guard(FChannelLock[SentChannel]);
    if (!FChunks[SentChannel].empty()) {
      Sent = std::move(FChunks[SentChannel].front());
      FChunks[SentChannel].pop_front();
    }
  }
  {
    std::lock_guard<std::mutex> Guard(FChannelLock[ReceivedChannel]);
    if (!FChunks[ReceivedChannel].empty()) {
      Received = std::move(FChunks[ReceivedChannel].front());
      FChunks[ReceivedChannel].pop_front();
    }
  }
  for (uint32_t I = 0; I < ChunkSize; ++I) {
    if (Received.Data) Frame[2 * I] = Received.Data[I];
    if (Sent.Data) Frame[2 * I + 1] = Sent.Data[I];
  }
  return true;
}

void TTCPAudioMixer::DiscardPending() {
  for (uint8_t Channel : {SentChannel, ReceivedChannel}) {
    std::lock_guard<std::mutex> Guard(FChannelLock[Channel]);
    while (FChunkCount[Channel].TryTake()) {
    }
    FChunks[Channel].clear();
  }
}

void TTCPAudioMixer::Execute() {
  std::vector<uint8_t> Frame(FrameSize);
  while (KeepRunning()) {
    try {
      if (FDiscardPending && FServer->ClientCount() == 0) {
        FDiscardPending = false;
        DiscardPending();
      }
      if (Mix(Frame.data())) FServer->SendToAll(Frame.data(), FrameSize);
    } catch (const Exception& E) {
      WriteLog("TCPAudioMixer internal exception: " + E.Message());
    } catch (const std::exception& E) {
      // Not the program's own class, but the thread must go on all the same.
      WriteLog(std::string("TCPAudioMixer internal exception: ") + E.what());
    }
  }
}
