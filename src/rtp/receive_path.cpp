#include "rtp/receive_path.h"

#include "audio/mesure_streams.h"
#include "audio/player.h"
#include "mixer/tcp_audio_mixer.h"
#include "platform/clock.h"
#include "rtp/session_devices.h"

TPlayout::TPlayout(TPlayer* Player, TTCPAudioMixer* Mixer, TMesureStreams* Measure, TDeviceActivity& Activity)
    : FPlayer(Player), FMixer(Mixer), FMeasure(Measure), FActivity(Activity), FPlaying(Player && Player->Running()) {}

bool TPlayout::Ready() const { return FPlaying && FPlayer->IsReady(); }

int32_t TPlayout::Queued() const { return FPlaying ? FPlayer->QueuedCount() : 0; }

uint32_t TPlayout::QueuedMs() const { return FPlaying ? FPlayer->QueuedMs() : 0; }

bool TPlayout::Lead(const uint8_t* Data, uint32_t Size) {
  return FPlaying && FPlayer->Play(Data, static_cast<int32_t>(Size)) == 0;
}

void TPlayout::Play(const uint8_t* Data, uint32_t Size) {
  if (FPlaying && FPlayer->Play(Data, static_cast<int32_t>(Size)) == 0) FActivity.Played(Platform::TickCount(), Size);
  // The received raw file took this audio on arrival; the mixer's received
  // channel takes it here.
  if (FMixer) FMixer->AddBuffer(Data, Size, TTCPAudioMixer::ReceivedChannel);
  if (FMeasure) FMeasure->AddReceived(Size);
}
