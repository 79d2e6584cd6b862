// Running as a systemd service: READY=1 / STOPPING=1 on the notify socket, and
// SIGTERM as the stop control. The service's main procedure runs on a thread of
// its own while the calling thread waits for SIGTERM, as the Windows dispatcher
// keeps the main thread and runs the service elsewhere.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/service.h"
#include "platform/sysmsg.h"

namespace Platform {
namespace {
std::atomic<TServiceCtrlHandler> CtrlHandlerProc{nullptr};

void Notify(const std::string& Message) {
  const char* Path = std::getenv("NOTIFY_SOCKET");
  if (!Path || !*Path) return;
  sockaddr_un Addr{};
  Addr.sun_family = AF_UNIX;
  const size_t Len = std::strlen(Path);
  if (Len >= sizeof(Addr.sun_path)) return;
  std::memcpy(Addr.sun_path, Path, Len);
  if (Path[0] == '@') Addr.sun_path[0] = '\0';  // abstract namespace
  const int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return;
  const socklen_t AddrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Len);
  sendto(Fd, Message.data(), Message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&Addr), AddrLen);
  close(Fd);
}
}  // namespace

bool StartedByServiceManager() {
  const char* Socket = std::getenv("NOTIFY_SOCKET");
  const char* Invocation = std::getenv("INVOCATION_ID");
  return Socket && *Socket && Invocation && *Invocation;
}

bool RunServiceDispatcher(const std::string&, TServiceMain Main) {
  if (!StartedByServiceManager()) {
    errno = ServiceErrorNotStartedByManager;
    return false;
  }
  // The stop signal is taken here by sigtimedwait; the service thread inherits
  // the blocked mask, so the signal cannot land on it.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGTERM);
  sigaddset(&Stop, SIGINT);
  sigset_t Old;
  pthread_sigmask(SIG_BLOCK, &Stop, &Old);
  std::atomic<bool> Done{false};
  std::thread Service([&]() noexcept {
    // An exception must not end the process from the service thread: the
    // service's own main reports its failures, anything left is dropped here.
    try {
      Main();
    } catch (...) {
    }
    Done.store(true);
  });
  // A stop that arrives before the service has registered its handler is kept
  // until it has: systemd sends SIGTERM only once.
  bool StopPending = false;
  while (!Done.load()) {
    const timespec Tick{0, 100 * 1000 * 1000};
    if (sigtimedwait(&Stop, nullptr, &Tick) > 0) StopPending = true;
    if (StopPending) {
      if (const TServiceCtrlHandler Handler = CtrlHandlerProc.load()) {
        StopPending = false;
        try {
          Handler(1);
        } catch (...) {
        }
      }
    }
  }
  Service.join();
  pthread_sigmask(SIG_SETMASK, &Old, nullptr);
  return true;
}

uintptr_t RegisterServiceControlHandler(const std::string&, TServiceCtrlHandler Handler) {
  CtrlHandlerProc.store(Handler);
  return 1;
}

void ReportServiceStatus(uintptr_t, uint32_t State, uint32_t ExitCode) {
  switch (State) {
    case 4: Notify("READY=1\nSTATUS=running"); break;
    case 3: Notify("STOPPING=1\nSTATUS=stopping"); break;
    case 1: Notify("STATUS=stopped\nEXIT_STATUS=" + std::to_string(ExitCode)); break;
    default: break;
  }
}

void ReportServiceEvent(const std::string&, TServiceEvent Event, const std::string& Detail) noexcept {
  // Under systemd standard error goes to the journal; "<N>" is its priority.
  if (!StartedByServiceManager()) return;
  switch (Event) {
    case TServiceEvent::Started: std::fprintf(stderr, "<6>The service started.\n"); break;
    case TServiceEvent::Stopped: std::fprintf(stderr, "<6>The service stopped.\n"); break;
    case TServiceEvent::StartFailed: std::fprintf(stderr, "<3>The service failed to start: %s\n", Detail.c_str()); break;
    case TServiceEvent::Exception:
      std::fprintf(stderr, "<3>Exception in the service's main loop: %s\n", Detail.c_str());
      break;
  }
  std::fflush(stderr);
}

}  // namespace Platform
