#pragma once
// Opens the process log in a temporary directory for the life of the object and
// reads back what was written, for tests of components that log.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "test_support.h"

namespace TestSupport {

class TLogCapture {
public:
  // Every line as its writer wrote it: repeats are not collapsed here.
  TLogCapture() {
    OpenLogIn(FDir.Dir(), "Brenvic", "Brenvic");
    SetLogCollapseRepeats(false);
  }
  ~TLogCapture() { CloseLog(); }
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

  // The lines of the main log (FilePrefix empty) or of a side file, oldest
  // first, without their "HH:NN:SS.ZZZ " stamps.
  std::vector<std::string> Lines(const std::string& FilePrefix = "") const {
    std::vector<std::filesystem::path> Files;
    const auto Root = FDir.Path() / "Logs";
    if (std::filesystem::exists(Root))
      for (const auto& E : std::filesystem::recursive_directory_iterator(Root)) {
        if (!E.is_regular_file()) continue;
        const std::string Name = E.path().filename().string();
        const bool Side = !FilePrefix.empty() && Name.rfind(FilePrefix + "_", 0) == 0;
        const bool Main = FilePrefix.empty() && Name.size() > 3 && Name[2] == '_' && std::isdigit(static_cast<unsigned char>(Name[0]));
        if (Side || Main) Files.push_back(E.path());
      }
    std::sort(Files.begin(), Files.end());
    std::vector<std::string> Result;
    for (const auto& F : Files)
      for (const std::string& L : SplitCrLf(ReadFile(F))) Result.push_back(L.size() >= 13 ? L.substr(13) : L);
    return Result;
  }

private:
  TTempDir FDir;
};

}  // namespace TestSupport
