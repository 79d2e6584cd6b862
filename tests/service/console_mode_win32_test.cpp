// The bridge as an application in a Windows console: "run" starts it, a console
// control event stops it, a start that fails ends the program with exit code 3,
// and the console lines are the same either way.
//
// Wine's console for a program started from a pipe, as CTest starts this one,
// takes no control events (GenerateConsoleCtrlEvent fails with
// ERROR_INVALID_ACCESS). So the bridge gets a console of its own, and the test
// attaches to it to raise the event there, as another program in the same console
// window would. Wine raises only Ctrl+C that way (Ctrl+Break is not implemented
// there), so Ctrl+Break is tried on Windows alone. Closing the console window (the close event) has no counterpart
// that a program can raise; the handler treats it as Ctrl+C.

#include <gtest/gtest.h>

#include "program_win32.h"

namespace {

using namespace WinE2E;
using Lines = std::vector<std::string>;

// The test shares the console while it raises the event, and must survive it.
BOOL WINAPI IgnoreEvent(DWORD) { return TRUE; }

bool SendConsoleEvent(DWORD Pid, DWORD Event) {
  static const bool Ignoring = SetConsoleCtrlHandler(IgnoreEvent, TRUE) != FALSE;
  if (!Ignoring) return false;
  FreeConsole();
  if (!AttachConsole(Pid)) return false;
  const bool Sent = GenerateConsoleCtrlEvent(Event, 0) != FALSE;
  FreeConsole();
  return Sent;
}

const std::string Version = BRENVIC_EXPECTED_VERSION;

TEST(ConsoleMode, CtrlCAndCtrlBreakStopTheBridge) {
  struct TCase {
    DWORD Event;
    const char* Args;
    int Times = 1;  // a repeat while it stops is ignored
  };
  // Any second argument other than -s runs the bridge in the console as well.
  for (const TCase& C : {TCase{CTRL_C_EVENT, "Run x"}, TCase{CTRL_BREAK_EVENT, "run"}, TCase{CTRL_C_EVENT, "RUN", 2}}) {
    SCOPED_TRACE(C.Args);
    if (C.Event == CTRL_BREAK_EVENT && UnderWine()) continue;  // Wine raises only Ctrl+C
    TestSupport::TTempDir Root;
    TProgram Bridge(Root.Path() / "bridge", HeadlessIni(FreePort(SOCK_DGRAM), FreePort(SOCK_STREAM)));
    ASSERT_TRUE(Bridge.Start(C.Args, CREATE_NEW_CONSOLE));
    ASSERT_TRUE(Bridge.WaitForLog("TAVEK Vantelo service started successfully", 15s));

    for (int I = 0; I < C.Times; ++I) {
      if (I > 0) std::this_thread::sleep_for(10ms);  // as a service manager follows up
      ASSERT_TRUE(SendConsoleEvent(Bridge.Pid(), C.Event)) << GetLastError();
    }
    const auto Sent = std::chrono::steady_clock::now();
    EXPECT_EQ(Bridge.Wait(15s), std::optional<DWORD>(0));
    EXPECT_LT(std::chrono::steady_clock::now() - Sent, 5s) << "one loop period and the stop, with slack";
    EXPECT_EQ(TestSupport::SplitCrLf(Bridge.Console()),
              (Lines{"", "TAVEK Vantelo service v" + Version, "", "Running as application - OK",
                     "Have a STOP signal...", "TAVEK Vantelo service stopped as application successfully"}));
    EXPECT_TRUE(InOrder(Bridge.LogLines(),
                        {"TAVEK Vantelo service starting...", "RTP Session started successfully",
                         "TAVEK Vantelo service started successfully", "TAVEK Vantelo service stopping...",
                         "RTP Session stopping...", "Sound recorder processor -> stopped",
                         "Sound player processor -> stopped", "UDP sender/receiver processor -> stopped",
                         "Audio mixer processor -> stopped", "RTP Session stopped",
                         "TAVEK Vantelo service stopped successfully"}));
  }
}

TEST(ConsoleMode, ATakenPortFailsTheStartAndEndsWithExitCodeThree) {
  for (const int Type : {SOCK_STREAM, SOCK_DGRAM}) {
    SCOPED_TRACE(Type == SOCK_STREAM ? "TCP port taken" : "UDP port taken");
    const TPort Taken(Type, Type == SOCK_STREAM);
    ASSERT_NE(Taken.Port(), 0);
    TestSupport::TTempDir Root;
    const uint16_t Udp = Type == SOCK_DGRAM ? Taken.Port() : FreePort(SOCK_DGRAM);
    const uint16_t Tcp = Type == SOCK_STREAM ? Taken.Port() : FreePort(SOCK_STREAM);
    TProgram Bridge(Root.Path() / "bridge", HeadlessIni(Udp, Tcp, false));
    const TRun R = Bridge.Run("run", 20s);
    EXPECT_EQ(R.ExitCode, std::optional<DWORD>(3));
    EXPECT_EQ(R.Lines(), (Lines{"", "TAVEK Vantelo service v" + Version, "", "Running as application - OK",
                                "TAVEK Vantelo service stopped as application successfully"}));
    const Lines Log = Bridge.LogLines();
    ASSERT_EQ(Log.size(), 2u) << "with logging off only the error lines";
    EXPECT_EQ(Log[0].rfind("Exception starting RTP Session: Cannot start server. ", 0), 0u) << Log[0];
    EXPECT_EQ(Log[1], "Exception in main proceding: TAVEK Vantelo service failed to start");
  }
}

TEST(ConsoleMode, UsageExitCodes) {
  TestSupport::TTempDir Root;
  TProgram Program(Root.Path() / "program", HeadlessIni(0, 0, false));
  const TRun Help = Program.Run("/?");
  EXPECT_EQ(Help.ExitCode, std::optional<DWORD>(0));
  EXPECT_EQ(Help.Lines().size(), 14u);
  for (const char* Args : {"", "bogus", "kill extra"}) {
    const TRun R = Program.Run(Args);
    EXPECT_EQ(R.ExitCode, std::optional<DWORD>(2)) << Args;
    EXPECT_EQ(R.Lines(), Help.Lines()) << Args;
  }
}

}  // namespace
