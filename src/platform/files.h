#pragma once
// The few file operations the program needs, with this system's sharing rules.

#include <string>
#include <vector>

namespace Platform {

bool FileExists(const std::string& Path);

// Creates the directory and all its missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& Dir);

// Creates or overwrites the file with exactly these bytes.
bool WriteWholeFile(const std::string& Path, const std::string& Bytes);

// Reads the whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& Path, std::string& Bytes);

// Opens the file for writing (created if missing, content kept; others may read
// but not write it meanwhile), moves to its end, writes the bytes in one call and
// closes it. False when any step fails.
bool AppendToFile(const std::string& Path, const char* Data, size_t Size);

// The names of the folders directly inside Dir (without "." and ".."); empty
// when Dir cannot be read.
std::vector<std::string> ListFolders(const std::string& Dir);

// Removes the folder with everything in it; true when it is gone afterwards.
bool RemoveFolderTree(const std::string& Dir);

}  // namespace Platform

#include <cstdint>
#include <memory>

namespace Platform {

// A file the program writes while other processes may read it: created empty
// (an existing one is truncated), then opened for writing with other writers
// denied. Writes append in order.
class TWriteStream {
public:
  // Raises Exception "Cannot create file "<path>". <system text>" or
  // "Cannot open file "<path>". <system text>".
  explicit TWriteStream(const std::string& Path);
  // A file that must not exist yet: nullptr when it does (nothing is touched
  // then), the errors above otherwise. A recording is never written over.
  static std::unique_ptr<TWriteStream> CreateNew(const std::string& Path);
  ~TWriteStream();
  TWriteStream(const TWriteStream&) = delete;
  TWriteStream& operator=(const TWriteStream&) = delete;

  bool Write(const void* Data, size_t Size);

private:
  struct TNewTag {};
  TWriteStream(const std::string& Path, TNewTag);
  class TFile;  // the open file: this system's owner of a descriptor or handle
  std::unique_ptr<TFile> FFile;
};

}  // namespace Platform
