#pragma once
// The start parameter text of a server: the listen address, then optional
// ",NOTPKT=YES" and ",LAYER=<name>" (for example "127.0.0.1,LAYER=UDP" or
// "0.0.0.0,NOTPKT=YES"). Keys and values are read without regard to case.

#include <string>

namespace TPKT {

enum class TLayer { Tcp, Udp };

struct TServerParams {
  std::string Address;  // the listen address, IPv6 without its brackets
  bool NoTPKT = false;  // TCP bytes pass unframed
  TLayer Layer = TLayer::Tcp;
};

// False when the text breaks the grammar (unknown option or layer, bad value).
// An empty address means every IPv4 interface.
bool ParseServerParams(const std::string& Text, TServerParams& Params);

// "[::1]" -> "::1"; other texts unchanged, blanks around them removed.
std::string StripAddress(const std::string& Text);

}  // namespace TPKT
