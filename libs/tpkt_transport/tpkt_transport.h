#pragma once
// The C interface of the transport library: what the program loads at run time.
// Every export and callback uses the standard (stdcall) convention. A failing
// export returns -1 and leaves the reason in the thread's last error (the
// Windows last-error code, errno on Linux); any other result is success.

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TPKT_CALL __stdcall
#else
#define TPKT_CALL  // x64 and Linux have one convention
#endif

#if defined(_WIN32)
#define TPKT_EXPORT extern "C" __declspec(dllexport)
#else
#define TPKT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

extern "C" {
// Data of a client (ClientDataCallback) or of the server itself (DataCallback).
typedef void(TPKT_CALL* TTPKTDataCallback)(int32_t ServerId, int32_t ClientId, const void* Data,
                                           int32_t Size);
// A client came (ConnectCallback) or went (DisconnectCallback).
typedef void(TPKT_CALL* TTPKTConnectCallback)(int32_t ServerId, int32_t ClientId,
                                              const char* Address, int32_t Port);

typedef int32_t(TPKT_CALL* TStartTPKTServer)(const char* Params, int32_t Port,
                                             TTPKTDataCallback DataCallback,
                                             TTPKTDataCallback ClientDataCallback,
                                             TTPKTConnectCallback ConnectCallback,
                                             TTPKTConnectCallback DisconnectCallback);
typedef int32_t(TPKT_CALL* TStopTPKTServer)(int32_t ServerId);
typedef int32_t(TPKT_CALL* TDisconnectClient)(int32_t ServerId, int32_t ClientId);
typedef int32_t(TPKT_CALL* TSendToAll)(int32_t ServerId, const void* Data, int32_t Size);
typedef int32_t(TPKT_CALL* TSendToClient)(int32_t ServerId, int32_t ClientId, const void* Data,
                                          int32_t Size);
typedef int32_t(TPKT_CALL* TSendTo)(int32_t ServerId, const char* Host, int32_t Port,
                                    const void* Data, int32_t Size);

// What a server has counted since its start. Fields are only ever added at the
// end: a caller passes the size of the structure it knows, and the library
// fills as much of it as both know.
struct TTPKTServerCounters {
  uint64_t ClientsDroppedSlow;  // TCP clients disconnected for having stopped reading
};
// Optional: a program must work with a library that lacks it.
typedef int32_t(TPKT_CALL* TGetTPKTServerCounters)(int32_t ServerId, TTPKTServerCounters* Counters,
                                                   int32_t Size);
}
