#pragma once
// The program's mutex and its scoped locks, annotated for clang's thread-safety
// analysis: a field says which lock guards it (GUARDED_BY), a function which
// lock it needs held (REQUIRES) or must not hold (EXCLUDES), and the compiler
// (the thread-safety preset, -Wthread-safety -Werror) rejects an access without
// the lock. Other compilers see plain standard-library locks.
//
// Header only, without system headers beyond the standard library: the run-time
// libraries use it too.

#include <mutex>

#if defined(__clang__)
#define BRENVIC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRENVIC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRENVIC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRENVIC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRENVIC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRENVIC_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) BRENVIC_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) BRENVIC_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) BRENVIC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) BRENVIC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BRENVIC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) BRENVIC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) BRENVIC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) BRENVIC_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) BRENVIC_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS BRENVIC_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace Platform {

class TUniqueLock;

// A non-recursive mutex. The lower-case members make it a standard Lockable
// (std::scoped_lock, std::condition_variable_any), which the analysis does not
// follow: the program takes it through TLockGuard and TUniqueLock.
class CAPABILITY("mutex") TMutex {
public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { FMutex.lock(); }
  void Unlock() RELEASE() { FMutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return FMutex.try_lock(); }

  void lock() ACQUIRE() { FMutex.lock(); }
  void unlock() RELEASE() { FMutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return FMutex.try_lock(); }

private:
  friend class TUniqueLock;
  std::mutex FMutex;
};

// Holds a mutex for its scope.
class SCOPED_CAPABILITY TLockGuard {
public:
  explicit TLockGuard(TMutex& M) ACQUIRE(M) : FMutex(M) { FMutex.Lock(); }
  ~TLockGuard() RELEASE() { FMutex.Unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TMutex& FMutex;
};

// Holds a mutex for its scope, may let it go and take it again, and lends it to
// a std::condition_variable: a wait releases the mutex and holds it again when
// it returns, so for the analysis the lock stays held across the wait. A wait's
// predicate runs with the mutex held; it says so with REQUIRES, as in
//   Cv.wait(L.Native(), [this]() REQUIRES(FLock) { return FReady; });
// The analysis cannot follow a TUniqueLock passed by reference: a function that
// REQUIRES the mutex and lets it go for a while calls the mutex's own Unlock and
// Lock, with nothing in between that may throw.
class SCOPED_CAPABILITY TUniqueLock {
public:
  explicit TUniqueLock(TMutex& M) ACQUIRE(M) : FLock(M.FMutex) {}
  ~TUniqueLock() RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  void Lock() ACQUIRE() { FLock.lock(); }
  void Unlock() RELEASE() { FLock.unlock(); }

  std::unique_lock<std::mutex>& Native() { return FLock; }

private:
  std::unique_lock<std::mutex> FLock;
};

}  // namespace Platform
