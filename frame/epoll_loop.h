// What the connection loops of both sides share (the SIP side's TCP/TLS loops, the web
// server's HTTP/HTTPS loops): one epoll set per loop with an eventfd other threads write to
// wake it, a fixed set of loop threads, and the stop at process exit.
//
// Side-neutral: each loop holds its side's run mutex except while it waits.
#pragma once

#include <sys/epoll.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "frame/mutex.h"
#include "frame/threads.h"

// The epoll set of one loop. The waker is registered with data 0, so the loops number their
// connections from 1.
struct epoll_loop_base {
  int epoll_fd = -1;
  int wake_fd = -1;

  // Creates the set and the waker, and counts the loop for the stop at exit.
  void open();
  // Wakes the loop (any thread).
  void wake();
  // Waits at most timeout_ms for events with run released; takes back run before it returns.
  // Once the process has begun to exit (exit() destroys the statics the loops touch; the daemon
  // itself ends with _exit), the loop stops here for good without touching anything.
  int wait(mutex& run, epoll_event* events, int max_events, int timeout_ms);
  // Whether event is the waker's (then read and done) rather than a connection's.
  bool take_wake(const epoll_event& event);
};

// How many loops a side runs: one per core, at most 4.
int epoll_loop_count();

// Starts the loops of a side once: epoll_loop_count() of L (an epoll_loop_base) in loops, each
// on a thread named prefix-N that runs Run.
template <class L, void (*Run)(L&)>
void start_epoll_loops(std::vector<std::unique_ptr<L>>& loops, const char* prefix) {
  if (!loops.empty()) return;
  for (int i = 0, n = epoll_loop_count(); i < n; i++) {
    auto l = std::make_unique<L>();
    l->open();
    L* raw = l.get();
    loops.push_back(std::move(l));
    char name[32];  // thread names are cut to 15 characters
    snprintf(name, sizeof name, "%s-%d", prefix, i + 1);
    create_thread(
        [](void* arg) -> void* {
          Run(*static_cast<L*>(arg));
          return nullptr;
        },
        raw, false, 0, name);
  }
}
