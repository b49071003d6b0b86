#include "frame/semaphore.h"

#include <errno.h>
#include <time.h>

semaphore::semaphore() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_cond_init(&cond_, nullptr);  // default attributes: the real-time clock
}

semaphore::~semaphore() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

void semaphore::signal() {
  pthread_mutex_lock(&mutex_);
  count_++;
  pthread_cond_signal(&cond_);
  pthread_mutex_unlock(&mutex_);
}

int semaphore::wait() {
  if (pthread_mutex_lock(&mutex_) != 0) return 0;
  int result = 2;
  while (count_ <= 0) {
    if (pthread_cond_wait(&cond_, &mutex_) != 0) {
      result = 0;
      break;
    }
  }
  if (result == 2) count_--;
  pthread_mutex_unlock(&mutex_);
  return result;
}

int semaphore::wait(int64_t ms) {
  if (ms < 0) return wait();
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec++;
    deadline.tv_nsec -= 1000000000;
  }
  if (pthread_mutex_lock(&mutex_) != 0) return 0;
  int result = 2;
  while (count_ <= 0) {
    int rc = pthread_cond_timedwait(&cond_, &mutex_, &deadline);
    if (rc == ETIMEDOUT) {
      result = count_ > 0 ? 2 : 1;
      break;
    }
    if (rc != 0) {
      result = 0;
      break;
    }
  }
  if (result == 2) count_--;
  pthread_mutex_unlock(&mutex_);
  return result;
}

bool semaphore::try_wait() {
  pthread_mutex_lock(&mutex_);
  bool got = count_ > 0;
  if (got) count_--;
  pthread_mutex_unlock(&mutex_);
  return got;
}

int semaphore::count() {
  pthread_mutex_lock(&mutex_);
  int c = count_;
  pthread_mutex_unlock(&mutex_);
  return c;
}
