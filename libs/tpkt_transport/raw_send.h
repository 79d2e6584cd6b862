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

}  // namespace TPKT
