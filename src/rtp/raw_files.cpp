#include "rtp/raw_files.h"

#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/paths.h"

namespace {
// The raw file for a stream, named by the local time to the second; a file of
// that name (two starts in one second, the hour repeated when the clocks go
// back) is kept and the new one gets a counter: "RawRecv_..._1.raw".
std::unique_ptr<Platform::TWriteStream> CreateRawFile(const std::string& Dir, const char* Prefix) {
  const Platform::TLocalTime T = Platform::LocalNow();
  const std::string Base = (Dir.empty() ? Platform::ExeDir() : Dir) + Prefix +
                           Format("%04d_%02d_%02d_%02d%02d%02d", T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second);
  constexpr int MaxCounter = 9999;
  for (int N = 0; N <= MaxCounter; ++N)
    if (auto File = Platform::TWriteStream::CreateNew(Base + (N == 0 ? "" : Format("_%d", N)) + ".raw")) return File;
  throw Exception(Format("Cannot create file \"%s.raw\". %d files of that name exist", Base.c_str(), MaxCounter + 1));
}
}  // namespace

void TRawFiles::Open(const std::string& Dir) {
  Platform::TLockGuard Guard(FLock);
  FReceived = CreateRawFile(Dir, "RawRecv_");
  FSent = CreateRawFile(Dir, "RawSent_");
}

bool TRawFiles::Close() {
  Platform::TLockGuard Guard(FLock);
  const bool Opened = FReceived || FSent;
  FReceived.reset();
  FSent.reset();
  return Opened;
}

void TRawFiles::Append(TStream Stream, const void* Data, size_t Size) {
  Platform::TLockGuard Guard(FLock);
  const std::unique_ptr<Platform::TWriteStream>& File = Stream == TStream::Sent ? FSent : FReceived;
  if (File) File->Write(Data, Size);
}
