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

namespace {
// The command line as the dispatcher reads it: only the first two arguments
// are ever looked at, the command words in capitals.
struct TCommandLine {
  size_t N = 0;
  std::string A1, A2;  // upper case
  std::string Second;  // as given
  std::string Program;
};

int Done(bool Ok) { return Ok ? ExitSuccess : ExitCommandFailed; }

// The service is installed: remove it, run, stop it, or be the service itself.
int DispatchInstalled(const TCommandLine& C, TServiceActions& A) {
  if (C.N == 1 && C.A1 == "UNINSTALL") {
    const int R = A.SetupService(false);
    if (R == 0)
      A.WriteConsoleLine("Uninstall " + Quoted + " - OK");
    else
      A.WriteConsoleLine("Error uninstalling:  " + Quoted + " - " + A.SystemMessage(R));
    return Done(R == 0);
  }
  if (C.N >= 1 && C.A1 == "/?") {
    ShowUsage(A, C.Program);
    return ExitSuccess;
  }
  if (C.N >= 1 && C.A1 == "RUN") return C.A2 == "-S" ? Done(A.StartInstalledService()) : A.RunAsApplication();
  if (C.N == 1 && C.A1 == "KILL") return Done(A.StopInstalledService());
  if (C.N >= 1 && C.A1 == "INSTALL") {
    if (A.SavePreinstalledServices(C.Second)) A.WriteConsoleLine(Quoted + " is already installed");
    return ExitCommandFailed;  // nothing was installed
  }
  if (A.HasStdOutput()) {
    ShowUsage(A, C.Program);
    return ExitUsage;
  }
  if (const std::optional<int> Code = A.RunServiceDispatcher()) return *Code;
  A.WriteConsoleLine("Start service FAIL \"" + A.SystemMessage(A.LastError()) + "\"");
  ShowUsage(A, C.Program);
  return ExitCommandFailed;
}

// The service is not installed: install it, or run in the console.
int DispatchNotInstalled(const TCommandLine& C, TServiceActions& A) {
  if (C.N >= 1 && C.A1 == "INSTALL") {
    if (!A.SavePreinstalledServices(C.Second)) return ExitCommandFailed;
    const int R = A.SetupService(true);
    if (R == 0)
      A.WriteConsoleLine("Install " + Quoted + " - OK");
    else
      A.WriteConsoleLine("Error installing " + Quoted + " - " + A.SystemMessage(R));
    return Done(R == 0);
  }
  if (C.N >= 1 && C.A1 == "UNINSTALL") {
    A.WriteConsoleLine(Quoted + " is not installed");
    return ExitCommandFailed;
  }
  if (C.N >= 1 && C.A1 == "RUN") {
    if (C.A2 != "-S") return A.RunAsApplication();
    A.WriteConsoleLine(Quoted + " is not installed");
    ShowUsage(A, C.Program);
    return ExitCommandFailed;
  }
  if (C.N == 1 && C.A1 == "KILL") return Done(A.StopInstalledService());
  ShowUsage(A, C.Program);
  return C.N >= 1 && C.A1 == "/?" ? ExitSuccess : ExitUsage;
}
}  // namespace

int DispatchCommandLine(const std::vector<std::string>& Args, TServiceActions& A) {
  TCommandLine C;
  C.N = Args.size();
  C.A1 = C.N >= 1 ? Platform::AnsiUpperCase(Args[0]) : std::string();
  C.A2 = C.N >= 2 ? Platform::AnsiUpperCase(Args[1]) : std::string();
  C.Second = C.N >= 2 ? Args[1] : std::string();
  C.Program = ProgramNameForUsage();
  return A.CheckInstalled() == 0 ? DispatchInstalled(C, A) : DispatchNotInstalled(C, A);
}
