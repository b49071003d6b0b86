#include "frame/queues.h"

#include <unistd.h>

#include <atomic>
#include <deque>

#include "frame/timeout.h"

mutex ctrl_queue_mutex("ctrl_queue_mutex");
mutex srv_queue_mutex("srv_queue_mutex");

namespace {

std::deque<str> srv_queue;
std::deque<str> ctrl_queue;
// One timeout per direction, scheduled by the post that finds its queue empty. A message that
// finds others waiting needs no scheduling: the drain due for them (or running, since it pops
// until the queue is empty) takes it too. So a burst costs one timer entry and one wake-up of
// the receiving thread, not one per message.
timeout& srv_drain = *new timeout;
timeout& ctrl_drain = *new timeout;

std::atomic<ssoap_handler> ssoap{nullptr};
std::atomic<soap_request_handler> soap_request{nullptr};

void real_breathe(int ms) {
  mutex_unlock u(srv_run_mutex);
  usleep(static_cast<useconds_t>(ms) * 1000);
}
std::atomic<breathe_fn> breathe{real_breathe};

bool pop(mutex& m, std::deque<str>& q, str& out) {
  mutex_lock l(m);
  if (q.empty()) return false;
  out = q.front();
  q.pop_front();
  return true;
}

}  // namespace

void set_handle_ssoap(ssoap_handler h) { ssoap = h; }
void set_soap_on_request(soap_request_handler h) { soap_request = h; }
void set_srv_breathe(breathe_fn f) { breathe = f ? f : real_breathe; }

void pbxsrv_post(const str& text) {
  bool first;
  {
    mutex_lock l(srv_queue_mutex);
    first = srv_queue.empty();
    srv_queue.push_back(text);
  }
  if (first) srv_drain.callback(sip_thread_queue, 0, callback_argument(pbxsrv_soap));
}

void out_post(const str& text) {
  bool first;
  {
    mutex_lock l(ctrl_queue_mutex);
    first = ctrl_queue.empty();
    ctrl_queue.push_back(text);
  }
  if (first) ctrl_drain.callback(http_thread_queue, 0, callback_argument(telmond_soap));
}

void pbxsrv_soap() {
  srv_run_mutex.must_own("pbxsrv_soap");
  str msg;
  // srv_queue_mutex is held only for the pop: a handler may post again.
  while (pop(srv_queue_mutex, srv_queue, msg)) {
    ssoap_handler h = ssoap.load();
    if (h && h(msg) != 0) breathe.load()(5);
  }
}

void telmond_soap() {
  ctrl_run_mutex.must_own("telmond_soap");
  str msg;
  while (pop(ctrl_queue_mutex, ctrl_queue, msg)) {
    soap_request_handler h = soap_request.load();
    if (h) h(msg);
  }
}

size_t srv_queue_size() {
  mutex_lock l(srv_queue_mutex);
  return srv_queue.size();
}

size_t ctrl_queue_size() {
  mutex_lock l(ctrl_queue_mutex);
  return ctrl_queue.size();
}
