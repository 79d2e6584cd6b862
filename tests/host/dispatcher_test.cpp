// The command dispatcher's choice for every command line, in both registration
// states, and the console texts it writes itself.
#include <gtest/gtest.h>

#include "host/service.h"
#include "platform/paths.h"

namespace {

class TRecordingActions final : public TServiceActions {
public:
  explicit TRecordingActions(bool Installed) : FInstalled(Installed) {}

  int CheckInstalled() override { return FInstalled ? 0 : 1060; }
  int SetupService(bool Install) override {
    Record(Install ? "SetupService(true)" : "SetupService(false)");
    return SetupResult;
  }
  bool SavePreinstalledServices(const std::string& Argument) override {
    Record("SavePreinstalledServices(" + Argument + ")");
    return ListSaved;
  }
  bool StartInstalledService() override {
    Record("StartInstalledService");
    return RequestAccepted;
  }
  bool StopInstalledService() override {
    Record("StopInstalledService");
    return RequestAccepted;
  }
  int RunAsApplication() override {
    Record("RunAsApplication");
    return BridgeExitCode;
  }
  std::optional<int> RunServiceDispatcher() override {
    Record("RunServiceDispatcher");
    if (!DispatcherOk) return std::nullopt;
    return BridgeExitCode;
  }
  bool HasStdOutput() override { return StdOutput; }
  int LastError() override { return 1063; }
  std::string SystemMessage(int Code) override { return "text of " + std::to_string(Code); }
  void WriteConsoleLine(const std::string& Text) override { Log.push_back("> " + Text); }

  void Record(const std::string& Action) { Log.push_back(Action); }

  bool FInstalled;
  bool StdOutput = true;
  bool DispatcherOk = true;
  bool RequestAccepted = true;
  int BridgeExitCode = 0;
  int SetupResult = 0;
  bool ListSaved = true;
  std::vector<std::string> Log;
};

std::vector<std::string> Usage() {
  std::vector<std::string> Lines;
  for (const std::string& L : UsageLines(Platform::StripExtension(Platform::ExeFileName())))
    Lines.push_back("> " + L);
  return Lines;
}

std::vector<std::string> Then(std::vector<std::string> A, const std::vector<std::string>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

const std::string Q = "\"TAVEK Vantelo service\"";

struct TCase {
  bool Installed;
  std::vector<std::string> Args;
  std::vector<std::string> Expected;
  int ExitCode;
};

TEST(Dispatcher, RuleTables) {
  const std::vector<TCase> Cases = {
      // Registered.
      {true, {"uninstall"}, {"SetupService(false)", "> Uninstall " + Q + " - OK"}, 0},
      {true, {"UnInstall", "now"}, Usage(), 2},
      {true, {"/?"}, Usage(), 0},
      {true, {"/?", "x", "y"}, Usage(), 0},
      {true, {"RUN", "-S"}, {"StartInstalledService"}, 0},
      {true, {"run", "-s", "extra"}, {"StartInstalledService"}, 0},
      {true, {"run"}, {"RunAsApplication"}, 0},
      {true, {"run", "x"}, {"RunAsApplication"}, 0},
      {true, {"kill"}, {"StopInstalledService"}, 0},
      {true, {"kill", "extra"}, Usage(), 2},
      {true, {"install", "-L(a,b)"}, {"SavePreinstalledServices(-L(a,b))", "> " + Q + " is already installed"}, 1},
      {true, {"Install"}, {"SavePreinstalledServices()", "> " + Q + " is already installed"}, 1},
      {true, {}, Usage(), 2},
      {true, {"bogus"}, Usage(), 2},
      // Not registered.
      {false, {"Install"}, {"SavePreinstalledServices()", "SetupService(true)", "> Install " + Q + " - OK"}, 0},
      {false, {"install", "-l(a)", "more"}, {"SavePreinstalledServices(-l(a))", "SetupService(true)", "> Install " + Q + " - OK"}, 0},
      {false, {"uninstall"}, {"> " + Q + " is not installed"}, 1},
      {false, {"uninstall", "now"}, {"> " + Q + " is not installed"}, 1},
      {false, {"run", "-S"}, Then({"> " + Q + " is not installed"}, Usage()), 1},
      {false, {"run"}, {"RunAsApplication"}, 0},
      {false, {"Run", "x"}, {"RunAsApplication"}, 0},
      {false, {"kill"}, {"StopInstalledService"}, 0},
      {false, {"kill", "extra"}, Usage(), 2},
      {false, {"/?"}, Usage(), 0},
      {false, {}, Usage(), 2},
  };
  for (const TCase& C : Cases) {
    TRecordingActions A(C.Installed);
    const int Code = DispatchCommandLine(C.Args, A);
    std::string Line = C.Installed ? "registered:" : "not registered:";
    for (const auto& S : C.Args) Line += " " + S;
    EXPECT_EQ(A.Log, C.Expected) << Line;
    EXPECT_EQ(Code, C.ExitCode) << Line;
  }
}

TEST(Dispatcher, FailuresAreReportedWithTheSystemText) {
  TRecordingActions Uninstall(true);
  Uninstall.SetupResult = 1072;
  EXPECT_EQ(DispatchCommandLine({"uninstall"}, Uninstall), ExitCommandFailed);
  EXPECT_EQ(Uninstall.Log, (std::vector<std::string>{"SetupService(false)",
                                                     "> Error uninstalling:  " + Q + " - text of 1072"}));

  TRecordingActions Install(false);
  Install.SetupResult = 5;
  EXPECT_EQ(DispatchCommandLine({"install"}, Install), ExitCommandFailed);
  EXPECT_EQ(Install.Log, (std::vector<std::string>{"SavePreinstalledServices()", "SetupService(true)",
                                                   "> Error installing " + Q + " - text of 5"}));

  // Refused requests and a bridge that did not run end with their codes; the
  // console lines are the operations' own.
  for (const bool Installed : {true, false}) {
    TRecordingActions Refused(Installed);
    Refused.RequestAccepted = false;
    EXPECT_EQ(DispatchCommandLine({"kill"}, Refused), ExitCommandFailed);
    TRecordingActions Bridge(Installed);
    Bridge.BridgeExitCode = ExitStartFailed;
    EXPECT_EQ(DispatchCommandLine({"run"}, Bridge), ExitStartFailed);
  }
  TRecordingActions RunS(true);
  RunS.RequestAccepted = false;
  EXPECT_EQ(DispatchCommandLine({"run", "-s"}, RunS), ExitCommandFailed);
}

TEST(Dispatcher, AListThatCannotBeSavedStopsTheInstall) {
  for (bool Installed : {false, true}) {
    TRecordingActions A(Installed);
    A.ListSaved = false;
    EXPECT_EQ(DispatchCommandLine({"install", "-L(a)"}, A), ExitCommandFailed);
    EXPECT_EQ(A.Log, (std::vector<std::string>{"SavePreinstalledServices(-L(a))"})) << Installed;
  }
}

TEST(Dispatcher, WithoutConsoleTheRegisteredServiceConnectsToTheDispatcher) {
  TRecordingActions Ok(true);
  Ok.StdOutput = false;
  EXPECT_EQ(DispatchCommandLine({}, Ok), ExitSuccess);
  EXPECT_EQ(Ok.Log, (std::vector<std::string>{"RunServiceDispatcher"}));
  TRecordingActions Failed(true);
  Failed.StdOutput = false;
  Failed.BridgeExitCode = ExitStoppedOnError;
  EXPECT_EQ(DispatchCommandLine({}, Failed), ExitStoppedOnError) << "the service's own code";

  TRecordingActions Refused(true);
  Refused.StdOutput = false;
  Refused.DispatcherOk = false;
  EXPECT_EQ(DispatchCommandLine({}, Refused), ExitCommandFailed);
  EXPECT_EQ(Refused.Log, Then({"RunServiceDispatcher", "> Start service FAIL \"text of 1063\""}, Usage()));

  TRecordingActions NotRegistered(false);
  NotRegistered.StdOutput = false;
  DispatchCommandLine({}, NotRegistered);
  EXPECT_EQ(NotRegistered.Log, Usage());
}

TEST(Dispatcher, UsageText) {
  const std::vector<std::string> Expected = {
      "", "TAVEK Vantelo service v" + VersionText, "", "Usage:        Brenvic <command>", "", "<Commands>",
      "  install     install and run as service", "  uninstall   stop and uninstall service",
      "  run         run as application", "  run -s      run as service",
      "  kill        stop already running service", "  /?          show this help", "",
      "NOTICE: Commands are NOT case sensitive."};
  EXPECT_EQ(UsageLines("Brenvic"), Expected);
  EXPECT_EQ(VersionText, BRENVIC_EXPECTED_VERSION) << "the version the build stamped into the program";
}

}  // namespace
