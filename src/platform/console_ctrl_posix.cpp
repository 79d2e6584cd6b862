// Console control on Linux: SIGINT, SIGHUP and SIGTERM become console events.
// The signal handler only writes the signal number into a pipe; a watcher thread
// reads it and calls the program's handler there, as Windows calls a console
// control handler on a thread of its own.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/console.h"
#include "platform/mutex.h"

namespace Platform {
namespace {

const int Signals[] = {SIGINT, SIGHUP, SIGTERM};

uint32_t EventOf(int Signal) {
  switch (Signal) {
    case SIGINT: return 0;   // Ctrl+C
    case SIGHUP: return 2;   // the terminal went away
    default: return 6;       // SIGTERM: asked to shut down
  }
}

int PipeFds[2] = {-1, -1};  // written by the signal handler, read by the watcher

void OnSignal(int Signal) {
  const int Saved = errno;
  const unsigned char Byte = static_cast<unsigned char>(Signal);
  [[maybe_unused]] const ssize_t N = write(PipeFds[1], &Byte, 1);
  errno = Saved;
}

class TWatcher {
public:
  ~TWatcher() { Stop(); }

  bool Start(TConsoleCtrlHandler Handler) {
    TLockGuard Guard(FLock);
    FHandler.store(Handler);
    if (!FThread.joinable()) {
      if (pipe(PipeFds) != 0) return false;
      fcntl(PipeFds[0], F_SETFD, FD_CLOEXEC);
      fcntl(PipeFds[1], F_SETFD, FD_CLOEXEC);
      fcntl(PipeFds[1], F_SETFL, O_NONBLOCK);
      FThread = std::thread([this] { Run(); });
    }
    struct sigaction Action {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (int S : Signals) sigaction(S, &Action, nullptr);
    return true;
  }

  void Remove() {
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    for (int S : Signals) sigaction(S, &Default, nullptr);
    FHandler.store(nullptr);
  }

private:
  void Run() {
    for (;;) {
      unsigned char Byte = 0;
      const ssize_t N = read(PipeFds[0], &Byte, 1);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0 || Byte == 0) return;  // 0: the watcher is asked to end
      const TConsoleCtrlHandler Handler = FHandler.load();
      bool Handled = false;
      try {
        Handled = Handler && Handler(EventOf(Byte));
      } catch (...) {
        Handled = false;  // failed on the way: the system's default keeps the stop from being lost
      }
      if (!Handled) {
        // Not handled: the default action, as the system would take it.
        Remove();
        raise(Byte);
      }
    }
  }

  void Stop() {
    TLockGuard Guard(FLock);
    if (!FThread.joinable()) return;
    Remove();
    const unsigned char Zero = 0;
    [[maybe_unused]] const ssize_t N = write(PipeFds[1], &Zero, 1);
    FThread.join();
    close(PipeFds[0]);
    close(PipeFds[1]);
    PipeFds[0] = PipeFds[1] = -1;
  }

  TMutex FLock;  // guards starting and stopping
  std::atomic<TConsoleCtrlHandler> FHandler{nullptr};
  std::thread FThread GUARDED_BY(FLock);  // the watcher
};

TWatcher Watcher;

}  // namespace

bool AddConsoleCtrlHandler(TConsoleCtrlHandler Handler) { return Watcher.Start(Handler); }

void RemoveConsoleCtrlHandler() { Watcher.Remove(); }

// A Linux process keeps its terminal; the console lines simply end here.
void DetachConsole() {}

}  // namespace Platform
