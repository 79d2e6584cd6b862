#pragma once
// The library's state: the running servers by id and the network thread that
// serves them.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine.h"
#include "platform/mutex.h"
#include "server.h"

namespace TPKT {

class TLibrary {
public:
  TLibrary() = default;
  // Unloading with servers still running: stops them as a stop would, but never
  // waits long (at process exit on Windows their thread may already be gone).
  ~TLibrary();
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  // The new server's id, or -1 with the last error set.
  int32_t Start(const char* ParamsText, int32_t Port, const TCallbacks& Callbacks);
  int32_t Stop(int32_t ServerId);
  std::shared_ptr<TServer> Find(int32_t ServerId);

private:
  // An engine with nothing left to run: joined now, or by a later call when
  // this is its own thread.
  void Retire(std::shared_ptr<TEngine> Engine);
  // Joins the retired engines (their threads have ended or are ending).
  void Reap();

  Platform::TMutex FLock;
  std::map<int32_t, std::shared_ptr<TServer>> FServers GUARDED_BY(FLock);
  std::shared_ptr<TEngine> FEngine GUARDED_BY(FLock);  // runs the live servers
  std::vector<std::shared_ptr<TEngine>> FRetired GUARDED_BY(FLock);  // ending on their own
  int32_t FNextServerId GUARDED_BY(FLock) = 1;
};

TLibrary& Library();

}  // namespace TPKT
