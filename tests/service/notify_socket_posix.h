#pragma once
// The receiving end of systemd's notify socket, for tests that play systemd.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace ServiceTest {

class TNotifySocket {
public:
  explicit TNotifySocket(const std::string& Path) : FPath(Path) {
    FFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un Addr{};
    Addr.sun_family = AF_UNIX;
    std::memcpy(Addr.sun_path, Path.data(), Path.size());
    bind(FFd, reinterpret_cast<sockaddr*>(&Addr), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Path.size()));
  }
  ~TNotifySocket() {
    close(FFd);
    unlink(FPath.c_str());
  }
  TNotifySocket(const TNotifySocket&) = delete;
  TNotifySocket& operator=(const TNotifySocket&) = delete;

  const std::string& Path() const { return FPath; }

  // The next message, or "<nothing>" after Limit.
  std::string Receive(std::chrono::milliseconds Limit) {
    const timeval Tv{static_cast<time_t>(Limit.count() / 1000), static_cast<suseconds_t>(Limit.count() % 1000 * 1000)};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof(Tv));
    char Buf[512];
    const ssize_t N = recv(FFd, Buf, sizeof(Buf), 0);
    return N > 0 ? std::string(Buf, static_cast<size_t>(N)) : std::string("<nothing>");
  }

private:
  std::string FPath;
  int FFd;
};

}  // namespace ServiceTest
