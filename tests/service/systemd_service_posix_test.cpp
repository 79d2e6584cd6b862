// The real program started as systemd starts the service: no arguments, no
// console, NOTIFY_SOCKET and INVOCATION_ID in its environment. The test plays
// systemd: it listens on the notify socket and stops the service with SIGTERM.
// The unit file sits in a folder of the test's own (BRENVIC_SYSTEMD_UNIT_DIR), as
// does the sign that systemd runs (BRENVIC_SYSTEMD_RUN_DIR).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "e2e/bridge_process_posix.h"
#include "notify_socket_posix.h"
#include "platform/service.h"

namespace {

using namespace std::chrono_literals;
using E2E::TBridge;
using ServiceTest::TNotifySocket;
using Lines = std::vector<std::string>;

// A socket bound to a free loopback port; listening when Listen is set.
class TPort {
public:
  TPort(int Type, bool Listen = false) : FFd(socket(AF_INET, Type, 0)) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t L = sizeof(A);
    bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    if (Listen) listen(FFd, 1);
    getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &L);
    FPort = ntohs(A.sin_port);
  }
  ~TPort() { close(FFd); }
  TPort(const TPort&) = delete;
  TPort& operator=(const TPort&) = delete;
  uint16_t Port() const { return FPort; }

private:
  int FFd;
  uint16_t FPort = 0;
};

uint16_t FreePort(int Type) { return TPort(Type).Port(); }

class SystemdService : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directory(Systemd.Path() / "units");
    std::filesystem::create_directory(Systemd.Path() / "run");
  }

  // Registers the unit of B's program and starts it the way systemd does.
  void StartAsService(TBridge& B) {
    TestSupport::WriteFile(Systemd.Path() / "units" / "Vantelo.service",
                           Platform::SystemdUnitText({"Vantelo", "TAVEK Vantelo service", "TAVEK Vantelo service.",
                                                      (B.Dir() / "Brenvic").string()}));
    const std::pair<const char*, std::string> Environment[] = {
        {"NOTIFY_SOCKET", Socket.Path()},
        {"INVOCATION_ID", "5c1b0dd2a7e84e0c9c4bd3f5a1e0b7d6"},
        {"BRENVIC_SYSTEMD_UNIT_DIR", (Systemd.Path() / "units").string()},
        {"BRENVIC_SYSTEMD_RUN_DIR", (Systemd.Path() / "run").string()}};
    for (const auto& [Name, Value] : Environment) setenv(Name, Value.c_str(), 1);
    // Its standard error is what the journal would get.
    const int Saved = dup(2);
    const int Journal = open(JournalPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(Journal, 2);
    B.Start({});
    dup2(Saved, 2);
    close(Saved);
    close(Journal);
    for (const auto& [Name, Value] : Environment) unsetenv(Name);
  }

  std::string JournalPath() const { return (Systemd.Path() / "journal").string(); }
  std::string Journal() const { return TestSupport::ReadFile(JournalPath()); }

  static bool Has(const Lines& Log, const std::string& Line) {
    return std::find(Log.begin(), Log.end(), Line) != Log.end();
  }

  TestSupport::TTempDir Systemd;
  TNotifySocket Socket{(Systemd.Path() / "notify").string()};
};

TEST_F(SystemdService, ReadyAfterTheStartThenSigtermStopsIt) {
  TBridge B(TestSupport::HeadlessIni(FreePort(SOCK_DGRAM), FreePort(SOCK_STREAM), true));
  StartAsService(B);

  ASSERT_EQ(Socket.Receive(15s), "READY=1\nSTATUS=running");
  const Lines Started = B.LogLines();
  EXPECT_TRUE(Has(Started, "RTP session processor -> started"));
  EXPECT_TRUE(Has(Started, "TAVEK Vantelo service started successfully")) << "ready only once the bridge runs";

  B.Signal(SIGTERM);
  const auto Sent = std::chrono::steady_clock::now();
  EXPECT_EQ(Socket.Receive(5s), "STOPPING=1\nSTATUS=stopping");
  EXPECT_EQ(B.Wait(10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - Sent, 3s) << "a loop period and the stop, with slack";
  EXPECT_EQ(Socket.Receive(1s), "STATUS=stopped\nEXIT_STATUS=0");

  const Lines Log = B.LogLines();
  for (const char* Line :
       {"TAVEK Vantelo service stopping...", "RTP Session stopping...", "Sound recorder processor -> stopped",
        "Sound player processor -> stopped", "UDP sender/receiver processor -> stopped",
        "Audio mixer processor -> stopped", "RTP Session stopped", "TAVEK Vantelo service stopped successfully"})
    EXPECT_TRUE(Has(Log, Line)) << Line;
  EXPECT_EQ(B.Console(), "") << "a service has no console: no usage text, no application lines";
  EXPECT_EQ(Journal(), "<6>The service started.\n<6>The service stopped.\n");
}

TEST_F(SystemdService, AStartThatFailsReportsStoppedWithoutReadyAndExitsWithThree) {
  TPort Taken(SOCK_STREAM, true);
  TBridge B(TestSupport::HeadlessIni(FreePort(SOCK_DGRAM), Taken.Port(), false));
  StartAsService(B);

  EXPECT_EQ(Socket.Receive(15s), "STATUS=stopped\nEXIT_STATUS=3");
  EXPECT_EQ(B.Wait(10s), 3) << "a failure, so that systemd's Restart=on-failure applies";
  const Lines Log = B.LogLines();
  ASSERT_EQ(Log.size(), 2u) << "with logging off only the error lines";
  EXPECT_EQ(Log[0].rfind("Exception starting RTP Session: Cannot start server. ", 0), 0u) << Log[0];
  EXPECT_EQ(Log[1], "Exception in main proceding: TAVEK Vantelo service failed to start");
  EXPECT_EQ(Journal(), "<3>The service failed to start: " + Log[0].substr(32) + "\n") << "with the reason";
}

}  // namespace
