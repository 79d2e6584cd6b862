// The transport library: UDP and TCP servers on standalone Asio behind the C
// interface of tpkt_transport.h.
//
// Threads: one network thread (an "engine") serves every server of the
// process. It starts with the first server and ends with the last one, and all
// callbacks into the program run on it. Because of that single thread, a
// callback that stops a server or disconnects a client never waits for another
// callback, and a stop from any other thread only has to wait until the network
// thread has closed the server's sockets: after that no callback for the server
// is issued.
//
// Sockets are touched only by the network thread, with two exceptions: a server
// opens and binds its socket on the starting thread before the network thread
// knows it, and UDP datagrams go out directly on the sending thread (under the
// server's lock, which the close also takes).
//
// A new client is announced before anything is sent to it: a send from another
// thread waits while a connect callback runs, so that the program can refuse
// the client from inside that callback before a byte goes out.
//
// A slow TCP client never holds up the sender or the other clients: every
// client has its own queue of outgoing packets, written asynchronously, and a
// client whose queue would pass MaxQueuedBytes is disconnected.

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include "server_params.h"
#include "tpkt_framing.h"
#include "tpkt_transport.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;

// Bytes a TCP client may have waiting (the packet being written included)
// before it is dropped: two seconds of the mixer's 16000-byte-per-second
// stream. The kernel's socket buffers hold more on top, so a client has to stall
// well beyond a hiccup before this bound is reached.
constexpr size_t MaxQueuedBytes = 32000;

constexpr size_t UdpBufferSize = 65536;  // the largest datagram there is
constexpr size_t TcpReadSize = 16384;

// ---- errors -----------------------------------------------------------------

void SetLastErrorCode(int Code) noexcept {
#if defined(_WIN32)
  ::SetLastError(static_cast<DWORD>(Code));
#else
  errno = Code;
#endif
}

// The system's code for an Asio error; errors of Asio's own categories map to
// the nearest system code so that the program can always name a cause.
int SystemCode(const std::error_code& Ec) noexcept {
  if (!Ec) return 0;
  if (Ec.category() == asio::system_category()) return Ec.value();
  if (Ec == asio::error::eof) return asio::error::connection_reset;
  if (Ec == asio::error::host_not_found || Ec == asio::error::host_not_found_try_again ||
      Ec == asio::error::no_data || Ec == asio::error::no_recovery)
    return asio::error::host_unreachable;
  return asio::error::invalid_argument;
}

int32_t Fail(int Code) noexcept {
  SetLastErrorCode(Code != 0 ? Code : static_cast<int>(asio::error::invalid_argument));
  return -1;
}

int32_t Fail(const std::error_code& Ec) noexcept { return Fail(SystemCode(Ec)); }

// One datagram on the sending thread. 0 or the system's error code.
int RawSendTo(asio::detail::socket_type Handle, const void* Data, size_t Size,
              const udp::endpoint& To) {
#if defined(_WIN32)
  if (::sendto(Handle, static_cast<const char*>(Data), static_cast<int>(Size), 0, To.data(),
               static_cast<int>(To.size())) != SOCKET_ERROR)
    return 0;
  return static_cast<int>(::WSAGetLastError());
#else
  // The network thread keeps the socket non-blocking; a full send buffer is
  // waited out for a moment, as a blocking socket would.
  for (int Attempt = 0;; ++Attempt) {
    if (::sendto(Handle, Data, Size, 0, To.data(), static_cast<socklen_t>(To.size())) >= 0) return 0;
    const int Code = errno;
    if ((Code != EAGAIN && Code != EWOULDBLOCK) || Attempt == 10) return Code;
    pollfd P{Handle, POLLOUT, 0};
    ::poll(&P, 1, 10);
  }
#endif
}

// One datagram to each address, on the sending thread. 0 or the first error's
// system code; every address gets its attempt whatever the others did. Linux
// hands a whole batch to the system in one call; a datagram that call cannot
// take goes alone, so that it is waited out or fails as a single one would.
int RawSendToEach(asio::detail::socket_type Handle, const void* Data, size_t Size,
                  const std::vector<const udp::endpoint*>& To) {
  int FirstError = 0;
  const auto Note = [&FirstError](int Code) {
    if (Code != 0 && FirstError == 0) FirstError = Code;
  };
#if defined(__linux__)
  constexpr size_t MaxBatch = 64;
  iovec Bytes{const_cast<void*>(Data), Size};
  std::array<mmsghdr, MaxBatch> Batch{};
  for (size_t Done = 0; Done < To.size();) {
    const size_t Count = std::min(MaxBatch, To.size() - Done);
    for (size_t I = 0; I < Count; ++I) {
      msghdr& M = Batch[I].msg_hdr;
      M = msghdr{};
      M.msg_name = const_cast<sockaddr*>(To[Done + I]->data());
      M.msg_namelen = static_cast<socklen_t>(To[Done + I]->size());
      M.msg_iov = &Bytes;
      M.msg_iovlen = 1;
    }
    const int Sent = To.size() - Done == 1 ? 0 : ::sendmmsg(Handle, Batch.data(), static_cast<unsigned>(Count), 0);
    if (Sent > 0) {
      Done += static_cast<size_t>(Sent);
    } else {
      Note(RawSendTo(Handle, Data, Size, *To[Done]));
      ++Done;
    }
  }
#else
  for (const udp::endpoint* E : To) Note(RawSendTo(Handle, Data, Size, *E));
#endif
  return FirstError;
}

// The address as the program is told it; IPv4 peers of a dual-stack socket
// appear as IPv4.
std::string AddressText(const asio::ip::address& A) {
  if (A.is_v6() && A.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, A.to_v6()).to_string();
  return A.to_string();
}

struct TCallbacks {
  TTPKTDataCallback Data = nullptr;  // never called: all data belongs to clients
  TTPKTDataCallback ClientData = nullptr;
  TTPKTConnectCallback Connect = nullptr;
  TTPKTConnectCallback Disconnect = nullptr;
};

// ---- the network thread -----------------------------------------------------

class TEngine;
thread_local TEngine* CurrentEngine = nullptr;  // the engine whose thread this is

class TEngine {
public:
  TEngine() : FWork(asio::make_work_guard(FIo)) {
    FThread = std::thread([this] { Run(); });
  }
  ~TEngine() {
    if (IsCurrentThread())
      FThread.detach();  // never happens by design; ending the process would be worse
    else
      Join();
  }
  TEngine(const TEngine&) = delete;
  TEngine& operator=(const TEngine&) = delete;

  asio::io_context& Io() { return FIo; }
  bool IsCurrentThread() const { return CurrentEngine == this; }
  // Lets the thread end once the work it has is done. Called once, under GLock.
  void Release() { FWork.reset(); }
  // Never from the engine's own thread.
  void Join() {
    if (FThread.joinable() && !IsCurrentThread()) FThread.join();
  }

private:
  void Run() {
    CurrentEngine = this;
    for (;;) {
      try {
        FIo.run();
        break;
      } catch (...) {
        // A handler's failure must not end the thread of every server.
      }
    }
    CurrentEngine = nullptr;
  }

  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork;  // reset once under GLock
  std::thread FThread;  // joined by the thread that retires the engine, or later
};

// ---- servers ----------------------------------------------------------------

// The next free client id (positive; after a wrap the ids still in use are skipped).
template <class TMap>
int32_t NextClientId(int32_t& Next, const TMap& InUse) {
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

  // Held by the network thread from a new client's entry into the table until
  // its connect callback has returned; the sends of other threads wait for it.
  std::unique_lock<std::mutex> HoldAnnouncements() { return std::unique_lock<std::mutex>(FAnnounceLock); }
  std::unique_lock<std::mutex> WaitForAnnouncements() {
    // On the network thread no announcement runs but the one this call may be
    // made from.
    if (CurrentEngine && &CurrentEngine->Io() == &FIo) return {};
    return std::unique_lock<std::mutex>(FAnnounceLock);
  }

  const int32_t FId;
  const TCallbacks FCallbacks;
  asio::io_context& FIo;  // the engine outlives every server it runs
  bool FStopped = false;  // network thread only
  std::mutex FAnnounceLock;  // see HoldAnnouncements; taken before FLock
  std::mutex FLock;       // guards what the sending threads share with the network thread
};

// ---- UDP --------------------------------------------------------------------

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
    std::lock_guard<std::mutex> Guard(FLock);
    FHandle = FSocket->native_handle();
    FV6 = Local.protocol() == udp::v6();
    FOpen = true;
    return Ec;
  }

  void Begin() override { Receive(); }

  void Shutdown() override {
    std::map<int32_t, TPeer> Left;
    {
      std::lock_guard<std::mutex> Guard(FLock);
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
    std::lock_guard<std::mutex> Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    FSendList.clear();
    for (const auto& [Id, Peer] : FPeers)
      if (!Peer.Leaving) FSendList.push_back(&Peer.Endpoint);
    const int FirstError = RawSendToEach(FHandle, Data, Size, FSendList);
    return FirstError != 0 ? Fail(FirstError) : 0;
  }

  int32_t SendToClient(int32_t ClientId, const uint8_t* Data, size_t Size) override {
    const auto Announced = WaitForAnnouncements();
    std::lock_guard<std::mutex> Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    const auto It = FPeers.find(ClientId);
    if (It == FPeers.end() || It->second.Leaving) return Fail(asio::error::not_connected);
    const int Code = RawSendTo(FHandle, Data, Size, It->second.Endpoint);
    return Code != 0 ? Fail(Code) : 0;
  }

  int32_t SendTo(const std::string& Host, uint16_t Port, const uint8_t* Data, size_t Size) override {
    bool V6;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      V6 = FV6;
    }
    udp::endpoint To;
    if (const std::error_code Ec = Resolve(Host, Port, V6, To)) return Fail(Ec);
    std::lock_guard<std::mutex> Guard(FLock);
    if (!FOpen) return Fail(asio::error::not_connected);
    const int Code = RawSendTo(FHandle, Data, Size, To);
    return Code != 0 ? Fail(Code) : 0;
  }

  int32_t DisconnectClient(int32_t ClientId) override {
    {
      std::lock_guard<std::mutex> Guard(FLock);
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
      std::lock_guard<std::mutex> Guard(FLock);
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
        Id = NextClientId(FNextClientId, FPeers);
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
      std::lock_guard<std::mutex> Guard(FLock);
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
  asio::detail::socket_type FHandle = asio::detail::invalid_socket;  // guarded by FLock (valid while FOpen)
  bool FV6 = false;                           // guarded by FLock
  bool FOpen = false;                         // guarded by FLock
  std::map<int32_t, TPeer> FPeers;            // guarded by FLock
  std::map<udp::endpoint, int32_t> FIdOf;     // guarded by FLock
  int32_t FNextClientId = 1;                  // guarded by FLock
  std::vector<const udp::endpoint*> FSendList;  // guarded by FLock: SendToAll's addresses, kept to save allocating
};

// ---- TCP --------------------------------------------------------------------

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
    auto Announcing = HoldAnnouncements();
    {
      std::lock_guard<std::mutex> Guard(FLock);
      Client->Id = NextClientId(FNextClientId, FClients);
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
    const auto Announced = WaitForAnnouncements();
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
  int32_t FNextClientId = 1;                              // guarded by FLock
  bool FOpen = false;                                     // guarded by FLock
};

// ---- the library's state ----------------------------------------------------

class TLibrary {
public:
  TLibrary() = default;
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  // Unloading with servers still running: stop them as a stop would, but never
  // wait long (at process exit on Windows their thread may already be gone).
  ~TLibrary() {
    std::vector<std::shared_ptr<TServer>> Servers;
    std::shared_ptr<TEngine> Engine;
    std::vector<std::shared_ptr<TEngine>> Retired;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      for (auto& [Id, Server] : FServers) Servers.push_back(std::move(Server));
      FServers.clear();
      Engine = std::move(FEngine);
      Retired.swap(FRetired);
    }
    bool Stuck = false;
    for (const auto& Server : Servers) {
      auto Done = std::make_shared<std::promise<void>>();
      auto Finished = Done->get_future();
      asio::post(Server->Io(), [Server, Done] {
        Server->Shutdown();
        Done->set_value();
      });
      if (Finished.wait_for(std::chrono::seconds(1)) != std::future_status::ready) Stuck = true;
    }
    Servers.clear();
    if (Engine) {
      Engine->Release();
      Retired.push_back(std::move(Engine));
    }
    if (Stuck) {
      // The network thread is gone or hangs: joining it could hang for ever, and
      // freeing its objects under it would crash. Left to the process's end.
      for (auto& E : Retired) new std::shared_ptr<TEngine>(std::move(E));
    }
  }

  int32_t Start(const char* ParamsText, int32_t Port, const TCallbacks& Callbacks) {
    Reap();
    TPKT::TServerParams Params;
    if (!ParamsText || !TPKT::ParseServerParams(ParamsText, Params) || Port < 0 || Port > 65535)
      return Fail(asio::error::invalid_argument);
    std::error_code Ec;
    const asio::ip::address Address = asio::ip::make_address(Params.Address, Ec);
    if (Ec) return Fail(asio::error::invalid_argument);

    std::shared_ptr<TServer> Server;
    std::shared_ptr<TEngine> Unused;
    {
      // Held across the bind so that the engine cannot be retired under a new server.
      std::lock_guard<std::mutex> Guard(FLock);
      if (!FEngine) FEngine = std::make_shared<TEngine>();
      const int32_t Id = NextServerId();
      if (Params.Layer == TPKT::TLayer::Udp)
        Server = std::make_shared<TUdpServer>(Id, Callbacks, FEngine->Io());
      else
        Server = std::make_shared<TTcpServer>(Id, Callbacks, FEngine->Io(), Params.NoTPKT);
      Ec = Server->Open(Address, static_cast<uint16_t>(Port));
      if (!Ec) {
        FServers[Id] = Server;
        asio::post(FEngine->Io(), [Server] { Server->Begin(); });
      } else if (FServers.empty()) {
        Unused = std::move(FEngine);
        Unused->Release();
      }
    }
    if (Ec) {
      Server.reset();
      if (Unused) Retire(std::move(Unused));
      return Fail(Ec);
    }
    return Server->Id();
  }

  int32_t Stop(int32_t ServerId) {
    std::shared_ptr<TServer> Server;
    std::shared_ptr<TEngine> Last;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      const auto It = FServers.find(ServerId);
      if (It == FServers.end()) return Fail(asio::error::invalid_argument);
      Server = std::move(It->second);
      FServers.erase(It);
      if (FServers.empty()) Last = std::move(FEngine);
    }
    if (CurrentEngineRuns(Server)) {
      // Called from one of the callbacks: no other callback is running.
      Server->Shutdown();
      if (Last) {
        Last->Release();
        Retire(std::move(Last));
      }
      return 0;
    }
    auto Done = std::make_shared<std::promise<void>>();
    auto Finished = Done->get_future();
    // Posted before the engine is released so that its thread cannot end first.
    asio::post(Server->Io(), [Server, Done] {
      Server->Shutdown();
      Done->set_value();
    });
    if (Last) Last->Release();
    Finished.wait();
    Server.reset();
    if (Last) Retire(std::move(Last));
    Reap();
    return 0;
  }

  std::shared_ptr<TServer> Find(int32_t ServerId) {
    std::lock_guard<std::mutex> Guard(FLock);
    const auto It = FServers.find(ServerId);
    return It == FServers.end() ? nullptr : It->second;
  }

private:
  static bool CurrentEngineRuns(const std::shared_ptr<TServer>& Server) {
    return CurrentEngine && &CurrentEngine->Io() == &Server->Io();
  }

  int32_t NextServerId() {
    for (;;) {
      const int32_t Id = FNextServerId;
      FNextServerId = FNextServerId == INT32_MAX ? 1 : FNextServerId + 1;
      if (FServers.find(Id) == FServers.end()) return Id;
    }
  }

  // An engine with nothing left to run: joined now, or by a later call when
  // this is its own thread.
  void Retire(std::shared_ptr<TEngine> Engine) {
    if (!Engine->IsCurrentThread()) {
      Engine->Join();
      Engine.reset();
      return;
    }
    std::lock_guard<std::mutex> Guard(FLock);
    FRetired.push_back(std::move(Engine));
  }

  // Joins the retired engines (their threads have ended or are ending).
  void Reap() {
    std::vector<std::shared_ptr<TEngine>> Done;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      for (auto It = FRetired.begin(); It != FRetired.end();) {
        if ((*It)->IsCurrentThread()) {
          ++It;
        } else {
          Done.push_back(std::move(*It));
          It = FRetired.erase(It);
        }
      }
    }
    for (const auto& E : Done) E->Join();
  }

  std::mutex FLock;
  std::map<int32_t, std::shared_ptr<TServer>> FServers;  // guarded by FLock
  std::shared_ptr<TEngine> FEngine;                      // guarded by FLock: runs the live servers
  std::vector<std::shared_ptr<TEngine>> FRetired;        // guarded by FLock: ending on their own
  int32_t FNextServerId = 1;                             // guarded by FLock
};

TLibrary& Library() {
  static TLibrary L;
  return L;
}

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

// ---- exports ----------------------------------------------------------------

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

TPKT_EXPORT int32_t TPKT_CALL SendTo(int32_t ServerId, const char* Host, int32_t Port, const void* Data,
                                     int32_t Size) noexcept {
  return Guard([&] {
    const auto Server = Library().Find(ServerId);
    if (!Server || !Host || !ValidData(Data, Size)) return Fail(asio::error::invalid_argument);
    return Server->SendTo(Host, static_cast<uint16_t>(Port & 0xFFFF), static_cast<const uint8_t*>(Data),
                          static_cast<size_t>(Size));
  });
}
