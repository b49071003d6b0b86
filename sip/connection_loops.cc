#include "sip/connection_loops.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "frame/epoll_loop.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/settings.h"
#include "frame/threads.h"
#include "sip/sip_connection.h"

namespace {

constexpr size_t read_chunk = 65536;
constexpr int max_events = 128;
// Bounds the wait, so that settings and clock changes are seen within a second.
constexpr int max_wait_ms = 1000;
// Time-outs are whole seconds: the served connections are scanned at most once a second, so
// that ten thousand connections with spread deadlines do not cost a scan each.
constexpr rtimestamp min_scan_interval = ns_per_second;

struct connection_loop : epoll_loop_base {
  std::set<int> served;      // numbers in the epoll set
  std::set<int> waiting;     // numbers whose service start lies ahead
  rtimestamp next_scan = 0;  // earliest time-out that may be due (0: none)
  rtimestamp last_scan = 0;
  rtimestamp next_start = 0;  // earliest service start of a waiting connection (0: none)
  std::vector<char> buffer = std::vector<char>(read_chunk);

  size_t load() const { return served.size() + waiting.size(); }
};

std::vector<std::unique_ptr<connection_loop>>& loops() {
  static auto& l = *new std::vector<std::unique_ptr<connection_loop>>;
  return l;
}

// Stops serving number and ends it (release hook, log, socket, entry).
void finish(connection_loop& l, int number) {
  auto it = sip_threads.find(number);
  if (it != sip_threads.end() && it->second.fd >= 0 && l.served.count(number)) {
    epoll_ctl(l.epoll_fd, EPOLL_CTL_DEL, it->second.fd, nullptr);
  }
  l.served.erase(number);
  l.waiting.erase(number);
  end_sip_connection(number);
}

bool tls_over(const sip_connection& c) {
  return c.tls && (c.tls->get_state() == tls_session::state::failed ||
                   c.tls->get_state() == tls_session::state::closed);
}

void lower(connection_loop& l, rtimestamp& deadline, rtimestamp when) {
  if (deadline == 0 || when < deadline) {
    deadline = when;
    l.wake();
  }
}

// When the loop must look at its connections next (0: no deadline).
rtimestamp next_visit(const connection_loop& l) {
  rtimestamp scan = l.next_scan == 0 ? 0 : std::max(l.next_scan, l.last_scan + min_scan_interval);
  if (l.next_start == 0) return scan;
  return scan == 0 ? l.next_start : std::min(scan, l.next_start);
}

void start_service(connection_loop& l, int number, sip_connection& c, rtimestamp now) {
  l.waiting.erase(number);
  c.served_since = c.last_read = c.last_activity = now;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = static_cast<uint64_t>(number);
  if (epoll_ctl(l.epoll_fd, EPOLL_CTL_ADD, c.fd, &ev) != 0) {
    finish(l, number);
    return;
  }
  l.served.insert(number);
  c.epoll_fd = l.epoll_fd;
  c.update_watch();
  rtimestamp next = 0;
  check_connection_timeouts(c, now, 0, next);
  if (next) lower(l, l.next_scan, next);
}

// One readiness report of connection number: the connect's outcome, writing what is queued,
// reading what arrived (one read per report; epoll reports again while more is there).
void handle(connection_loop& l, int number, uint32_t events) {
  sip_connection* c = find_sip_connection(number);
  if (!c || c->broken || c->fd < 0 || tls_over(*c)) {
    finish(l, number);
    return;
  }
  const rtimestamp now = clock_now();
  if (c->connecting) {
    if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) {
      sip_connection_refused(c);
      finish(l, number);
      return;
    }
    c->connecting = false;
    c->update_watch();
  }
  if (events & EPOLLOUT) {
    c->last_read = now;
    if (!c->flush()) {
      finish(l, number);
      return;
    }
  }
  if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))) return;
  ssize_t n = read(c->fd, l.buffer.data(), l.buffer.size());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    if (c->output_pending()) sip_connection_refused(c);
    finish(l, number);
    return;
  }
  c->last_read = now;
  bool keep = c->on_receive(str(l.buffer.data(), size_t(n)));
  // process_pdu may have run anything; look the connection up again.
  c = find_sip_connection(number);
  if (!c) {
    finish(l, number);
    return;
  }
  c->flush();
  if (!keep || tls_over(*c)) {
    finish(l, number);
    return;
  }
  if (clock_now() - c->last_activity > rtimestamp(c->idle_timeout) * ns_per_second) {
    log_printf(log_sip, 4, "SIP transport layer timeout");
    finish(l, number);
  }
}

// Starts the connections whose pacing has run out.
void start_waiting(connection_loop& l, rtimestamp now) {
  rtimestamp next = 0;
  for (int number : std::vector<int>(l.waiting.begin(), l.waiting.end())) {
    auto it = sip_threads.find(number);
    sip_connection* c = find_sip_connection(number);
    if (it == sip_threads.end() || !c) {
      finish(l, number);
    } else if (it->second.start <= now) {
      start_service(l, number, *c, now);
    } else if (next == 0 || it->second.start < next) {
      next = it->second.start;
    }
  }
  l.next_start = next;
}

// Ends the connections whose time-outs are due.
void scan(connection_loop& l, rtimestamp now) {
  const int first_message_s = ctrl_read_registry(ctrl_settings::sip_first_message_timeout).value();
  rtimestamp next = 0;
  l.last_scan = now;
  for (int number : std::vector<int>(l.served.begin(), l.served.end())) {
    if (!l.served.count(number)) continue;
    sip_connection* c = find_sip_connection(number);
    if (!c) {
      finish(l, number);
      continue;
    }
    switch (check_connection_timeouts(*c, now, first_message_s, next)) {
      case connection_due::nothing:
        break;
      case connection_due::connect_failed:  // the destination never answered the connect
        sip_connection_refused(c);
        finish(l, number);
        break;
      case connection_due::idle:
        log_printf(log_sip, 6, "SIP TCP/TLS timeout on %s, closing connection", c->name);
        if (c->tls && c->tls->established()) c->close_tls();
        finish(l, number);
        break;
      case connection_due::first_message:
        log_printf(log_sip, 4, "SIP transport layer timeout");
        finish(l, number);
        break;
    }
  }
  l.next_scan = next;
}

void run_loop(connection_loop& l) {
  bind_thread_side(run_side::srv);
  random_uint32();  // seeds this thread's generator
  srv_run_mutex.lock();
  epoll_event events[max_events];
  for (;;) {
    rtimestamp now = clock_now();
    int wait_ms = max_wait_ms;
    if (rtimestamp visit = next_visit(l)) {
      int64_t until = visit <= now ? 0 : (visit - now + ns_per_ms - 1) / ns_per_ms;
      wait_ms = static_cast<int>(std::min<int64_t>(until, max_wait_ms));
    }
    const int n = l.wait(srv_run_mutex, events, max_events, wait_ms);
    for (int i = 0; i < n; i++) {
      if (l.take_wake(events[i])) continue;
      const int number = static_cast<int>(events[i].data.u64);
      if (l.served.count(number)) handle(l, number, events[i].events);
    }
    now = clock_now();
    if (l.next_start != 0 && now >= l.next_start) start_waiting(l, now);
    if (l.next_scan != 0 && now >= l.next_scan && now >= l.last_scan + min_scan_interval) {
      scan(l, now);
    }
  }
}

void start_loops() { start_epoll_loops<connection_loop, run_loop>(loops(), "sip-conn"); }

}  // namespace

connection_due check_connection_timeouts(const sip_connection& c, rtimestamp now,
                                         int first_message_timeout_s, rtimestamp& next) {
  auto due_at = [&](rtimestamp when) {
    if (when <= now) return true;
    if (next == 0 || when < next) next = when;
    return false;
  };
  if (c.idle_timeout > 0 && due_at(c.last_read + rtimestamp(c.idle_timeout) * ns_per_second)) {
    return c.connecting ? connection_due::connect_failed : connection_due::idle;
  }
  if (c.accepted && !c.got_message && first_message_timeout_s > 0 &&
      due_at(c.served_since + rtimestamp(first_message_timeout_s) * ns_per_second)) {
    return connection_due::first_message;
  }
  return connection_due::nothing;
}

void serve_sip_connection(int number) {
  srv_run_mutex.must_own("serve_sip_connection");
  start_loops();
  auto it = sip_threads.find(number);
  if (it == sip_threads.end()) return;
  sip_connection* c = find_sip_connection(number);
  connection_loop* l = nullptr;
  for (auto& candidate : loops()) {
    if (!l || candidate->load() < l->load()) l = candidate.get();
  }
  if (!c || c->broken || c->fd < 0 || !l || l->epoll_fd < 0) {
    end_sip_connection(number);
    return;
  }
  const rtimestamp now = clock_now();
  if (it->second.start > now) {
    l->waiting.insert(number);
    lower(*l, l->next_start, it->second.start);
  } else {
    start_service(*l, number, *c, now);
  }
}
