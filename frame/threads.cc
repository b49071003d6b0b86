#include "frame/threads.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include "base/log.h"
#include "frame/log.h"
#include "frame/net.h"
#include "frame/rtp_loop.h"
#include "frame/settings.h"
#include "frame/sip_loop.h"
#include "frame/timer.h"

std::atomic<int> num_http_threads{0};
int max_http_threads = 1000;
int64_t http_wait = 200;
connection_admission http_admission;

std::map<int, sip_thread_entry> sip_threads;
int sip_thread_number = 0;
int max_sip_threads = 10000;
connection_admission sip_admission;

namespace {

service_thread_entries services;
std::atomic<http_serve_fn> http_serve{nullptr};
sip_tcp_hooks sip_hooks;
sip_source_check_fn sip_source_check = nullptr;
sip_source_check_fn sip_source_exempt = nullptr;

}  // namespace

void set_service_threads(const service_thread_entries& e) { services = e; }
void set_http_serve(http_serve_fn f) { http_serve = f; }
void set_sip_tcp_hooks(const sip_tcp_hooks& h) { sip_hooks = h; }
void set_sip_source_check(sip_source_check_fn f) { sip_source_check = f; }
void set_sip_source_exempt(sip_source_check_fn f) { sip_source_exempt = f; }

int thread_stack_mib(const str& setting_value) {
  int v = setting_value.value();
  return v >= 1 && v <= 10 ? v : 4;
}

int create_thread(void* (*fn)(void*), void* arg, bool detached, size_t stack_bytes,
                  const char* name) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_bytes) pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t t;
  int rc = pthread_create(&t, &attr, fn, arg);
  pthread_attr_destroy(&attr);
  if (rc == 0) pthread_setname_np(t, name);
  if (rc == 0 && !detached) pthread_detach(t);  // the fixed threads are never joined
  return rc;
}

void start_threads() {
  single_thread_mode = false;
  create_thread(qthread_rtp_func, nullptr, false, 0, "rtp");
  create_thread(qthread_sip_sockets, nullptr, false, 0, "sip-sockets");
  create_thread(qthread_sip_timer, nullptr, false, 0, "sip-timer");
  create_thread(cthread_func, nullptr, false, 0, "ctrl-timer");
  if (services.email_loop) create_thread(services.email_loop, nullptr, false, 0, "email");
  if (services.web_loop) create_thread(services.web_loop, nullptr, false, 0, "web-client");
  create_thread(midnight_loop, nullptr, false, 0, "midnight");
  create_thread(logging_loop, nullptr, false, 0, "logging");
  if (services.audio_func) create_thread(services.audio_func, nullptr, false, 0, "audio");
}

void* qthread_sip_timer(void*) {
  static timer_thread t(sip_thread_queue, srv_run_mutex);
  t.run();
}

void* cthread_func(void*) {
  static timer_thread t(http_thread_queue, ctrl_run_mutex);
  t.run();
}

// ---- Throttling
// ----------------------------------------------------------------------------------

int64_t accept_wait_ms(int active, int max, int64_t gap_ms, rtimestamp last_accept,
                       rtimestamp now) {
  // At the thread limit the listening sockets stay out of the read set and the loop looks
  // again after a gap (at least 100 ms, so that a rate of 0 does not lift the limit).
  if (active >= max) return gap_ms > 100 ? gap_ms : 100;
  if (last_accept != 0) return gap_ms - ticks2ms(now - last_accept);
  return 0;
}

bool select_timeout_counter::on_timeout(int& seconds) {
  int before = count++;
  if (before % 15 == 0 && count >= 2) {
    seconds = count / 2;
    return true;
  }
  return false;
}

// ---- HTTP/HTTPS connections
// -------------------------------------------------------------------------

void end_http_connection(const http_connection_entry& e) {
  ctrl_run_mutex.must_own("end_http_connection");
  num_http_threads--;
  if (e.admitted) http_admission.release(e.peer.address, clock_now());
}

void fork_http(int listen_fd, bool tls) {
  ctrl_run_mutex.must_own("fork_http");
  http_connection_entry e;
  e.tls = tls;
  e.fd = tcp_accept(listen_fd, e.peer);
  if (e.fd < 0) return;
  const bool exempt = sip_source_exempt && sip_source_exempt(e.peer);
  const rtimestamp now = clock_now();
  const int limit = ctrl_read_registry(ctrl_settings::http_connections_per_address).value();
  connection_admission::decision d = http_admission.admit(
      e.peer.address, exempt, limit, http_wait > 0 ? ms2ticks(http_wait) : 0, now);
  if (!d.admitted) {
    log_printf(log_web, 4, "HTTP connection limit %d reached for %s, closing connection", limit,
               e.peer.readable_address());
    close_socket(e.fd);
    return;
  }
  e.start = d.start;
  e.admitted = !exempt;
  int n = ++num_http_threads;
  if (n >= max_http_threads) {
    log_printf(log_web, 3,
               "Current number of HTTP threads %d has reached maximum %d, further connections "
               "will not be accepted",
               n, max_http_threads);
  }
  http_serve_fn serve = http_serve.load();
  if (serve) {
    serve(e);
  } else {
    close_socket(e.fd);
    end_http_connection(e);
  }
}

// ---- SIP TCP/TLS connections
// --------------------------------------------------------------------

int prepare_sip_connection_socket(int fd) {
  if (fd < 0) return fd;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  set_socket_tos(fd, tos_from_text(ctrl_read_registry(ctrl_settings::tos_sip)));
  set_socket_linger(fd, 1);
  if (fd < FD_SETSIZE) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (high >= 0) {
      close(fd);
      fd = high;
    }
  }
  return fd;
}

void end_sip_connection(int number) {
  srv_run_mutex.must_own("end_sip_connection");
  if (sip_hooks.release) sip_hooks.release(number);
  log_printf(log_sip, 8, "Release SIP thread %d", number);
  auto it = sip_threads.find(number);
  if (it == sip_threads.end()) return;
  close_socket(it->second.fd);
  if (it->second.admitted) sip_admission.release(it->second.peer.address, clock_now());
  sip_threads.erase(it);
}

bool fork_sip_tcp(int listen_fd, bool tls) {
  srv_run_mutex.must_own("fork_sip_tcp");
  ip_port remote;
  int fd = tcp_accept(listen_fd, remote);
  if (fd < 0) return false;
  if (sip_source_check && !sip_source_check(remote)) {
    // A blocked source gets no answer at all, as over UDP: closed before anything is read.
    log_printf(log_sip, 8, "Refused SIP connection from %s", remote.readable());
    close_socket(fd);
    return false;
  }
  const bool exempt = sip_source_exempt && sip_source_exempt(remote);
  const int limit = ctrl_read_registry(ctrl_settings::sip_connections_per_address).value();
  const int rate = ctrl_read_registry(ctrl_settings::sip_rate).value();
  const rtimestamp now = clock_now();
  connection_admission::decision d =
      sip_admission.admit(remote.address, exempt, limit, rate > 0 ? ms2ticks(1000 / rate) : 0, now);
  if (!d.admitted) {
    log_printf(log_sip, 4, "SIP connection limit %d reached for %s, closing connection", limit,
               remote.readable_address());
    close_socket(fd);
    return false;
  }
  fd = prepare_sip_connection_socket(fd);
  int number = ++sip_thread_number;
  sip_thread_entry& e = sip_threads[number];
  e.remote = remote.readable();
  e.fd = fd;
  e.tls = tls;
  e.peer = remote;
  e.start = d.start;
  e.admitted = !exempt;
  log_printf(log_sip, 8, "Received SIP connection %d from %s", number, e.remote);
  int count = static_cast<int>(sip_threads.size());
  if (count >= max_sip_threads) {
    log_printf(log_sip, 3,
               "Current number of SIP threads %d has reached maximum %d, further connections "
               "will not be accepted",
               count, max_sip_threads);
  }
  if (sip_hooks.create) sip_hooks.create(number, fd, remote, tls);
  if (sip_hooks.serve) {
    sip_hooks.serve(number);
  } else {
    end_sip_connection(number);
  }
  return true;
}
