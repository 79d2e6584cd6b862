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
  void StartInstalledService() override { Record("StartInstalledService"); }
  void StopInstalledService() override { Record("StopInstalledService"); }
  void RunAsApplication() override { Record("RunAsApplication"); }
  bool RunServiceDispatcher() override {
    Record("RunServiceDispatcher");
    return DispatcherOk;
  }
  bool HasStdOutput() override { return StdOutput; }
  int LastError() override { return 1063; }
  std::string SystemMessage(int Code) override { return "text of " + std::to_string(Code); }
  void WriteConsoleLine(const std::string& Text) override { Log.push_back("> " + Text); }

  void Record(const std::string& Action) { Log.push_back(Action); }

  bool FInstalled;
  bool StdOutput = true;
  bool DispatcherOk = true;
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
};

TEST(Dispatcher, RuleTables) {
  const std::vector<TCase> Cases = {
      // Registered.
      {true, {"uninstall"}, {"SetupService(false)", "> Uninstall " + Q + " - OK"}},
      {true, {"UnInstall", "now"}, Usage()},
      {true, {"/?"}, Usage()},
      {true, {"/?", "x", "y"}, Usage()},
      {true, {"RUN", "-S"}, {"StartInstalledService"}},
      {true, {"run", "-s", "extra"}, {"StartInstalledService"}},
      {true, {"run"}, {"RunAsApplication"}},
      {true, {"run", "x"}, {"RunAsApplication"}},
      {true, {"kill"}, {"StopInstalledService"}},
      {true, {"kill", "extra"}, Usage()},
      {true, {"install", "-L(a,b)"}, {"SavePreinstalledServices(-L(a,b))", "> " + Q + " is already installed"}},
      {true, {"Install"}, {"SavePreinstalledServices()", "> " + Q + " is already installed"}},
      {true, {}, Usage()},
      {true, {"bogus"}, Usage()},
      // Not registered.
      {false, {"Install"}, {"SavePreinstalledServices()", "SetupService(true)", "> Install " + Q + " - OK"}},
      {false, {"install", "-l(a)", "more"}, {"SavePreinstalledServices(-l(a))", "SetupService(true)", "> Install " + Q + " - OK"}},
      {false, {"uninstall"}, {"> " + Q + " is not installed"}},
      {false, {"uninstall", "now"}, {"> " + Q + " is not installed"}},
      {false, {"run", "-S"}, Then({"> " + Q + " is not installed"}, Usage())},
      {false, {"run"}, {"RunAsApplication"}},
      {false, {"Run", "x"}, {"RunAsApplication"}},
      {false, {"kill"}, {"StopInstalledService"}},
      {false, {"kill", "extra"}, Usage()},
      {false, {"/?"}, Usage()},
      {false, {}, Usage()},
  };
  for (const TCase& C : Cases) {
    TRecordingActions A(C.Installed);
    DispatchCommandLine(C.Args, A);
    std::string Line = C.Installed ? "registered:" : "not registered:";
    for (const auto& S : C.Args) Line += " " + S;
    EXPECT_EQ(A.Log, C.Expected) << Line;
  }
}

TEST(Dispatcher, FailuresAreReportedWithTheSystemText) {
  TRecordingActions Uninstall(true);
  Uninstall.SetupResult = 1072;
  DispatchCommandLine({"uninstall"}, Uninstall);
  EXPECT_EQ(Uninstall.Log, (std::vector<std::string>{"SetupService(false)",
                                                     "> Error uninstalling:  " + Q + " - text of 1072"}));

  TRecordingActions Install(false);
  Install.SetupResult = 5;
  DispatchCommandLine({"install"}, Install);
  EXPECT_EQ(Install.Log, (std::vector<std::string>{"SavePreinstalledServices()", "SetupService(true)",
                                                   "> Error installing " + Q + " - text of 5"}));
}

TEST(Dispatcher, AListThatCannotBeSavedStopsTheInstall) {
  for (bool Installed : {false, true}) {
    TRecordingActions A(Installed);
    A.ListSaved = false;
    DispatchCommandLine({"install", "-L(a)"}, A);
    EXPECT_EQ(A.Log, (std::vector<std::string>{"SavePreinstalledServices(-L(a))"})) << Installed;
  }
}

TEST(Dispatcher, WithoutConsoleTheRegisteredServiceConnectsToTheDispatcher) {
  TRecordingActions Ok(true);
  Ok.StdOutput = false;
  DispatchCommandLine({}, Ok);
  EXPECT_EQ(Ok.Log, (std::vector<std::string>{"RunServiceDispatcher"}));

  TRecordingActions Refused(true);
  Refused.StdOutput = false;
  Refused.DispatcherOk = false;
  DispatchCommandLine({}, Refused);
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
