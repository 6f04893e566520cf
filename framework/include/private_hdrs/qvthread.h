// Lock wrappers for POSIX mutexes. A failing lock or unlock is logged at
// level 7 and the caller carries on as if it had succeeded.
//
// Threads: any.
#pragma once

#include <pthread.h>

void qvMutexLock(pthread_mutex_t* mutex);
void qvMutexUnlock(pthread_mutex_t* mutex);

// Scoped form of the two wrappers.
class QvLockGuard {
 public:
  explicit QvLockGuard(pthread_mutex_t* mutex) : mMutex(mutex) { qvMutexLock(mMutex); }
  ~QvLockGuard() { qvMutexUnlock(mMutex); }
  QvLockGuard(const QvLockGuard&) = delete;
  QvLockGuard& operator=(const QvLockGuard&) = delete;

 private:
  pthread_mutex_t* mMutex;
};
