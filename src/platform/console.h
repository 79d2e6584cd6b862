#pragma once
// The console: the program's own administration messages go here, never to the log.

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

// True when the process has a standard output handle (started from a console or
// with its output redirected); a process started by the service manager has none.
bool HasStdOutput();

// Writes Text followed by CR LF to standard output, as 8-bit bytes.
void WriteConsoleLine(const std::string& Text);

// Console control events: Ctrl+C (0), Ctrl+Break (1), console close (2), user
// logoff (5), system shutdown (6). On Linux SIGINT arrives as 0, SIGHUP as 2 and
// SIGTERM as 6. The handler runs on a thread of its own and returns true when it
// handled the event.
using TConsoleCtrlHandler = bool (*)(uint32_t Event);

// Adds the one handler of this program; false when the system refused it.
bool AddConsoleCtrlHandler(TConsoleCtrlHandler Handler);
// Removes it again: the next such event gets the system's default handling,
// which ends the process at once. May be called from inside the handler.
void RemoveConsoleCtrlHandler();

// Releases the process's console (nothing to release on Linux).
void DetachConsole();

// The command-line arguments after the program name, split by the run-time
// library's rule (blanks separate, double quotes group and are removed).
std::vector<std::string> CommandLineArgs(int Argc, char** Argv);

// The splitting rule itself, for a whole command line tail.
std::vector<std::string> SplitCommandLine(const std::string& Line);

// The system's ANSI upper-case conversion of an 8-bit text.
std::string AnsiUpperCase(const std::string& Text);

}  // namespace Platform
