#pragma once
// An event of a component: one optional handler, bound to its owner, that the
// owner may assign or clear while other threads raise the event. A raise sees
// either the old or the new handler, never a torn one; a handler that was
// replaced may still be finishing a call that began before the change.

#include <functional>
#include <memory>

#include "platform/mutex.h"

template <class... Args>
class TEventSlot {
public:
  using THandler = std::function<void(Args...)>;

  TEventSlot() = default;
  TEventSlot(const TEventSlot&) = delete;
  TEventSlot& operator=(const TEventSlot&) = delete;

  TEventSlot& operator=(THandler Handler) {
    Assign(std::move(Handler));
    return *this;
  }
  TEventSlot& operator=(std::nullptr_t) {
    Assign(nullptr);
    return *this;
  }

  void Assign(THandler Handler) {
    std::shared_ptr<const THandler> New;
    if (Handler) New = std::make_shared<const THandler>(std::move(Handler));
    {
      Platform::TLockGuard Guard(FLock);
      FHandler.swap(New);
    }
    // The old handler (now in New) is released outside the lock.
  }

  bool Assigned() const {
    Platform::TLockGuard Guard(FLock);
    return FHandler != nullptr;
  }

  // Calls the handler, if there is one; tells whether there was.
  bool operator()(Args... A) const {
    std::shared_ptr<const THandler> Handler;
    {
      Platform::TLockGuard Guard(FLock);
      Handler = FHandler;
    }
    if (!Handler) return false;
    (*Handler)(std::forward<Args>(A)...);
    return true;
  }

private:
  mutable Platform::TMutex FLock;
  std::shared_ptr<const THandler> FHandler GUARDED_BY(FLock);
};
