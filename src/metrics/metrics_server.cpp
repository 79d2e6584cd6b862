#include "metrics/metrics_server.h"

#include <asio.hpp>

#include <atomic>
#include <map>
#include <thread>

#include "platform/exception.h"
#include "platform/process.h"

namespace {

using asio::ip::tcp;

// HOST:PORT, the host numeric (IPv6 in brackets); port 0..65535.
tcp::endpoint ParseListen(const std::string& Listen) {
  const size_t Colon = Listen.rfind(':');
  if (Colon == std::string::npos || Colon == 0 || Colon + 1 == Listen.size())
    throw Exception("\"" + Listen + "\" is not HOST:PORT");
  std::string Host = Listen.substr(0, Colon);
  const std::string PortText = Listen.substr(Colon + 1);
  if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']') Host = Host.substr(1, Host.size() - 2);
  unsigned long Port = 0;
  for (char C : PortText) {
    if (C < '0' || C > '9' || Port > 65535) throw Exception("\"" + Listen + "\": the port is not a number up to 65535");
    Port = Port * 10 + static_cast<unsigned long>(C - '0');
  }
  if (Port > 65535) throw Exception("\"" + Listen + "\": the port is not a number up to 65535");
  asio::error_code Ec;
  const asio::ip::address Address = asio::ip::make_address(Host, Ec);
  if (Ec) throw Exception("\"" + Listen + "\": \"" + Host + "\" is not a numeric IPv4 or IPv6 address");
  return {Address, static_cast<uint16_t>(Port)};
}

// The path of "GET /path HTTP/1.x", without a query; empty when the line is
// not a request line. Method receives the first word.
std::string RequestPath(const std::string& Line, std::string& Method) {
  const size_t A = Line.find(' ');
  const size_t B = A == std::string::npos ? A : Line.find(' ', A + 1);
  if (B == std::string::npos || Line.find(' ', B + 1) != std::string::npos) return "";
  Method = Line.substr(0, A);
  const std::string Target = Line.substr(A + 1, B - A - 1);
  if (Method.empty() || Target.empty() || Target[0] != '/' || Line.compare(B + 1, 7, "HTTP/1.") != 0) return "";
  return Target.substr(0, Target.find('?'));
}

}  // namespace

const char* HttpReason(int Status) {
  switch (Status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}

struct TMetricsServer::TImpl {
  // One request and its answer. Everything runs on the server's one thread.
  struct TConnection : std::enable_shared_from_this<TConnection> {
    TConnection(TImpl& Owner, tcp::socket Socket, const asio::ip::address& Source)
        : Owner(Owner), Source(Source), Socket(std::move(Socket)), Timer(Owner.Io), Request(MaxRequestBytes) {
      ++Owner.Connections;
      ++Owner.PerSource[Source];
    }
    ~TConnection() {
      --Owner.Connections;
      const auto Held = Owner.PerSource.find(Source);
      if (--Held->second == 0) Owner.PerSource.erase(Held);
    }

    void Start() {
      auto Self = shared_from_this();
      Timer.expires_after(std::chrono::milliseconds(MaxRequestMs));
      Timer.async_wait([Self](const asio::error_code& Ec) {
        if (!Ec) Self->Close();  // too slow: no answer
      });
      asio::async_read_until(Socket, Request, "\r\n\r\n",
                             [Self](const asio::error_code& Ec, size_t) { Self->OnRequest(Ec); });
    }

    void OnRequest(const asio::error_code& Ec) {
      // A head that does not fit is no request of ours; a closed or timed-out
      // connection gets nothing.
      if (Ec && Ec != asio::error::not_found) return Close();
      THttpResponse R;
      std::string Method, Line;
      if (!Ec) {
        std::istream In(&Request);
        std::getline(In, Line);
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      }
      const std::string Path = Ec ? "" : RequestPath(Line, Method);
      if (Path.empty()) {
        R.Status = 400;
        R.Body = "bad request\n";
      } else if (Method != "GET") {
        R.Status = 405;
        R.Body = "only GET\n";
      } else {
        try {
          R = Owner.Handler(Path);
        } catch (...) {
          R = {500, "text/plain; charset=utf-8", "internal error\n"};
        }
      }
      Answer(R);
    }

    void Answer(const THttpResponse& R) {
      Out = "HTTP/1.1 " + std::to_string(R.Status) + " " + HttpReason(R.Status) + "\r\nContent-Type: " +
            R.ContentType + "\r\nContent-Length: " + std::to_string(R.Body.size()) +
            "\r\nConnection: close\r\n\r\n" + R.Body;
      auto Self = shared_from_this();
      asio::async_write(Socket, asio::buffer(Out), [Self](const asio::error_code&, size_t) { Self->Close(); });
    }

    void Close() {
      asio::error_code Ignored;
      Timer.cancel();
      Socket.shutdown(tcp::socket::shutdown_both, Ignored);
      Socket.close(Ignored);
    }

    TImpl& Owner;
    const asio::ip::address Source;
    tcp::socket Socket;
    asio::steady_timer Timer;
    asio::streambuf Request;
    std::string Out;
  };

  TImpl(const tcp::endpoint& At, THandler H, TAdmit A)
      : Handler(std::move(H)), AdmitSource(std::move(A)), Acceptor(Io) {
    asio::error_code Ec;
    Acceptor.open(At.protocol(), Ec);
    if (!Ec) Acceptor.set_option(tcp::acceptor::reuse_address(true), Ec);
    if (!Ec) Acceptor.bind(At, Ec);
    if (!Ec) Acceptor.listen(asio::socket_base::max_listen_connections, Ec);
    if (Ec) throw Exception("cannot listen on " + At.address().to_string() + ":" + std::to_string(At.port()) + ": " +
                            Ec.message());
    Port = Acceptor.local_endpoint().port();
    Accept();
    Thread = std::thread([this] {
      Platform::NameCurrentThread("brenvic-metrics");
      Io.run();
    });
  }

  ~TImpl() {
    // Connections still open are dropped with the context's handlers.
    Io.stop();
    Thread.join();
  }

  void Accept() {
    Acceptor.async_accept([this](const asio::error_code& Ec, tcp::socket Socket) {
      if (Ec == asio::error::operation_aborted) return;
      if (!Ec) Admit(std::move(Socket));
      Accept();
    });
  }

  // A connection takes a slot only when its source is admitted, holds less than
  // its share and a slot is free. Otherwise it is closed at once, unanswered:
  // an answer would have to wait for a client that may never read it.
  void Admit(tcp::socket Socket) {
    asio::error_code Ec;
    const asio::ip::address Source = Socket.remote_endpoint(Ec).address();
    if (Ec) return;  // gone already; closed with Socket
    const auto Held = PerSource.find(Source);
    if (!Admitted(Source)) {
      ++NotAllowed;
    } else if (Held != PerSource.end() && Held->second >= MaxPerSource) {
      ++PerSourceLimit;
    } else if (Connections >= MaxConnections) {
      ++Busy;
    } else {
      std::make_shared<TConnection>(*this, std::move(Socket), Source)->Start();
      return;
    }
    Socket.close(Ec);
  }

  // A predicate that fails refuses: the list closes rather than opens.
  bool Admitted(const asio::ip::address& Source) const noexcept {
    try {
      return !AdmitSource || AdmitSource(Source.to_string());
    } catch (...) {
      return false;
    }
  }

  THandler Handler;
  const TAdmit AdmitSource;
  // On the server's thread only (and its context's end): the slots taken, in
  // all and per source address.
  size_t Connections = 0;
  std::map<asio::ip::address, size_t> PerSource;
  // Written on the server's thread, read by anyone.
  std::atomic<uint64_t> NotAllowed{0}, PerSourceLimit{0}, Busy{0};
  asio::io_context Io{1};
  tcp::acceptor Acceptor;
  uint16_t Port = 0;       // set before the thread starts
  std::thread Thread;      // runs Io until the destructor
};

TMetricsServer::TMetricsServer(const std::string& Listen, THandler Handler, TAdmit Admit)
    : FImpl(std::make_unique<TImpl>(ParseListen(Listen), std::move(Handler), std::move(Admit))) {}

TMetricsServer::~TMetricsServer() = default;

uint16_t TMetricsServer::Port() const { return FImpl->Port; }

TMetricsRefusals TMetricsServer::Refusals() const {
  return {FImpl->NotAllowed.load(), FImpl->PerSourceLimit.load(), FImpl->Busy.load()};
}
