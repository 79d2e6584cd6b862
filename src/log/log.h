#pragma once
// The process log: one text log for the whole process, one file per hour in one
// folder per day beside the executable (Logs/YYYY_MM_DD/HH_<module>.log), each
// line opened, appended and closed at once. Any thread may write.

#include <atomic>
#include <cstdint>
#include <string>

#include "log/repeat_filter.h"
#include "platform/dynlib.h"
#include "platform/mutex.h"

// The name of the client library ("LogClient" with this system's extension).
std::string LogClientLibraryName();

class tCustomLog {
public:
  tCustomLog() = default;
  virtual ~tCustomLog() = default;
  tCustomLog(const tCustomLog&) = delete;
  tCustomLog& operator=(const tCustomLog&) = delete;

  virtual bool WriteLine(const std::string& Msg) = 0;

protected:
  Platform::TMutex FLock;
};

class tFileLog : public tCustomLog {
public:
  explicit tFileLog(std::string FileName) : FFileName(std::move(FileName)) {}

  bool WriteLine(const std::string& Msg) override;
  virtual std::string GetFileName() REQUIRES(FLock);
  virtual bool WriteLineTo(const std::string& Msg, const std::string& FilePrefix);
  virtual bool WriteRawLine(const std::string& Msg);
  virtual bool WriteRawLineTo(const std::string& Msg, const std::string& FilePrefix);

  // The assembled line is cut to this many bytes.
  static constexpr size_t MaxLineBytes = 8191;

  // The folder of the file the log writes now (with its trailing separator),
  // made if missing; empty when it cannot be.
  std::string CurrentFolder();
  // Appends Bytes as they are to the file FileName in that folder, in turn
  // with the log's own lines.
  bool AppendToFolderFile(const std::string& FileName, const std::string& Bytes);

  // Writes the counts of the texts still being collapsed (at stop).
  void FlushRepeats();
  // Repeats are collapsed unless switched off (tests that read back every line).
  void SetCollapseRepeats(bool On);

protected:
  std::string FFileName GUARDED_BY(FLock);

private:
  bool Write(const std::string& Msg, const std::string& FilePrefix, bool Stamped);
  bool WriteOne(const std::string& Msg, const std::string& FilePrefix, bool Stamped) REQUIRES(FLock);
  void WriteCounts(const std::vector<TRepeatFilter::TCount>& Counts) REQUIRES(FLock);

  TRepeatFilter FRepeats GUARDED_BY(FLock);  // stamped lines only, per side file
  bool FCollapseRepeats GUARDED_BY(FLock) = true;
};

class tTimeSeparatedFileLog : public tFileLog {
public:
  // FileNameFormat: a date/time template; YYYY, MM, DD and HH are replaced by the
  // current local year, month, day and hour, text between double quotes is copied
  // literally without its quotes.
  explicit tTimeSeparatedFileLog(std::string FileNameFormat)
      : tFileLog(""), FFileNameFormat(std::move(FileNameFormat)) {}

  // Also removes the day folders that the [Logs] KeepDays setting no longer
  // keeps, with the first line of each day.
  std::string GetFileName() override REQUIRES(FLock);

  static std::string FormatDateTime(const std::string& Template, int Year, int Month, int Day, int Hour);

private:
  std::string FFileNameFormat;
  long FRetentionDay GUARDED_BY(FLock) = -1;  // the day whose retention was done
};

// The process log's class: a time-separated file log that offers every line to
// a log server through the optional client library first, and writes it to the
// file in either case.
class tUniLog : public tTimeSeparatedFileLog {
public:
  // LibraryName is the client library's file name, looked for through the
  // system's search and then beside the executable.
  tUniLog(std::string FileNameFormat, const std::string& LogServerParams,
          const std::string& LibraryName = LogClientLibraryName());
  ~tUniLog() override;

  bool WriteLine(const std::string& Msg) override;
  bool WriteLineTo(const std::string& Msg, const std::string& FilePrefix) override;
  bool WriteRawLine(const std::string& Msg) override;
  bool WriteRawLineTo(const std::string& Msg, const std::string& FilePrefix) override;

  using TDLL_Initialize = unsigned char(BRENVIC_STDCALL*)(const char* Params, int Value);
  using TDLL_Finalize = void(BRENVIC_STDCALL*)();
  using TDLL_MessageToLogServer = unsigned char(BRENVIC_STDCALL*)(double Time, const char* ExeName,
                                                                 const char* ModuleName,
                                                                 const char* FilePrefix,
                                                                 const char* Msg);

private:
  friend class tUniLogTestPeer;  // the tests' look at the forwarding

  bool Forwarding() const { return FMessageToLogServer != nullptr; }
  bool ServerAccepted() const { return FServerAccepted; }
  // True when the library took the line for the server.
  bool Offer(bool Stamped, const std::string& FilePrefix, const std::string& Msg);

  Platform::TDynLib FLibrary;  // loaded only with all three exports
  TDLL_Initialize FInitialize = nullptr;
  TDLL_Finalize FFinalize = nullptr;
  TDLL_MessageToLogServer FMessageToLogServer = nullptr;
  std::atomic<bool> FServerAccepted{false};  // informational: the last result seen
};

// Names of the executable and of the module holding the log code, with their
// extensions; set by OpenLog.
extern std::string LogExeName;
extern std::string LogModuleName;

// The module operations. None of them ever lets an exception escape.
void OpenLog();
// OpenLog's work for a given executable directory (with its trailing separator),
// names and client library; OpenLog passes the running executable's.
void OpenLogIn(const std::string& ExeDir, const std::string& ExeName, const std::string& ModuleName,
               const std::string& LibraryName = LogClientLibraryName());
bool WriteLog(const std::string& Msg);
// Switches the process log's collapsing of repeats on or off (on by default).
void SetLogCollapseRepeats(bool On);
bool WriteLogTo(const std::string& Msg, const std::string& FilePrefix);
// Waits for the writes in progress, then frees the log; later writes find none.
void CloseLog();
// Day folders of the log older than this many days are removed with the first
// line of each day; 0 or less keeps everything (the host hands [Logs] KeepDays).
void SetLogKeepDays(int32_t Days);

// The day folder the process log writes into now (Logs/YYYY_MM_DD/ beside the
// executable, with its trailing separator), made if missing; empty without a log.
std::string LogDayFolder();
// Appends Bytes as they are to the file FileName in that day folder, in turn
// with the log's own writes, so that writers on several threads never collide.
// A file kept so goes with its day folder when [Logs] KeepDays removes it.
// False without a log or when the write failed.
bool AppendToLogDayFile(const std::string& FileName, const std::string& Bytes);

// Lines every file log of the process has written, and lines it counted as
// repeats instead of writing them (for monitoring).
struct TLogLineCounts {
  uint64_t Written = 0;
  uint64_t Suppressed = 0;
};
TLogLineCounts LogLineCounts();

