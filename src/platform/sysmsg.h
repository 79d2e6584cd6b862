#pragma once
// Error codes of the system and their texts.

#include <string>

namespace Platform {

// The calling thread's last error code (GetLastError / errno).
int LastError();
void SetLastError(int Code);

// The system's message for an error code, at most 256 characters, with trailing
// blanks, control characters and full stops removed.
std::string SystemMessage(int Code);

// Codes of this program's own for service-manager failures that the system has
// no code for (used where the service manager is systemd); SystemMessage knows
// their texts.
enum TServiceError : int {
  ServiceErrorNoManager = 0x20000001,
  ServiceErrorDoesNotExist,
  ServiceErrorAlreadyRunning,
  ServiceErrorRequestFailed,
  ServiceErrorNotStartedByManager,
  ServiceErrorOwnedByPackage,
};

// The trimming rule alone.
std::string TrimSystemMessage(std::string Text);

}  // namespace Platform
