#pragma once
// TTPKTServer: one network endpoint (a UDP socket or a TCP listener) of the
// transport library, which is loaded at run time and shared by all objects.
// The object keeps the endpoint's clients with the time each was last heard
// from, routes the library's callbacks to its events and turns the library's
// failures into OnError and ETPKTServerError.
//
// Threads: properties, start, stop, sends and DisconnectIdleClients belong to
// the owner's threads (OnError runs there); the events OnConnect, OnDisconnect
// and OnClientData run on the library's threads. Once Active has been
// set to False no callback reaches the object any more, and none is running
// on it when its destructor has begun its work.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/mutex.h"
#include "transport/event_slot.h"

class ETPKTServerError : public Exception {
public:
  using Exception::Exception;
};

struct TTPKTClientInfo {
  int32_t Id = 0;             // the library's ClientId
  uint32_t LastActivity = 0;  // tick of the connect or of the last data
};

class TTPKTServer {
public:
  // (Sender, Operation, Msg, ErrorCode): the handler may set ErrorCode to 0 to
  // keep the exception from being raised.
  using TErrorEvent = TEventSlot<TTPKTServer*, uint8_t, const std::string&, int32_t&>;
  // (Sender, ClientId, Data, Size); Data is valid during the call only.
  using TDataEvent = TEventSlot<TTPKTServer*, int32_t, const void*, uint32_t>;
  // (Sender, ClientId, Address, Port).
  using TConnectEvent = TEventSlot<TTPKTServer*, int32_t, const std::string&, int32_t>;

  // Operation numbers of OnError: the order of the library's exports.
  enum : uint8_t { OpStart = 0, OpStop = 1, OpDisconnectClient = 2, OpSendToAll = 3, OpSendTo = 5 };

  // Binds the transport library (raises Exception when it or an export is
  // missing).
  TTPKTServer();
  ~TTPKTServer();
  TTPKTServer(const TTPKTServer&) = delete;
  TTPKTServer& operator=(const TTPKTServer&) = delete;

  bool Active() const { return FActive; }
  void SetActive(bool Value);

  const std::string& ListenIP() const { return FListenIP; }
  void SetListenIP(const std::string& Value);
  int32_t Port() const { return FPort; }
  void SetPort(int32_t Value);
  const std::string& Layer() const { return FLayer; }
  void SetLayer(const std::string& Value);  // stored upper-case
  bool NoTPKT() const { return FNoTPKT; }
  void SetNoTPKT(bool Value) { FNoTPKT = Value; }

  // The library's id of the running server, -1 while stopped.
  int32_t ServerId() const { return FServerId; }
  int ClientCount() const { return FClientCount; }
  // Clients the library let go for having stopped reading, since the start;
  // 0 while inactive or when the library does not count them.
  uint64_t ClientsDroppedSlow() const;

  // False on a stopped server. A failure raises OnError and, unless the handler
  // clears the code, ETPKTServerError; False when it was cleared.
  bool DisconnectClient(int32_t ClientId);
  bool SendToAll(const void* Data, uint32_t Size);
  // A datagram to one address; only on a started "UDP" server.
  bool SendTo(const std::string& Host, uint16_t Port, const void* Data, uint32_t Size);

  // Disconnects every client silent for more than TimeoutMs; Ids lists them,
  // newest first ("7,4,1"). True when there was any. The records stay until
  // the library reports each client gone.
  bool DisconnectIdleClients(uint32_t TimeoutMs, std::string& Ids);

  TErrorEvent& OnError() { return FOnError; }
  TDataEvent& OnClientData() { return FOnClientData; }
  TConnectEvent& OnConnect() { return FOnConnect; }
  TConnectEvent& OnDisconnect() { return FOnDisconnect; }

  // The library file the objects bind ("srv_TAVEK_TPKT_Transport" with this
  // system's extension).
  static std::string TransportLibraryName();
  // Test hook: bind this file instead (empty: the real one). Takes effect when
  // the library is next loaded, i.e. while no object exists. Not for production
  // code.
  static void SetTransportLibraryOverride(const std::string& FileName);

private:
  // Raises OnError and then, unless cleared, ETPKTServerError.
  void RaiseError(uint8_t Operation, const std::string& Msg, int32_t ErrorCode);

  struct TRouting;  // the library's callbacks and the registry of live objects
  friend struct TRouting;
  static Platform::TMutex FRegistryLock;  // the registry's

  std::atomic<int32_t> FServerId{-1};  // written under FRegistryLock, read anywhere
  std::vector<TTPKTClientInfo> FClients GUARDED_BY(FLock);
  mutable Platform::TMutex FLock;
  std::atomic<bool> FActive{false};  // owner's threads write, anyone reads
  int32_t FPort = 0;       // owner's thread
  std::string FListenIP;   // owner's thread
  bool FNoTPKT = false;    // owner's thread
  TErrorEvent FOnError;        // the slots lock themselves
  TDataEvent FOnClientData;
  TConnectEvent FOnConnect;
  TConnectEvent FOnDisconnect;
  std::string FLayer;  // owner's thread

  std::atomic<int> FClientCount{0};  // FClients.size(), kept under FLock, read anywhere
  uint64_t FSerial = 0;              // set once by the constructor
  int FCallbacksRunning GUARDED_BY(FRegistryLock) = 0;
};
