#pragma once
// What UDP and TCP servers share: the program's callbacks, the interface the
// library's state and exports use, and the id allocation.

#include <asio.hpp>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine.h"
#include "platform/mutex.h"
#include "tpkt_transport.h"

namespace TPKT {

struct TCallbacks {
  TTPKTDataCallback Data = nullptr;  // never called: all data belongs to clients
  TTPKTDataCallback ClientData = nullptr;
  TTPKTConnectCallback Connect = nullptr;
  TTPKTConnectCallback Disconnect = nullptr;
};

// The address as the program is told it; IPv4 peers of a dual-stack socket
// appear as IPv4.
std::string AddressText(const asio::ip::address& A);

// The next free id after Next (positive; after a wrap the ids still in use are
// skipped). Server and client ids alike.
template <class TMap>
int32_t NextFreeId(int32_t& Next, const TMap& InUse) {
  for (;;) {
    const int32_t Id = Next;
    Next = Next == INT32_MAX ? 1 : Next + 1;
    if (InUse.find(Id) == InUse.end()) return Id;
  }
}

class TServer : public std::enable_shared_from_this<TServer> {
public:
  TServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io)
      : FId(Id), FCallbacks(Callbacks), FIo(Io) {}
  virtual ~TServer() = default;
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  int32_t Id() const { return FId; }
  asio::io_context& Io() { return FIo; }

  // On the starting thread, before the network thread knows the server.
  virtual std::error_code Open(const asio::ip::address& Address, uint16_t Port) = 0;
  // On the network thread: start receiving.
  virtual void Begin() = 0;
  // On the network thread: report the clients gone, close everything; no
  // callback follows.
  virtual void Shutdown() = 0;

  // Any thread.
  virtual int32_t SendToAll(const uint8_t* Data, size_t Size) = 0;
  virtual int32_t SendToClient(int32_t ClientId, const uint8_t* Data, size_t Size) = 0;
  virtual int32_t SendTo(const std::string& Host, uint16_t Port, const uint8_t* Data, size_t Size) = 0;
  virtual int32_t DisconnectClient(int32_t ClientId) = 0;
  uint64_t ClientsDroppedSlow() const { return FClientsDroppedSlow.load(std::memory_order_relaxed); }

protected:
  // The callbacks, on the network thread only, never after the stop.
  void ReportConnect(int32_t ClientId, const std::string& Address, uint16_t Port) noexcept {
    if (FStopped || !FCallbacks.Connect) return;
    try {
      FCallbacks.Connect(FId, ClientId, Address.c_str(), Port);
    } catch (...) {
    }
  }
  void ReportDisconnect(int32_t ClientId, const std::string& Address, uint16_t Port) noexcept {
    if (FStopped || !FCallbacks.Disconnect) return;
    try {
      FCallbacks.Disconnect(FId, ClientId, Address.c_str(), Port);
    } catch (...) {
    }
  }
  void ReportClientData(int32_t ClientId, const uint8_t* Data, size_t Size) noexcept {
    if (FStopped || !FCallbacks.ClientData) return;
    try {
      FCallbacks.ClientData(FId, ClientId, Data, static_cast<int32_t>(Size));
    } catch (...) {
    }
  }

  // A new client is announced before anything is sent to it: the network
  // thread holds this from the client's entry into the table until its connect
  // callback has returned, and the sends of other threads wait for it, so that
  // the program can refuse the client from inside that callback before a byte
  // goes out. Only an order between threads, no data: a plain unique_lock.
  std::unique_lock<Platform::TMutex> HoldAnnouncements() { return std::unique_lock<Platform::TMutex>(FAnnounceLock); }
  std::unique_lock<Platform::TMutex> WaitForAnnouncements() {
    // On the network thread no announcement runs but the one this call may be
    // made from.
    TEngine* Engine = TEngine::OnThisThread();
    if (Engine && &Engine->Io() == &FIo) return {};
    return std::unique_lock<Platform::TMutex>(FAnnounceLock);
  }

  const int32_t FId;
  const TCallbacks FCallbacks;
  asio::io_context& FIo;  // the engine outlives every server it runs
  bool FStopped = false;  // network thread only
  Platform::TMutex FAnnounceLock ACQUIRED_BEFORE(FLock);  // see HoldAnnouncements
  Platform::TMutex FLock;  // guards what the sending threads share with the network thread
  std::atomic<uint64_t> FClientsDroppedSlow{0};  // clients let go for having stopped reading
};

std::shared_ptr<TServer> MakeUdpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io);
// NoTPKT: the bytes pass unframed both ways.
std::shared_ptr<TServer> MakeTcpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io,
                                       bool NoTPKT);

}  // namespace TPKT
