#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Platform {
namespace {
class TFd {
public:
  explicit TFd(int Fd) : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0) close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }

private:
  int FFd;
};

bool WriteAll(int Fd, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t N = write(Fd, Data, Size);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data += N;
    Size -= static_cast<size_t>(N);
  }
  return true;
}
}  // namespace

bool FileExists(const std::string& Path) {
  struct stat St {};
  return stat(Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool ForceDirectories(const std::string& Dir) {
  std::string Path = Dir;
  while (Path.size() > 1 && Path.back() == '/') Path.pop_back();
  if (Path.empty()) return false;
  struct stat St {};
  if (stat(Path.c_str(), &St) == 0) return S_ISDIR(St.st_mode);
  const size_t Slash = Path.rfind('/');
  if (Slash != std::string::npos && Slash > 0 && !ForceDirectories(Path.substr(0, Slash)))
    return false;
  if (mkdir(Path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

bool WriteWholeFile(const std::string& Path, const std::string& Bytes) {
  TFd Fd(open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (Fd.Get() < 0) return false;
  return WriteAll(Fd.Get(), Bytes.data(), Bytes.size());
}

bool ReadWholeFile(const std::string& Path, std::string& Bytes) {
  TFd Fd(open(Path.c_str(), O_RDONLY | O_CLOEXEC));
  if (Fd.Get() < 0) return false;
  Bytes.clear();
  char Buf[65536];
  for (;;) {
    const ssize_t N = read(Fd.Get(), Buf, sizeof(Buf));
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) return false;
    if (N == 0) return true;
    Bytes.append(Buf, static_cast<size_t>(N));
  }
}

bool AppendToFile(const std::string& Path, const char* Data, size_t Size) {
  TFd Fd(open(Path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (Fd.Get() < 0) return false;
  // One writer at a time, as the Windows share mode gives; readers are free.
  if (flock(Fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  if (lseek(Fd.Get(), 0, SEEK_END) < 0) return false;
  const ssize_t N = write(Fd.Get(), Data, Size);
  return N >= 0 && static_cast<size_t>(N) == Size;
}

}  // namespace Platform

#include "platform/exception.h"
#include "platform/sysmsg.h"

namespace Platform {

class TWriteStream::TFile : public TFd {
public:
  using TFd::TFd;
};

TWriteStream::TWriteStream(const std::string& Path) {
  {
    TFd Created(open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (Created.Get() < 0)
      throw Exception("Cannot create file \"" + Path + "\". " + SystemMessage(errno));
  }
  const int Fd = open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  const int Error = errno;
  auto File = std::make_unique<TFile>(Fd);
  if (Fd < 0) throw Exception("Cannot open file \"" + Path + "\". " + SystemMessage(Error));
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0)
    throw Exception("Cannot open file \"" + Path + "\". " + SystemMessage(errno));
  FFile = std::move(File);
}

TWriteStream::TWriteStream(const std::string& Path, TNewTag) {
  const int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const int Error = errno;
  auto File = std::make_unique<TFile>(Fd);
  if (Fd < 0 && Error == EEXIST) return;  // left without a file: CreateNew says so
  if (Fd < 0) throw Exception("Cannot create file \"" + Path + "\". " + SystemMessage(Error));
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0)
    throw Exception("Cannot open file \"" + Path + "\". " + SystemMessage(errno));
  FFile = std::move(File);
}

std::unique_ptr<TWriteStream> TWriteStream::CreateNew(const std::string& Path) {
  std::unique_ptr<TWriteStream> Stream(new TWriteStream(Path, TNewTag{}));
  if (!Stream->FFile) Stream.reset();
  return Stream;
}

TWriteStream::~TWriteStream() = default;

bool TWriteStream::Write(const void* Data, size_t Size) {
  return WriteAll(FFile->Get(), static_cast<const char*>(Data), Size);
}

}  // namespace Platform

#include <dirent.h>

namespace Platform {
namespace {
class TDir {
public:
  explicit TDir(const std::string& Path) : FDir(opendir(Path.c_str())) {}
  ~TDir() {
    if (FDir) closedir(FDir);
  }
  TDir(const TDir&) = delete;
  TDir& operator=(const TDir&) = delete;
  DIR* Get() const { return FDir; }

private:
  DIR* FDir;
};

bool IsDots(const char* Name) { return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0)); }
}  // namespace

std::vector<std::string> ListFolders(const std::string& Dir) {
  std::vector<std::string> Names;
  TDir D(Dir);
  if (!D.Get()) return Names;
  while (const dirent* E = readdir(D.Get())) {
    if (IsDots(E->d_name)) continue;
    struct stat St {};
    // lstat: a link to a folder elsewhere is not one of ours.
    if (lstat((Dir + "/" + E->d_name).c_str(), &St) == 0 && S_ISDIR(St.st_mode)) Names.push_back(E->d_name);
  }
  return Names;
}

bool RemoveFolderTree(const std::string& Dir) {
  {
    TDir D(Dir);
    if (D.Get()) {
      while (const dirent* E = readdir(D.Get())) {
        if (IsDots(E->d_name)) continue;
        const std::string Path = Dir + "/" + E->d_name;
        struct stat St {};
        if (lstat(Path.c_str(), &St) != 0) continue;
        if (S_ISDIR(St.st_mode))
          RemoveFolderTree(Path);
        else
          unlink(Path.c_str());
      }
    }
  }
  return rmdir(Dir.c_str()) == 0 || errno == ENOENT;
}

}  // namespace Platform
