#include "platform/thread.h"

#include <exception>

#include "platform/exception.h"
#include "platform/mutex.h"

namespace Platform {

TThread::~TThread() {
  Terminate();
  WaitFor();
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();  // freed from its own Execute: nothing left to join
    else
      FThread.join();
  }
}

void TThread::Resume() {
  TLockGuard G(FLock);
  FSuspendRequested = false;
  if (!FStarted) {
    // Started only once the thread exists: when its creation fails, the object
    // stays never started, WaitFor does not wait for a thread that never came,
    // and a later Resume tries again.
    try {
      FThread = std::thread(&TThread::ThreadProc, this);
    } catch (const std::exception& E) {
      throw Exception(std::string("Cannot create a thread: ") + E.what());
    }
    FStarted = true;
    return;
  }
  FChanged.notify_all();
}

void TThread::Suspend() {
  TUniqueLock L(FLock);
  FSuspendRequested = true;
  if (!FStarted || FThread.get_id() == std::this_thread::get_id()) return;
  FChanged.wait(L.Native(), [this]() REQUIRES(FLock) { return FParked || FFinished || !FSuspendRequested; });
}

void TThread::Terminate() {
  TLockGuard G(FLock);
  FTerminated = true;
  FChanged.notify_all();
}

bool TThread::Terminated() const {
  TLockGuard G(FLock);
  return FTerminated;
}

void TThread::WaitFor() {
  TUniqueLock L(FLock);
  if (!FStarted || FThread.get_id() == std::this_thread::get_id()) return;
  FChanged.wait(L.Native(), [this]() REQUIRES(FLock) { return FFinished; });
}

bool TThread::Finished() const {
  TLockGuard G(FLock);
  return FFinished;
}

std::string TThread::FatalMessage() const {
  TLockGuard G(FLock);
  return FFatalMessage;
}

bool TThread::KeepRunning() {
  TUniqueLock L(FLock);
  if (FSuspendRequested && !FTerminated) {
    FParked = true;
    FChanged.notify_all();
    FChanged.wait(L.Native(), [this]() REQUIRES(FLock) { return !FSuspendRequested || FTerminated; });
    FParked = false;
  }
  return !FTerminated;
}

void TThread::ThreadProc() {
  std::string Fatal;
  try {
    if (!Terminated()) Execute();
  } catch (const std::exception& E) {
    Fatal = E.what();
  } catch (...) {
    Fatal = "unknown exception";
  }
  TLockGuard G(FLock);
  FFatalMessage = Fatal;
  FFinished = true;
  FChanged.notify_all();
}

}  // namespace Platform
