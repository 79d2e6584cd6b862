#include "platform/console.h"
#include "platform/service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>

namespace Platform {

// A process that systemd started as the service counts as one without a console,
// as a Windows service has none: its output would only reach the journal.
bool HasStdOutput() { return fcntl(STDOUT_FILENO, F_GETFD) != -1 && !StartedByServiceManager(); }

void WriteConsoleLine(const std::string& Text) {
  if (!HasStdOutput()) return;
  const std::string Line = Text + "\r\n";
  size_t Done = 0;
  while (Done < Line.size()) {
    const ssize_t N = write(STDOUT_FILENO, Line.data() + Done, Line.size() - Done);
    if (N <= 0) return;
    Done += static_cast<size_t>(N);
  }
}

// The shell has already split the command line by its own rules.
std::vector<std::string> CommandLineArgs(int Argc, char** Argv) {
  std::vector<std::string> Args;
  for (int I = 1; I < Argc; ++I) Args.emplace_back(Argv[I]);
  return Args;
}

std::string AnsiUpperCase(const std::string& Text) {
  std::string Result = Text;
  for (char& C : Result) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Result;
}

}  // namespace Platform
