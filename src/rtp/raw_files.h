#pragma once
// TRawFiles: the raw stream files of a session with SaveWavData on, the
// received and the sent audio as headerless A-law, beside the executable (or in
// a folder of the caller's choice). A file of an earlier call is never written
// over. Safe from any thread: the received file is appended to on the network
// thread, the sent one on the session thread, and the host opens and closes
// them.

#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/mutex.h"

class TRawFiles {
public:
  enum class TStream { Received, Sent };

  // Creates both files, the received one first. Raises the file stream's
  // Exception when one cannot be created.
  void Open(const std::string& Dir) EXCLUDES(FLock);
  // Closes both; true when one was open.
  bool Close() EXCLUDES(FLock);
  // Appends to one file, if it is open.
  void Append(TStream Stream, const void* Data, size_t Size) EXCLUDES(FLock);

private:
  Platform::TMutex FLock;
  std::unique_ptr<Platform::TWriteStream> FReceived GUARDED_BY(FLock);
  std::unique_ptr<Platform::TWriteStream> FSent GUARDED_BY(FLock);
};
