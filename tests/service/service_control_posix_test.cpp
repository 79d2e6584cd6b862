// The control handlers of the running bridge: what the service control handler
// reports for each control (read from the notify socket, where systemd reads it),
// which console events stop the bridge, and a stop that arrives before the
// service has registered its handler.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "host/service.h"
#include "notify_socket_posix.h"
#include "platform/service.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using ServiceTest::TNotifySocket;

const std::string Running = "READY=1\nSTATUS=running";
const std::string StopPending = "STOPPING=1\nSTATUS=stopping";
const std::string Nothing = "<nothing>";

class ServiceControl : public ::testing::Test {
protected:
  void SetUp() override { setenv("NOTIFY_SOCKET", Socket.Path().c_str(), 1); }
  void TearDown() override { unsetenv("NOTIFY_SOCKET"); }
  TestSupport::TTempDir Dir;
  TNotifySocket Socket{(Dir.Path() / "notify").string()};
};

TEST_F(ServiceControl, StopShutdownAndInterrogate) {
  for (const uint32_t Stop : {1u, 5u, 15u}) {  // shutdown and pre-shutdown are treated like stop
    SCOPED_TRACE(Stop);
    auto* Service = new TRTPService();
    ServiceCtrlHandler(4);
    EXPECT_EQ(Socket.Receive(2s), Running) << "interrogated while running";
    for (const uint32_t Other : {2u, 3u, 0x20u}) ServiceCtrlHandler(Other);  // pause, continue, a custom one
    EXPECT_EQ(Socket.Receive(200ms), Nothing);
    EXPECT_FALSE(Service->FStopRequested.load());

    ServiceCtrlHandler(Stop);
    EXPECT_EQ(Socket.Receive(2s), StopPending);
    EXPECT_TRUE(Service->FStopRequested.load());
    ServiceCtrlHandler(4);
    EXPECT_EQ(Socket.Receive(2s), StopPending) << "interrogated after the stop request";
    delete Service;
  }
  // No controller (before it exists or after it is gone): nothing to report.
  ServiceCtrlHandler(4);
  ServiceCtrlHandler(1);
  EXPECT_EQ(Socket.Receive(200ms), Nothing);
}

TEST(ConsoleControl, TheStopEventsAndNoOthers) {
  for (const uint32_t Event : {0u, 1u, 2u, 5u, 6u, 3u, 4u, 7u}) {
    SCOPED_TRACE(Event);
    const bool Stops = Event <= 2 || Event == 5 || Event == 6;
    auto* Service = new TRTPService();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConsoleCtrlHandler(Event), Stops);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Stops ? "Have a STOP signal...\r\n" : "");
    EXPECT_EQ(Service->FStopRequested.load(), Stops);
    if (Stops) {
      // Another stop event while stopping (SIGTERM after Ctrl+C): taken, and quiet.
      testing::internal::CaptureStdout();
      EXPECT_TRUE(ConsoleCtrlHandler(6));
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    delete Service;
  }
}

// A stop that systemd sends while the service thread is still on its way to
// registering the handler is kept for it, not lost.
std::atomic<int> StopControls{0};
pthread_t DispatcherThread;

void OnControl(uint32_t Control) {
  if (Control == 1) ++StopControls;
}

void LateRegistration() {
  pthread_kill(DispatcherThread, SIGTERM);
  std::this_thread::sleep_for(300ms);  // long enough for the dispatcher to have taken the signal
  Platform::RegisterServiceControlHandler("Vantelo", OnControl);
  const auto Deadline = std::chrono::steady_clock::now() + 5s;
  while (StopControls == 0 && std::chrono::steady_clock::now() < Deadline) std::this_thread::sleep_for(5ms);
}

TEST(ServiceDispatcher, AStopBeforeTheHandlerIsRegisteredIsDeliveredLater) {
  setenv("NOTIFY_SOCKET", "@brenvic-none", 1);
  setenv("INVOCATION_ID", "0123456789abcdef", 1);
  Platform::RegisterServiceControlHandler("Vantelo", nullptr);
  DispatcherThread = pthread_self();
  EXPECT_TRUE(Platform::RunServiceDispatcher("Vantelo", LateRegistration));
  EXPECT_EQ(StopControls, 1);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("INVOCATION_ID");
}

}  // namespace
