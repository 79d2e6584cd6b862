// The service end to end against the system's service manager: installed,
// controlled and uninstalled through the program's own commands, checked against
// what the service manager and the registry then hold, and the bridge that the
// service runs checked through its log. Every test leaves the service unregistered.
//
// wine-own-prefix.sh runs this program in a Wine prefix made for the run; anywhere
// else the tests skip, so that nothing gets registered with a shared prefix's (or a
// real machine's) service manager by accident.
//
// Where Wine differs from Windows:
// - its system texts are shorter ("Service does not exist" where Windows says "The
//   specified service does not exist as an installed service"): expected texts are
//   taken from the system, as the program takes them;
// - a process that connects to the control dispatcher without having been started
//   by the service manager is kept waiting on the running service's control pipe
//   (10 s and more) instead of being refused at once: that case is tried while the
//   service is stopped;
// - StartService returns on Windows once the service's main function has been
//   started, and on Wine only at the service's first status report (waiting 10 s
//   at most), failing with ERROR_SERVICE_REQUEST_TIMEOUT when that report is
//   stopped: a start that fails is an install that failed under Wine;
// - the shutdown and pre-shutdown controls come from the system alone (ControlService
//   refuses them), and Wine's service manager, when it shuts down, ends the
//   service processes without sending them: here the service is seen to accept
//   them; what its handler does with them is tried on the handler itself.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/sc_handle_win32.h"
#include "platform/sysmsg.h"
#include "program_win32.h"
#include "service_events.h"  // the program's event ids

namespace {

using namespace WinE2E;
using Platform::TScHandle;
using Lines = std::vector<std::string>;

const std::string Display = "\"TAVEK Vantelo service\"";

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

// The service "Vantelo" opened with Access; empty when that fails.
struct TService {
  explicit TService(DWORD Access)
      : Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)),
        Service(Manager ? OpenServiceA(Manager.Get(), "Vantelo", Access) : nullptr) {
    if (!Service) Error = GetLastError();
  }
  TScHandle Manager;
  TScHandle Service;
  DWORD Error = 0;
};

std::optional<SERVICE_STATUS_PROCESS> QueryStatus() {
  TService S(SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS Status{};
  DWORD Needed = 0;
  if (!S.Service || !QueryServiceStatusEx(S.Service.Get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&Status), sizeof(Status), &Needed))
    return std::nullopt;
  return Status;
}

DWORD CurrentState() {
  const auto Status = QueryStatus();
  return Status ? Status->dwCurrentState : 0;
}

bool WaitForState(DWORD State, std::chrono::milliseconds Limit) {
  const auto Deadline = std::chrono::steady_clock::now() + Limit;
  while (CurrentState() != State) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

bool WaitUntilUnregistered(std::chrono::milliseconds Limit) {
  const auto Deadline = std::chrono::steady_clock::now() + Limit;
  for (;;) {
    TService S(SERVICE_QUERY_STATUS);
    if (!S.Service && S.Error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

// The state the service answers an interrogation with; empty when it cannot be
// asked (for instance because it is no longer running).
std::optional<DWORD> Interrogate() {
  TService S(SERVICE_INTERROGATE);
  SERVICE_STATUS Status{};
  if (!S.Service || !ControlService(S.Service.Get(), SERVICE_CONTROL_INTERROGATE, &Status)) return std::nullopt;
  return Status.dwCurrentState;
}

struct TConfig {
  DWORD Type = 0, Start = 0, ErrorControl = 0, TagId = 0;
  std::string Path, Group, Dependencies, Account, DisplayName;
};

std::optional<TConfig> QueryConfig() {
  TService S(SERVICE_QUERY_CONFIG);
  if (!S.Service) return std::nullopt;
  std::vector<BYTE> Buf(8192);
  DWORD Needed = 0;
  auto* C = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(Buf.data());
  if (!QueryServiceConfigA(S.Service.Get(), C, static_cast<DWORD>(Buf.size()), &Needed)) return std::nullopt;
  auto Text = [](const char* P) { return std::string(P ? P : ""); };
  return TConfig{C->dwServiceType, C->dwStartType, C->dwErrorControl, C->dwTagId, Text(C->lpBinaryPathName),
                 Text(C->lpLoadOrderGroup), Text(C->lpDependencies), Text(C->lpServiceStartName),
                 Text(C->lpDisplayName)};
}

struct TValue {
  DWORD Type = 0;
  std::string Bytes;
};

std::optional<TValue> DescriptionValue() {
  HKEY Key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Vantelo", 0, KEY_READ, &Key) !=
      ERROR_SUCCESS)
    return std::nullopt;
  TValue V;
  char Buf[512];
  DWORD Size = sizeof(Buf);
  const LONG R = RegQueryValueExA(Key, "Description", nullptr, &V.Type, reinterpret_cast<BYTE*>(Buf), &Size);
  RegCloseKey(Key);
  if (R != ERROR_SUCCESS) return std::nullopt;
  V.Bytes.assign(Buf, Size);
  return V;
}

struct TEventSource {
  std::string MessageFile;
  DWORD Types = 0;
};

std::optional<TEventSource> EventSource() {
  HKEY Key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vantelo", 0,
                    KEY_READ, &Key) != ERROR_SUCCESS)
    return std::nullopt;
  TEventSource S;
  char Buf[1024];
  DWORD Size = sizeof(Buf), Type = 0;
  if (RegQueryValueExA(Key, "EventMessageFile", nullptr, &Type, reinterpret_cast<BYTE*>(Buf), &Size) ==
          ERROR_SUCCESS &&
      Type == REG_EXPAND_SZ && Size > 0)
    S.MessageFile.assign(Buf, Size - 1);
  Size = sizeof(S.Types);
  RegQueryValueExA(Key, "TypesSupported", nullptr, &Type, reinterpret_cast<BYTE*>(&S.Types), &Size);
  RegCloseKey(Key);
  return S;
}

// The text of an event as the event viewer forms it from the message file.
std::string EventText(const std::string& MessageFile, DWORD Id, const std::string& Insert) {
  const HMODULE Module = LoadLibraryExA(MessageFile.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!Module) return "<no message file>";
  DWORD_PTR Args[] = {reinterpret_cast<DWORD_PTR>(Insert.c_str())};
  char Buf[512] = {};
  const DWORD N = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, Module, Id, 0x409, Buf,
                                 sizeof(Buf), reinterpret_cast<va_list*>(Args));
  FreeLibrary(Module);
  return N ? std::string(Buf, N) : "<no message " + std::to_string(Id) + ">";
}

// Restart after a minute, twice, then nothing; the count reset after a day; and
// also when the service stops with an error of its own.
void ExpectRecoveryActions() {
  TService S(SERVICE_QUERY_CONFIG);
  ASSERT_TRUE(S.Service);
  std::vector<BYTE> Buf(4096);
  DWORD Needed = 0;
  const bool Queried = QueryServiceConfig2A(S.Service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, Buf.data(),
                                            static_cast<DWORD>(Buf.size()), &Needed);
  if (UnderWine() && !Queried) {
    // Wine keeps no failure actions (both levels are refused as unknown): there
    // is nothing to read back. This notices the day it does.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    return;
  }
  ASSERT_TRUE(Queried) << GetLastError();
  const auto* F = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(Buf.data());
  EXPECT_EQ(F->dwResetPeriod, 86400u);
  ASSERT_EQ(F->cActions, 3u);
  EXPECT_EQ(F->lpsaActions[0].Type, SC_ACTION_RESTART);
  EXPECT_EQ(F->lpsaActions[0].Delay, 60000u);
  EXPECT_EQ(F->lpsaActions[1].Type, SC_ACTION_RESTART);
  EXPECT_EQ(F->lpsaActions[1].Delay, 60000u);
  EXPECT_EQ(F->lpsaActions[2].Type, SC_ACTION_NONE);
  SERVICE_FAILURE_ACTIONS_FLAG Flag{};
  ASSERT_TRUE(QueryServiceConfig2A(S.Service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&Flag),
                                   sizeof(Flag), &Needed))
      << GetLastError();
  EXPECT_TRUE(Flag.fFailureActionsOnNonCrashFailures);
}

bool ProcessEnds(DWORD Pid, std::chrono::milliseconds Limit) {
  THandle P(OpenProcess(SYNCHRONIZE, FALSE, Pid));
  return !P || WaitForSingleObject(P.Get(), static_cast<DWORD>(Limit.count())) == WAIT_OBJECT_0;
}

// Stops and deletes the service if a test left it behind.
void RemoveService() {
  {
    TService S(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!S.Service) return;
    SERVICE_STATUS Status{};
    ControlService(S.Service.Get(), SERVICE_CONTROL_STOP, &Status);
    WaitForState(SERVICE_STOPPED, 20s);
    DeleteService(S.Service.Get());
  }
  WaitUntilUnregistered(20s);
}

const Lines StartLines = {"TAVEK Vantelo service starting...", "RTP Session starting...",
                          "Audio mixer processor -> started", "UDP sender/receiver processor -> started",
                          "Sound recorder processor -> started", "Sound player processor -> started",
                          "RTP session processor -> started", "RTP Session started successfully",
                          "TAVEK Vantelo service started successfully"};
const Lines StopLines = {"TAVEK Vantelo service stopping...", "RTP Session stopping...",
                         "Sound recorder processor -> stopped", "Sound player processor -> stopped",
                         "UDP sender/receiver processor -> stopped", "Audio mixer processor -> stopped",
                         "RTP Session stopped", "TAVEK Vantelo service stopped successfully"};

class ServiceManager : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::getenv("BRENVIC_OWN_WINEPREFIX")) GTEST_SKIP() << "needs a Wine prefix of its own (wine-own-prefix.sh)";
    ASSERT_FALSE(QueryStatus()) << "the service was registered before the test began";
    UdpPort = FreePort(SOCK_DGRAM);
    TcpPort = FreePort(SOCK_STREAM);
    ASSERT_NE(UdpPort, 0);
    ASSERT_NE(TcpPort, 0);
  }
  void TearDown() override {
    if (std::getenv("BRENVIC_OWN_WINEPREFIX")) RemoveService();
  }

  // A command's console lines; it must end, with exit code ExitCode (0 when it
  // did what was asked, 1 when it failed or was refused).
  static Lines Command(TProgram& P, const std::string& Args, DWORD ExitCode = 0) {
    const TRun R = P.Run(Args);
    EXPECT_EQ(R.ExitCode, std::optional<DWORD>(ExitCode)) << Args;
    return R.Lines();
  }

  TestSupport::TTempDir Root;
  uint16_t UdpPort = 0, TcpPort = 0;
};

TEST_F(ServiceManager, InstallRunKillAndUninstall) {
  TProgram Bridge(Root.Path() / "bridge", HeadlessIni(UdpPort, TcpPort));
  // The commands that follow the install come from a second copy that does not
  // log, so that no other process writes the service's log file while it does.
  TProgram Admin(Root.Path() / "admin", HeadlessIni(0, 0, false));
  const std::string NoSuchService = Quoted(Platform::SystemMessage(ERROR_SERVICE_DOES_NOT_EXIST));

  EXPECT_EQ(Command(Admin, "kill", 1), Lines{"Stop service - FAIL " + NoSuchService});
  EXPECT_EQ(Command(Admin, "uninstall", 1), Lines{Display + " is not installed"});
  EXPECT_FALSE(EventSource()) << "no event source before the install";

  // Registered with its identities, started and described.
  ASSERT_EQ(Command(Bridge, "install"), Lines{"Install " + Display + " - OK"});
  const auto Config = QueryConfig();
  ASSERT_TRUE(Config);
  EXPECT_EQ(Config->Type, 0x10u);
  EXPECT_EQ(Config->Start, 2u);
  EXPECT_EQ(Config->ErrorControl, 1u);
  const std::string Exe = Bridge.Exe().string();
  EXPECT_EQ(Config->Path, Exe.find(' ') == std::string::npos ? Exe : Quoted(Exe)) << "the executable, no arguments";
  EXPECT_EQ(Config->DisplayName, "TAVEK Vantelo service");
  EXPECT_EQ(Config->Account, "LocalSystem");
  EXPECT_EQ(Config->Group, "");
  EXPECT_EQ(Config->Dependencies, "");
  EXPECT_EQ(Config->TagId, 0u);
  const auto Description = DescriptionValue();
  ASSERT_TRUE(Description);
  EXPECT_EQ(Description->Type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Description->Bytes, std::string("TAVEK Vantelo service.", 23)) << "with its terminating zero";
  ExpectRecoveryActions();

  // The event source, and the texts of its events in the program's own message table.
  const auto Source = EventSource();
  ASSERT_TRUE(Source);
  EXPECT_EQ(Source->MessageFile, Exe);
  EXPECT_EQ(Source->Types, static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(EventText(Exe, MSG_SERVICE_STARTED, ""), "The service started.\r\n");
  EXPECT_EQ(EventText(Exe, MSG_SERVICE_STOPPED, ""), "The service stopped.\r\n");
  EXPECT_EQ(EventText(Exe, MSG_SERVICE_START_FAILED, "Cannot start server."),
            "The service failed to start: Cannot start server.\r\n");
  EXPECT_EQ(EventText(Exe, MSG_SERVICE_EXCEPTION, "out of memory"),
            "Exception in the service's main loop: out of memory\r\n");

  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20s)) << CurrentState();
  ASSERT_TRUE(Bridge.WaitForLog("TAVEK Vantelo service started successfully", 10s));
  EXPECT_TRUE(InOrder(Bridge.LogLines(), StartLines));
  const auto Running = QueryStatus();
  ASSERT_TRUE(Running);
  EXPECT_EQ(Running->dwServiceType, 0x10u);
  EXPECT_EQ(Running->dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN))
      << "stopped, not ended, when the system shuts down";
  EXPECT_EQ(Running->dwWin32ExitCode, 0u);
  EXPECT_EQ(Running->dwWaitHint, 5000u);
  EXPECT_NE(Running->dwProcessId, 0u);
  EXPECT_EQ(Interrogate(), std::optional<DWORD>(SERVICE_RUNNING));

  EXPECT_EQ(Command(Bridge, "install", 1), Lines{Display + " is already installed"});
  EXPECT_EQ(Command(Admin, "run -s", 1),
            Lines{"Run as service - FAIL " + Quoted(Platform::SystemMessage(ERROR_SERVICE_ALREADY_RUNNING))});

  // The stop request is answered with stop pending; the command does not wait.
  EXPECT_EQ(Command(Admin, "kill"), Lines{"Stop service - OK [Status=0x3]"});
  EXPECT_EQ(Command(Admin, "kill", 1), Lines{"Stop service - FAIL \"Service already stopped\""});
  const auto Answer = Interrogate();
  if (Answer) {
    EXPECT_EQ(*Answer, static_cast<DWORD>(SERVICE_STOP_PENDING)) << "asked again while it stops";
  }
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED, 20s)) << CurrentState();
  EXPECT_TRUE(ProcessEnds(Running->dwProcessId, 10s)) << "the service's process ends with it";
  const auto Stopped = QueryStatus();
  ASSERT_TRUE(Stopped);
  EXPECT_EQ(Stopped->dwWin32ExitCode, 0u);
  EXPECT_EQ(Stopped->dwServiceSpecificExitCode, 0u);
  EXPECT_TRUE(InOrder(Bridge.LogLines(), StopLines));

  // Started again through the service manager.
  EXPECT_EQ(Command(Admin, "run -s"), Lines{"Run as service - OK"});
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20s)) << CurrentState();
  ASSERT_TRUE(Bridge.WaitForLog("TAVEK Vantelo service started successfully", 10s, 2));

  // Uninstalled while it runs: it goes on until it is stopped, then the
  // registration is gone.
  EXPECT_EQ(Command(Admin, "uninstall"), Lines{"Uninstall " + Display + " - OK"});
  EXPECT_EQ(CurrentState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Command(Admin, "kill"), Lines{"Stop service - OK [Status=0x3]"});
  EXPECT_TRUE(WaitUntilUnregistered(20s));
  EXPECT_TRUE(Bridge.WaitForLog("TAVEK Vantelo service stopped successfully", 10s, 2));
  EXPECT_FALSE(DescriptionValue()) << "the registry key went with the registration";
  EXPECT_FALSE(EventSource()) << "the event source went with the uninstall";
  EXPECT_EQ(Command(Admin, "uninstall", 1), Lines{Display + " is not installed"});
  EXPECT_EQ(Command(Admin, "kill", 1), Lines{"Stop service - FAIL " + NoSuchService});
  const Lines RunS = Command(Admin, "run -s", 1);
  ASSERT_FALSE(RunS.empty());
  EXPECT_EQ(RunS[0], Display + " is not installed");
}

TEST_F(ServiceManager, TheInstallListIsWrittenBeforeTheServiceIsTouched) {
  TProgram Bridge(Root.Path() / "bridge", HeadlessIni(UdpPort, TcpPort, false));
  const fs::path List = Bridge.Dir() / "PreinstalledServices.lst";

  // A list file that cannot be written ends the command; nothing is registered.
  fs::create_directory(List);
  EXPECT_EQ(Command(Bridge, "install -L(a)", 1),
            (Lines{"Added preinstall administrative service from \"a\"",
                   "Error writing " + Quoted(List.string()) + " - " + Platform::SystemMessage(ERROR_ACCESS_DENIED)}));
  EXPECT_FALSE(QueryStatus());
  fs::remove(List);

  EXPECT_EQ(Command(Bridge, "install -L(a,b)"),
            (Lines{"Added preinstall administrative service from \"a\"",
                   "Added preinstall administrative service from \"b\"", "Install " + Display + " - OK"}));
  EXPECT_EQ(TestSupport::ReadFile(List), "a\r\nb\r\n");
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20s)) << CurrentState();

  // Registered already: the list is written all the same.
  EXPECT_EQ(Command(Bridge, "INSTALL -L[c]", 1),
            (Lines{"Added preinstall administrative service from \"c\"", Display + " is already installed"}));
  EXPECT_EQ(TestSupport::ReadFile(List), "c\r\n");
}

TEST_F(ServiceManager, AStartThatFailsEndsInStoppedWithTheServiceSpecificCode) {
  // The TCP port is taken, so the session cannot start.
  const TPort Taken(SOCK_STREAM, true);
  ASSERT_NE(Taken.Port(), 0);
  TProgram Bridge(Root.Path() / "bridge", HeadlessIni(UdpPort, Taken.Port(), false));

  if (UnderWine())
    EXPECT_EQ(Command(Bridge, "install", 1),
              Lines{"Error installing " + Display + " - " + Platform::SystemMessage(ERROR_SERVICE_REQUEST_TIMEOUT)});
  else
    EXPECT_EQ(Command(Bridge, "install"), Lines{"Install " + Display + " - OK"}) << "the start itself is accepted";
  EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 20s)) << CurrentState();
  const auto Status = QueryStatus();
  ASSERT_TRUE(Status);
  EXPECT_EQ(Status->dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR)) << "a failure, not a clean stop";
  EXPECT_EQ(Status->dwServiceSpecificExitCode, 3u);
  ASSERT_TRUE(Bridge.WaitForLog("Exception in main proceding: TAVEK Vantelo service failed to start", 10s));
  const Lines Log = Bridge.LogLines();
  ASSERT_EQ(Log.size(), 2u) << "with logging off only the error lines";
  EXPECT_EQ(Log[0].rfind("Exception starting RTP Session: Cannot start server. ", 0), 0u) << Log[0];

  // Registered but not started by the service manager, without a console: the
  // control dispatcher refuses the connection and the bridge does not start.
  ASSERT_TRUE(Bridge.Start("", DETACHED_PROCESS, false));
  EXPECT_EQ(Bridge.Wait(20s), std::optional<DWORD>(1));
  EXPECT_EQ(Bridge.LogLines().size(), 2u);
  EXPECT_EQ(CurrentState(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceManager, AFolderWithABlankStartsThisProgramAndNoOther) {
  TProgram Bridge(Root.Path() / "svc dir", HeadlessIni(UdpPort, TcpPort));
  // What an unquoted path would start instead: "...\svc.exe" with the rest of the
  // path as its argument.
  fs::copy_file(Bridge.Exe(), Root.Path() / "svc.exe");

  ASSERT_EQ(Command(Bridge, "install"), Lines{"Install " + Display + " - OK"});
  const auto Config = QueryConfig();
  ASSERT_TRUE(Config);
  EXPECT_EQ(Config->Path, Quoted(Bridge.Exe().string()));
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20s)) << CurrentState();
  EXPECT_TRUE(Bridge.WaitForLog("TAVEK Vantelo service started successfully", 10s));
  EXPECT_FALSE(fs::exists(Root.Path() / "Logs")) << "the program in the parent folder was started";
}

}  // namespace
