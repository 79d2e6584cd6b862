#include "transport/tpkt_server.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/sysmsg.h"
#include "transport/transport_binding.h"

namespace {

// The callbacks running on this thread, innermost last. An object destroyed
// from inside one of its own callbacks marks its frames so that the callback
// does not touch it afterwards.
struct TCallbackFrame {
  TTPKTServer* Server;
  bool Destroyed;
};
thread_local std::vector<TCallbackFrame> CallbackFrames;

// This thread is inside the library's start (a callback it makes from there
// cannot wait for the start to end).
thread_local bool StartingHere = false;

// ---- routing ------------------------------------------------------------------

}  // namespace

Platform::TMutex TTPKTServer::FRegistryLock;

struct TTPKTServer::TRouting {
  struct TRegistry {
    std::condition_variable CallbackEnded;  // waits on FRegistryLock
    std::condition_variable StartEnded;     // waits on FRegistryLock
    std::vector<TTPKTServer*> Servers GUARDED_BY(FRegistryLock);  // in order of construction
    uint64_t NextSerial GUARDED_BY(FRegistryLock) = 1;
    int Starting GUARDED_BY(FRegistryLock) = 0;  // starts whose id is not yet known
  };

  static TRegistry& Registry() {
    static TRegistry R;
    return R;
  }

  // Finds the object of a server id and counts the callback as running on it.
  // Returns the frame index, or -1 when no object has that id.
  // An id nobody has may belong to a start that has not returned yet: the
  // callback waits for it, so that a client announced that early is not lost.
  static int Enter(int32_t ServerId) {
    TRegistry& R = Registry();
    Platform::TUniqueLock Guard(FRegistryLock);
    for (;;) {
      for (TTPKTServer* S : R.Servers) {
        if (S->FServerId == ServerId) {
          ++S->FCallbacksRunning;
          CallbackFrames.push_back({S, false});
          return static_cast<int>(CallbackFrames.size()) - 1;
        }
      }
      if (R.Starting == 0 || StartingHere) return -1;
      R.StartEnded.wait(Guard.Native());
    }
  }

  static TTPKTServer* Alive(int Frame) {
    return CallbackFrames[Frame].Destroyed ? nullptr : CallbackFrames[Frame].Server;
  }

  static void Leave(int Frame) {
    TRegistry& R = Registry();
    {
      Platform::TLockGuard Guard(FRegistryLock);
      if (TTPKTServer* S = Alive(Frame)) --S->FCallbacksRunning;
      CallbackFrames.pop_back();
    }
    R.CallbackEnded.notify_all();
  }

  // One callback's hold on its object, from the lookup to the return.
  class TScope {
  public:
    explicit TScope(int32_t ServerId) : FFrame(Enter(ServerId)) {}
    ~TScope() {
      if (FFrame >= 0) Leave(FFrame);
    }
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;
    // The object, or nullptr when there is none (any more).
    TTPKTServer* Server() const { return FFrame >= 0 ? Alive(FFrame) : nullptr; }

  private:
    const int FFrame;
  };

  // Runs a handler; nothing it throws reaches the library.
  template <class F>
  static bool Raise(F&& Handler) noexcept {
    try {
      Handler();
      return true;
    } catch (...) {
      return false;
    }
  }

  static void RemoveClient(TTPKTServer* S, int32_t ClientId) {
    Platform::TLockGuard Guard(S->FLock);
    const auto It = std::find_if(S->FClients.begin(), S->FClients.end(),
                                 [&](const TTPKTClientInfo& C) { return C.Id == ClientId; });
    if (It != S->FClients.end()) S->FClients.erase(It);
    S->FClientCount = static_cast<int>(S->FClients.size());
  }

  static void Touch(TTPKTServer* S, int32_t ClientId) {
    Platform::TLockGuard Guard(S->FLock);
    const auto It = std::find_if(S->FClients.begin(), S->FClients.end(),
                                 [&](const TTPKTClientInfo& C) { return C.Id == ClientId; });
    if (It != S->FClients.end()) It->LastActivity = Platform::TickCount();
  }

  static void BRENVIC_STDCALL ConnectCallback(int32_t ServerId, int32_t ClientId, const char* Address,
                                              int32_t Port) noexcept {
    try {
      const TScope Scope(ServerId);
      TTPKTServer* S = Scope.Server();
      if (!S) return;
      {
        Platform::TLockGuard Guard(S->FLock);
        S->FClients.push_back({ClientId, Platform::TickCount()});
        S->FClientCount = static_cast<int>(S->FClients.size());
      }
      const std::string Text = Address ? Address : "";
      Raise([&] { S->FOnConnect(S, ClientId, Text, Port); });
    } catch (...) {
    }
  }

  static void BRENVIC_STDCALL DisconnectCallback(int32_t ServerId, int32_t ClientId, const char* Address,
                                                 int32_t Port) noexcept {
    try {
      const TScope Scope(ServerId);
      TTPKTServer* S = Scope.Server();
      if (!S) return;
      const std::string Text = Address ? Address : "";
      // The handler still counts the leaving client.
      Raise([&] { S->FOnDisconnect(S, ClientId, Text, Port); });
      if ((S = Scope.Server())) RemoveClient(S, ClientId);
    } catch (...) {
    }
  }

  // The library's start takes a callback for data of the server itself; all
  // data the program takes is a client's, so this one has nobody to tell.
  static void BRENVIC_STDCALL DataCallback(int32_t, int32_t, const void*, int32_t) noexcept {}

  static void BRENVIC_STDCALL ClientDataCallback(int32_t ServerId, int32_t ClientId, const void* Data,
                                                 int32_t Size) noexcept {
    try {
      const TScope Scope(ServerId);
      TTPKTServer* S = Scope.Server();
      if (!S) return;
      // A handler that fails leaves the activity time as it was.
      const bool Handled = Raise([&] { S->FOnClientData(S, ClientId, Data, static_cast<uint32_t>(Size)); });
      if (Handled && (S = Scope.Server())) Touch(S, ClientId);
    } catch (...) {
    }
  }
};

// ---- TTPKTServer ----------------------------------------------------------------

std::string TTPKTServer::TransportLibraryName() { return TransportBinding::LibraryName(); }

void TTPKTServer::SetTransportLibraryOverride(const std::string& FileName) {
  TransportBinding::SetOverride(FileName, !CallbackFrames.empty());
}

TTPKTServer::TTPKTServer() {
  TransportBinding::Acquire();
  TRouting::TRegistry& R = TRouting::Registry();
  Platform::TLockGuard Guard(FRegistryLock);
  FSerial = R.NextSerial++;
  R.Servers.push_back(this);
}

TTPKTServer::~TTPKTServer() {
  {
    // Leave the registry, then let callbacks running on other threads finish;
    // callbacks of this object further up this thread's stack stay off it.
    TRouting::TRegistry& R = TRouting::Registry();
    Platform::TUniqueLock Guard(FRegistryLock);
    R.Servers.erase(std::remove(R.Servers.begin(), R.Servers.end(), this), R.Servers.end());
    int Own = 0;
    for (TCallbackFrame& F : CallbackFrames)
      if (F.Server == this && !F.Destroyed) {
        F.Destroyed = true;
        ++Own;
      }
    R.CallbackEnded.wait(Guard.Native(), [&]() REQUIRES(FRegistryLock) { return FCallbacksRunning == Own; });
  }
  if (FActive) {
    try {
      SetActive(false);
    } catch (...) {
      // A destructor reports nothing; the server is stopped all the same.
    }
  }
  // Freed from inside one of the library's callbacks, the library's code is
  // still on this thread's stack: then the library stays loaded.
  TransportBinding::Release(!CallbackFrames.empty());
}

void TTPKTServer::SetActive(bool Value) {
  if (Value == FActive) return;
  const TransportBinding::TEntryPoints& B = TransportBinding::Entry();
  if (Value) {
    std::string Params = FListenIP;
    if (FNoTPKT) Params += ",NOTPKT=YES";
    if (!FLayer.empty()) Params += ",LAYER=" + FLayer;
    // The registry's lock is not held across the library's start: the start
    // may wait for a library thread that is leaving a callback, which takes
    // that lock. Callbacks of the new server wait for the start to end instead.
    TRouting::TRegistry& R = TRouting::Registry();
    {
      Platform::TLockGuard Guard(FRegistryLock);
      ++R.Starting;
    }
    StartingHere = true;
    const int32_t Id = B.StartTPKTServer(Params.c_str(), FPort, TRouting::DataCallback,
                                         TRouting::ClientDataCallback, TRouting::ConnectCallback,
                                         TRouting::DisconnectCallback);
    const int32_t Code = Platform::LastError();
    StartingHere = false;
    {
      Platform::TLockGuard Guard(FRegistryLock);
      FServerId = Id;
      --R.Starting;
    }
    R.StartEnded.notify_all();
    if (Id == -1) {
      RaiseError(OpStart, "Cannot start server.", Code);
      return;
    }
    FActive = true;
  } else {
    FActive = false;
    // Callbacks made while the library stops still find this object.
    const int32_t Result = B.StopTPKTServer(FServerId);
    const int32_t Code = Platform::LastError();
    {
      Platform::TLockGuard Guard(FRegistryLock);
      FServerId = -1;
    }
    if (Result == -1) RaiseError(OpStop, "Stop server error.", Code);
  }
}

namespace {
bool SameText(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::toupper(static_cast<unsigned char>(X)) == std::toupper(static_cast<unsigned char>(Y));
         });
}

const char* const PropertyWhileActive = "Cannot change property while server is active.";
}  // namespace

void TTPKTServer::SetListenIP(const std::string& Value) {
  if (FActive && !SameText(Value, FListenIP)) throw ETPKTServerError(PropertyWhileActive);
  FListenIP = Value;
}

void TTPKTServer::SetPort(int32_t Value) {
  if (FActive && Value != FPort) throw ETPKTServerError(PropertyWhileActive);
  FPort = Value;
}

void TTPKTServer::SetLayer(const std::string& Value) {
  std::string Upper = Value;
  for (char& C : Upper) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  if (FActive && Upper != FLayer) throw ETPKTServerError(PropertyWhileActive);
  FLayer = Upper;
}

void TTPKTServer::RaiseError(uint8_t Operation, const std::string& Msg, int32_t ErrorCode) {
  if (ErrorCode == 0) ErrorCode = -1;
  FOnError(this, Operation, Msg, ErrorCode);
  if (ErrorCode != 0)
    throw ETPKTServerError(Msg + Format(" %s(%d)", Platform::SystemMessage(ErrorCode).c_str(), ErrorCode));
}

bool TTPKTServer::DisconnectClient(int32_t ClientId) {
  if (!FActive) return false;
  if (TransportBinding::Entry().DisconnectClient(FServerId, ClientId) != -1) return true;
  RaiseError(OpDisconnectClient, Format("Disconnect client error (%d).", ClientId), Platform::LastError());
  return false;
}

uint64_t TTPKTServer::ClientsDroppedSlow() const {
  const auto Get = TransportBinding::Entry().GetTPKTServerCounters;
  TransportBinding::TServerCounters Counters;
  if (!FActive || !Get || Get(FServerId, &Counters, sizeof Counters) == -1) return 0;
  return Counters.ClientsDroppedSlow;
}

bool TTPKTServer::SendToAll(const void* Data, uint32_t Size) {
  if (!FActive) return false;
  if (TransportBinding::Entry().SendToAll(FServerId, Data, static_cast<int32_t>(Size)) != -1) return true;
  RaiseError(OpSendToAll, "Send data to all error.", Platform::LastError());
  return false;
}

bool TTPKTServer::SendTo(const std::string& Host, uint16_t Port, const void* Data, uint32_t Size) {
  if (FLayer != "UDP" || !FActive) return false;
  if (TransportBinding::Entry().SendTo(FServerId, Host.c_str(), Port, Data, static_cast<int32_t>(Size)) != -1) return true;
  RaiseError(OpSendTo, Format("Send data to error (%s:%d).", Host.c_str(), Port), Platform::LastError());
  return false;
}

bool TTPKTServer::DisconnectIdleClients(uint32_t TimeoutMs, std::string& Ids) {
  Ids.clear();
  // The idle ones are collected under FLock and disconnected after it is left:
  // a library that reports the disconnection on another thread, and waits for
  // that report, would otherwise block on FLock.
  std::vector<int32_t> Idle;
  {
    Platform::TLockGuard Guard(FLock);
    const uint32_t Now = Platform::TickCount();
    for (auto It = FClients.rbegin(); It != FClients.rend(); ++It)
      if (static_cast<uint32_t>(Now - It->LastActivity) > TimeoutMs) Idle.push_back(It->Id);
  }
  for (const int32_t Id : Idle) {
    DisconnectClient(Id);
    if (!Ids.empty()) Ids += ",";
    Ids += std::to_string(Id);
  }
  return !Idle.empty();
}
