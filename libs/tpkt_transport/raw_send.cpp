#include "raw_send.h"

#include <algorithm>
#include <array>

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#endif

namespace TPKT {

int RawSendTo(asio::detail::socket_type Handle, const void* Data, size_t Size,
              const asio::ip::udp::endpoint& To) {
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

// Linux hands a whole batch to the system in one call; a datagram that call cannot
// take goes alone, so that it is waited out or fails as a single one would.
int RawSendToEach(asio::detail::socket_type Handle, const void* Data, size_t Size,
                  const std::vector<const asio::ip::udp::endpoint*>& To) {
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
  for (const asio::ip::udp::endpoint* E : To) Note(RawSendTo(Handle, Data, Size, *E));
#endif
  return FirstError;
}

size_t RawSendSome(asio::detail::socket_type Handle, const void* Head, size_t HeadSize, const void* Data,
                   size_t Size, int& Code) {
  Code = 0;
#if defined(_WIN32)
  // The socket is non-blocking.
  WSABUF Parts[2] = {{static_cast<ULONG>(HeadSize), static_cast<CHAR*>(const_cast<void*>(Head))},
                     {static_cast<ULONG>(Size), static_cast<CHAR*>(const_cast<void*>(Data))}};
  DWORD Sent = 0;
  if (::WSASend(Handle, HeadSize ? Parts : Parts + 1, HeadSize ? 2 : 1, &Sent, 0, nullptr, nullptr) == 0)
    return Sent;
  const int Error = static_cast<int>(::WSAGetLastError());
  if (Error != WSAEWOULDBLOCK) Code = Error;
  return 0;
#else
  iovec Parts[2] = {{const_cast<void*>(Head), HeadSize}, {const_cast<void*>(Data), Size}};
  msghdr M{};
  M.msg_iov = HeadSize ? Parts : Parts + 1;
  M.msg_iovlen = HeadSize ? 2 : 1;
  for (;;) {
    // No SIGPIPE for a peer that has gone: the error says so.
    const ssize_t Sent = ::sendmsg(Handle, &M, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (Sent >= 0) return static_cast<size_t>(Sent);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) Code = errno;
    return 0;
  }
#endif
}

}  // namespace TPKT
