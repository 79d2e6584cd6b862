// Addresses are parsed and compared with Asio's address and network types, the
// library that the transport already builds on (header-only): the core keeps
// no parser of its own for IPv4 and IPv6 text.
#include "access/access_list.h"

#include <asio/ip/address.hpp>
#include <asio/ip/network_v4.hpp>
#include <asio/ip/network_v6.hpp>

#include "platform/text.h"

struct TAccessList::TNetworks {
  std::vector<asio::ip::network_v4> V4;  // canonical
  std::vector<asio::ip::network_v6> V6;  // canonical, without scope
};

namespace {

using asio::ip::address;
using asio::ip::address_v4;
using asio::ip::address_v6;
using asio::ip::network_v4;
using asio::ip::network_v6;

// IPv4 in either of its spellings, as IPv4; IPv6 without its scope, which a
// network does not carry.
address Plain(const address& A) {
  if (A.is_v6()) {
    const address_v6 V6 = A.to_v6();
    if (V6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, V6);
    return address_v6(V6.to_bytes());
  }
  return A;
}

// One entry: an address (a network of one) or an address and a prefix length.
bool ParseEntry(const std::string& Entry, std::vector<network_v4>& V4, std::vector<network_v6>& V6) {
  std::error_code Ec;
  const size_t Slash = Entry.find('/');
  const address Written = asio::ip::make_address(Entry.substr(0, Slash), Ec);
  if (Ec) return false;
  const address A = Plain(Written);
  unsigned Prefix = A.is_v4() ? 32 : 128;
  if (Slash != std::string::npos) {
    const std::string Digits = Entry.substr(Slash + 1);
    if (Digits.empty() || Digits.size() > 3 || Digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const unsigned Given = static_cast<unsigned>(std::stoul(Digits));
    // An IPv4-mapped network counts its prefix over the whole IPv6 address.
    const unsigned Skip = Written.is_v6() && A.is_v4() ? 96 : 0;
    if (Given < Skip || Given - Skip > Prefix) return false;
    Prefix = Given - Skip;
  }
  if (A.is_v4())
    V4.push_back(network_v4(A.to_v4(), static_cast<unsigned short>(Prefix)).canonical());
  else
    V6.push_back(network_v6(A.to_v6(), static_cast<unsigned short>(Prefix)).canonical());
  return true;
}

}  // namespace

TAccessList::TAccessList() : FNetworks(std::make_shared<const TNetworks>()) {}
TAccessList::~TAccessList() = default;
TAccessList::TAccessList(const TAccessList&) = default;
TAccessList& TAccessList::operator=(const TAccessList&) = default;

TAccessList TAccessList::Parse(const std::string& Text, std::vector<std::string>* Invalid) {
  auto Networks = std::make_shared<TNetworks>();
  TAccessList L;
  for (const std::string& Entry : Platform::SplitDelimitedText(Text, ',')) {
    if (Entry.empty()) continue;
    L.FRestricts = true;
    if (!ParseEntry(Entry, Networks->V4, Networks->V6) && Invalid) Invalid->push_back(Entry);
  }
  L.FNetworks = std::move(Networks);
  return L;
}

bool TAccessList::Admits(const std::string& AddressText) const {
  if (!FRestricts) return true;
  std::error_code Ec;
  const address A = Plain(asio::ip::make_address(AddressText, Ec));
  if (Ec) return false;
  if (A.is_v4()) {
    for (const network_v4& N : FNetworks->V4)
      if (network_v4(A.to_v4(), N.prefix_length()).canonical() == N) return true;
  } else {
    for (const network_v6& N : FNetworks->V6)
      if (network_v6(A.to_v6(), N.prefix_length()).canonical() == N) return true;
  }
  return false;
}

std::string TAccessList::Text() const {
  std::vector<std::string> Parts;
  for (const network_v4& N : FNetworks->V4) Parts.push_back(N.to_string());
  for (const network_v6& N : FNetworks->V6) Parts.push_back(N.to_string());
  std::string T;
  for (const std::string& P : Parts) {
    if (!T.empty()) T += ',';
    T += P;
  }
  return T;
}
