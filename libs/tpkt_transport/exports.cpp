// The exports of the transport library: UDP and TCP servers on standalone Asio
// behind the C interface of tpkt_transport.h.
//
// Threads: one network thread (engine.h) serves every server of the process,
// and all callbacks into the program run on it. Because of that single thread,
// a callback that stops a server or disconnects a client never waits for
// another callback, and a stop from any other thread only has to wait until
// the network thread has closed the server's sockets: after that no callback
// for the server is issued.
//
// Sockets are touched only by the network thread, with two exceptions: a server
// opens and binds its socket on the starting thread before the network thread
// knows it, and sends go out directly on the sending thread (under the
// server's lock, which the close also takes).

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "errors.h"
#include "library.h"
#include "tpkt_transport.h"

using namespace TPKT;

namespace {

// Every export is a boundary: nothing thrown crosses it.
template <class F>
int32_t Guard(F&& Body) noexcept {
  try {
    return Body();
  } catch (const std::bad_alloc&) {
    return Fail(asio::error::no_memory);
  } catch (const std::system_error& E) {
    return Fail(E.code());
  } catch (...) {
    return Fail(asio::error::invalid_argument);
  }
}

bool ValidData(const void* Data, int32_t Size) { return Size >= 0 && (Data || Size == 0); }

}  // namespace

TPKT_EXPORT int32_t TPKT_CALL StartTPKTServer(const char* Params, int32_t Port,
                                              TTPKTDataCallback DataCallback,
                                              TTPKTDataCallback ClientDataCallback,
                                              TTPKTConnectCallback ConnectCallback,
                                              TTPKTConnectCallback DisconnectCallback) noexcept {
  return Guard([&] {
    TCallbacks Callbacks;
    Callbacks.Data = DataCallback;
    Callbacks.ClientData = ClientDataCallback;
    Callbacks.Connect = ConnectCallback;
    Callbacks.Disconnect = DisconnectCallback;
    return Library().Start(Params, Port, Callbacks);
  });
}

TPKT_EXPORT int32_t TPKT_CALL StopTPKTServer(int32_t ServerId) noexcept {
  return Guard([&] { return Library().Stop(ServerId); });
}

TPKT_EXPORT int32_t TPKT_CALL DisconnectClient(int32_t ServerId, int32_t ClientId) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    return Server ? Server->DisconnectClient(ClientId) : Fail(asio::error::invalid_argument);
  });
}

TPKT_EXPORT int32_t TPKT_CALL SendToAll(int32_t ServerId, const void* Data, int32_t Size) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    if (!Server || !ValidData(Data, Size)) return Fail(asio::error::invalid_argument);
    return Server->SendToAll(static_cast<const uint8_t*>(Data), static_cast<size_t>(Size));
  });
}

TPKT_EXPORT int32_t TPKT_CALL SendToClient(int32_t ServerId, int32_t ClientId, const void* Data,
                                           int32_t Size) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    if (!Server || !ValidData(Data, Size)) return Fail(asio::error::invalid_argument);
    return Server->SendToClient(ClientId, static_cast<const uint8_t*>(Data), static_cast<size_t>(Size));
  });
}

TPKT_EXPORT int32_t TPKT_CALL GetTPKTServerCounters(int32_t ServerId, TTPKTServerCounters* Counters,
                                                    int32_t Size) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    if (!Server || !Counters || Size < 0) return Fail(asio::error::invalid_argument);
    TTPKTServerCounters Now{};
    Now.ClientsDroppedSlow = Server->ClientsDroppedSlow();
    std::memcpy(Counters, &Now, std::min(sizeof Now, static_cast<size_t>(Size)));
    return 0;
  });
}

TPKT_EXPORT int32_t TPKT_CALL SendTo(int32_t ServerId, const char* Host, int32_t Port, const void* Data,
                                     int32_t Size) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    if (!Server || !Host || !ValidData(Data, Size)) return Fail(asio::error::invalid_argument);
    return Server->SendTo(Host, static_cast<uint16_t>(Port & 0xFFFF), static_cast<const uint8_t*>(Data),
                          static_cast<size_t>(Size));
  });
}
