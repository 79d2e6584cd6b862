#include "host/service.h"

#include "platform/console.h"

namespace {
const std::string Quoted = std::string("\"") + "TAVEK Vantelo service" + "\"";

void ShowUsage(TServiceActions& A, const std::string& ProgramName) {
  for (const std::string& Line : UsageLines(ProgramName)) A.WriteConsoleLine(Line);
}
}  // namespace

std::vector<std::string> UsageLines(const std::string& ProgramName) {
  return {"",
          "TAVEK Vantelo service v" + VersionText,
          "",
          "Usage:        " + ProgramName + " <command>",
          "",
          "<Commands>",
          "  install     install and run as service",
          "  uninstall   stop and uninstall service",
          "  run         run as application",
          "  run -s      run as service",
          "  kill        stop already running service",
          "  /?          show this help",
          "",
          "NOTICE: Commands are NOT case sensitive."};
}

std::string ProgramNameForUsage();  // service.cpp

void DispatchCommandLine(const std::vector<std::string>& Args, TServiceActions& A) {
  const size_t N = Args.size();
  // Only the first two arguments are ever looked at.
  const std::string A1 = N >= 1 ? Platform::AnsiUpperCase(Args[0]) : std::string();
  const std::string A2 = N >= 2 ? Platform::AnsiUpperCase(Args[1]) : std::string();
  const std::string Second = N >= 2 ? Args[1] : std::string();
  const std::string Program = ProgramNameForUsage();

  if (A.CheckInstalled() == 0) {
    if (N == 1 && A1 == "UNINSTALL") {
      const int R = A.SetupService(false);
      if (R == 0)
        A.WriteConsoleLine("Uninstall " + Quoted + " - OK");
      else
        A.WriteConsoleLine("Error uninstalling:  " + Quoted + " - " + A.SystemMessage(R));
    } else if (N >= 1 && A1 == "/?") {
      ShowUsage(A, Program);
    } else if (N >= 1 && A1 == "RUN") {
      if (A2 == "-S")
        A.StartInstalledService();
      else
        A.RunAsApplication();
    } else if (N == 1 && A1 == "KILL") {
      A.StopInstalledService();
    } else if (N >= 1 && A1 == "INSTALL") {
      if (!A.SavePreinstalledServices(Second)) return;
      A.WriteConsoleLine(Quoted + " is already installed");
    } else if (A.HasStdOutput()) {
      ShowUsage(A, Program);
    } else if (!A.RunServiceDispatcher()) {
      A.WriteConsoleLine("Start service FAIL \"" + A.SystemMessage(A.LastError()) + "\"");
      ShowUsage(A, Program);
    }
    return;
  }

  if (N >= 1 && A1 == "INSTALL") {
    if (!A.SavePreinstalledServices(Second)) return;
    const int R = A.SetupService(true);
    if (R == 0)
      A.WriteConsoleLine("Install " + Quoted + " - OK");
    else
      A.WriteConsoleLine("Error installing " + Quoted + " - " + A.SystemMessage(R));
  } else if (N >= 1 && A1 == "UNINSTALL") {
    A.WriteConsoleLine(Quoted + " is not installed");
  } else if (N >= 1 && A1 == "RUN") {
    if (A2 == "-S") {
      A.WriteConsoleLine(Quoted + " is not installed");
      ShowUsage(A, Program);
    } else {
      A.RunAsApplication();
    }
  } else if (N == 1 && A1 == "KILL") {
    A.StopInstalledService();
  } else {
    ShowUsage(A, Program);
  }
}
