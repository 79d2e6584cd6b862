#pragma once
// A list of the addresses and networks allowed to reach the bridge, written as
// "10.1.0.0/16,192.168.1.250,::1": IPv4 and IPv6 addresses, each optionally
// followed by "/" and a prefix length; blanks may separate the entries.
//
// An empty list admits anyone. An entry that is neither an address nor a
// network admits nobody, and the list still restricts: a mistyped list closes
// the door rather than opening it. A network written with host bits set
// ("10.1.2.3/16") means its network (10.1.0.0/16). IPv4 written as an
// IPv4-mapped IPv6 address ("::ffff:10.1.2.3") is IPv4, on both sides.

#include <memory>
#include <string>
#include <vector>

class TAccessList {
public:
  // Admits anyone.
  TAccessList();
  ~TAccessList();
  TAccessList(const TAccessList&);
  TAccessList& operator=(const TAccessList&);

  // Invalid, when given, receives the entries that are neither an address nor
  // a network, as written.
  static TAccessList Parse(const std::string& Text, std::vector<std::string>* Invalid = nullptr);

  // False for an empty list, which admits anyone.
  bool Restricts() const { return FRestricts; }
  // Whether the address (as the transport reports it: "127.0.0.1", "::1",
  // "fe80::1%eth0") lies in one of the list's networks. Text that is no address
  // is admitted only by a list that does not restrict.
  bool Admits(const std::string& Address) const;
  // The networks in force, canonical and comma-separated ("10.1.0.0/16,::1/128").
  std::string Text() const;

private:
  struct TNetworks;  // Asio's network types, kept out of this header
  std::shared_ptr<const TNetworks> FNetworks;  // never null; shared between copies, never changed
  bool FRestricts = false;
};
