#pragma once
// Administration of the registered service from the console: each operation
// opens what it needs through the service manager, closes it again, and either
// returns a system error code or writes its own console lines.

#include <functional>
#include <string>

#include "platform/service.h"

using TConsoleWriter = std::function<void(const std::string&)>;

// The service as it is registered: name, display name, description and this
// executable with no arguments.
Platform::TServiceIdentity ServiceIdentity();

// 0 when the service is registered, else the system error code.
int CheckInstalled();

// Registers and starts (Install) or deletes the service; 0 or a system error code.
int SetupService(bool Install);

// "run -s": asks the service manager to start the service; true when it accepted.
bool StartInstalledService(const TConsoleWriter& WriteConsoleLine);

// "kill": asks the service manager to stop the service when it runs; true when
// the stop was requested.
bool StopInstalledService(const TConsoleWriter& WriteConsoleLine);

// The install command's "-L(a,b,...)" list, written to PreinstalledServices.lst in
// Dir (with its trailing separator). False when the list was asked for but the
// file could not be written; the command then goes no further.
bool SavePreinstalledServices(const std::string& Argument, const std::string& Dir,
                              const TConsoleWriter& WriteConsoleLine);
