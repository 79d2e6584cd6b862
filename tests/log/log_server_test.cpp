// Forwarding log lines to a log server through the client library.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <regex>
#include <thread>

#include "log/log.h"
#include "platform/dynlib.h"
#include "platform/paths.h"
#include "syslog_message.h"
#include "test_support.h"

class tUniLogTestPeer {
public:
  static bool Forwarding(const tUniLog& Log) { return Log.Forwarding(); }
  static bool ServerAccepted(const tUniLog& Log) { return Log.ServerAccepted(); }
};

namespace {

using TestSupport::ReadFile;
using TestSupport::TTempDir;

std::string FakeLibrary(const char* Variant) {
  const char Sep = Platform::PathDelim();
  return Platform::ExeDir() + "testlibs" + Sep + Variant + Sep + LogClientLibraryName();
}

// Reads a counter export of an already loaded stand-in library.
int FakeCounter(const char* Variant, const char* Export) {
  Platform::TLibHandle Lib = Platform::LoadLibraryByName(FakeLibrary(Variant));
  EXPECT_NE(Lib, nullptr);
  auto Fn = reinterpret_cast<int (*)()>(Platform::LibrarySymbol(Lib, Export));
  const int Value = Fn ? Fn() : -1;
  Platform::FreeLibraryHandle(Lib);
  return Value;
}

class LogServer : public ::testing::Test {
protected:
  std::string Template() const { return "\"" + Dir.Dir() + "Logs/\"HH\"_Brenvic.exe.log\""; }
  std::string Hourly() const {
    if (!std::filesystem::exists(Dir.Path() / "Logs")) return {};
    // OpenLogIn's files lie in a day folder, the plain template's in Logs itself.
    for (auto& E : std::filesystem::recursive_directory_iterator(Dir.Path() / "Logs"))
      if (E.path().filename().string().find("_Brenvic.exe.log") == 2 &&
          E.path().filename().string().size() == 18)
        return ReadFile(E.path());
    return {};
  }
  TTempDir Dir;
};

TEST_F(LogServer, WithoutParamsNoLibraryIsLoaded) {
  tUniLog Log(Template(), "", FakeLibrary("accept"));
  EXPECT_FALSE(tUniLogTestPeer::Forwarding(Log));
  EXPECT_TRUE(Log.WriteLine("to the file"));
  EXPECT_NE(Hourly().find("to the file\r\n"), std::string::npos);
}

// A line the library takes may still never reach a server (UDP to one that is
// down): the hourly file keeps it as well, bounded as every log line is.
TEST_F(LogServer, AcceptedLinesAreKeptInTheFileToo) {
  const int Before = FakeCounter("accept", "Fake_MessageCount");
  {
    tUniLog Log(Template(), "anything", FakeLibrary("accept"));
    ASSERT_TRUE(tUniLogTestPeer::Forwarding(Log));
    EXPECT_TRUE(tUniLogTestPeer::ServerAccepted(Log));
    EXPECT_EQ(FakeCounter("accept", "Fake_InitValue"), 500);
    EXPECT_TRUE(Log.WriteLine("a"));
    EXPECT_TRUE(Log.WriteLineTo("b", "measure"));
    EXPECT_TRUE(Log.WriteRawLine("c"));
    for (int I = 0; I < 4; ++I) EXPECT_TRUE(Log.WriteLine("again"));
    EXPECT_EQ(FakeCounter("accept", "Fake_MessageCount") - Before, 7) << "the server is offered every line";
  }
  const std::string Stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
  EXPECT_TRUE(std::regex_match(Hourly(), std::regex(Stamp + "a\r\nc\r\n(" + Stamp + "again\r\n){2}" + Stamp +
                                                    "Repeated 2 times until .*: again\r\n")))
      << Hourly();
  std::string Side;
  if (std::filesystem::exists(Dir.Path() / "Logs"))
    for (auto& E : std::filesystem::directory_iterator(Dir.Path() / "Logs"))
      if (E.path().filename().string().rfind("measure_", 0) == 0) Side = ReadFile(E.path());
  EXPECT_NE(Side.find(" b\r\n"), std::string::npos);
}

TEST_F(LogServer, DeclinedLinesFallBackToTheFile) {
  tUniLog Log(Template(), "anything", FakeLibrary("decline"));
  ASSERT_TRUE(tUniLogTestPeer::Forwarding(Log)) << "a False from the initializer still forwards";
  EXPECT_FALSE(tUniLogTestPeer::ServerAccepted(Log));
  EXPECT_TRUE(Log.WriteLine("first"));
  EXPECT_TRUE(Log.WriteLine("second"));
  EXPECT_TRUE(std::regex_match(Hourly(), std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} first\r\n"
                                                    "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} second\r\n")));
}

TEST_F(LogServer, LibraryWithoutFinalizerIsReleasedAndIgnored) {
  tUniLog Log(Template(), "anything", FakeLibrary("nofinalize"));
  EXPECT_FALSE(tUniLogTestPeer::Forwarding(Log));
  EXPECT_TRUE(Log.WriteLine("file"));
  EXPECT_NE(Hourly().find(" file\r\n"), std::string::npos);
}

TEST_F(LogServer, MissingLibraryMeansNoForwarding) {
  tUniLog Log(Template(), "udp://127.0.0.1:9", "NoSuchLogClientLibrary");
  EXPECT_FALSE(tUniLogTestPeer::Forwarding(Log));
  EXPECT_TRUE(Log.WriteLine("file"));
}

// CloseLog while another thread's line is inside the library: the log is
// freed, and the library finalized, only once that line has come back.
TEST_F(LogServer, CloseWaitsForTheLineInProgress) {
  Platform::TLibHandle Lib = Platform::LoadLibraryByName(FakeLibrary("accept"));
  ASSERT_NE(Lib, nullptr);
  const auto Hold = reinterpret_cast<void (*)(int)>(Platform::LibrarySymbol(Lib, "Fake_Hold"));
  const auto WaitInside = reinterpret_cast<int (*)(int, int)>(Platform::LibrarySymbol(Lib, "Fake_WaitInside"));
  const auto FinalizedWhileInside =
      reinterpret_cast<int (*)()>(Platform::LibrarySymbol(Lib, "Fake_FinalizedWhileInside"));
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini", "[Debug]\r\nBrenvic.exe=anything\r\n");
  OpenLogIn(Dir.Dir(), "Brenvic.exe", "Brenvic.exe", FakeLibrary("accept"));
  Hold(1);
  std::thread Writer([] { EXPECT_TRUE(WriteLog("in flight")); });
  ASSERT_EQ(WaitInside(1, 5000), 1);
  std::atomic<bool> Closed{false};
  std::thread Closer([&] {
    CloseLog();
    Closed = true;
  });
  // Nothing may happen here for 200 ms: CloseLog must not return meanwhile.
  EXPECT_FALSE(TestSupport::WaitUntil([&] { return Closed.load(); }, 200))
      << "CloseLog returned while a line was in progress";
  Hold(0);
  Writer.join();
  Closer.join();
  EXPECT_EQ(FinalizedWhileInside(), 0);
  EXPECT_FALSE(WriteLog("after the close"));
  Platform::FreeLibraryHandle(Lib);
}

// The real client library against a syslog receiver on loopback.
class RealLogClient : public LogServer {
protected:
  RealLogClient() : Socket(Io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}

  std::string Receive() {
    std::array<char, 65536> Buf;
    asio::ip::udp::endpoint From;
    Socket.non_blocking(false);
    const size_t N = Socket.receive_from(asio::buffer(Buf), From);
    return std::string(Buf.data(), N);
  }
  std::string Params() const { return "udp://127.0.0.1:" + std::to_string(Socket.local_endpoint().port()); }

  asio::io_context Io;
  asio::ip::udp::socket Socket;
};

TEST_F(RealLogClient, LinesArriveAsSyslogMessages) {
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini", "[Debug]\r\nBrenvic.exe=" + Params() + "\r\n");
  // The library is found beside the executable, as the program ships it.
  OpenLogIn(Dir.Dir(), "Brenvic.exe", "Brenvic.exe");
  EXPECT_TRUE(WriteLog("hello \xE7 world"));
  EXPECT_TRUE(WriteLogTo("Send AV[8000.00 bps], Receive AV[8000.00 bps]", "measure"));
  CloseLog();

  const std::string Main = Receive();
  const std::string Side = Receive();
  const std::regex Shape(
      "<14>1 (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d) (\\S+) Brenvic\\.exe (\\d+) (\\S+) - (.*)");
  std::smatch M;
  ASSERT_TRUE(std::regex_match(Main, M, Shape)) << Main;
  EXPECT_EQ(M[4], "-");
  EXPECT_EQ(M[5], "hello \xE7 world");
  ASSERT_TRUE(std::regex_match(Side, M, Shape)) << Side;
  EXPECT_EQ(M[4], "measure");
  EXPECT_EQ(M[5], "Send AV[8000.00 bps], Receive AV[8000.00 bps]");
  EXPECT_NE(Hourly().find(" hello \xE7 world\r\n"), std::string::npos) << "and in the file";
}

// The server down: its port is closed, the datagrams go nowhere, and the
// library counts them as sent. The lines are in the hourly file all the same.
TEST_F(LogServer, WithTheServerDownTheLinesAreInTheHourlyFile) {
  uint16_t Closed = 0;
  {
    asio::io_context Io;
    asio::ip::udp::socket S(Io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    Closed = S.local_endpoint().port();
  }
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini",
                         "[Debug]\r\nBrenvic.exe=udp://127.0.0.1:" + std::to_string(Closed) + "\r\n");
  OpenLogIn(Dir.Dir(), "Brenvic.exe", "Brenvic.exe");
  EXPECT_TRUE(WriteLog("TAVEK Vantelo service starting..."));
  EXPECT_TRUE(WriteLog("TAVEK Vantelo service started successfully"));
  CloseLog();
  std::vector<std::string> Lines;
  for (const std::string& L : TestSupport::SplitCrLf(Hourly())) Lines.push_back(L.substr(13));
  EXPECT_EQ(Lines, (std::vector<std::string>{"TAVEK Vantelo service starting...",
                                             "TAVEK Vantelo service started successfully"}));
}

TEST_F(RealLogClient, RawLinesHaveNoTimestampAndBadAddressesFallBack) {
  {
    tUniLog Log(Template(), Params(), Platform::ExeDir() + LogClientLibraryName());
    EXPECT_TRUE(tUniLogTestPeer::ServerAccepted(Log));
    EXPECT_TRUE(Log.WriteRawLine("raw"));
    const std::string Raw = Receive();
    EXPECT_EQ(Raw.substr(0, 8), "<14>1 - ") << Raw;
    EXPECT_EQ(Raw.substr(Raw.size() - 6), " - raw");
  }
  for (const char* Bad : {"127.0.0.1:514", "udp://", "udp://host", "udp://[::1]514", "tcp://127.0.0.1:514",
                          "udp://127.0.0.1:0", "udp://127.0.0.1:70000"}) {
    tUniLog Log(Template(), Bad, Platform::ExeDir() + LogClientLibraryName());
    EXPECT_TRUE(tUniLogTestPeer::Forwarding(Log));
    EXPECT_FALSE(tUniLogTestPeer::ServerAccepted(Log)) << Bad;
    EXPECT_TRUE(Log.WriteLine(std::string("fallback ") + Bad));
    EXPECT_NE(Hourly().find(std::string("fallback ") + Bad + "\r\n"), std::string::npos) << Bad;
  }
}

TEST(SyslogMessage, FieldByField) {
  LogClient::TLineInfo L;
  // 2026-12-06 14:05:03.123 as an OLE date.
  L.Time = 46362.0 + (14 * 3600 + 5 * 60 + 3.123) / 86400.0;
  L.UtcOffsetMinutes = 180;
  L.HostName = "desk 7";
  L.AppName = "Brenvic.exe";
  L.ProcessId = 4242;
  L.FilePrefix = "";
  L.Msg = "RTP SSRC CHANGED!";
  EXPECT_EQ(LogClient::FormatSyslogMessage(L),
            "<14>1 2026-12-06T14:05:03.123+03:00 desk_7 Brenvic.exe 4242 - - RTP SSRC CHANGED!");
  L.UtcOffsetMinutes = -330;
  L.FilePrefix = "measure";
  L.AppName = std::string(60, 'a');
  EXPECT_EQ(LogClient::FormatSyslogMessage(L),
            "<14>1 2026-12-06T14:05:03.123-05:30 desk_7 " + std::string(48, 'a') +
                " 4242 measure - RTP SSRC CHANGED!");
  L.Time = 0.0;
  EXPECT_EQ(LogClient::FormatSyslogMessage(L).substr(0, 14), "<14>1 - desk_7");
  EXPECT_EQ(LogClient::UtcOffsetMinutes(1.0 + 60.0 / 1440 + 1e-6, 1.0), 60);
  EXPECT_EQ(LogClient::UtcOffsetMinutes(1.0 - 330.0 / 1440, 1.0), -330);
}

TEST(SyslogMessage, ServerAddressForms) {
  const auto V4 = LogClient::ParseServerAddress("udp://127.0.0.1:5514");
  ASSERT_TRUE(V4);
  EXPECT_EQ(V4->Host, "127.0.0.1");
  EXPECT_EQ(V4->Port, "5514");
  const auto V6 = LogClient::ParseServerAddress("udp://[::1]:514");
  ASSERT_TRUE(V6);
  EXPECT_EQ(V6->Host, "::1");
  const auto Name = LogClient::ParseServerAddress("udp://logs.example:514");
  ASSERT_TRUE(Name);
  EXPECT_EQ(Name->Host, "logs.example");
  for (const char* Bad : {"", "udp://::1:514", "udp://h:", "udp://:514", "udp://h:5x", "udp://h:123456"})
    EXPECT_FALSE(LogClient::ParseServerAddress(Bad)) << Bad;
}

}  // namespace
