#include "web/http_loops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "base/tls.h"
#include "db/schema.h"
#include "frame/epoll_loop.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "frame/timeout.h"
#include "web/http_request.h"

namespace {

constexpr size_t read_chunk = 16384;
constexpr int max_events = 64;
// Bounds the wait, so that time-outs are looked at about once a second.
constexpr int max_wait_ms = 1000;
constexpr rtimestamp scan_interval = ns_per_second;
constexpr int idle_seconds = 30;

// The HTTPS server context, made once from the system's certificate (under ctrl_run_mutex).
std::shared_ptr<tls_context> web_tls_context() {
  static std::shared_ptr<tls_context> context;
  static bool tried = false;
  if (tried) return context;
  tried = true;
  for (int id = certificates.first(); id != 0 && !context; id = certificates.next(id)) {
    if (certificates.get(id, certificate_type) != "sip") continue;
    str error;
    context = tls_context::make_server(certificates.get(id, certificate_public),
                                       certificates.get(id, certificate_private), false, &error);
    if (!context)
      log_printf(log_tls, 2, "TLS: The web server's certificate is unusable: %s", error);
  }
  return context;
}

http_env loop_env() {
  http_env env;
  env.pause = nullptr;  // a wrong password suspends the request instead of sleeping
  return env;
}

struct http_connection {
  explicit http_connection(const http_connection_entry& entry)
      : e(entry), request(entry.peer, loop_env()) {}

  http_connection_entry e;
  std::unique_ptr<tls_session> tls;
  http_request request;
  str pending;  // bytes still to write
  rtimestamp last_activity = 0;
  rtimestamp served_since = 0;  // 0: its service has not started yet
  bool closing = false;         // closed once pending is written
  bool suspended = false;       // waiting for the delayed answer
  uint32_t watching = 0;        // the events it is in the epoll set with (0: not in it)
  timeout delay;                // ends the suspension
};

struct http_loop : epoll_loop_base {
  std::map<int, std::unique_ptr<http_connection>> connections;  // only the loop touches them
  // Handed over by other threads under ctrl_run_mutex.
  std::vector<std::unique_ptr<http_connection>> incoming;
  std::vector<int> resumed;
  size_t load = 0;  // connections given to the loop and not yet ended
  rtimestamp last_scan = 0;
  std::vector<char> buffer = std::vector<char>(read_chunk);
};

std::vector<std::unique_ptr<http_loop>>& loops() {
  static auto& l = *new std::vector<std::unique_ptr<http_loop>>;
  return l;
}
// Connection number -> its loop, for the timers that end suspensions (ctrl_run_mutex).
std::map<int, http_loop*>& owners() {
  static auto& o = *new std::map<int, http_loop*>;
  return o;
}
int last_number = 0;

void end(http_loop& l, int number) {
  auto it = l.connections.find(number);
  if (it == l.connections.end()) return;
  http_connection& c = *it->second;
  if (c.watching) epoll_ctl(l.epoll_fd, EPOLL_CTL_DEL, c.e.fd, nullptr);
  close_socket(c.e.fd);
  end_http_connection(c.e);
  owners().erase(number);
  l.load--;
  l.connections.erase(it);
}

// Puts the connection into the epoll set with what it waits for: writing while output is
// pending, else reading unless it is suspended or closing (a suspended connection is out of the
// set, so that a peer's close does not wake the loop over and over). Input is not read while
// output is pending. False when epoll refuses.
bool watch(http_loop& l, int number, http_connection& c) {
  uint32_t want = 0;
  if (!c.pending.empty()) {
    want = EPOLLOUT;
  } else if (!c.suspended && !c.closing) {
    want = EPOLLIN | EPOLLRDHUP;
  }
  if (want == c.watching) return true;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = static_cast<uint64_t>(number);
  int op = want == 0 ? EPOLL_CTL_DEL : (c.watching == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
  c.watching = want;
  return epoll_ctl(l.epoll_fd, op, c.e.fd, &ev) == 0;
}

// Writes what the socket takes of pending. False when the peer is gone.
bool flush(http_connection& c, rtimestamp now) {
  size_t sent = 0;
  while (sent < c.pending.length()) {
    ssize_t n = write(c.e.fd, c.pending.cbuffer() + sent, c.pending.length() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      c.last_activity = now;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return false;
    }
  }
  c.pending = sent == c.pending.length() ? str() : c.pending.substr(sent);
  return true;
}

// The control timer thread: the delay of a suspended connection ran out; its loop answers it.
void suspension_over(int number) {
  auto it = owners().find(number);
  if (it == owners().end()) return;
  it->second->resumed.push_back(number);
  it->second->wake();
}

// After the request took input (or a suspension ended): queues its answer, suspends or closes.
void answer(http_loop& l, int number, http_connection& c, bool keep, rtimestamp now) {
  str out = c.request.take_output();
  const int pause = c.request.pending_pause();
  if (!keep || (!pause && c.request.close_after_response())) c.closing = true;
  if (c.tls && !out.empty()) {
    mutex_unlock u(ctrl_run_mutex);
    c.tls->write(out);
    if (c.closing) c.tls->close();
    out = c.tls->take_output();
  }
  c.pending += out;
  if (pause && !c.suspended && !c.closing) {
    c.suspended = true;
    c.delay.callback(*ctrl_ctx().queue, ms2ticks(pause),
                     callback_argument(suspension_over, number));
  }
  if (!flush(c, now) || (c.closing && c.pending.empty()) || !watch(l, number, c)) end(l, number);
}

void read_ready(http_loop& l, int number, http_connection& c, rtimestamp now) {
  ssize_t n = read(c.e.fd, l.buffer.data(), l.buffer.size());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    log_printf(log_web, 9, "Remote site %s closed the connection", c.e.peer.readable());
    end(l, number);
    return;
  }
  c.last_activity = now;
  str data(l.buffer.data(), static_cast<size_t>(n));
  if (c.tls) {
    bool ok;
    {
      mutex_unlock u(ctrl_run_mutex);
      ok = c.tls->on_input(data);
      data = c.tls->take_plain();
      c.pending += c.tls->take_output();
    }
    if (!ok) {
      flush(c, now);
      end(l, number);
      return;
    }
  }
  bool keep = data.empty() || c.request.on_input(data);
  answer(l, number, c, keep, now);
}

void start_service(http_loop& l, int number, http_connection& c, rtimestamp now) {
  c.served_since = c.last_activity = now;
  if (c.e.tls) {
    std::shared_ptr<tls_context> context = web_tls_context();
    if (!context) {
      end(l, number);
      return;
    }
    c.tls = std::make_unique<tls_session>(context);
    c.tls->set_description("HTTPS " + c.e.peer.readable());
  }
  if (!watch(l, number, c)) end(l, number);
}

// Starts paced connections whose time has come and closes the ones whose time-outs ran out.
// Returns the earliest start still ahead (0: none).
rtimestamp scan(http_loop& l, rtimestamp now, bool timeouts) {
  rtimestamp next_start = 0;
  const int first_request_s = ctrl_read_registry(ctrl_settings::http_first_request_timeout).value();
  std::vector<int> numbers;
  for (const auto& [number, c] : l.connections) numbers.push_back(number);
  for (int number : numbers) {
    auto it = l.connections.find(number);
    if (it == l.connections.end()) continue;
    http_connection& c = *it->second;
    if (!c.served_since) {
      if (c.e.start <= now) {
        start_service(l, number, c, now);
      } else if (next_start == 0 || c.e.start < next_start) {
        next_start = c.e.start;
      }
      continue;
    }
    if (!timeouts || c.suspended) continue;
    int idle = idle_seconds;
    if (c.pending.empty() && c.request.input_mode() == mode_xml) {
      idle = ctrl_read_registry(ctrl_settings::nat_tcp).value();
      if (idle <= 0) idle = 180;
    }
    if (now - c.last_activity >= rtimestamp(idle) * ns_per_second) {
      end(l, number);
    } else if (c.request.requests() == 0 && first_request_s > 0 &&
               now - c.served_since >= rtimestamp(first_request_s) * ns_per_second) {
      log_printf(log_web, 6, "No complete HTTP request from %s within %d s, closing connection",
                 c.e.peer.readable(), first_request_s);
      end(l, number);
    }
  }
  return next_start;
}

void run_loop(http_loop& l) {
  bind_thread_side(run_side::ctrl);
  random_uint32();  // seeds this thread's generator
  ctrl_run_mutex.lock();
  epoll_event events[max_events];
  rtimestamp next_start = 0;
  for (;;) {
    rtimestamp now = clock_now();
    int wait_ms = max_wait_ms;
    if (next_start) {
      int64_t until = next_start <= now ? 0 : (next_start - now + ns_per_ms - 1) / ns_per_ms;
      wait_ms = static_cast<int>(std::min<int64_t>(until, max_wait_ms));
    }
    const int n = l.wait(ctrl_run_mutex, events, max_events, wait_ms);
    now = clock_now();
    bool started = false;
    for (auto& c : l.incoming) {
      int number = ++last_number;
      owners()[number] = &l;
      l.connections[number] = std::move(c);
      started = true;
    }
    l.incoming.clear();
    for (int i = 0; i < n; i++) {
      if (l.take_wake(events[i])) continue;
      const int number = static_cast<int>(events[i].data.u64);
      auto it = l.connections.find(number);
      if (it == l.connections.end()) continue;
      http_connection& c = *it->second;
      if (events[i].events & EPOLLOUT) {
        if (!flush(c, now) || (c.closing && c.pending.empty()) || !watch(l, number, c)) {
          end(l, number);
        }
      } else if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) {
        read_ready(l, number, c, now);
      }
    }
    std::vector<int> resumed;
    resumed.swap(l.resumed);
    for (int number : resumed) {
      auto it = l.connections.find(number);
      if (it == l.connections.end() || !it->second->suspended) continue;
      http_connection& c = *it->second;
      c.suspended = false;
      c.last_activity = now;
      bool keep = c.request.resume();
      answer(l, number, c, keep, now);
    }
    const bool timeouts = now >= l.last_scan + scan_interval;
    if (timeouts) l.last_scan = now;
    if (started || timeouts || (next_start && now >= next_start)) {
      next_start = scan(l, now, timeouts);
    }
  }
}

void start_loops() { start_epoll_loops<http_loop, run_loop>(loops(), "http-conn"); }

}  // namespace

void serve_http_connection(const http_connection_entry& entry) {
  ctrl_run_mutex.must_own("serve_http_connection");
  start_loops();
  http_loop* l = nullptr;
  for (auto& candidate : loops()) {
    if (candidate->epoll_fd >= 0 && (!l || candidate->load < l->load)) l = candidate.get();
  }
  if (!l) {
    close_socket(entry.fd);
    end_http_connection(entry);
    return;
  }
  auto c = std::make_unique<http_connection>(entry);
  // Non-blocking, and above select()'s range: the low descriptor numbers stay with the loops
  // that still use select.
  int fd = c->e.fd;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (fd < FD_SETSIZE) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (high >= 0) {
      close(fd);
      c->e.fd = high;
    }
  }
  l->load++;
  l->incoming.push_back(std::move(c));
  l->wake();
}
