#include "log/log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>

#include "config/ini_file.h"
#include "config/start_values.h"
#include "log/log_retention.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/paths.h"

std::string LogExeName;
std::string LogModuleName;

namespace {
// The process log and the writes in progress on it. A writer takes the log
// under the lock and writes outside it; CloseLog takes the log away under the
// lock, so that no new write begins, and frees it once the writes in progress
// have ended.
// [Logs] KeepDays as the host handed it; read when a day begins.
std::atomic<int32_t> KeepDays{0};
Platform::TMutex ProcessLogLock;
std::condition_variable WritesEnded;  // waits on ProcessLogLock
tUniLog* ProcessLog GUARDED_BY(ProcessLogLock) = nullptr;
int WritesInProgress GUARDED_BY(ProcessLogLock) = 0;

// One write's hold on the process log.
class TLogUse {
public:
  TLogUse() {
    Platform::TLockGuard G(ProcessLogLock);
    FLog = ProcessLog;
    if (FLog) ++WritesInProgress;
  }
  ~TLogUse() {
    if (!FLog) return;
    Platform::TLockGuard G(ProcessLogLock);
    if (--WritesInProgress == 0) WritesEnded.notify_all();
  }
  TLogUse(const TLogUse&) = delete;
  TLogUse& operator=(const TLogUse&) = delete;
  tUniLog* Log() const { return FLog; }

private:
  tUniLog* FLog;
};

// Every file log's lines, for monitoring.
std::atomic<uint64_t> LinesWritten{0};
std::atomic<uint64_t> LinesSuppressed{0};

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TimeStamp() {
  const Platform::TLocalTime T = Platform::LocalNow();
  char Buf[32];
  std::snprintf(Buf, sizeof(Buf), "%02d:%02d:%02d.%03d ", T.Hour, T.Minute, T.Second, T.Millisecond);
  return Buf;
}
}  // namespace

// ---- tFileLog ---------------------------------------------------------------

std::string tFileLog::GetFileName() { return FFileName; }

bool tFileLog::WriteLine(const std::string& Msg) { return Write(Msg, "", true); }
bool tFileLog::WriteLineTo(const std::string& Msg, const std::string& FilePrefix) {
  return Write(Msg, FilePrefix, true);
}
bool tFileLog::WriteRawLine(const std::string& Msg) { return Write(Msg, "", false); }
bool tFileLog::WriteRawLineTo(const std::string& Msg, const std::string& FilePrefix) {
  return Write(Msg, FilePrefix, false);
}

bool tFileLog::Write(const std::string& Msg, const std::string& FilePrefix, bool Stamped) {
  Platform::TLockGuard Guard(FLock);
  if (!Stamped || !FCollapseRepeats) return WriteOne(Msg, FilePrefix, Stamped);
  std::vector<TRepeatFilter::TCount> Due;
  const bool Admitted = FRepeats.Admit(FilePrefix, Msg, SteadyMs(), TimeStamp(), Due);
  WriteCounts(Due);
  // A line counted instead of written is not a failure.
  if (!Admitted) ++LinesSuppressed;
  return Admitted ? WriteOne(Msg, FilePrefix, true) : true;
}

void tFileLog::WriteCounts(const std::vector<TRepeatFilter::TCount>& Counts) {
  for (const TRepeatFilter::TCount& C : Counts) WriteOne(TRepeatFilter::CountLine(C), C.Key, true);
}

std::string tFileLog::CurrentFolder() {
  Platform::TLockGuard Guard(FLock);
  const std::string Name = GetFileName();
  return Name.empty() ? std::string() : Platform::ExtractFileDir(Name);
}

bool tFileLog::AppendToFolderFile(const std::string& FileName, const std::string& Bytes) {
  Platform::TLockGuard Guard(FLock);
  const std::string Name = GetFileName();
  return !Name.empty() && Platform::AppendToFile(Platform::ExtractFileDir(Name) + FileName, Bytes.data(), Bytes.size());
}

void tFileLog::SetCollapseRepeats(bool On) {
  Platform::TLockGuard Guard(FLock);
  if (!On) WriteCounts(FRepeats.Flush());
  FCollapseRepeats = On;
}

void tFileLog::FlushRepeats() {
  Platform::TLockGuard Guard(FLock);
  WriteCounts(FRepeats.Flush());
}

bool tFileLog::WriteOne(const std::string& Msg, const std::string& FilePrefix, bool Stamped) {
  std::string Name = GetFileName();
  if (Name.empty()) return false;
  if (!FilePrefix.empty())
    Name = Platform::ExtractFileDir(Name) + FilePrefix + "_" + Platform::ExtractFileName(Name);
  std::string Line;
  Line.reserve(Msg.size() + 15);
  if (Stamped) Line = TimeStamp();  // taken after the file name was chosen
  Line += Msg;
  Line += "\r\n";
  if (Line.size() > MaxLineBytes) Line.resize(MaxLineBytes);
  const bool Written = Platform::AppendToFile(Name, Line.data(), Line.size());
  if (Written) ++LinesWritten;
  return Written;
}

// ---- tTimeSeparatedFileLog --------------------------------------------------

std::string tTimeSeparatedFileLog::FormatDateTime(const std::string& Template, int Year, int Month,
                                                  int Day, int Hour) {
  std::string Out;
  char Num[16];
  size_t I = 0;
  while (I < Template.size()) {
    const char C = Template[I];
    if (C == '"') {
      const size_t Close = Template.find('"', I + 1);
      const size_t End = Close == std::string::npos ? Template.size() : Close;
      Out.append(Template, I + 1, End - I - 1);
      I = Close == std::string::npos ? End : Close + 1;
    } else if (Template.compare(I, 4, "YYYY") == 0) {
      std::snprintf(Num, sizeof(Num), "%04d", Year);
      Out += Num;
      I += 4;
    } else if (Template.compare(I, 2, "MM") == 0 || Template.compare(I, 2, "DD") == 0 ||
               Template.compare(I, 2, "HH") == 0) {
      const int V = C == 'M' ? Month : C == 'D' ? Day : Hour;
      std::snprintf(Num, sizeof(Num), "%02d", V);
      Out += Num;
      I += 2;
    } else {
      Out += C;
      ++I;
    }
  }
  return Out;
}

std::string tTimeSeparatedFileLog::GetFileName() {
  const Platform::TLocalTime T = Platform::LocalNow();
  const std::string Name = FormatDateTime(FFileNameFormat, T.Year, T.Month, T.Day, T.Hour);
  FFileName = Platform::ForceDirectories(Platform::ExtractFileDir(Name)) ? Name : std::string();
  const long Today = DaysFromCivil(T.Year, T.Month, T.Day);
  const int32_t Days = KeepDays;
  if (Today != FRetentionDay && Days > 0 && !FFileName.empty()) {
    FRetentionDay = Today;
    std::string DayDir = Platform::ExtractFileDir(FFileName);
    DayDir.pop_back();  // its trailing separator
    RemoveOldDayFolders(Platform::ExtractFileDir(DayDir), Today, Days);
  }
  return FFileName;
}

// ---- tUniLog ----------------------------------------------------------------

std::string LogClientLibraryName() { return Platform::LibraryFileName("LogClient"); }

tUniLog::tUniLog(std::string FileNameFormat, const std::string& LogServerParams,
                 const std::string& LibraryName)
    : tTimeSeparatedFileLog(std::move(FileNameFormat)) {
  if (LogServerParams.empty()) return;
  Platform::TDynLib Library = Platform::TDynLib::Load(LibraryName);
  if (!Library) return;
  FInitialize = reinterpret_cast<TDLL_Initialize>(Library.Symbol("DLL_Initialize"));
  FFinalize = reinterpret_cast<TDLL_Finalize>(Library.Symbol("DLL_Finalize"));
  FMessageToLogServer = reinterpret_cast<TDLL_MessageToLogServer>(Library.Symbol("DLL_MessageToLogServer"));
  if (FInitialize && FFinalize && FMessageToLogServer) {
    FLibrary = std::move(Library);
    FServerAccepted = FInitialize(LogServerParams.c_str(), 500) != 0;
    return;
  }
  // Incomplete: freed as Library goes.
  FInitialize = nullptr;
  FFinalize = nullptr;
  FMessageToLogServer = nullptr;
}

tUniLog::~tUniLog() {
  FlushRepeats();
  if (FFinalize) FFinalize();  // the library itself goes with FLibrary
}

bool tUniLog::Offer(bool Stamped, const std::string& FilePrefix, const std::string& Msg) {
  if (!FMessageToLogServer) return false;
  const double Time = Stamped ? Platform::ToOleDate(Platform::LocalNow()) : 0.0;
  const bool Taken = FMessageToLogServer(Time, LogExeName.c_str(), LogModuleName.c_str(),
                                         FilePrefix.c_str(), Msg.c_str()) != 0;
  FServerAccepted = Taken;
  return Taken;
}

// A line the server took is written to the file as well: the library counts a
// datagram as taken once it is sent, so with the server down or unreachable the
// file is the only copy. The file keeps its bounds (repeats, retention).
bool tUniLog::WriteLine(const std::string& Msg) {
  const bool Taken = Offer(true, "", Msg);
  return tTimeSeparatedFileLog::WriteLine(Msg) || Taken;
}
bool tUniLog::WriteLineTo(const std::string& Msg, const std::string& FilePrefix) {
  const bool Taken = Offer(true, FilePrefix, Msg);
  return tTimeSeparatedFileLog::WriteLineTo(Msg, FilePrefix) || Taken;
}
bool tUniLog::WriteRawLine(const std::string& Msg) {
  const bool Taken = Offer(false, "", Msg);
  return tTimeSeparatedFileLog::WriteRawLine(Msg) || Taken;
}
bool tUniLog::WriteRawLineTo(const std::string& Msg, const std::string& FilePrefix) {
  const bool Taken = Offer(false, FilePrefix, Msg);
  return tTimeSeparatedFileLog::WriteRawLineTo(Msg, FilePrefix) || Taken;
}

// ---- module operations ------------------------------------------------------

void OpenLogIn(const std::string& ExeDir, const std::string& ExeName, const std::string& ModuleName,
               const std::string& LibraryName) {
  {
    Platform::TLockGuard G(ProcessLogLock);
    if (ProcessLog) return;
  }
  try {
    LogExeName = ExeName;
    LogModuleName = ModuleName;
    if (LogModuleName.empty()) return;
    const std::string Sep(1, Platform::PathDelim());
    // Literal parts stand between double quotes; the rest are date/time codes.
    const std::string Template = "\"" + ExeDir + "Logs" + Sep + "\"YYYY\"_\"MM\"_\"DD\"" + Sep +
                                 "\"HH\"_" + LogModuleName + ".log\"";
    const TIniFile Ini(ExeDir + Platform::ChangeFileExt(ExeName, ".ini"));
    const std::string LogServerParams = Ini.ReadString("Debug", LogModuleName, "");
    auto Log = std::make_unique<tUniLog>(Template, LogServerParams, LibraryName);
    Platform::TLockGuard G(ProcessLogLock);
    if (!ProcessLog) ProcessLog = Log.release();
  } catch (...) {
  }
}

void OpenLog() {
  try {
    const std::string ExePath = Platform::ExePath();
    OpenLogIn(Platform::ExtractFileDir(ExePath), Platform::ExtractFileName(ExePath),
              Platform::ExtractFileName(Platform::ModuleFileName()));
  } catch (...) {
  }
}

bool WriteLog(const std::string& Msg) {
  const TLogUse Use;
  if (!Use.Log()) return false;
  try {
    Use.Log()->WriteLine(Msg);
    return true;
  } catch (...) {
    return false;
  }
}

void SetLogCollapseRepeats(bool On) {
  const TLogUse Use;
  if (Use.Log()) Use.Log()->SetCollapseRepeats(On);
}

bool WriteLogTo(const std::string& Msg, const std::string& FilePrefix) {
  const TLogUse Use;
  if (!Use.Log()) return false;
  try {
    Use.Log()->WriteLineTo(Msg, FilePrefix);
    return true;
  } catch (...) {
    return false;
  }
}

void CloseLog() {
  tUniLog* Log = nullptr;
  {
    Platform::TUniqueLock L(ProcessLogLock);
    std::swap(Log, ProcessLog);
    WritesEnded.wait(L.Native(), []() REQUIRES(ProcessLogLock) { return WritesInProgress == 0; });
  }
  try {
    delete Log;
  } catch (...) {
  }
}

std::string LogDayFolder() {
  const TLogUse Use;
  if (!Use.Log()) return {};
  try {
    return Use.Log()->CurrentFolder();
  } catch (...) {
    return {};
  }
}

bool AppendToLogDayFile(const std::string& FileName, const std::string& Bytes) {
  const TLogUse Use;
  if (!Use.Log()) return false;
  try {
    return Use.Log()->AppendToFolderFile(FileName, Bytes);
  } catch (...) {
    return false;
  }
}

TLogLineCounts LogLineCounts() { return {LinesWritten.load(), LinesSuppressed.load()}; }

void SetLogKeepDays(int32_t Days) { KeepDays = Days; }
