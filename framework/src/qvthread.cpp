#include "private_hdrs/qvthread.h"

#include "platform/Log.h"

void qvMutexLock(pthread_mutex_t* mutex) {
  if (pthread_mutex_lock(mutex) != 0) QV_LOG(7, "Unable to lock mutex");
}

void qvMutexUnlock(pthread_mutex_t* mutex) {
  if (pthread_mutex_unlock(mutex) != 0) QV_LOG(7, "Unable to unlock mutex");
}
