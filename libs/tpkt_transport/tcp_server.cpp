// A TCP server: every connection is a client. A slow client never holds up the
// sender or the other clients. A packet goes straight to the socket on the
// sending thread while the client has nothing waiting; what the socket does not
// take waits in the client's own queue, written asynchronously by the network
// thread. A client that has stopped taking data is disconnected once its
// queue would pass MaxQueuedBytes; the socket's send buffer is kept small so
// that this comes within seconds.
//
// A client that shuts down its sending side stays: it is only read no more.
// Its connection ends when a write to it fails, when it is disconnected or
// when the server stops.

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "errors.h"
#include "platform/mutex.h"
#include "raw_send.h"
#include "server.h"
#include "tpkt_framing.h"

namespace TPKT {

namespace {

using asio::ip::tcp;

// Bytes a TCP client may have waiting (the packet being written included)
// before it is dropped: two seconds of the mixer's 16000-byte-per-second
// stream. The socket's buffers hold more on top, so a client has to stall well
// beyond a hiccup before this bound is reached.
constexpr size_t MaxQueuedBytes = 32000;

// A client whose socket took data this recently is still reading: it may fall
// up to MaxBurstBytes behind a burst (a backlog handed over at once) before it
// is dropped. Only a client that takes nothing is dropped at MaxQueuedBytes.
constexpr auto ReadingGrace = std::chrono::seconds(1);
constexpr size_t MaxBurstBytes = 32 * 1024 * 1024;

// Left to the system, a client's send buffer grows to megabytes: minutes of
// the stream that a client which stopped reading would hold before its queue
// even began to fill. Linux bounds only the bytes not yet sent, so that the
// buffer still grows for a client that reads; elsewhere the whole buffer is
// bounded.
#if defined(TCP_NOTSENT_LOWAT)
using TUnsentBound = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>;
constexpr int UnsentBytes = 16384;
#else
constexpr int SendBufferBytes = 32768;
#endif

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
    Platform::TLockGuard Guard(FLock);
    FOpen = true;
    return Ec;
  }

  void Begin() override { Accept(); }

  void Shutdown() override {
    std::vector<std::shared_ptr<TClient>> Left;
    {
      Platform::TLockGuard Guard(FLock);
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
      Platform::TLockGuard Guard(FLock);
      const auto It = FClients.find(ClientId);
      if (!FOpen || It == FClients.end()) return Fail(asio::error::not_connected);
      TClient::TShared& Shared = Locked(*It->second);
      if (Shared.Leaving) return 0;
      Shared.Leaving = true;
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
    std::optional<asio::steady_timer> StallCheck;  // network thread only; destroyed by Close
    int32_t Id = 0;      // set before the client is shared
    std::string Address;
    uint16_t Port = 0;
    bool Closed = false;                  // network thread only
    std::vector<uint8_t> ReadBuffer;      // network thread only
    TPKT::TTpktReader Reader;             // network thread only
    // What the sending threads share with the network thread, under the
    // server's FLock: reached only through the server's Locked().
    struct TShared {
      asio::detail::socket_type Handle = asio::detail::invalid_socket;
      std::deque<TPacket> Queue;
      size_t QueuedBytes = 0;   // not yet written
      size_t FrontWritten = 0;  // bytes of Queue.front() written
      std::chrono::steady_clock::time_point LastTaken;  // the socket last took data
      bool CheckPending = false;  // StallCheck runs or is posted
      bool Writing = false;       // a write is under way or posted
      bool Leaving = false;       // being disconnected
    } Shared;
  };

  TClient::TShared& Locked(TClient& Client) REQUIRES(FLock) { return Client.Shared; }

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
#if defined(TCP_NOTSENT_LOWAT)
    Socket.set_option(TUnsentBound(UnsentBytes), Ignored);
#else
    Socket.set_option(asio::socket_base::send_buffer_size(SendBufferBytes), Ignored);
#endif
    // The sending threads write to it directly, and must never wait there.
    Socket.non_blocking(true, Ignored);
    const tcp::endpoint Remote = Socket.remote_endpoint(Ignored);
    auto Client = std::make_shared<TClient>(std::move(Socket));
    Client->StallCheck.emplace(FIo);
    Client->Address = AddressText(Remote.address());
    Client->Port = Remote.port();
    Client->ReadBuffer.resize(TcpReadSize);
    auto Announcing = HoldAnnouncements();
    {
      Platform::TLockGuard Guard(FLock);
      Locked(*Client).Handle = Client->Socket->native_handle();
      Locked(*Client).LastTaken = std::chrono::steady_clock::now();
      Client->Id = NextFreeId(FNextClientId, FClients);
      FClients[Client->Id] = Client;
    }
    ReportConnect(Client->Id, Client->Address, Client->Port);
    if (FStopped) return;
    Announcing.unlock();
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
    if (Ec == asio::error::eof) return;  // the client sends no more; it may still be listening
    if (Ec) {
      Close(Client);  // the connection broke
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

  // Sends one packet to one client (ClientId) or to all (nullptr).
  int32_t Send(const int32_t* ClientId, const uint8_t* Data, size_t Size) {
    TOutgoing Packet{Data, Size};
    if (FNoTPKT) {
      if (Size == 0) return 0;
    } else {
      if (!TPKT::EncodeHeader(Size, Packet.Header)) return Fail(asio::error::message_size);
      Packet.HeaderBytes = TPKT::HeaderSize;
    }
    TFollowUps Then;
    const auto Announced = WaitForAnnouncements();
    Platform::TLockGuard Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    if (ClientId) {
      const auto It = FClients.find(*ClientId);
      if (It == FClients.end() || Locked(*It->second).Leaving) return Fail(asio::error::not_connected);
      Offer(It->second, Packet, Then);
    } else {
      for (const auto& [Id, Client] : FClients) Offer(Client, Packet, Then);
    }
    if (!Then.Start.empty() || !Then.Drop.empty() || !Then.Check.empty()) {
      // Posted under FLock: the engine lives at least until the shutdown has taken FLock.
      auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
      asio::post(FIo, [Self, Then = std::move(Then)] {
        for (const auto& Client : Then.Drop) Self->Close(Client);
        for (const auto& Client : Then.Start) Self->WriteNext(Client);
        for (const auto& Client : Then.Check) Self->CheckStalledLater(Client);
      });
    }
    return 0;
  }

  // One packet on its way to the clients: the caller's bytes behind the TPKT
  // header, copied only for a client that cannot take all of it at once.
  struct TOutgoing {
    const uint8_t* Data;
    size_t Size;
    uint8_t Header[TPKT::HeaderSize] = {};
    size_t HeaderBytes = 0;
    TPacket Whole = nullptr;  // made when a client first needs to queue all of it

    size_t Total() const { return HeaderBytes + Size; }
    // The packet from byte From on.
    TPacket Rest(size_t From) {
      if (From == 0 && Whole) return Whole;
      auto P = std::make_shared<std::vector<uint8_t>>();
      P->reserve(Total() - From);
      if (From < HeaderBytes) P->assign(Header + From, Header + HeaderBytes);
      const size_t DataFrom = From > HeaderBytes ? From - HeaderBytes : 0;
      P->insert(P->end(), Data + DataFrom, Data + Size);
      if (From == 0) Whole = P;
      return P;
    }
  };

  // What a send leaves for the network thread, clients by what they need.
  struct TFollowUps {
    std::vector<std::shared_ptr<TClient>> Start, Drop, Check;
    std::optional<std::chrono::steady_clock::time_point> Now;  // read once, when needed
  };

  // Hands the packet to one client: at once if nothing of its waits and its
  // socket takes it, else (what is left of it) to its queue.
  void Offer(const std::shared_ptr<TClient>& Client, TOutgoing& Packet, TFollowUps& Then) REQUIRES(FLock) {
    TClient::TShared& Shared = Locked(*Client);
    if (Shared.Leaving) return;
    size_t From = 0;
    if (Shared.Queue.empty() && !Shared.Writing) {
      // Nothing of this client's waits: what its socket takes now goes now.
      int Code = 0;
      From = RawSendSome(Shared.Handle, Packet.Header, Packet.HeaderBytes, Packet.Data, Packet.Size, Code);
      if (Code != 0) {
        Shared.Leaving = true;  // the connection is gone
        Then.Drop.push_back(Client);
        return;
      }
      if (From != 0) Shared.LastTaken = std::chrono::steady_clock::now();
      if (From == Packet.Total()) return;
    } else if (Shared.QueuedBytes + Packet.Total() > MaxQueuedBytes) {
      if (!Then.Now) Then.Now = std::chrono::steady_clock::now();
      if (*Then.Now - Shared.LastTaken > ReadingGrace || Shared.QueuedBytes + Packet.Total() > MaxBurstBytes) {
        // This client has stopped reading: let it go rather than hold up the rest.
        Shared.Leaving = true;
        FClientsDroppedSlow.fetch_add(1, std::memory_order_relaxed);
        Then.Drop.push_back(Client);
        return;
      }
      // Should nothing more be sent, a client that is not reading still goes.
      if (!Shared.CheckPending) {
        Shared.CheckPending = true;
        Then.Check.push_back(Client);
      }
    }
    TPacket Rest = Packet.Rest(From);
    Shared.QueuedBytes += Rest->size();
    Shared.Queue.push_back(std::move(Rest));
    if (!Shared.Writing) {
      Shared.Writing = true;
      Then.Start.push_back(Client);
    }
  }

  // Writes what waits for the client, many packets at a time, and goes on
  // until nothing does.
  void WriteNext(const std::shared_ptr<TClient>& Client) {
    if (FStopped || Client->Closed) return;
    constexpr size_t MaxGather = 64;
    std::vector<asio::const_buffer> Buffers;
    std::vector<TPacket> Holding;  // keeps the bytes alive while the write runs
    {
      Platform::TLockGuard Guard(FLock);
      TClient::TShared& Shared = Locked(*Client);
      if (Shared.Queue.empty()) {
        Shared.Writing = false;
        return;
      }
      const size_t Count = std::min(MaxGather, Shared.Queue.size());
      for (size_t I = 0; I < Count; ++I) {
        const TPacket& P = Shared.Queue[I];
        const size_t Skip = I == 0 ? Shared.FrontWritten : 0;
        Buffers.push_back(asio::buffer(P->data() + Skip, P->size() - Skip));
        Holding.push_back(P);
      }
    }
    auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
    Client->Socket->async_write_some(
        Buffers, [Self, Client, Holding = std::move(Holding)](const std::error_code& Ec, size_t Written) {
          if (Self->FStopped || Client->Closed) return;
          if (Ec) {
            Self->Close(Client);  // the connection broke (or the client closed it)
            return;
          }
          Self->Written(*Client, Written);
          Self->WriteNext(Client);
        });
  }

  // Drops the client, once ReadingGrace has passed, if it has more than
  // MaxQueuedBytes waiting and has taken nothing meanwhile.
  void CheckStalledLater(const std::shared_ptr<TClient>& Client) {
    if (FStopped || Client->Closed) return;
    auto Self = std::static_pointer_cast<TTcpServer>(shared_from_this());
    Client->StallCheck->expires_after(ReadingGrace);
    Client->StallCheck->async_wait([Self, Client](const std::error_code& Ec) {
      if (Ec || Self->FStopped || Client->Closed) return;
      bool Stalled = false;
      bool Pending = false;
      {
        Platform::TLockGuard Guard(Self->FLock);
        TClient::TShared& Shared = Self->Locked(*Client);
        Shared.CheckPending = Pending = Shared.QueuedBytes > MaxQueuedBytes;
        Stalled = Pending && !Shared.Leaving && std::chrono::steady_clock::now() - Shared.LastTaken > ReadingGrace;
        if (Stalled) {
          Shared.Leaving = true;
          Self->FClientsDroppedSlow.fetch_add(1, std::memory_order_relaxed);
        }
      }
      if (Stalled)
        Self->Close(Client);
      else if (Pending)
        Self->CheckStalledLater(Client);
    });
  }

  // Takes Bytes written off the front of the client's queue.
  void Written(TClient& Client, size_t Bytes) {
    Platform::TLockGuard Guard(FLock);
    TClient::TShared& Shared = Locked(Client);
    Shared.QueuedBytes -= Bytes;
    if (Bytes != 0) Shared.LastTaken = std::chrono::steady_clock::now();
    Bytes += Shared.FrontWritten;
    while (!Shared.Queue.empty() && Bytes >= Shared.Queue.front()->size()) {
      Bytes -= Shared.Queue.front()->size();
      Shared.Queue.pop_front();
    }
    Shared.FrontWritten = Bytes;
  }

  // Closes a client and reports it gone, once.
  void Close(const std::shared_ptr<TClient>& Client) {
    if (Client->Closed) return;
    Client->Closed = true;
    {
      Platform::TLockGuard Guard(FLock);
      TClient::TShared& Shared = Locked(*Client);
      const auto It = FClients.find(Client->Id);
      if (It != FClients.end() && It->second == Client) FClients.erase(It);
      Shared.Leaving = true;
      Shared.Queue.clear();
      Shared.QueuedBytes = 0;
      Shared.FrontWritten = 0;
      // Under FLock: a sending thread may be writing to the handle. Once it
      // is cleared, none does.
      Shared.Handle = asio::detail::invalid_socket;
    }
    // Cancelled before it is closed: a write pending on a client that stopped
    // reading must end now. Windows ends it on the close as well, but Wine does
    // not always, and the engine's thread would then wait for it for ever when
    // the last server stops.
    std::error_code Ignored;
    Client->Socket->cancel(Ignored);
    Client->Socket.reset();
    Client->StallCheck.reset();
    ReportDisconnect(Client->Id, Client->Address, Client->Port);
  }

  const bool FNoTPKT;
  std::optional<tcp::acceptor> FAcceptor;     // network thread only (opened before it runs)
  std::optional<asio::steady_timer> FRetry;   // network thread only
  std::map<int32_t, std::shared_ptr<TClient>> FClients GUARDED_BY(FLock);
  int32_t FNextClientId GUARDED_BY(FLock) = 1;
  bool FOpen GUARDED_BY(FLock) = false;
};

}  // namespace

std::shared_ptr<TServer> MakeTcpServer(int32_t Id, const TCallbacks& Callbacks, asio::io_context& Io,
                                       bool NoTPKT) {
  return std::make_shared<TTcpServer>(Id, Callbacks, Io, NoTPKT);
}

}  // namespace TPKT
