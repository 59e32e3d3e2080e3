// Lock types that clang's thread-safety analysis (-Wthread-safety) can
// check: fields name the lock that guards them (VX_GUARDED_BY), helpers the
// lock their caller must hold (VX_REQUIRES), and the scoped guards below
// tell the analysis where a lock is taken and released. Under g++ the
// macros expand to nothing and the types are thin wrappers of the standard
// ones. docs/THREADING.md lists the locks and their order.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define VX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VX_THREAD_ATTRIBUTE(x)
#endif

#define VX_CAPABILITY(x) VX_THREAD_ATTRIBUTE(capability(x))
#define VX_SCOPED_CAPABILITY VX_THREAD_ATTRIBUTE(scoped_lockable)
#define VX_GUARDED_BY(x) VX_THREAD_ATTRIBUTE(guarded_by(x))
#define VX_PT_GUARDED_BY(x) VX_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define VX_ACQUIRED_BEFORE(...) VX_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define VX_REQUIRES(...) VX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define VX_REQUIRES_SHARED(...) VX_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define VX_ACQUIRE(...) VX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define VX_ACQUIRE_SHARED(...) VX_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define VX_RELEASE(...) VX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define VX_RELEASE_SHARED(...) VX_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define VX_RELEASE_GENERIC(...) VX_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define VX_TRY_ACQUIRE(...) VX_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define VX_EXCLUDES(...) VX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define VX_RETURN_CAPABILITY(x) VX_THREAD_ATTRIBUTE(lock_returned(x))
#define VX_ASSERT_CAPABILITY(x) VX_THREAD_ATTRIBUTE(assert_capability(x))
#define VX_NO_THREAD_SAFETY_ANALYSIS VX_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace vx {

// A std::mutex the analysis knows. Native() is for condition variables,
// which need the standard type.
class VX_CAPABILITY("mutex") TMutex {
 public:
  void lock() VX_ACQUIRE() { M.lock(); }
  void unlock() VX_RELEASE() { M.unlock(); }
  bool try_lock() VX_TRY_ACQUIRE(true) { return M.try_lock(); }
  std::mutex& Native() { return M; }

 private:
  std::mutex M;
};

// A std::recursive_mutex the analysis knows (it treats it as plain: code
// that re-enters does so through functions it does not see).
class VX_CAPABILITY("mutex") TRecursiveMutex {
 public:
  void lock() VX_ACQUIRE() { M.lock(); }
  void unlock() VX_RELEASE() { M.unlock(); }
  bool try_lock() VX_TRY_ACQUIRE(true) { return M.try_lock(); }

 private:
  std::recursive_mutex M;
};

class VX_CAPABILITY("mutex") TSharedMutex {
 public:
  void lock() VX_ACQUIRE() { M.lock(); }
  void unlock() VX_RELEASE() { M.unlock(); }
  bool try_lock() VX_TRY_ACQUIRE(true) { return M.try_lock(); }
  void lock_shared() VX_ACQUIRE_SHARED() { M.lock_shared(); }
  void unlock_shared() VX_RELEASE_SHARED() { M.unlock_shared(); }
  bool try_lock_shared() VX_THREAD_ATTRIBUTE(try_acquire_shared_capability(true)) {
    return M.try_lock_shared();
  }

 private:
  std::shared_mutex M;
};

// Holds m exclusively for its scope.
template <typename TLock>
class VX_SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(TLock& m) VX_ACQUIRE(m) : M(m) { M.lock(); }
  ~TLockGuard() VX_RELEASE() { M.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TLock& M;
};

// Holds m shared for its scope.
class VX_SCOPED_CAPABILITY TSharedLockGuard {
 public:
  explicit TSharedLockGuard(TSharedMutex& m) VX_ACQUIRE_SHARED(m) : M(m) { M.lock_shared(); }
  ~TSharedLockGuard() VX_RELEASE() { M.unlock_shared(); }
  TSharedLockGuard(const TSharedLockGuard&) = delete;
  TSharedLockGuard& operator=(const TSharedLockGuard&) = delete;

 private:
  TSharedMutex& M;
};

// Holds a TMutex for its scope and lends it to condition variables:
// Wait(cv) gives the lock up while it sleeps and holds it again on return.
class VX_SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& m) VX_ACQUIRE(m) : Held(m.Native()) {}
  ~TMutexLock() VX_RELEASE() {}
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;
  // Gives the lock up early (the destructor then does nothing), or takes it
  // again.
  void Unlock() VX_RELEASE() { Held.unlock(); }
  void Lock() VX_ACQUIRE() { Held.lock(); }
  std::unique_lock<std::mutex>& Native() { return Held; }

 private:
  std::unique_lock<std::mutex> Held;
};

}  // namespace vx
