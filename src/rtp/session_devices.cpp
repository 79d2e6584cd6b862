#include "rtp/session_devices.h"

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
