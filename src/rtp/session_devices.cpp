#include "rtp/session_devices.h"

#include "log/log.h"
#include "platform/exception.h"

void TSessionDevices::ValidateLimits(bool Record, bool Play, const TPackets& Received, const TPackets& Sent) {
  constexpr int32_t DeviceBufferBytes = static_cast<int32_t>(TWaveDevice::BufferBytes);
  constexpr int32_t MaxCount = TWaveDevice::MaxBuffers;
  auto Refuse = [](const std::string& Why) {
    WriteLog("RTP session settings refused: " + Why);
    throw Exception("RTP session settings refused: " + Why);
  };
  if (Play && (Received.Count < 1 || Received.Count > MaxCount))
    Refuse(Format("ReceiveBufCount=%d is outside 1..%d", Received.Count, MaxCount));
  if (Play && int64_t{Received.Count} * Received.Bytes > DeviceBufferBytes)
    Refuse(Format("ReceiveBufCount=%d x %d bytes of ReceivePayloadTime=%d exceeds %d bytes", Received.Count,
                  Received.Bytes, Received.Ms, DeviceBufferBytes));
  if (Record && Sent.Bytes > DeviceBufferBytes)
    Refuse(Format("%d bytes of SendPayloadTime=%d exceed %d bytes", Sent.Bytes, Sent.Ms, DeviceBufferBytes));
  if (Sent.Bytes <= 0 || Received.Bytes <= 0)
    Refuse(Format("ReceivePayloadTime=%d and SendPayloadTime=%d must give at least one byte", Received.Ms, Sent.Ms));
}

void TDeviceActivity::Reset(uint32_t Now) {
  FCaptured = Now;
  FReceived = Now - StallMs;
  FPlayed = Now;
}

TDeviceState TDeviceActivity::Capture(bool Running, uint32_t Now) const {
  if (!Running) return TDeviceState::Missing;
  return Now - FCaptured > StallMs ? TDeviceState::Stalled : TDeviceState::Open;
}

TDeviceState TDeviceActivity::Playback(bool Running, uint32_t Now) const {
  if (!Running) return TDeviceState::Missing;
  return Now - FReceived <= StallMs && Now - FPlayed > StallMs ? TDeviceState::Stalled : TDeviceState::Open;
}

bool TSessionDevices::StartRecorder() {
  FRecorder = std::make_unique<TRecorder>(FRecorderSession);
  if (FRecorder->SelectDevice() == 0) FRecorder->Start();
  return FRecorder->Running();
}

bool TSessionDevices::StartPlayer() {
  FPlayer = std::make_unique<TPlayer>(FPlayerSession);
  // A player whose list named no device present plays nowhere rather than on
  // whatever device comes first (the room's speakers); an empty list has
  // always meant the first device, and still does.
  const int32_t Selected = FPlayer->SelectDevice();
  if (Selected == 0 || (Selected == -5 && FPlayer->FirstDeviceByDefault())) FPlayer->Start();
  return FPlayer->Running();
}

bool TSessionDevices::StopRecorder() {
  if (!FRecorder) return false;
  FRecorder->Stop();
  FRecorder.reset();
  return true;
}

bool TSessionDevices::StopPlayer() {
  if (!FPlayer) return false;
  FPlayer->Stop();
  FPlayer.reset();
  return true;
}

uint32_t TSessionDevices::Reopen(bool Record, bool Play) {
  uint32_t Reopened = 0;
  if (Record && !Recording()) {
    FRecorder.reset();
    StartRecorder();
    ++Reopened;
  }
  if (Play && !Playing()) {
    FPlayer.reset();
    StartPlayer();
    ++Reopened;
  }
  return Reopened;
}
