// Stand-ins for the log-server client library, one behaviour per build:
// FAKE_ACCEPT (1: every line taken, 0: every line declined) and FAKE_NO_FINALIZE
// (the finalizer export is missing). Each counts the calls it received.
#include <atomic>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::atomic<int> Messages{0};
std::atomic<int> Initialized{0};
}  // namespace

FAKE_EXPORT unsigned char DLL_Initialize(const char*, int Value) {
  Initialized = Value;
  return FAKE_ACCEPT;
}

#if !FAKE_NO_FINALIZE
FAKE_EXPORT void DLL_Finalize() {}
#endif

FAKE_EXPORT unsigned char DLL_MessageToLogServer(double, const char*, const char*, const char*, const char*) {
  ++Messages;
  return FAKE_ACCEPT;
}

// For the tests: how many lines were offered, and the integer given at start.
FAKE_EXPORT int Fake_MessageCount() { return Messages; }
FAKE_EXPORT int Fake_InitValue() { return Initialized; }
