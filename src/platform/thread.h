#pragma once
// TThread: the base of the program's worker threads (the RTP session, the TCP
// audio mixer). A derived class overrides Execute, the thread body, written as
//
//   void Execute() override {
//     while (KeepRunning()) {
//       ... one pass: wait at most a bounded time (100 ms, 200 ms), then work ...
//     }
//   }
//
// Life of a thread object:
// - it is created suspended: no thread runs until the first Resume;
// - Suspend is cooperative: the thread parks in KeepRunning at the top of its
//   loop, never in the middle of a pass (so never while it holds a lock), and
//   Suspend returns once it is parked (at most one pass later);
// - Terminate sets Terminated, which KeepRunning reports (a parked thread wakes
//   for it); WaitFor waits until Execute has returned;
// - the object never frees itself. Its destructor terminates the thread and waits
//   for it, but by then a derived part is already gone: a derived class whose
//   Execute uses its own members calls Terminate() and WaitFor() at the start of
//   its own destructor (or its owner does before freeing it).

#include <condition_variable>
#include <string>
#include <thread>

#include "platform/mutex.h"

namespace Platform {

class TThread {
public:
  TThread() = default;  // created suspended
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread on the first call; afterwards lets a suspended thread go on.
  // When the system cannot create the thread, raises Exception "Cannot create a
  // thread: <reason>" and the object stays as it was: never started.
  void Resume();
  // Asks the thread to park at the top of its loop and waits until it has (or
  // has finished). Called by the thread itself, it only asks: the thread parks
  // at its next KeepRunning. The caller must not hold a lock the thread's pass
  // needs, or the pass never ends.
  void Suspend();
  // Asks Execute to end; a parked thread wakes and ends too.
  void Terminate();
  bool Terminated() const;
  // Waits until Execute has returned. Returns at once when the thread was never
  // started or when called from the thread itself.
  void WaitFor();

protected:
  // The thread body; it polls KeepRunning (or Terminated) and returns when asked.
  virtual void Execute() = 0;
  // The top of Execute's loop: parks while suspended, then tells whether to go on
  // (false once terminated).
  bool KeepRunning();

private:
  friend class TThreadTestPeer;  // the tests' look at how Execute ended

  // True once Execute has returned.
  bool Finished() const;
  // The message of an exception that escaped Execute, if any (after WaitFor).
  std::string FatalMessage() const;
  void ThreadProc();

  mutable TMutex FLock;
  std::condition_variable FChanged;  // waits on FLock; every state change below
  bool FStarted GUARDED_BY(FLock) = false;
  bool FSuspendRequested GUARDED_BY(FLock) = false;
  bool FParked GUARDED_BY(FLock) = false;
  bool FTerminated GUARDED_BY(FLock) = false;
  bool FFinished GUARDED_BY(FLock) = false;
  std::string FFatalMessage GUARDED_BY(FLock);
  std::thread FThread GUARDED_BY(FLock);  // set by the first Resume; joined by the destructor
};

}  // namespace Platform
