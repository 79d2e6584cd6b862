#include "platform/console.h"

#include <windows.h>

#include <atomic>

namespace Platform {
namespace {
std::atomic<TConsoleCtrlHandler> CtrlHandler{nullptr};

// Called by the system: nothing may unwind into its frames.
BOOL WINAPI CtrlTrampoline(DWORD Event) noexcept {
  try {
    const TConsoleCtrlHandler Handler = CtrlHandler.load();
    return Handler && Handler(Event) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;  // failed on the way: the system's default keeps the stop from being lost
  }
}
}  // namespace

bool AddConsoleCtrlHandler(TConsoleCtrlHandler Handler) {
  CtrlHandler.store(Handler);
  return SetConsoleCtrlHandler(CtrlTrampoline, TRUE) != FALSE;
}

void RemoveConsoleCtrlHandler() {
  SetConsoleCtrlHandler(CtrlTrampoline, FALSE);
  CtrlHandler.store(nullptr);
}

void DetachConsole() { FreeConsole(); }

bool HasStdOutput() {
  const HANDLE Out = GetStdHandle(STD_OUTPUT_HANDLE);
  return Out != nullptr && Out != INVALID_HANDLE_VALUE;
}

void WriteConsoleLine(const std::string& Text) {
  const HANDLE Out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (Out == nullptr || Out == INVALID_HANDLE_VALUE) return;
  const std::string Line = Text + "\r\n";
  DWORD Written = 0;
  WriteFile(Out, Line.data(), static_cast<DWORD>(Line.size()), &Written, nullptr);
}

// The run-time library's rule on the process's own command line; argv is not
// used because the C run-time's rule differs (backslash escapes).
std::vector<std::string> CommandLineArgs(int, char**) {
  const char* Line = GetCommandLineA();
  std::vector<std::string> All = SplitCommandLine(Line ? Line : "");
  if (!All.empty()) All.erase(All.begin());
  return All;
}

std::string AnsiUpperCase(const std::string& Text) {
  std::string Result = Text;
  if (!Result.empty()) CharUpperBuffA(Result.data(), static_cast<DWORD>(Result.size()));
  return Result;
}

}  // namespace Platform
