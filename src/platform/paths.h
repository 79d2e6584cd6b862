#pragma once
// Where the program lives. All names are 8-bit text in the process code page.

#include <string>

namespace Platform {

// The directory separator of this system.
char PathDelim();

// Full path of the running executable (empty when the system cannot tell).
std::string ExePath();

// Full file name of the module that contains this code, as the system's module
// file name query gives it (buffer of 1024 characters); empty when it fails.
// In this program the module is the executable itself.
std::string ModuleFileName();

// Portable helpers over path texts of this system.
std::string ExtractFileDir(const std::string& Path);   // with trailing separator
std::string ExtractFileName(const std::string& Path);  // name with extension
std::string ChangeFileExt(const std::string& Path, const std::string& Ext);
std::string StripExtension(const std::string& FileName);
// Whether a path names its file without a folder to start from: from the root
// ("/", "\\") or with a drive ("C:"). A file named in the configuration that is
// not is taken from the configuration file's folder.
bool IsAbsolutePath(const std::string& Path);

// The executable's directory with its trailing separator, and its file name.
inline std::string ExeDir() { return ExtractFileDir(ExePath()); }
inline std::string ExeFileName() { return ExtractFileName(ExePath()); }

}  // namespace Platform
