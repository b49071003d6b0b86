#include "frame/timeout.h"

timeout_queue& sip_thread_queue = *new timeout_queue;
timeout_queue& rtp_thread_queue = *new timeout_queue;
timeout_queue& http_thread_queue = *new timeout_queue;

mutex& timeout_mutex = *new mutex("timeout_mutex");
mutex& callback_mutex = *new mutex("callback_mutex");
std::atomic<uint64_t> callback_id{0};
std::atomic<int64_t> callback_objects{0};
std::atomic<int64_t> timeout_objects{0};

// ---- callback_argument --------------------------------------------------------------------------

callback_argument::callback_argument() : kind_(1) {
  f_.f1 = nullptr;
  callback_objects++;
}
callback_argument::callback_argument(fn1 f) : kind_(1) {
  f_.f1 = f;
  callback_objects++;
}
callback_argument::callback_argument(fn2 f, const str& a1) : kind_(2), a1_(a1) {
  f_.f2 = f;
  callback_objects++;
}
callback_argument::callback_argument(fn3 f, int i) : kind_(3), i_(i) {
  f_.f3 = f;
  callback_objects++;
}
callback_argument::callback_argument(fn4 f, const str& a1, const str& a2)
    : kind_(4), a1_(a1), a2_(a2) {
  f_.f4 = f;
  callback_objects++;
}
callback_argument::callback_argument(fn5 f, const str& a1, int i) : kind_(5), a1_(a1), i_(i) {
  f_.f5 = f;
  callback_objects++;
}
callback_argument::callback_argument(fn6 f, const str& a1, const str& a2, const str& a3)
    : kind_(6), a1_(a1), a2_(a2), a3_(a3) {
  f_.f6 = f;
  callback_objects++;
}
callback_argument::callback_argument(const callback_argument& o)
    : kind_(o.kind_), f_(o.f_), a1_(o.a1_), a2_(o.a2_), a3_(o.a3_), i_(o.i_) {
  callback_objects++;
}
callback_argument::~callback_argument() { callback_objects--; }

void callback_argument::call() const {
  if (f_.f1 == nullptr) return;
  switch (kind_) {
    case 1:
      f_.f1();
      break;
    case 2:
      f_.f2(a1_);
      break;
    case 3:
      f_.f3(i_);
      break;
    case 4:
      f_.f4(a1_, a2_);
      break;
    case 5:
      f_.f5(a1_, i_);
      break;
    case 6:
      f_.f6(a1_, a2_, a3_);
      break;
  }
}

// ---- timeout
// ----------------------------------------------------------------------------------------

timeout::timeout() { timeout_objects++; }

timeout::~timeout() {
  clear();
  timeout_objects--;
}

namespace {

// Wakes a timer thread after timeout_mutex is released: the wake-up is a system call when the
// thread sleeps, and holding the queues' one mutex through it stalls every other scheduler.
void wake(semaphore* s) {
  if (s) s->wake();
}

}  // namespace

timeout::timeout(const timeout& o) {
  timeout_objects++;
  semaphore* w = nullptr;
  {
    mutex_lock l(timeout_mutex);
    if (o.queue_) w = schedule_locked(*o.queue_, o.pos_->first, o.arg_);
  }
  wake(w);
}

timeout& timeout::operator=(const timeout& o) {
  if (this == &o) return *this;
  semaphore* w = nullptr;
  {
    mutex_lock l(timeout_mutex);
    clear_locked();
    if (o.queue_) {
      w = schedule_locked(*o.queue_, o.pos_->first, o.arg_);
    } else {
      arg_ = o.arg_;
    }
  }
  wake(w);
  return *this;
}

void timeout::clear_locked() {
  if (!queue_) return;
  queue_->map_.erase(pos_);
  queue_ = nullptr;
}

semaphore* timeout::schedule_locked(timeout_queue& queue, rtimestamp due,
                                    const callback_argument& arg) {
  clear_locked();
  arg_ = arg;
  // multimap::insert places an element after all elements with an equal key, so timeouts due
  // at the same instant run in the order they were scheduled.
  bool was_first_candidate = queue.map_.empty() || due < queue.map_.begin()->first;
  pos_ = queue.map_.insert(timeout::map::value_type(due, callback_element{this, ++callback_id}));
  queue_ = &queue;
  return was_first_candidate ? queue.wakeup_ : nullptr;
}

void timeout::callback_at(timeout_queue& queue, rtimestamp due, const callback_argument& arg) {
  semaphore* w;
  {
    mutex_lock l(timeout_mutex);
    w = schedule_locked(queue, due, arg);
  }
  wake(w);
}

void timeout::callback(timeout_queue& queue, rtimestamp delay_ticks, const callback_argument& arg) {
  rtimestamp now = clock_now();
  callback_at(queue, delay_ticks > 0 ? now + delay_ticks : now, arg);
}

void timeout::clear() {
  mutex_lock l(timeout_mutex);
  clear_locked();
}

bool timeout::pending() const {
  mutex_lock l(timeout_mutex);
  return queue_ != nullptr;
}

rtimestamp timeout::due() const {
  mutex_lock l(timeout_mutex);
  return queue_ ? pos_->first : 0;
}

int64_t timeout::ms() const {
  rtimestamp d = due();
  if (d == 0) return 0;
  int64_t ms = ticks2ms(d - clock_now());
  return ms > 0 ? ms : 0;
}

str timeout::serialize() const {
  rtimestamp d = due();
  return d ? rtimestamp_serialize(d) : str();
}

// ---- timeout_queue
// -------------------------------------------------------------------------------

int64_t timeout_queue::delay(rtimestamp& now, uint64_t& id, bool precise) {
  mutex_lock l(timeout_mutex);
  return delay_locked(now, id, precise);
}

int64_t timeout_queue::delay_locked(rtimestamp& now, uint64_t& id, bool precise) {
  if (map_.empty()) return -1;
  now = clock_now();
  id = map_.begin()->second.id;
  rtimestamp left = map_.begin()->first - now;
  if (left <= 0) return 0;
  return precise ? (left + ns_per_ms - 1) / ns_per_ms : ticks2ms(left);
}

int64_t timeout_queue::arm(semaphore& s, rtimestamp& now, uint64_t& id) {
  mutex_lock l(timeout_mutex);
  int64_t d = delay_locked(now, id, false);
  wakeup_ = d != 0 ? &s : nullptr;
  return d;
}

uint64_t timeout_queue::wait_id() {
  mutex_lock l(timeout_mutex);
  return map_.empty() ? 0 : map_.begin()->second.id;
}

rtimestamp timeout_queue::first_due() {
  mutex_lock l(timeout_mutex);
  return map_.empty() ? 0 : map_.begin()->first;
}

size_t timeout_queue::size() {
  mutex_lock l(timeout_mutex);
  return map_.size();
}

bool timeout_queue::next() { return next_if_first(0); }

bool timeout_queue::next_if_first(uint64_t id) {
  callback_argument arg;
  {
    mutex_lock l(timeout_mutex);
    if (id != 0) wakeup_ = nullptr;
    if (map_.empty() || (id != 0 && map_.begin()->second.id != id)) return false;
    auto first = map_.begin();
    timeout* t = first->second.owner;
    arg = t->arg_;
    t->queue_ = nullptr;
    map_.erase(first);
  }
  // The timeout is idle now: the callback may re-schedule it, and may even destroy it.
  arg.call();
  return true;
}

void timeout_queue::register_wakeup(semaphore& s) {
  mutex_lock l(timeout_mutex);
  wakeup_ = &s;
}

void timeout_queue::register_wakeup() {
  mutex_lock l(timeout_mutex);
  wakeup_ = nullptr;
}

void timeout_queue::trigger_wakeup() {
  semaphore* w;
  {
    mutex_lock l(timeout_mutex);
    w = wakeup_;
  }
  wake(w);
}
