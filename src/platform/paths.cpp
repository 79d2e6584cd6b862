#include "platform/paths.h"

namespace Platform {
namespace {
bool IsDelim(char C) { return C == PathDelim() || C == '/'; }

size_t LastDelim(const std::string& Path) {
  for (size_t I = Path.size(); I > 0; --I)
    if (IsDelim(Path[I - 1]) || (PathDelim() == '\\' && Path[I - 1] == ':')) return I;
  return 0;
}
}  // namespace

std::string ExtractFileDir(const std::string& Path) { return Path.substr(0, LastDelim(Path)); }

std::string ExtractFileName(const std::string& Path) { return Path.substr(LastDelim(Path)); }

std::string ChangeFileExt(const std::string& Path, const std::string& Ext) {
  const size_t NameStart = LastDelim(Path);
  const size_t Dot = Path.rfind('.');
  if (Dot == std::string::npos || Dot < NameStart) return Path + Ext;
  return Path.substr(0, Dot) + Ext;
}

std::string StripExtension(const std::string& FileName) { return ChangeFileExt(FileName, ""); }

bool IsAbsolutePath(const std::string& Path) {
  return (!Path.empty() && (Path[0] == '/' || Path[0] == '\\')) || (Path.size() > 1 && Path[1] == ':');
}

}  // namespace Platform
