// Test support: runs what is due on a timer queue at the current (manual) time, as its timer
// thread would; the number of elements run. Only included by *_test.cc.
#pragma once

#include "frame/timeout.h"

inline int run_due(timeout_queue& q) {
  int n = 0;
  rtimestamp now;
  uint64_t id;
  for (; q.delay(now, id) == 0; n++) q.next();
  return n;
}
