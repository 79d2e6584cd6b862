// Stand-ins for the log-server client library, one behaviour per build:
// FAKE_ACCEPT (1: every line taken, 0: every line declined) and FAKE_NO_FINALIZE
// (the finalizer export is missing). Each counts the calls it received, and
// can hold the lines offered to it until the test lets them go.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::atomic<int> Messages{0};
std::atomic<int> Initialized{0};

std::mutex HoldLock;
std::condition_variable HoldChanged;  // waits on HoldLock
bool Holding = false;                  // guarded by HoldLock
int Inside = 0;                        // guarded by HoldLock: offers in progress
bool FinalizedWhileInside = false;     // guarded by HoldLock
}  // namespace

FAKE_EXPORT unsigned char DLL_Initialize(const char*, int Value) {
  Initialized = Value;
  return FAKE_ACCEPT;
}

#if !FAKE_NO_FINALIZE
FAKE_EXPORT void DLL_Finalize() {
  std::lock_guard<std::mutex> L(HoldLock);
  if (Inside > 0) FinalizedWhileInside = true;
}
#endif

FAKE_EXPORT unsigned char DLL_MessageToLogServer(double, const char*, const char*, const char*, const char*) {
  ++Messages;
  std::unique_lock<std::mutex> L(HoldLock);
  ++Inside;
  HoldChanged.notify_all();
  HoldChanged.wait(L, [] { return !Holding; });
  --Inside;
  return FAKE_ACCEPT;
}

// For the tests: while held, an offered line waits inside the library.
FAKE_EXPORT void Fake_Hold(int On) {
  std::lock_guard<std::mutex> L(HoldLock);
  Holding = On != 0;
  HoldChanged.notify_all();
}
// Waits up to TimeoutMs until Count offers are inside; how many are.
FAKE_EXPORT int Fake_WaitInside(int Count, int TimeoutMs) {
  std::unique_lock<std::mutex> L(HoldLock);
  HoldChanged.wait_for(L, std::chrono::milliseconds(TimeoutMs), [Count] { return Inside >= Count; });
  return Inside;
}
// 1 when the finalizer ran while an offer was still inside.
FAKE_EXPORT int Fake_FinalizedWhileInside() {
  std::lock_guard<std::mutex> L(HoldLock);
  return FinalizedWhileInside ? 1 : 0;
}

// For the tests: how many lines were offered, and the integer given at start.
FAKE_EXPORT int Fake_MessageCount() { return Messages; }
FAKE_EXPORT int Fake_InitValue() { return Initialized; }
