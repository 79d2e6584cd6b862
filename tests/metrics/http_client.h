#pragma once
// A plain HTTP client on loopback for the endpoint's tests, from a chosen
// source address.

#include <asio.hpp>

#include <chrono>
#include <string>
#include <thread>

namespace MetricsTest {

using asio::ip::tcp;
using namespace std::chrono_literals;

// Sends a request and reads until the server closes; "<closed>" when it closed
// before answering, "<timeout>" when nothing ended within the limit.
class TClient {
public:
  // From: the source address, bound before connecting to its family's loopback.
  explicit TClient(uint16_t Port, const std::string& From = "127.0.0.1") : FSocket(FIo) {
    const asio::ip::address Source = asio::ip::make_address(From);
    FSocket.open(Source.is_v4() ? tcp::v4() : tcp::v6());
    FSocket.bind(tcp::endpoint(Source, 0));
    FSocket.connect(tcp::endpoint(Source.is_v4() ? asio::ip::address(asio::ip::address_v4::loopback())
                                                 : asio::ip::address(asio::ip::address_v6::loopback()),
                                  Port));
  }
  void Send(const std::string& Text) { asio::write(FSocket, asio::buffer(Text)); }
  std::string ReadAll(std::chrono::milliseconds Limit = 5000ms) {
    std::string Out;
    FSocket.non_blocking(true);
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    char Buf[4096];
    for (;;) {
      asio::error_code Ec;
      const size_t N = FSocket.read_some(asio::buffer(Buf), Ec);
      if (Ec == asio::error::would_block) {
        if (std::chrono::steady_clock::now() > Deadline) return "<timeout>";
        std::this_thread::sleep_for(2ms);
        continue;
      }
      if (Ec) return Out.empty() ? "<closed>" : Out;
      Out.append(Buf, N);
    }
  }

private:
  asio::io_context FIo;
  tcp::socket FSocket;
};

inline std::string Get(uint16_t Port, const std::string& Request, const std::string& From = "127.0.0.1") {
  TClient C(Port, From);
  C.Send(Request);
  return C.ReadAll();
}

inline std::string StatusLine(const std::string& Response) { return Response.substr(0, Response.find("\r\n")); }

// Whether this system lets a socket use Address as its source: all of 127/8 is
// loopback on Linux, which other systems need not route; some have no IPv6.
inline bool CanBindSource(const std::string& Address) {
  asio::io_context Io;
  tcp::socket S(Io);
  const asio::ip::address A = asio::ip::make_address(Address);
  asio::error_code Ec;
  S.open(A.is_v4() ? tcp::v4() : tcp::v6(), Ec);
  if (!Ec) S.bind(tcp::endpoint(A, 0), Ec);
  return !Ec;
}

}  // namespace MetricsTest
