#include "transport/transport_binding.h"

#include "platform/mutex.h"
#include "transport/cross_lib.h"

namespace TransportBinding {

namespace {

struct TState {
  Platform::TMutex Lock;
  int RefCount GUARDED_BY(Lock) = 0;
  Platform::TDynLib Library GUARDED_BY(Lock);
  std::string Override GUARDED_BY(Lock);
  TEntryPoints Entry;  // written under Lock while no object holds the binding; read by the holders
};

TState& State() {
  static TState S;
  return S;
}

template <class T>
T Proc(const Platform::TDynLib& Lib, const char* Name) {
  return reinterpret_cast<T>(GetProcAddressChecked(Lib, Name));
}

void UnloadLocked(TState& S) REQUIRES(S.Lock) {
  S.Library.Reset();
  S.Entry = TEntryPoints{};
}

}  // namespace

const TEntryPoints& Entry() { return State().Entry; }

void Acquire() {
  TState& S = State();
  Platform::TLockGuard Guard(S.Lock);
  ++S.RefCount;
  if (S.Library) return;  // in use, or kept by a release from inside a callback
  try {
    S.Library = LoadLibraryChecked(S.Override.empty() ? LibraryName() : S.Override);
    TEntryPoints& E = S.Entry;
    E.StartTPKTServer = Proc<TStartTPKTServer>(S.Library, "StartTPKTServer");
    E.StopTPKTServer = Proc<TStopTPKTServer>(S.Library, "StopTPKTServer");
    E.DisconnectClient = Proc<TDisconnectClient>(S.Library, "DisconnectClient");
    E.SendToAll = Proc<TSendToAll>(S.Library, "SendToAll");
    E.SendToClient = Proc<TSendToClient>(S.Library, "SendToClient");
    E.SendTo = Proc<TSendTo>(S.Library, "SendTo");
    E.GetTPKTServerCounters = reinterpret_cast<TGetTPKTServerCounters>(S.Library.Symbol("GetTPKTServerCounters"));
  } catch (...) {
    // As if the failed object had been destroyed.
    if (--S.RefCount == 0) UnloadLocked(S);
    throw;
  }
}

void Release(bool InsideCallback) {
  TState& S = State();
  Platform::TLockGuard Guard(S.Lock);
  if (--S.RefCount > 0) return;
  S.RefCount = 0;
  if (!InsideCallback) UnloadLocked(S);
}

std::string LibraryName() { return Platform::LibraryFileName("srv_TAVEK_TPKT_Transport"); }

void SetOverride(const std::string& FileName, bool InsideCallback) {
  TState& S = State();
  Platform::TLockGuard Guard(S.Lock);
  S.Override = FileName;
  if (S.RefCount == 0 && !InsideCallback) UnloadLocked(S);
}

}  // namespace TransportBinding
