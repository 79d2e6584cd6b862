#pragma once
// The transport library as the server objects bind it: loaded with the first
// object and freed with the last, its exports as entry points.

#include <cstdint>
#include <string>

#include "platform/dynlib.h"

namespace TransportBinding {

using TDataCallback = void(BRENVIC_STDCALL*)(int32_t ServerId, int32_t ClientId, const void* Data,
                                             int32_t Size);
using TConnectCallback = void(BRENVIC_STDCALL*)(int32_t ServerId, int32_t ClientId, const char* Address,
                                                int32_t Port);
using TStartTPKTServer = int32_t(BRENVIC_STDCALL*)(const char* Params, int32_t Port, TDataCallback,
                                                   TDataCallback, TConnectCallback, TConnectCallback);
using TStopTPKTServer = int32_t(BRENVIC_STDCALL*)(int32_t ServerId);
using TDisconnectClient = int32_t(BRENVIC_STDCALL*)(int32_t ServerId, int32_t ClientId);
using TSendToAll = int32_t(BRENVIC_STDCALL*)(int32_t ServerId, const void* Data, int32_t Size);
using TSendToClient = int32_t(BRENVIC_STDCALL*)(int32_t ServerId, int32_t ClientId, const void* Data,
                                                int32_t Size);
using TSendTo = int32_t(BRENVIC_STDCALL*)(int32_t ServerId, const char* Host, int32_t Port,
                                          const void* Data, int32_t Size);
// What a server counted: fields only ever added at the end, the size passed.
struct TServerCounters {
  uint64_t ClientsDroppedSlow = 0;  // TCP clients disconnected for having stopped reading
};
using TGetTPKTServerCounters = int32_t(BRENVIC_STDCALL*)(int32_t ServerId, TServerCounters* Counters,
                                                         int32_t Size);

// The exports. They change only while no object holds the binding (its count
// going 0 -> 1 or 1 -> 0), so an object that holds it reads them freely.
struct TEntryPoints {
  TStartTPKTServer StartTPKTServer = nullptr;
  TStopTPKTServer StopTPKTServer = nullptr;
  TDisconnectClient DisconnectClient = nullptr;
  TSendToAll SendToAll = nullptr;
  TSendToClient SendToClient = nullptr;
  TSendTo SendTo = nullptr;
  TGetTPKTServerCounters GetTPKTServerCounters = nullptr;  // optional: null when the library lacks it
};

const TEntryPoints& Entry();

// One object more. The first loads the library and looks up its six exports
// (and the optional counters);
// a failure raises Exception ("Can not load library "<name>"", "Unable to
// locate symbol "<name>"") and leaves the count as it was.
void Acquire();

// One object less; the last one frees the library, unless InsideCallback: the
// library's code is then still on this thread's stack, and the library stays
// loaded for the next object or the process's end.
void Release(bool InsideCallback);

// "srv_TAVEK_TPKT_Transport" with this system's extension.
std::string LibraryName();

// Test hook: the file to load instead (empty: the real one), from the next
// load on. A library kept loaded with no object is freed now unless
// InsideCallback.
void SetOverride(const std::string& FileName, bool InsideCallback);

}  // namespace TransportBinding
