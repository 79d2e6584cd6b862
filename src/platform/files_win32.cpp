#include "platform/files.h"

#include <windows.h>

#include "platform/handle_win32.h"

namespace Platform {

bool FileExists(const std::string& Path) {
  const DWORD Attr = GetFileAttributesA(Path.c_str());
  return Attr != INVALID_FILE_ATTRIBUTES && !(Attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& Dir) {
  std::string Path = Dir;
  while (Path.size() > 3 && (Path.back() == '\\' || Path.back() == '/')) Path.pop_back();
  if (Path.empty()) return false;
  DWORD Attr = GetFileAttributesA(Path.c_str());
  if (Attr != INVALID_FILE_ATTRIBUTES) return (Attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t Slash = Path.find_last_of("\\/");
  if (Slash != std::string::npos && Slash > 0 && Path[Slash - 1] != ':' &&
      !ForceDirectories(Path.substr(0, Slash)))
    return false;
  if (CreateDirectoryA(Path.c_str(), nullptr)) return true;
  Attr = GetFileAttributesA(Path.c_str());
  return Attr != INVALID_FILE_ATTRIBUTES && (Attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool WriteWholeFile(const std::string& Path, const std::string& Bytes) {
  THandle F(CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!F.Valid()) return false;
  DWORD Written = 0;
  return WriteFile(F.Get(), Bytes.data(), static_cast<DWORD>(Bytes.size()), &Written, nullptr) &&
         Written == Bytes.size();
}

bool ReadWholeFile(const std::string& Path, std::string& Bytes) {
  THandle F(CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!F.Valid()) return false;
  Bytes.clear();
  char Buf[65536];
  for (;;) {
    DWORD Read = 0;
    if (!ReadFile(F.Get(), Buf, sizeof(Buf), &Read, nullptr)) return false;
    if (Read == 0) return true;
    Bytes.append(Buf, Read);
  }
}

bool AppendToFile(const std::string& Path, const char* Data, size_t Size) {
  THandle F(CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!F.Valid()) return false;
  if (SetFilePointer(F.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR)
    return false;
  DWORD Written = 0;
  return WriteFile(F.Get(), Data, static_cast<DWORD>(Size), &Written, nullptr) && Written == Size;
}

}  // namespace Platform

#include "platform/exception.h"
#include "platform/sysmsg.h"

namespace Platform {

class TWriteStream::TFile : public THandle {
public:
  using THandle::THandle;
};

TWriteStream::TWriteStream(const std::string& Path) {
  {
    THandle Created(CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!Created.Valid())
      throw Exception("Cannot create file \"" + Path + "\". " + SystemMessage(static_cast<int>(GetLastError())));
  }
  const HANDLE H = CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD Error = GetLastError();
  auto File = std::make_unique<TFile>(H);
  if (!File->Valid()) throw Exception("Cannot open file \"" + Path + "\". " + SystemMessage(static_cast<int>(Error)));
  FFile = std::move(File);
}

TWriteStream::TWriteStream(const std::string& Path, TNewTag) {
  const HANDLE H = CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD Error = GetLastError();
  auto File = std::make_unique<TFile>(H);
  if (!File->Valid() && Error == ERROR_FILE_EXISTS) return;  // left without a file: CreateNew says so
  if (!File->Valid()) throw Exception("Cannot create file \"" + Path + "\". " + SystemMessage(static_cast<int>(Error)));
  FFile = std::move(File);
}

std::unique_ptr<TWriteStream> TWriteStream::CreateNew(const std::string& Path) {
  std::unique_ptr<TWriteStream> Stream(new TWriteStream(Path, TNewTag{}));
  if (!Stream->FFile) Stream.reset();
  return Stream;
}

TWriteStream::~TWriteStream() = default;

bool TWriteStream::Write(const void* Data, size_t Size) {
  DWORD Written = 0;
  return WriteFile(FFile->Get(), Data, static_cast<DWORD>(Size), &Written, nullptr) && Written == Size;
}

}  // namespace Platform

namespace Platform {
namespace {
class TFind {
public:
  TFind(const std::string& Dir, WIN32_FIND_DATAA& Data) : FHandle(FindFirstFileA((Dir + "\\*").c_str(), &Data)) {}
  ~TFind() {
    if (FHandle != INVALID_HANDLE_VALUE) FindClose(FHandle);
  }
  TFind(const TFind&) = delete;
  TFind& operator=(const TFind&) = delete;
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAA& Data) { return FindNextFileA(FHandle, &Data) != FALSE; }

private:
  HANDLE FHandle;
};

bool IsDots(const char* Name) { return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0)); }

// A junction or link to a folder elsewhere is not one of ours.
bool IsOwnFolder(const WIN32_FIND_DATAA& D) {
  return (D.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(D.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
}  // namespace

std::vector<std::string> ListFolders(const std::string& Dir) {
  std::vector<std::string> Names;
  WIN32_FIND_DATAA D{};
  TFind F(Dir, D);
  if (!F.Valid()) return Names;
  do {
    if (!IsDots(D.cFileName) && IsOwnFolder(D)) Names.push_back(D.cFileName);
  } while (F.Next(D));
  return Names;
}

bool RemoveFolderTree(const std::string& Dir) {
  {
    WIN32_FIND_DATAA D{};
    TFind F(Dir, D);
    if (F.Valid()) {
      do {
        if (IsDots(D.cFileName)) continue;
        const std::string Path = Dir + "\\" + D.cFileName;
        if (IsOwnFolder(D)) {
          RemoveFolderTree(Path);
        } else if (D.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveDirectoryA(Path.c_str());  // the link itself, not what it points to
        } else {
          if (D.dwFileAttributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(Path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileA(Path.c_str());
        }
      } while (F.Next(D));
    }
  }
  return RemoveDirectoryA(Dir.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

}  // namespace Platform
