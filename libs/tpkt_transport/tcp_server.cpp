// A TCP server: every connection is a client. A slow client never holds up the
// sender or the other clients: every client has its own queue of outgoing
// packets, written asynchronously, and a client whose queue would pass
// MaxQueuedBytes is disconnected.

#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "errors.h"
#include "server.h"
#include "tpkt_framing.h"

namespace TPKT {

namespace {

using asio::ip::tcp;

// Bytes a TCP client may have waiting (the packet being written included)
// before it is dropped: two seconds of the mixer's 16000-byte-per-second
// stream. The kernel's socket buffers hold more on top, so a client has to stall
// well beyond a hiccup before this bound is reached.
constexpr size_t MaxQueuedBytes = 32000;

constexpr size_t TcpReadSize = 16384;

class TTcpServer : public TServer {
public:
  TTcpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io, bool NoTPKT)
      : TServer(Id, Callbacks, Io), FNoTPKT(NoTPKT) {
    FAcceptor.emplace(Io);
    FRetry.emplace(Io);
  }

  std::error_code Open(const asio::ip::address& Address, uint16_t Port) override {
    std::error_code Ec;
    const tcp::endpoint Local(Address, Port);
    FAcceptor->open(Local.protocol(), Ec);
#if !defined(_WIN32)
    // Lets a restarted server take its port back from connections in TIME_WAIT
    // (on Windows the same option would let a second server share the port).
    if (!Ec) FAcceptor->set_option(tcp::acceptor::reuse_address(true), Ec);
#endif
    if (!Ec) FAcceptor->bind(Local, Ec);
    if (!Ec) FAcceptor->listen(asio::socket_base::max_listen_connections, Ec);
    if (Ec) {
      std::error_code Ignored;
      FAcceptor->close(Ignored);
      return Ec;
    }
    std::lock_guard<std::mutex> Guard(FLock);
    FOpen = true;
    return Ec;
  }

  void Begin() override { Accept(); }

  void Shutdown() override {
    std::vector<std::shared_ptr<TClient>> Left;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      FOpen = false;
      for (const auto& [Id, Client] : FClients) Left.push_back(Client);
    }
    // The I/O objects go now, on this thread, while the engine surely lives.
    FAcceptor.reset();
    FRetry.reset();
    for (const auto& Client : Left) Close(Client);
    FStopped = true;
  }

  int32_t SendToAll(const uint8_t* Data, size_t Size) override { return Send(nullptr, Data, Size); }

  int32_t SendToClient(int32_t ClientId, const uint8_t* Data, size_t Size) override {
    return Send(&ClientId, Data, Size);
  }

  int32_t SendTo(const std::string&, uint16_t, const uint8_t*, size_t) override {
    return Fail(asio::error::operation_not_supported);  // a datagram needs a UDP server
  }

  int32_t DisconnectClient(int32_t ClientId) override {
    std::shared_ptr<TClient> Client;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      const auto It = FClients.find(ClientId);
      if (!FOpen || It == FClients.end()) return Fail(asio::error::not_connected);
      if (It->second->Leaving) return 0;
      It->second->Leaving = true;
      Client = It->second;
      // Closed and reported on the network thread, never inside this call.
      // Posted under FLock: the engine lives at least until the shutdown has
      // taken FLock.
      auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
      asio::post(FIo, [Self, Client] { Self->Close(Client); });
    }
    return 0;
  }

private:
  using TPacket = std::shared_ptr<const std::vector<uint8_t>>;

  struct TClient {
    explicit TClient(tcp::socket S) : Socket(std::move(S)) {}
    std::optional<tcp::socket> Socket;  // network thread only; destroyed by Close
    int32_t Id = 0;      // set before the client is shared
    std::string Address;
    uint16_t Port = 0;
    bool Closed = false;                  // network thread only
    std::vector<uint8_t> ReadBuffer;      // network thread only
    TPKT::TTpktReader Reader;             // network thread only
    std::deque<TPacket> Queue;            // guarded by the server's FLock
    size_t QueuedBytes = 0;               // guarded by the server's FLock
    bool Writing = false;                 // guarded by the server's FLock: a write is under way or posted
    bool Leaving = false;                 // guarded by the server's FLock: being disconnected
  };

  void Accept() {
    if (!FAcceptor) return;
    auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
    FAcceptor->async_accept([Self](const std::error_code& Ec, tcp::socket Socket) {
      Self->Accepted(Ec, std::move(Socket));
    });
  }

  void Accepted(const std::error_code& Ec, tcp::socket Socket) {
    if (FStopped || Ec == asio::error::operation_aborted) return;
    if (Ec) {
      // Out of descriptors or the like: try again a little later rather than spin.
      auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
      FRetry->expires_after(std::chrono::milliseconds(100));
      FRetry->async_wait([Self](const std::error_code& E) {
        if (!E && !Self->FStopped) Self->Accept();
      });
      return;
    }
    std::error_code Ignored;
    Socket.set_option(tcp::no_delay(true), Ignored);  // frames go out as they come
    const tcp::endpoint Remote = Socket.remote_endpoint(Ignored);
    auto Client = std::make_shared<TClient>(std::move(Socket));
    Client->Address = AddressText(Remote.address());
    Client->Port = Remote.port();
    Client->ReadBuffer.resize(TcpReadSize);
    {
      std::lock_guard<std::mutex> Guard(FLock);
      Client->Id = NextFreeId(FNextFreeId, FClients);
      FClients[Client->Id] = Client;
    }
    ReportConnect(Client->Id, Client->Address, Client->Port);
    if (FStopped) return;
    Read(Client);
    Accept();
  }

  void Read(const std::shared_ptr<TClient>& Client) {
    auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
    Client->Socket->async_read_some(asio::buffer(Client->ReadBuffer),
                                   [Self, Client](const std::error_code& Ec, size_t Size) {
                                     Self->ReadDone(Client, Ec, Size);
                                   });
  }

  void ReadDone(const std::shared_ptr<TClient>& Client, const std::error_code& Ec, size_t Size) {
    if (FStopped || Client->Closed) return;
    if (Ec) {
      Close(Client);  // the peer closed or the connection broke
      return;
    }
    const uint8_t* Data = Client->ReadBuffer.data();
    if (FNoTPKT) {
      ReportClientData(Client->Id, Data, Size);
    } else {
      const bool Valid = Client->Reader.Feed(Data, Size, [&](const uint8_t* Payload, size_t Len) {
        ReportClientData(Client->Id, Payload, Len);
        return !FStopped && !Client->Closed;
      });
      if (!Valid) {
        Close(Client);  // not a TPKT stream: nothing after this can be trusted
        return;
      }
    }
    if (FStopped || Client->Closed) return;
    Read(Client);
  }

  // Queues one packet for one client (ClientId) or for all (nullptr).
  int32_t Send(const int32_t* ClientId, const uint8_t* Data, size_t Size) {
    auto Packet = std::make_shared<std::vector<uint8_t>>();
    if (FNoTPKT) {
      if (Size == 0) return 0;
      Packet->assign(Data, Data + Size);
    } else {
      uint8_t Header[TPKT::HeaderSize];
      if (!TPKT::EncodeHeader(Size, Header)) return Fail(asio::error::message_size);
      Packet->reserve(TPKT::HeaderSize + Size);
      Packet->assign(Header, Header + TPKT::HeaderSize);
      Packet->insert(Packet->end(), Data, Data + Size);
    }
    std::vector<std::shared_ptr<TClient>> Start, Drop;
    std::lock_guard<std::mutex> Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    auto Offer = [&](const std::shared_ptr<TClient>& Client) {
      if (Client->Leaving) return;
      if (!Client->Queue.empty() && Client->QueuedBytes + Packet->size() > MaxQueuedBytes) {
        // This client has stopped reading: let it go rather than hold up the rest.
        Client->Leaving = true;
        Drop.push_back(Client);
        return;
      }
      Client->Queue.push_back(Packet);
      Client->QueuedBytes += Packet->size();
      if (!Client->Writing) {
        Client->Writing = true;
        Start.push_back(Client);
      }
    };
    if (ClientId) {
      const auto It = FClients.find(*ClientId);
      if (It == FClients.end() || It->second->Leaving) return Fail(asio::error::not_connected);
      Offer(It->second);
    } else {
      for (const auto& [Id, Client] : FClients) Offer(Client);
    }
    if (!Start.empty() || !Drop.empty()) {
      // Posted under FLock: the engine lives at least until the shutdown has taken FLock.
      auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
      asio::post(FIo, [Self, Start = std::move(Start), Drop = std::move(Drop)] {
        for (const auto& Client : Drop) Self->Close(Client);
        for (const auto& Client : Start) Self->WriteNext(Client);
      });
    }
    return 0;
  }

  void WriteNext(const std::shared_ptr<TClient>& Client) {
    if (FStopped || Client->Closed) return;
    TPacket Packet;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (Client->Queue.empty()) {
        Client->Writing = false;
        return;
      }
      Packet = Client->Queue.front();
    }
    auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
    asio::async_write(*Client->Socket, asio::buffer(*Packet),
                      [Self, Client, Packet](const std::error_code& Ec, size_t) {
                        if (Self->FStopped || Client->Closed) return;
                        if (Ec) {
                          Self->Close(Client);
                          return;
                        }
                        {
                          std::lock_guard<std::mutex> Guard(Self->FLock);
                          Client->Queue.pop_front();
                          Client->QueuedBytes -= Packet->size();
                        }
                        Self->WriteNext(Client);
                      });
  }

  // Closes a client and reports it gone, once.
  void Close(const std::shared_ptr<TClient>& Client) {
    if (Client->Closed) return;
    Client->Closed = true;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      const auto It = FClients.find(Client->Id);
      if (It != FClients.end() && It->second == Client) FClients.erase(It);
      Client->Leaving = true;
      Client->Queue.clear();
      Client->QueuedBytes = 0;
    }
    Client->Socket.reset();
    ReportDisconnect(Client->Id, Client->Address, Client->Port);
  }

  const bool FNoTPKT;
  std::optional<tcp::acceptor> FAcceptor;     // network thread only (opened before it runs)
  std::optional<asio::steady_timer> FRetry;   // network thread only
  std::map<int32_t, std::shared_ptr<TClient>> FClients;  // guarded by FLock
  int32_t FNextFreeId = 1;                              // guarded by FLock
  bool FOpen = false;                                     // guarded by FLock
};

}  // namespace

std::shared_ptr<TServer> MakeTcpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io,
                                       bool NoTPKT) {
  return std::make_shared<TTcpServer>(Id, Callbacks, Io, NoTPKT);
}

}  // namespace TPKT
