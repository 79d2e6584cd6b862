#pragma once
// The console: the program's own administration messages go here, never to the log.

#include <string>
#include <vector>

namespace Platform {

// True when the process has a standard output handle (started from a console or
// with its output redirected); a process started by the service manager has none.
bool HasStdOutput();

// Writes Text followed by CR LF to standard output, as 8-bit bytes.
void WriteConsoleLine(const std::string& Text);

// The command-line arguments after the program name, split by the run-time
// library's rule (blanks separate, double quotes group and are removed).
std::vector<std::string> CommandLineArgs(int Argc, char** Argv);

// The splitting rule itself, for a whole command line tail.
std::vector<std::string> SplitCommandLine(const std::string& Line);

// The system's ANSI upper-case conversion of an 8-bit text.
std::string AnsiUpperCase(const std::string& Text);

}  // namespace Platform
