// A UDP server: a remote endpoint becomes a client with its first datagram.
// Datagrams go out directly on the sending thread, under the server's lock,
// which the close also takes.

#include <map>
#include <optional>
#include <vector>

#include "errors.h"
#include "platform/mutex.h"
#include "raw_send.h"
#include "server.h"
#include "server_params.h"

namespace TPKT {

namespace {

using asio::ip::udp;

constexpr size_t UdpBufferSize = 65536;  // the largest datagram there is

class TUdpServer : public TServer {
public:
  TUdpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io)
      : TServer(Id, Callbacks, Io), FBuffer(UdpBufferSize) {
    FSocket.emplace(Io);
    FRetry.emplace(Io);
  }

  std::error_code Open(const asio::ip::address& Address, uint16_t Port) override {
    std::error_code Ec;
    const udp::endpoint Local(Address, Port);
    FSocket->open(Local.protocol(), Ec);
    if (!Ec) FSocket->bind(Local, Ec);
    if (Ec) {
      std::error_code Ignored;
      FSocket->close(Ignored);
      return Ec;
    }
    Platform::TLockGuard Guard(FLock);
    FHandle = FSocket->native_handle();
    FV6 = Local.protocol() == udp::v6();
    FOpen = true;
    return Ec;
  }

  void Begin() override { Receive(); }

  void Shutdown() override {
    std::map<int32_t, TPeer> Left;
    {
      Platform::TLockGuard Guard(FLock);
      FOpen = false;
      // The I/O objects go now, on this thread, while the engine surely lives.
      FSocket.reset();
      Left.swap(FPeers);
      FIdOf.clear();
    }
    FRetry.reset();
    for (const auto& [Id, Peer] : Left) ReportDisconnect(Id, Peer.Address, Peer.Port);
    FStopped = true;
  }

  int32_t SendToAll(const uint8_t* Data, size_t Size) override {
    const auto Announced = WaitForAnnouncements();
    Platform::TLockGuard Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    FSendList.clear();
    for (const auto& [Id, Peer] : FPeers)
      if (!Peer.Leaving) FSendList.push_back(&Peer.Endpoint);
    const int FirstError = RawSendToEach(FHandle, Data, Size, FSendList);
    return FirstError != 0 ? Fail(FirstError) : 0;
  }

  int32_t SendToClient(int32_t ClientId, const uint8_t* Data, size_t Size) override {
    const auto Announced = WaitForAnnouncements();
    Platform::TLockGuard Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    const auto It = FPeers.find(ClientId);
    if (It == FPeers.end() || It->second.Leaving) return Fail(asio::error::not_connected);
    const int Code = RawSendTo(FHandle, Data, Size, It->second.Endpoint);
    return Code != 0 ? Fail(Code) : 0;
  }

  int32_t SendTo(const std::string& Host, uint16_t Port, const uint8_t* Data, size_t Size) override {
    bool V6;
    {
      Platform::TLockGuard Guard(FLock);
      V6 = FV6;
    }
    udp::endpoint To;
    if (const std::error_code Ec = Resolve(Host, Port, V6, To)) return Fail(Ec);
    Platform::TLockGuard Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    const int Code = RawSendTo(FHandle, Data, Size, To);
    return Code != 0 ? Fail(Code) : 0;
  }

  int32_t DisconnectClient(int32_t ClientId) override {
    {
      Platform::TLockGuard Guard(FLock);
      const auto It = FPeers.find(ClientId);
      if (!FOpen || It == FPeers.end()) return Fail(asio::error::not_connected);
      if (It->second.Leaving) return 0;
      // From now on the peer gets nothing; the network thread forgets it and
      // reports it gone, never inside this call. Posted under FLock: the engine
      // lives at least until the shutdown has taken FLock.
      It->second.Leaving = true;
      auto Self = std::static_pointer_cast<TUdpServer>(shared_from_this());
      asio::post(FIo, [Self, ClientId] { Self->Forget(ClientId); });
    }
    return 0;
  }

private:
  struct TPeer {
    udp::endpoint Endpoint;
    std::string Address;
    uint16_t Port = 0;
    bool Leaving = false;  // DisconnectClient was called
  };

  static std::error_code Resolve(const std::string& HostText, uint16_t Port, bool V6, udp::endpoint& To) {
    const std::string Host = TPKT::StripAddress(HostText);
    std::error_code Ec;
    asio::ip::address A = asio::ip::make_address(Host, Ec);
    if (Ec) {
      // A host name: resolved on the calling thread.
      asio::io_context Io;
      udp::resolver Resolver(Io);
      const auto Results = Resolver.resolve(V6 ? udp::v6() : udp::v4(), Host, "", Ec);
      if (Ec) return Ec;
      if (Results.empty()) return asio::error::host_not_found;
      A = Results.begin()->endpoint().address();
    }
    if (V6 && A.is_v4())
      A = asio::ip::make_address_v6(asio::ip::v4_mapped, A.to_v4());
    else if (!V6 && A.is_v6() && A.to_v6().is_v4_mapped())
      A = asio::ip::make_address_v4(asio::ip::v4_mapped, A.to_v6());
    To = udp::endpoint(A, Port);
    return {};
  }

  void Receive() {
    if (!FSocket) return;
    auto Self = std::static_pointer_cast<TUdpServer>(shared_from_this());
    FSocket->async_receive_from(asio::buffer(FBuffer), FFrom,
                               [Self](const std::error_code& Ec, size_t Size) { Self->Received(Ec, Size); });
  }

  void Received(const std::error_code& Ec, size_t Size) {
    if (FStopped || Ec == asio::error::operation_aborted) return;
    if (!Ec) {
      Deliver(Size);
      if (FStopped) return;
      Receive();
    } else if (Ec == asio::error::connection_reset || Ec == asio::error::connection_refused ||
               Ec == asio::error::message_size || Ec == asio::error::network_reset) {
      // Windows reports an earlier send's ICMP reply here; the socket is fine.
      Receive();
    } else {
      // Anything else: try again a little later rather than spin.
      auto Self = std::static_pointer_cast<TUdpServer>(shared_from_this());
      FRetry->expires_after(std::chrono::milliseconds(50));
      FRetry->async_wait([Self](const std::error_code& E) {
        if (!E && !Self->FStopped) Self->Receive();
      });
    }
  }

  void Deliver(size_t Size) {
    int32_t Id = 0;
    int32_t GoneId = 0;
    TPeer Gone;
    bool IsNew = false;
    std::string Address;
    uint16_t Port = 0;
    auto Announcing = HoldAnnouncements();
    {
      Platform::TLockGuard Guard(FLock);
      const auto It = FIdOf.find(FFrom);
      if (It != FIdOf.end()) {
        const auto P = FPeers.find(It->second);
        if (P->second.Leaving) {
          // A disconnected peer talks again: finish its departure first, then
          // it comes back as a new client.
          GoneId = P->first;
          Gone = std::move(P->second);
          FPeers.erase(P);
          FIdOf.erase(It);
        } else {
          Id = P->first;
        }
      }
      if (Id == 0) {
        Id = NextFreeId(FNextClientId, FPeers);
        TPeer& Peer = FPeers[Id];
        Peer.Endpoint = FFrom;
        Peer.Address = AddressText(FFrom.address());
        Peer.Port = FFrom.port();
        FIdOf[FFrom] = Id;
        IsNew = true;
        Address = Peer.Address;
        Port = Peer.Port;
      }
    }
    if (GoneId != 0) {
      ReportDisconnect(GoneId, Gone.Address, Gone.Port);
      if (FStopped) return;
    }
    if (IsNew) {
      ReportConnect(Id, Address, Port);
      if (FStopped) return;
    }
    Announcing.unlock();
    ReportClientData(Id, FBuffer.data(), Size);
  }

  void Forget(int32_t ClientId) {
    if (FStopped) return;
    TPeer Peer;
    {
      Platform::TLockGuard Guard(FLock);
      const auto It = FPeers.find(ClientId);
      if (It == FPeers.end() || !It->second.Leaving) return;
      Peer = It->second;
      FIdOf.erase(Peer.Endpoint);
      FPeers.erase(It);
    }
    ReportDisconnect(ClientId, Peer.Address, Peer.Port);
  }

  std::optional<udp::socket> FSocket;  // receiving on the network thread; destroyed under FLock
  std::optional<asio::steady_timer> FRetry;  // network thread only
  udp::endpoint FFrom;         // network thread only
  std::vector<uint8_t> FBuffer;  // network thread only
  asio::detail::socket_type FHandle GUARDED_BY(FLock) = asio::detail::invalid_socket;  // (valid while FOpen)
  bool FV6 GUARDED_BY(FLock) = false;
  bool FOpen GUARDED_BY(FLock) = false;
  std::map<int32_t, TPeer> FPeers GUARDED_BY(FLock);
  std::map<udp::endpoint, int32_t> FIdOf GUARDED_BY(FLock);
  int32_t FNextClientId GUARDED_BY(FLock) = 1;
  std::vector<const udp::endpoint*> FSendList GUARDED_BY(FLock);  // SendToAll's addresses, kept to save allocating
};

}  // namespace

std::shared_ptr<TServer> MakeUdpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io) {
  return std::make_shared<TUdpServer>(Id, Callbacks, Io);
}

}  // namespace TPKT
