#include "server.h"

namespace TPKT {

std::string AddressText(const asio::ip::address& A) {
  if (A.is_v6() && A.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, A.to_v6()).to_string();
  return A.to_string();
}

}  // namespace TPKT
