// What the service runtime rests on where the service manager is systemd: the
// notify socket, SIGTERM as the stop control, and signals as console events.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "platform/service.h"
#include "platform/sysmsg.h"
#include "test_support.h"

namespace {

class NotifySocket {
public:
  explicit NotifySocket(const std::string& Path) {
    FFd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un Addr{};
    Addr.sun_family = AF_UNIX;
    std::memcpy(Addr.sun_path, Path.data(), Path.size());
    if (Path[0] == '@') Addr.sun_path[0] = '\0';
    bind(FFd, reinterpret_cast<sockaddr*>(&Addr), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Path.size()));
    timeval Tv{2, 0};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof(Tv));
  }
  ~NotifySocket() { close(FFd); }
  std::string Receive() {
    char Buf[512];
    const ssize_t N = recv(FFd, Buf, sizeof(Buf), 0);
    return N > 0 ? std::string(Buf, static_cast<size_t>(N)) : std::string("<nothing>");
  }

private:
  int FFd;
};

TEST(ServiceRuntime, StatesGoToTheNotifySocket) {
  TestSupport::TTempDir Dir;
  for (const std::string& Path : {(Dir.Path() / "notify").string(), std::string("@brenvic-test-") + std::to_string(getpid())}) {
    NotifySocket Socket(Path);
    setenv("NOTIFY_SOCKET", Path.c_str(), 1);
    Platform::ReportServiceStatus(1, 4, 0);
    EXPECT_EQ(Socket.Receive(), "READY=1\nSTATUS=running") << Path;
    Platform::ReportServiceStatus(1, 3, 0);
    EXPECT_EQ(Socket.Receive(), "STOPPING=1\nSTATUS=stopping");
    Platform::ReportServiceStatus(1, 1, 0);
    EXPECT_EQ(Socket.Receive(), "STATUS=stopped\nEXIT_STATUS=0");
  }
  unsetenv("NOTIFY_SOCKET");
  Platform::ReportServiceStatus(1, 4, 0);  // no socket: nothing happens
}

std::atomic<int> StopControls{0};
std::atomic<bool> StopSeen{false};
pthread_t DispatcherThread;

void OnControl(uint32_t Control) {
  if (Control == 1) {
    ++StopControls;
    StopSeen = true;
  }
}

void ServiceBody() {
  Platform::RegisterServiceControlHandler("Vantelo", OnControl);
  // The stop arrives as systemd sends it: SIGTERM to the process's main thread.
  pthread_kill(DispatcherThread, SIGTERM);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!StopSeen && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(ServiceRuntime, TheDispatcherRunsTheServiceAndTurnsSigtermIntoStop) {
  unsetenv("NOTIFY_SOCKET");
  unsetenv("INVOCATION_ID");
  EXPECT_FALSE(Platform::StartedByServiceManager());
  EXPECT_FALSE(Platform::RunServiceDispatcher("Vantelo", ServiceBody));
  EXPECT_EQ(errno, Platform::ServiceErrorNotStartedByManager);
  EXPECT_EQ(Platform::SystemMessage(errno), "The program was not started by the service manager");

  setenv("NOTIFY_SOCKET", "@brenvic-none", 1);
  setenv("INVOCATION_ID", "0123456789abcdef", 1);
  EXPECT_TRUE(Platform::StartedByServiceManager());
  EXPECT_FALSE(Platform::HasStdOutput()) << "a service has no console";
  DispatcherThread = pthread_self();
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Platform::RunServiceDispatcher("Vantelo", ServiceBody));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(2));
  EXPECT_EQ(StopControls, 1);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("INVOCATION_ID");
  EXPECT_TRUE(Platform::HasStdOutput());
}

std::atomic<int> LastEvent{-1};
std::atomic<bool> HandledOnOtherThread{false};
pthread_t TestThread;

bool OnConsoleEvent(uint32_t Event) {
  HandledOnOtherThread = !pthread_equal(pthread_self(), TestThread);
  LastEvent = static_cast<int>(Event);
  return true;
}

int WaitForEvent() {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (LastEvent < 0 && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return LastEvent.exchange(-1);
}

TEST(ConsoleControl, SignalsBecomeConsoleEventsOnAThreadOfTheirOwn) {
  TestThread = pthread_self();
  ASSERT_TRUE(Platform::AddConsoleCtrlHandler(OnConsoleEvent));
  raise(SIGINT);
  EXPECT_EQ(WaitForEvent(), 0);
  EXPECT_TRUE(HandledOnOtherThread);
  raise(SIGHUP);
  EXPECT_EQ(WaitForEvent(), 2);
  raise(SIGTERM);
  EXPECT_EQ(WaitForEvent(), 6);
  Platform::RemoveConsoleCtrlHandler();
  struct sigaction Now {};
  sigaction(SIGINT, nullptr, &Now);
  EXPECT_EQ(Now.sa_handler, SIG_DFL) << "a second Ctrl+C takes the default way out";
}



// The system calls these without a frame of ours above them: whatever the
// program's side raises must stop there, not end the process with an abort.
void ThrowingService() { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }

TEST(ServiceRuntime, AServiceMainThatThrowsEndsTheServiceNotTheProcess) {
  setenv("NOTIFY_SOCKET", "@brenvic-none", 1);
  setenv("INVOCATION_ID", "0123456789abcdef", 1);
  EXPECT_TRUE(Platform::RunServiceDispatcher("Vantelo", ThrowingService));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("INVOCATION_ID");
}

bool ThrowingConsoleHandler(uint32_t) { throw std::bad_alloc(); }

TEST(ConsoleControlDeathTest, AHandlerThatThrowsLeavesTheStopToTheSystem) {
  // Not an abort from the watcher thread: the signal's own default action.
  EXPECT_EXIT(
      {
        Platform::AddConsoleCtrlHandler(ThrowingConsoleHandler);
        raise(SIGTERM);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::exit(0);
      },
      testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
