#include "rtp/send_path.h"

#include "config/start_values.h"
#include "log/log.h"
#include "mixer/tcp_audio_mixer.h"
#include "platform/byte_order.h"
#include "platform/exception.h"
#include "rtp/raw_files.h"
#include "rtp/session_srtp.h"
#include "transport/tpkt_server.h"

void TSendPath::Reset(std::chrono::microseconds Period, int32_t Burst) {
  FPacer.Reset(Period, Burst, std::chrono::steady_clock::now());
  FDropped = 0;
}

bool TSendPath::Send(const uint8_t* Data, uint32_t Size, TTPKTServer& Transport, TTCPAudioMixer* Mixer,
                     TRawFiles* Raw) {
  if (!FPacer.Take(std::chrono::steady_clock::now())) {
    ++FDropped;
    return false;
  }
  if (FDropped > 0) {
    if (DoLog) WriteLog(Format("Send burst after a stall: %d captured packets dropped", FDropped));
    FDropped = 0;
  }
  Build(Data, Size, Transport, Mixer, Raw);
  return true;
}

void TSendPath::Build(const uint8_t* Data, uint32_t Size, TTPKTServer& Transport, TTCPAudioMixer* Mixer,
                      TRawFiles* Raw) {
  try {
    uint32_t Length = FCodec.BuildPacket(Data, Size, FPacket);
    if (Length == 0) return;
    // The packet carries the block as it is: the recording and the raw file
    // take the same bytes.
    if (Size > 0) {
      if (Mixer) Mixer->AddBuffer(Data, Size, TTCPAudioMixer::SentChannel);
      if (Raw) Raw->Append(TRawFiles::TStream::Sent, Data, Size);
    }
    // Once for all peers. The start keeps room for the tag in the buffer.
    Length = FSrtp.Protect(FPacket.data(), Length, FPacket.size());
    if (Length == 0) return;
    const int Peers = Transport.ClientCount();
    if (Transport.SendToAll(FPacket.data(), Length)) {
      FLastSent = {Platform::GetBE32(FPacket.data() + 8), Platform::GetBE16(FPacket.data() + 2),
                   Platform::GetBE32(FPacket.data() + 4), Size};
      ++FPacketsSent;
      FBytesSent += uint64_t{Length} * static_cast<uint64_t>(Peers);
    }
  } catch (const Exception& E) {
    WriteLog("OnRecordWaveBuffer Exception: " + E.Message());
  }
}
