#include "platform/console.h"

namespace Platform {

std::vector<std::string> SplitCommandLine(const std::string& Line) {
  std::vector<std::string> Args;
  size_t I = 0;
  const size_t N = Line.size();
  for (;;) {
    while (I < N && static_cast<unsigned char>(Line[I]) <= ' ') ++I;
    if (I >= N) break;
    std::string Arg;
    bool Quoted = false;
    while (I < N && (Quoted || static_cast<unsigned char>(Line[I]) > ' ')) {
      if (Line[I] == '"')
        Quoted = !Quoted;
      else
        Arg += Line[I];
      ++I;
    }
    Args.push_back(std::move(Arg));
  }
  return Args;
}

}  // namespace Platform
