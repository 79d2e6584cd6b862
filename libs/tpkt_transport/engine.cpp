#include "engine.h"

namespace TPKT {

namespace {
thread_local TEngine* CurrentEngine = nullptr;  // the engine whose thread this is
}

TEngine::TEngine() : FWork(asio::make_work_guard(FIo)) {
  FThread = std::thread([this] { Run(); });
}

TEngine::~TEngine() {
  if (IsCurrentThread())
    FThread.detach();  // never happens by design; ending the process would be worse
  else
    Join();
}

TEngine* TEngine::OnThisThread() { return CurrentEngine; }

void TEngine::Run() {
  CurrentEngine = this;
  for (;;) {
    try {
      FIo.run();
      break;
    } catch (...) {
      // A handler's failure must not end the thread of every server.
    }
  }
  CurrentEngine = nullptr;
}

}  // namespace TPKT
