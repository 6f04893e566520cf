#include "platform/Thread.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdlib>
#include <thread>

Semaphore::Semaphore(int initialCount) : mCount(initialCount < 0 ? 0 : initialCount) {}

bool Semaphore::wait(long timeoutMillis) {
  std::unique_lock<std::mutex> guard(mLock);
  if (timeoutMillis < 0) {
    mCond.wait(guard, [this] { return mCount > 0; });
  } else if (!mCond.wait_for(guard, std::chrono::milliseconds(timeoutMillis), [this] { return mCount > 0; })) {
    return false;
  }
  --mCount;
  return true;
}

void Semaphore::notify() {
  {
    std::lock_guard<std::mutex> guard(mLock);
    ++mCount;
  }
  mCond.notify_one();
}

Mutex::Mutex() { pthread_mutex_init(&mMutex, nullptr); }

Mutex::~Mutex() { pthread_mutex_destroy(&mMutex); }

bool Mutex::lock(long timeoutMillis) {
  if (timeoutMillis < 0) return pthread_mutex_lock(&mMutex) == 0;
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMillis / 1000;
  deadline.tv_nsec += (timeoutMillis % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc;
  do {
    rc = pthread_mutex_timedlock(&mMutex, &deadline);
  } while (rc == EINTR);
  return rc == 0;
}

void Mutex::unlock() { pthread_mutex_unlock(&mMutex); }

namespace Thread {

double sleepScale() {
  static const double scale = [] {
    const char* text = std::getenv("QUORVEL_SLEEP_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || !std::isfinite(v) || v < 0) return 1.0;
    return v;
  }();
  return scale;
}

void sleep(long millis) {
  if (millis <= 0) return;
  double scaled = static_cast<double>(millis) * sleepScale();
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(scaled * 1000.0)));
}

}  // namespace Thread
