// The system's wave devices on Linux, through ALSA.
//
// The devices of a direction are the sound cards' PCM devices in the system's
// order, each named by its card's name, followed by the PCMs that the ALSA
// configuration describes (its name hints; ALSA's own converters and
// placeholders left out), each named by the first line of its description.
// The mapper and the preferred device are ALSA's "default". WAVE_MAPPED opens a
// device through ALSA's plug layer, which converts to what the device takes.
//
// One thread per open device moves the audio; a device that fails for good
// (unplugged, its sound server gone) gives its buffers back and sends its close
// notification.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/wave.h"
#include "platform/wave_backend.h"

namespace Platform::Detail {

namespace {

// ALSA prints its own complaints (a sound server that is not running, a device
// that is gone) to standard error, which is the user's console; the backend
// reports failures through its result codes instead.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}
struct TQuietAlsa {
  TQuietAlsa() { snd_lib_error_set_handler(QuietAlsaError); }
} QuietAlsa;

struct TAlsaDevice {
  std::string Name;     // as the user sees it
  std::string Pcm;      // opened as it is
  std::string PlugPcm;  // opened with conversion
};

TMutex GDevicesLock;
std::array<std::vector<TAlsaDevice>, 2> GDevices GUARDED_BY(GDevicesLock);  // the latest look per direction
std::array<bool, 2> GLooked GUARDED_BY(GDevicesLock){};

const char* const MapperName = "Default ALSA device";

size_t Index(TWaveDir Dir) { return Dir == TWaveDir::In ? 0 : 1; }

// Configuration entries that are converters, placeholders or the default
// device itself rather than devices of their own.
bool Ignored(const std::string& Name) {
  static const char* const List[] = {"default", "sysdefault", "null",  "lavrate", "samplerate", "speexrate",
                                     "speex",   "upmix",      "vdownmix", "jack", "oss",        "dmix",
                                     "dsnoop",  "hw",         "plughw", "plug", "asym"};
  for (const char* N : List)
    if (Name == N) return true;
  return Name.rfind("lavrate", 0) == 0 || Name.rfind("samplerate", 0) == 0 || Name.rfind("speexrate", 0) == 0;
}

// Owners of what ALSA hands out while the devices are looked for.
struct TCtlClose {
  void operator()(snd_ctl_t* Ctl) const { snd_ctl_close(Ctl); }
};
struct THintsFree {
  void operator()(void** Hints) const { snd_device_name_free_hint(Hints); }
};
struct TTextFree {
  void operator()(char* Text) const { free(Text); }
};
using TText = std::unique_ptr<char, TTextFree>;

std::vector<TAlsaDevice> LookForDevices(TWaveDir Dir) {
  std::vector<TAlsaDevice> Result;
  const snd_pcm_stream_t Stream = Dir == TWaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;

  int Card = -1;
  while (snd_card_next(&Card) == 0 && Card >= 0) {
    snd_ctl_t* RawCtl = nullptr;
    const std::string CtlName = "hw:" + std::to_string(Card);
    if (snd_ctl_open(&RawCtl, CtlName.c_str(), 0) < 0) continue;
    const std::unique_ptr<snd_ctl_t, TCtlClose> Ctl(RawCtl);
    snd_ctl_card_info_t* Info;
    snd_ctl_card_info_alloca(&Info);
    char* RawCardName = nullptr;
    if (snd_ctl_card_info(Ctl.get(), Info) < 0 || snd_card_get_name(Card, &RawCardName) < 0) continue;
    const TText CardName(RawCardName);
    const std::string Id = snd_ctl_card_info_get_id(Info);
    int Device = -1;
    while (snd_ctl_pcm_next_device(Ctl.get(), &Device) == 0 && Device >= 0) {
      snd_pcm_info_t* PcmInfo;
      snd_pcm_info_alloca(&PcmInfo);
      snd_pcm_info_set_device(PcmInfo, static_cast<unsigned>(Device));
      snd_pcm_info_set_subdevice(PcmInfo, 0);
      snd_pcm_info_set_stream(PcmInfo, Stream);
      if (snd_ctl_pcm_info(Ctl.get(), PcmInfo) < 0) continue;  // no such direction
      const std::string Where = "CARD=" + Id + ",DEV=" + std::to_string(Device);
      Result.push_back({CardName.get(), "hw:" + Where, "plughw:" + Where});
    }
  }

  void** RawHints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &RawHints) >= 0) {
    const std::unique_ptr<void*, THintsFree> Hints(RawHints);
    const char* Wanted = Dir == TWaveDir::In ? "Input" : "Output";
    for (void** H = Hints.get(); *H != nullptr; ++H) {
      const TText Name(snd_device_name_get_hint(*H, "NAME"));
      const TText Desc(snd_device_name_get_hint(*H, "DESC"));
      const TText IoId(snd_device_name_get_hint(*H, "IOID"));
      if (Name && std::strchr(Name.get(), ':') == nullptr && !Ignored(Name.get()) &&
          (!IoId || std::strcmp(IoId.get(), Wanted) == 0)) {
        std::string Shown = Desc ? Desc.get() : Name.get();
        Shown = Shown.substr(0, Shown.find('\n'));
        Result.push_back({Shown, Name.get(), std::string("plug:") + Name.get()});
      }
    }
  }
  return Result;
}

// The device of an identifier in the latest look (taking one if there is none).
bool DeviceOf(TWaveDir Dir, uint32_t DeviceId, TAlsaDevice& Device) {
  TLockGuard L(GDevicesLock);
  if (!GLooked[Index(Dir)]) {
    GDevices[Index(Dir)] = LookForDevices(Dir);
    GLooked[Index(Dir)] = true;
  }
  const auto& List = GDevices[Index(Dir)];
  if (DeviceId >= List.size()) return false;
  Device = List[DeviceId];
  return true;
}

// An open PCM, closed with its owner.
struct TPcmClose {
  void operator()(snd_pcm_t* Pcm) const { snd_pcm_close(Pcm); }
};
using TPcm = std::unique_ptr<snd_pcm_t, TPcmClose>;

MMRESULT OpenError(int Err) {
  switch (-Err) {
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED:
      return MMSYSERR_NODRIVER;
    default:
      return MMSYSERR_ERROR;
  }
}

bool AlsaFormat(const TWaveFormat& F, snd_pcm_format_t& Out) {
  if (F.wFormatTag == WaveFormatALaw && F.wBitsPerSample == 8)
    Out = SND_PCM_FORMAT_A_LAW;
  else if (F.wFormatTag == 7 && F.wBitsPerSample == 8)
    Out = SND_PCM_FORMAT_MU_LAW;
  else if (F.wFormatTag == 1 && F.wBitsPerSample == 16)
    Out = SND_PCM_FORMAT_S16_LE;
  else if (F.wFormatTag == 1 && F.wBitsPerSample == 8)
    Out = SND_PCM_FORMAT_U8;
  else
    return false;
  return F.nBlockAlign == F.nChannels * F.wBitsPerSample / 8 &&
         F.nAvgBytesPerSec == F.nSamplesPerSec * F.nBlockAlign;
}

class TAlsaStream final : public TWaveStream {
public:
  TAlsaStream(TWaveDir Dir, TWaveCallback Callback, uintptr_t Instance, TPcm Pcm, uint32_t FrameBytes)
      : TWaveStream(Dir, Callback, Instance), FPcm(std::move(Pcm)), FFrameBytes(FrameBytes) {}

  // The device thread ends before the PCM closes.
  ~TAlsaStream() override { StopThread(); }

protected:
  TPump Pump(TUniqueLock& L) override REQUIRES(FLock) {
    WAVEHDR* H = Front();
    if (Dir() == TWaveDir::In ? !Started() : H == nullptr) {
      FWake.wait(L.Native());
      return TPump::Going;
    }
    // The device thread alone takes headers off the queue, so H stays the
    // front header while FLock is released for the device's own waits.
    FLock.Unlock();
    const bool Ok = Dir() == TWaveDir::In ? Capture(H) : Playback(H);
    FLock.Lock();
    if (!Ok) return TPump::Lost;
    if (H != nullptr && (Dir() == TWaveDir::In ? H->dwBytesRecorded >= H->dwBufferLength : FWritten >= H->dwBufferLength)) {
      FWritten = 0;
      Complete();
    }
    return TPump::Going;
  }

  MMRESULT OnStart() override REQUIRES(FLock) {
    const snd_pcm_state_t State = snd_pcm_state(FPcm.get());
    if (State != SND_PCM_STATE_PREPARED && snd_pcm_prepare(FPcm.get()) < 0) return MMSYSERR_NODRIVER;
    return snd_pcm_start(FPcm.get()) < 0 ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
  }

  void OnStop() override REQUIRES(FLock) {
    snd_pcm_drop(FPcm.get());
    snd_pcm_prepare(FPcm.get());
    FWritten = 0;
  }

  void OnClose() override { FPcm.reset(); }

private:
  static constexpr int WaitMs = 20;  // bounds how long a reset or close waits for the device thread

  // Mends an overrun, an underrun or a suspension; false when the device is gone.
  bool Recover(int Err) {
    if (Err == -EAGAIN || Err == -EINTR) return true;
    if (Err != -EPIPE && Err != -ESTRPIPE) return false;
    if (snd_pcm_recover(FPcm.get(), Err, 1) < 0) return false;
    return Dir() == TWaveDir::Out || snd_pcm_start(FPcm.get()) >= 0;
  }

  bool Capture(WAVEHDR* H) {
    const int W = snd_pcm_wait(FPcm.get(), WaitMs);
    if (W < 0) return Recover(W);
    if (W == 0) return true;
    char* To = FScratch.data();
    size_t Room = FScratch.size();
    if (H != nullptr) {
      To = H->lpData + H->dwBytesRecorded;
      Room = H->dwBufferLength - H->dwBytesRecorded;
    }
    const snd_pcm_sframes_t N = snd_pcm_readi(FPcm.get(), To, Room / FFrameBytes);
    if (N < 0) return Recover(static_cast<int>(N));
    if (H != nullptr) H->dwBytesRecorded += static_cast<uint32_t>(N) * FFrameBytes;
    return true;
  }

  bool Playback(WAVEHDR* H) {
    const int W = snd_pcm_wait(FPcm.get(), WaitMs);
    if (W < 0) return Recover(W);
    if (W == 0) return true;
    const snd_pcm_sframes_t N =
        snd_pcm_writei(FPcm.get(), H->lpData + FWritten, (H->dwBufferLength - FWritten) / FFrameBytes);
    if (N < 0) return Recover(static_cast<int>(N));
    FWritten += static_cast<uint32_t>(N) * FFrameBytes;
    // A tail shorter than a frame cannot be played.
    if (H->dwBufferLength - FWritten < FFrameBytes) FWritten = H->dwBufferLength;
    return true;
  }

  TPcm FPcm;                   // used by the device thread, and under FLock while it waits
  const uint32_t FFrameBytes;
  uint32_t FWritten = 0;       // device thread: bytes of the front playback header written
  std::array<char, 4096> FScratch{};  // device thread: capture with no buffer queued is dropped here
};

MMRESULT Configure(snd_pcm_t* Pcm, const TWaveFormat& F, TWaveDir Dir, bool Convert) {
  snd_pcm_format_t Format;
  if (!AlsaFormat(F, Format)) return WAVERR_BADFORMAT;
  snd_pcm_hw_params_t* Hw;
  snd_pcm_hw_params_alloca(&Hw);
  if (snd_pcm_hw_params_any(Pcm, Hw) < 0) return MMSYSERR_ERROR;
  snd_pcm_hw_params_set_rate_resample(Pcm, Hw, Convert ? 1 : 0);
  if (snd_pcm_hw_params_set_access(Pcm, Hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      snd_pcm_hw_params_set_format(Pcm, Hw, Format) < 0 ||
      snd_pcm_hw_params_set_channels(Pcm, Hw, F.nChannels) < 0 ||
      snd_pcm_hw_params_set_rate(Pcm, Hw, F.nSamplesPerSec, 0) < 0)
    return WAVERR_BADFORMAT;
  // Periods of 20 ms; a deeper ring for capture, which must not overrun, than
  // for playback, whose ring is the delay the listener hears.
  snd_pcm_uframes_t Period = std::max<snd_pcm_uframes_t>(F.nSamplesPerSec / 50, 1);
  int DirHint = 0;
  snd_pcm_hw_params_set_period_size_near(Pcm, Hw, &Period, &DirHint);
  snd_pcm_uframes_t Buffer = Period * (Dir == TWaveDir::In ? 10 : 4);
  snd_pcm_hw_params_set_buffer_size_near(Pcm, Hw, &Buffer);
  if (snd_pcm_hw_params(Pcm, Hw) < 0) return WAVERR_BADFORMAT;

  snd_pcm_sw_params_t* Sw;
  snd_pcm_sw_params_alloca(&Sw);
  snd_pcm_sw_params_current(Pcm, Sw);
  snd_pcm_get_params(Pcm, &Buffer, &Period);
  snd_pcm_sw_params_set_avail_min(Pcm, Sw, Period);
  if (Dir == TWaveDir::Out) snd_pcm_sw_params_set_start_threshold(Pcm, Sw, Period);
  if (snd_pcm_sw_params(Pcm, Sw) < 0) return MMSYSERR_ERROR;
  return MMSYSERR_NOERROR;
}

}  // namespace

uint32_t SystemWaveNumDevs(TWaveDir Dir, bool Refresh) {
  TLockGuard L(GDevicesLock);
  if (Refresh || !GLooked[Index(Dir)]) {
    GDevices[Index(Dir)] = LookForDevices(Dir);
    GLooked[Index(Dir)] = true;
  }
  return static_cast<uint32_t>(GDevices[Index(Dir)].size());
}

MMRESULT SystemWaveGetDevCaps(TWaveDir Dir, uint32_t DeviceId, TWaveCaps* Caps) {
  if (DeviceId == WAVE_MAPPER) {
    CopyProductName(MapperName, Caps);
    return MMSYSERR_NOERROR;
  }
  TAlsaDevice D;
  if (!DeviceOf(Dir, DeviceId, D)) return MMSYSERR_BADDEVICEID;
  CopyProductName(D.Name, Caps);
  return MMSYSERR_NOERROR;
}

MMRESULT SystemWavePreferred(TWaveDir, uint32_t* DeviceId, uint32_t* Status) {
  // ALSA's "default" is the preferred device, and it is reached only through
  // the mapper.
  *DeviceId = WAVE_MAPPER;
  *Status = 0;
  return MMSYSERR_NOERROR;
}

MMRESULT SystemWaveOpen(TWaveDir Dir, uint32_t DeviceId, const TWaveFormat& Format, TWaveCallback Callback,
                        uintptr_t Instance, uint32_t Flags, TOpenedDevice& Opened) {
  std::string Name = "default";
  if (DeviceId != WAVE_MAPPER) {
    TAlsaDevice D;
    if (!DeviceOf(Dir, DeviceId, D)) return MMSYSERR_BADDEVICEID;
    Name = (Flags & WAVE_MAPPED) ? D.PlugPcm : D.Pcm;
  }
  snd_pcm_t* Raw = nullptr;
  const int Err = snd_pcm_open(&Raw, Name.c_str(), Dir == TWaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                               SND_PCM_NONBLOCK);
  if (Err < 0) return OpenError(Err);
  TPcm Pcm(Raw);
  if (const MMRESULT R = Configure(Pcm.get(), Format, Dir, DeviceId == WAVE_MAPPER || (Flags & WAVE_MAPPED))) return R;
  Opened.Stream = std::make_shared<TAlsaStream>(Dir, Callback, Instance, std::move(Pcm), Format.nBlockAlign);
  return MMSYSERR_NOERROR;
}

// Every open device here is a stream of the port; no other handle is valid.
MMRESULT SystemWaveHandlePrepare(TWaveDir, TWaveHandle, WAVEHDR*, uint32_t) { return MMSYSERR_INVALHANDLE; }
MMRESULT SystemWaveHandleUnprepare(TWaveDir, TWaveHandle, WAVEHDR*, uint32_t) { return MMSYSERR_INVALHANDLE; }
MMRESULT SystemWaveHandleQueue(TWaveDir, TWaveHandle, WAVEHDR*, uint32_t) { return MMSYSERR_INVALHANDLE; }
MMRESULT SystemWaveHandleStart(TWaveHandle) { return MMSYSERR_INVALHANDLE; }
MMRESULT SystemWaveHandleReset(TWaveDir, TWaveHandle) { return MMSYSERR_INVALHANDLE; }
MMRESULT SystemWaveHandleClose(TWaveDir, TWaveHandle) { return MMSYSERR_INVALHANDLE; }

MMRESULT SystemWaveErrorText(TWaveDir, MMRESULT Code, char* Text, uint32_t Size) {
  const char* Message;
  MMRESULT Result = MMSYSERR_NOERROR;
  switch (Code) {
    case MMSYSERR_NOERROR: Message = "No error."; break;
    case MMSYSERR_ERROR: Message = "Unspecified error."; break;
    case MMSYSERR_BADDEVICEID: Message = "The device identifier is out of range."; break;
    case MMSYSERR_NOTENABLED: Message = "The driver could not be enabled."; break;
    case MMSYSERR_ALLOCATED: Message = "The device is already in use."; break;
    case MMSYSERR_INVALHANDLE: Message = "The device handle is invalid."; break;
    case MMSYSERR_NODRIVER: Message = "The device is not present."; break;
    case MMSYSERR_NOMEM: Message = "Not enough memory."; break;
    case MMSYSERR_NOTSUPPORTED: Message = "The function is not supported."; break;
    case MMSYSERR_INVALFLAG: Message = "An invalid flag was given."; break;
    case MMSYSERR_INVALPARAM: Message = "An invalid parameter was given."; break;
    case WAVERR_BADFORMAT: Message = "The wave format is not supported by the device."; break;
    case WAVERR_STILLPLAYING: Message = "Buffers are still queued on the device."; break;
    case WAVERR_UNPREPARED: Message = "The wave header is not prepared."; break;
    default:
      Message = "Unknown error code.";
      Result = MMSYSERR_BADERRNUM;
  }
  const size_t N = std::min<size_t>(std::strlen(Message), Size - 1);
  std::memcpy(Text, Message, N);
  Text[N] = '\0';
  return Result;
}

}  // namespace Platform::Detail
