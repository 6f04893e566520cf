// Semaphore, mutex and sleep of the platform.
//
// Thread safety: Semaphore and Mutex are meant to be shared between threads;
// every operation may be called from any thread.
//
// Sleep scale: Thread::sleep multiplies every pause by the value of the
// environment variable QUORVEL_SLEEP_SCALE (a non-negative decimal, default
// 1). Production leaves it unset so protocol pauses stay real; the test
// suite and the demo set it (e.g. 0.001) so that a ten-second pause between
// asset requests takes ten milliseconds. It is read once per process.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <mutex>

class Semaphore {
 public:
  explicit Semaphore(int initialCount = 0);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Waits until the count is positive and takes one. timeoutMillis < 0 waits
  // without a limit. False when the time ran out.
  bool wait(long timeoutMillis = -1);
  void notify();

 private:
  std::mutex mLock;
  std::condition_variable mCond;
  long mCount;
};

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // timeoutMillis < 0 waits without a limit. False when the time ran out.
  bool lock(long timeoutMillis = -1);
  void unlock();

 private:
  // A plain POSIX mutex: pthread_mutex_timedlock is understood by the
  // thread sanitizer, the clock-based lock of std::timed_mutex is not.
  pthread_mutex_t mMutex;
};

namespace Thread {
// Pauses the calling thread for millis milliseconds times the sleep scale.
void sleep(long millis);
// The sleep scale in force (see above).
double sleepScale();
}  // namespace Thread
