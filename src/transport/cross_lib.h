#pragma once
// Loading a run-time library and its exports, failing with the program's own
// exception.

#include <string>

#include "platform/dynlib.h"

// Loads by name through the system's search, then (for a bare name) from the
// executable's directory. Raises Exception "Can not load library "<name>"".
Platform::TDynLib LoadLibraryChecked(const std::string& Name);

// Raises Exception "Unable to locate symbol "<name>"" when the export is missing.
void* GetProcAddressChecked(const Platform::TDynLib& Lib, const std::string& Name);
