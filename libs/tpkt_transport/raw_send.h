#pragma once
// Sends on the sending thread, straight to the system, past the network
// thread: the caller holds whatever keeps the socket open meanwhile.

#include <asio.hpp>

#include <cstddef>
#include <vector>

namespace TPKT {

// One datagram. 0 or the system's error code.
int RawSendTo(asio::detail::socket_type Handle, const void* Data, size_t Size, const asio::ip::udp::endpoint& To);

// One datagram to each address. 0 or the first error's system code; every
// address gets its attempt whatever the others did.
int RawSendToEach(asio::detail::socket_type Handle, const void* Data, size_t Size,
                  const std::vector<const asio::ip::udp::endpoint*>& To);

// Writes Head and then Data to a stream socket as far as it takes them now,
// never waiting: the bytes written (0 when its buffer is full). Code is set
// to the system's code when the connection has failed.
size_t RawSendSome(asio::detail::socket_type Handle, const void* Head, size_t HeadSize, const void* Data,
                   size_t Size, int& Code);

}  // namespace TPKT
