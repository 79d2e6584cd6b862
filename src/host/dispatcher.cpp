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

int DispatchCommandLine(const std::vector<std::string>& Args, TServiceActions& A) {
  const size_t N = Args.size();
  // Only the first two arguments are ever looked at.
  const std::string A1 = N >= 1 ? Platform::AnsiUpperCase(Args[0]) : std::string();
  const std::string A2 = N >= 2 ? Platform::AnsiUpperCase(Args[1]) : std::string();
  const std::string Second = N >= 2 ? Args[1] : std::string();
  const std::string Program = ProgramNameForUsage();
  const auto Done = [](bool Ok) { return Ok ? ExitSuccess : ExitCommandFailed; };

  if (A.CheckInstalled() == 0) {
    if (N == 1 && A1 == "UNINSTALL") {
      const int R = A.SetupService(false);
      if (R == 0)
        A.WriteConsoleLine("Uninstall " + Quoted + " - OK");
      else
        A.WriteConsoleLine("Error uninstalling:  " + Quoted + " - " + A.SystemMessage(R));
      return Done(R == 0);
    }
    if (N >= 1 && A1 == "/?") {
      ShowUsage(A, Program);
      return ExitSuccess;
    }
    if (N >= 1 && A1 == "RUN") return A2 == "-S" ? Done(A.StartInstalledService()) : A.RunAsApplication();
    if (N == 1 && A1 == "KILL") return Done(A.StopInstalledService());
    if (N >= 1 && A1 == "INSTALL") {
      if (A.SavePreinstalledServices(Second)) A.WriteConsoleLine(Quoted + " is already installed");
      return ExitCommandFailed;  // nothing was installed
    }
    if (A.HasStdOutput()) {
      ShowUsage(A, Program);
      return ExitUsage;
    }
    if (const std::optional<int> Code = A.RunServiceDispatcher()) return *Code;
    A.WriteConsoleLine("Start service FAIL \"" + A.SystemMessage(A.LastError()) + "\"");
    ShowUsage(A, Program);
    return ExitCommandFailed;
  }

  if (N >= 1 && A1 == "INSTALL") {
    if (!A.SavePreinstalledServices(Second)) return ExitCommandFailed;
    const int R = A.SetupService(true);
    if (R == 0)
      A.WriteConsoleLine("Install " + Quoted + " - OK");
    else
      A.WriteConsoleLine("Error installing " + Quoted + " - " + A.SystemMessage(R));
    return Done(R == 0);
  }
  if (N >= 1 && A1 == "UNINSTALL") {
    A.WriteConsoleLine(Quoted + " is not installed");
    return ExitCommandFailed;
  }
  if (N >= 1 && A1 == "RUN") {
    if (A2 != "-S") return A.RunAsApplication();
    A.WriteConsoleLine(Quoted + " is not installed");
    ShowUsage(A, Program);
    return ExitCommandFailed;
  }
  if (N == 1 && A1 == "KILL") return Done(A.StopInstalledService());
  ShowUsage(A, Program);
  return N >= 1 && A1 == "/?" ? ExitSuccess : ExitUsage;
}
