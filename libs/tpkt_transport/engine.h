#pragma once
// The network thread: one io_context run by one thread, which serves every
// server of the process. It starts with the first server and ends with the
// last one; all callbacks into the program run on it.

#include <asio.hpp>

#include <thread>

namespace TPKT {

class TEngine {
public:
  TEngine();
  ~TEngine();
  TEngine(const TEngine&) = delete;
  TEngine& operator=(const TEngine&) = delete;

  // The engine whose thread this is, or nullptr.
  static TEngine* OnThisThread();

  asio::io_context& Io() { return FIo; }
  bool IsCurrentThread() const { return OnThisThread() == this; }
  // Lets the thread end once the work it has is done. Called once, under the
  // library's lock.
  void Release() { FWork.reset(); }
  // Never from the engine's own thread.
  void Join() {
    if (FThread.joinable() && !IsCurrentThread()) FThread.join();
  }

private:
  void Run();

  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork;  // reset once under the library's lock
  std::thread FThread;  // joined by the thread that retires the engine, or later
};

}  // namespace TPKT
