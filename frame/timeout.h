// Deferred callbacks: callback_argument (what to call), timeout (one scheduled call) and
// timeout_queue (the calls due on one thread, ordered by due time).
//
// All deferred work of the process is a timeout in one of three queues, each drained by
// exactly one thread under that thread's run mutex:
//   sip_thread_queue  - the SIP timer thread, srv side (srv_run_mutex);
//   rtp_thread_queue  - the RTP thread, srv side (srv_run_mutex);
//   http_thread_queue - the control timer thread, ctrl side (ctrl_run_mutex).
// A callback may touch only the state of its queue's side. Work for the other side is posted
// as a text message (frame/queues.h).
//
// Any thread may schedule or clear any timeout: queue and scheduling state are guarded by the
// one timeout_mutex, held only for the queue operation and never while a callback runs. A
// timeout carries no object pointer: it stores an identifier (a port index, a record id) in
// its argument and the callback looks its object up when it fires.
//
// Side-neutral (the queues themselves belong to the sides named above).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/mutex.h"
#include "frame/semaphore.h"

// A plain function pointer with its arguments. The constructor fixes the kind:
//   1: f()   2: f(s1)   3: f(i)   4: f(s1, s2)   5: f(s1, i)   6: f(s1, s2, s3)
// A default-constructed argument has kind 1 and no function: a placeholder to assign to.
class callback_argument {
 public:
  using fn1 = void (*)();
  using fn2 = void (*)(const str&);
  using fn3 = void (*)(int);
  using fn4 = void (*)(const str&, const str&);
  using fn5 = void (*)(const str&, int);
  using fn6 = void (*)(const str&, const str&, const str&);

  callback_argument();
  explicit callback_argument(fn1 f);
  callback_argument(fn2 f, const str& a1);
  callback_argument(fn3 f, int i);
  callback_argument(fn4 f, const str& a1, const str& a2);
  callback_argument(fn5 f, const str& a1, int i);
  callback_argument(fn6 f, const str& a1, const str& a2, const str& a3);
  callback_argument(const callback_argument& o);
  callback_argument& operator=(const callback_argument& o) = default;
  ~callback_argument();

  // Invokes the function with the stored arguments (nothing when there is none).
  void call() const;

  int kind() const { return kind_; }
  bool empty() const { return f_.f1 == nullptr; }
  const str& arg1() const { return a1_; }
  const str& arg2() const { return a2_; }
  const str& arg3() const { return a3_; }
  int int_arg() const { return i_; }

 private:
  int kind_ = 1;
  union fn {
    fn1 f1;
    fn2 f2;
    fn3 f3;
    fn4 f4;
    fn5 f5;
    fn6 f6;
  } f_;
  str a1_, a2_, a3_;
  int i_ = 0;
};

class timeout;
class timeout_queue;

// One element of a queue: the owning timeout and the id it got at insertion.
struct callback_element {
  timeout* owner;
  uint64_t id;
};

// One scheduled (or idle) deferred call. Not thread-bound; see the file comment.
class timeout {
 public:
  timeout();
  ~timeout();  // unschedules
  // The copy is scheduled in the same queue at the same due time with the same argument, as a
  // separate element; assignment first clears the target.
  timeout(const timeout& o);
  timeout& operator=(const timeout& o);

  // Schedules at the absolute time due (moving it when already scheduled).
  void callback_at(timeout_queue& queue, rtimestamp due, const callback_argument& arg);
  // Schedules delay_ticks from now; a delay <= 0 means now.
  void callback(timeout_queue& queue, rtimestamp delay_ticks, const callback_argument& arg);
  // Removes it from its queue when scheduled; safe when idle.
  void clear();

  bool pending() const;
  // Milliseconds until due (0 when idle or overdue).
  int64_t ms() const;
  // Seconds until due, rounded: (ms + 500) / 1000.
  int64_t seconds() const { return (ms() + 500) / 1000; }
  // The due time's text form (frame/clock.h), empty when idle.
  str serialize() const;
  // Due time, 0 when idle.
  rtimestamp due() const;

 private:
  friend class timeout_queue;
  using map = std::multimap<rtimestamp, callback_element>;
  void clear_locked();
  // Returns the queue's wake-up semaphore when the element became the first, so that the
  // caller wakes the sleeping thread after it has released timeout_mutex (nullptr otherwise).
  [[nodiscard]] semaphore* schedule_locked(timeout_queue& queue, rtimestamp due,
                                           const callback_argument& arg);

  callback_argument arg_;
  timeout_queue* queue_ = nullptr;
  map::iterator pos_;
};

// A queue of timeouts ordered by due time; equal times keep insertion order.
class timeout_queue {
 public:
  timeout_queue() = default;
  timeout_queue(const timeout_queue&) = delete;
  timeout_queue& operator=(const timeout_queue&) = delete;

  // -1 when empty. Otherwise now is set to the current time, id to the first element's id, and
  // the result is the milliseconds until it is due (at least 0). Precise: rounded up, so that
  // a wait of that length never ends before the due time; otherwise rounded to nearest.
  int64_t delay(rtimestamp& now, uint64_t& id, bool precise = false);
  // delay() for a thread about to sleep on s: s is registered as the wake-up in the same step
  // (unless the first element is due already), so that no insertion between the two is missed.
  int64_t arm(semaphore& s, rtimestamp& now, uint64_t& id);
  // Id of the first element, 0 when empty.
  uint64_t wait_id();
  // Runs the first element (when there is one): copies its argument, makes its timeout idle,
  // erases the element, releases timeout_mutex and calls the copy. true when one ran.
  bool next();
  // next() when the first element is still the one with this id (not 0); it clears the wake-up
  // registration in the same step. false when it was cleared or another one came first.
  bool next_if_first(uint64_t id);
  // The semaphore to signal when an element becomes the first; none when cleared.
  void register_wakeup(semaphore& s);
  void register_wakeup();
  void trigger_wakeup();

  size_t size();
  // Due time of the first element, 0 when empty.
  rtimestamp first_due();

 private:
  friend class timeout;
  int64_t delay_locked(rtimestamp& now, uint64_t& id, bool precise);
  timeout::map map_;
  semaphore* wakeup_ = nullptr;
};

// The queues and their mutex live as long as the process (never destroyed, so that a timeout
// in some other static object may still unschedule itself at exit).
extern timeout_queue& sip_thread_queue;
extern timeout_queue& rtp_thread_queue;
extern timeout_queue& http_thread_queue;

// Guards all three queues and every timeout's scheduling state.
extern mutex& timeout_mutex;
// Guards the statistics of callback objects (the counters themselves are atomic).
extern mutex& callback_mutex;
extern std::atomic<uint64_t> callback_id;  // incremented on every insertion
extern std::atomic<int64_t> callback_objects;
extern std::atomic<int64_t> timeout_objects;
