#include "frame/log.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "base/file_system.h"
#include "frame/mutex.h"
#include "frame/settings.h"

namespace {

constexpr int num_modules = 15;
constexpr size_t max_syslog_datagram = 1024;
constexpr int syslog_port = 514;
constexpr int num_call_legs = 512;

// All state of the module. Two locks, always taken in this order when both are needed:
// file_mu (the log file, stderr and the syslog client: the logging thread's work) and mu
// (log_mutex: the two entry lists and the repetition state). Writers of messages take only mu,
// so they never wait for a disk or a socket.
struct log_state {
  std::mutex file_mu;
  str setting_logfile{"log-$.txt"};
  str current_logfilename;  // non-empty while a log file is open (its last write succeeded)
  bool log_stderr = false;
  syslog_client sl_client;

  std::mutex mu;
  std::condition_variable logging_sema;  // signalled per new entry
  std::condition_variable written_cv;    // signalled after each written batch
  std::deque<log_entry> log_entries;
  std::deque<log_entry> file_entries;
  int loglen = 100;
  bool have_last = false;
  str last_message;
  str last_attachment;
  int last_count = 0;
  int last_level = 0;
  uint64_t queued = 0;   // entries ever appended to file_entries
  uint64_t written = 0;  // entries ever taken by the writer
  int loops_running = 0;
};

// Never destroyed: detached threads may still log while the process exits.
log_state& st() {
  static log_state* s = new log_state;
  return *s;
}

std::atomic<call_leg_trace_fn> leg_trace{nullptr};

void local_syslog_real(int priority, const str& line) { ::syslog(priority, "%s", line.c_str()); }
std::atomic<local_syslog_fn> local_syslog{local_syslog_real};

void log_sink(int group, int level, const str& text) { log_add_message(group, level, text, str()); }

void local_time(atimestamp t, struct tm& out) {
  time_t secs = static_cast<time_t>(t / 1000);
  if (t < 0 && t % 1000) --secs;
  localtime_r(&secs, &out);
}

// Appends one entry to both lists; mu held.
void write_entry_locked(log_state& s, int level, atimestamp t, const str& text,
                        const str& attachment) {
  log_entry e;
  e.level = level;
  e.time = t;
  e.text = text;
  e.attachment = attachment;
  if (s.loglen != 0) {
    s.log_entries.push_back(e);
    if (s.loglen > 0)
      while (s.log_entries.size() > static_cast<size_t>(s.loglen)) s.log_entries.pop_front();
  }
  s.file_entries.push_back(std::move(e));
  ++s.queued;
}

bool is_transport_name(const str& t) {
  return t.icmp("udp") || t.icmp("tcp") || t.icmp("tls") || t.icmp("sctp") || t.icmp("ws") ||
         t.icmp("wss");
}

// Address text -> host (a numeric address or a name) and port; false when it does not parse.
bool parse_syslog_address(const str& text, str& host_out, int& port) {
  str host = text.strip();
  port = syslog_port;
  if (host.starts_with(str("["))) {
    long close = host.find(']');
    if (close < 0) return false;
    str rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!rest.empty()) {
      if (rest[0] != ':' || !rest.substr(1).is_number()) return false;
      port = rest.substr(1).value();
    }
  } else {
    long colon = host.find(':');
    if (colon >= 0 && host.find(':', colon + 1) < 0) {
      str p = host.substr(colon + 1);
      if (!p.is_number()) return false;
      port = p.value();
      host = host.leftstr(colon);
    }
  }
  if (host.empty() || port <= 0 || port > 65535) return false;
  host_out = host;
  return true;
}

// A numeric address -> binary (4 or 16 bytes); empty for a name.
str numeric_address(const str& host) {
  unsigned char buf[16];
  if (inet_pton(AF_INET, host.c_str(), buf) == 1) return str(buf, 4);
  if (inet_pton(AF_INET6, host.c_str(), buf) == 1) return str(buf, 16);
  return str();
}

class udp_syslog_transport : public syslog_transport {
 public:
  ~udp_syslog_transport() override { close(); }

  bool open(bool ipv6, int local_port) override {
    close();
    ipv6_ = ipv6;
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    // The conventional source port first; a second process or missing privileges must not
    // cost us the syslog output, so any port will do after that.
    if (bind_port(local_port) || bind_port(0)) return true;
    close();
    return false;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void send_to(const str& address, int port, const str& bytes) override {
    if (fd_ < 0) return;
    if (address.length() == 16 && ipv6_) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      std::memcpy(&a.sin6_addr, address.cbuffer(), 16);
      ::sendto(fd_, bytes.cbuffer(), bytes.length(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a),
               sizeof a);
    } else if (address.length() == 4 && !ipv6_) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      std::memcpy(&a.sin_addr, address.cbuffer(), 4);
      ::sendto(fd_, bytes.cbuffer(), bytes.length(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a),
               sizeof a);
    }
  }

  str host_name() override {
    char buf[256];
    if (gethostname(buf, sizeof buf - 1) != 0) return str();
    buf[sizeof buf - 1] = 0;
    return str(buf);
  }

  // The system resolver (hosts file, DNS): an IPv4 address when the name has one.
  str resolve(const str& name) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return str();
    str v4, v6;
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (a->ai_family == AF_INET && v4.empty()) {
        v4 = str(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
      } else if (a->ai_family == AF_INET6 && v6.empty()) {
        v6 = str(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
      }
    }
    freeaddrinfo(found);
    return v4.empty() ? v6 : v4;
  }

 private:
  bool bind_port(int port) {
    if (ipv6_) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_any;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  int fd_ = -1;
  bool ipv6_ = false;
};

}  // namespace

// ---- Set-up and control ------------------------------------------------------------------------

void init_logging() {
  st();
  set_log_sink(log_sink);
  set_mutex_alert_writer(log_alert);
}

void apply_log_settings() {
  using namespace ctrl_settings;
  set_log_level(ctrl_read_registry(log_level).value());
  set_log_file(ctrl_read_registry(log_filename));
  set_log_length(ctrl_read_registry(log_length).value());
  for (int i = log_event_general; i <= log_event_tls; ++i)
    if (i != log_event_module11) apply_log_switch(i, ctrl_read_registry(i));
  set_syslog_server_ip(ctrl_read_registry(syslog_server_ip));
}

void apply_log_switch(int setting, const str& value) {
  using namespace ctrl_settings;
  static const struct {
    int setting;
    int module;
  } switches[] = {{log_event_general, 0}, {log_event_sip, 1},       {log_event_media, 2},
                  {log_event_app, 3},     {log_event_email, 4},     {log_event_web, 5},
                  {log_event_web, 11},    {log_event_register, 6},  {log_event_snmp, 7},
                  {log_event_ldap, 14},   {log_event_trunk, 8},     {log_event_soap, 9},
                  {log_event_tftp, 10},   {log_event_module11, 11}, {log_event_pstn, 12},
                  {log_event_tls, 13}};
  for (const auto& s : switches)
    if (s.setting == setting) set_log_group(s.module, value != "false");
}

void set_log_level(int n) { log_level_max.store(n, std::memory_order_relaxed); }

int get_log_level() { return log_level_max.load(std::memory_order_relaxed); }

void set_log_group(int module, bool on) {
  if (module < 0 || module >= num_modules) return;
  uint32_t bit = 1u << module;
  if (on)
    log_groups_enabled.fetch_or(bit, std::memory_order_relaxed);
  else
    log_groups_enabled.fetch_and(~bit, std::memory_order_relaxed);
}

bool get_log_group(int module) {
  if (module < 0 || module >= num_modules) return true;
  return (log_groups_enabled.load(std::memory_order_relaxed) >> module) & 1u;
}

void set_log_length(int n) {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  s.loglen = n;
  if (n >= 0)
    while (s.log_entries.size() > static_cast<size_t>(n)) s.log_entries.pop_front();
}

void set_log_stderr(bool on) {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.file_mu);
  s.log_stderr = on;
}

void set_log_file(const str& pattern) {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.file_mu);
  s.setting_logfile = pattern;
}

void clear_log() {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.file_mu);
  s.current_logfilename.clear();
  std::lock_guard<std::mutex> g2(s.mu);
  s.log_entries.clear();
}

void log_reset() {
  log_state& s = st();
  {
    std::lock_guard<std::mutex> g(s.file_mu);
    s.setting_logfile = "log-$.txt";
    s.current_logfilename.clear();
    s.log_stderr = false;
    s.sl_client.init(str());
    std::lock_guard<std::mutex> g2(s.mu);
    s.log_entries.clear();
    s.written += s.file_entries.size();
    s.file_entries.clear();
    s.loglen = 100;
    s.have_last = false;
    s.last_message.clear();
    s.last_attachment.clear();
    s.last_count = 0;
    s.last_level = 0;
  }
  s.written_cv.notify_all();
  log_level_max.store(5);
  log_groups_enabled.store(0xffffffffu);
}

// ---- Recording
// -----------------------------------------------------------------------------------

void log_add_message(int module, int level, const str& text, const str& attachment) {
  (void)module;  // filtering happened at the call site; the entry does not keep the module
  atimestamp now = wall_now();
  log_state& s = st();
  {
    std::lock_guard<std::mutex> g(s.mu);
    if (s.have_last && text == s.last_message && attachment == s.last_attachment) {
      ++s.last_count;
      s.last_level = level;
      return;
    }
    s.have_last = true;
    s.last_message = text;
    s.last_attachment = attachment;
    if (s.last_count > 0) {
      write_entry_locked(s, s.last_level, now,
                         str::sprintf("Last message repeated %d times", s.last_count + 1), str());
      s.last_count = 0;
    }
    write_entry_locked(s, level, now, text, attachment);
  }
  s.logging_sema.notify_one();
}

std::vector<log_entry> get_log_entries() {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  return std::vector<log_entry>(s.log_entries.begin(), s.log_entries.end());
}

size_t get_log_entry_count() {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.mu);
  return s.log_entries.size();
}

str get_log_line(const log_entry& e) {
  struct tm tm;
  local_time(e.time, tm);
  str line = str::sprintf("[%d] ", e.level);
  line += str(tm.tm_year + 1900, 4);
  line += str(tm.tm_mon + 1, 2);
  line += str(tm.tm_mday, 2);
  line += str(tm.tm_hour, 2);
  line += str(tm.tm_min, 2);
  line += str(tm.tm_sec, 2);
  line += ": ";
  line += e.text;
  if (!e.attachment.empty()) {
    line += '\n';
    line += e.attachment;
  }
  return line;
}

str get_log_file_name(const str& pattern, atimestamp t) {
  long dollar = pattern.find('$');
  if (dollar < 0) return pattern;
  struct tm tm;
  local_time(t, tm);
  str name = pattern.leftstr(dollar);
  name += str(tm.tm_year + 1900, 4);
  name += '-';
  name += str(tm.tm_mon + 1, 2);
  name += '-';
  name += str(tm.tm_mday, 2);
  name += pattern.substr(dollar + 1);
  return name;
}

void log_alert(const char* name, const char* text) {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.file_mu);
  str line = name && *name ? str::sprintf("ALERT: %S: %S\n", name, text ? text : "")
                           : str::sprintf("ALERT: %S\n", text ? text : "");
  if (!s.current_logfilename.empty()) fs().write(s.current_logfilename, line, true);
  if (s.log_stderr) {
    std::fwrite(line.cbuffer(), 1, line.length(), stderr);
    std::fflush(stderr);
  }
}

// ---- The logging thread ----------------------------------------------------------------------

void log_write_pending() {
  log_state& s = st();
  std::lock_guard<std::mutex> fg(s.file_mu);
  std::deque<log_entry> batch;
  {
    std::lock_guard<std::mutex> g(s.mu);
    batch.swap(s.file_entries);
  }
  if (!batch.empty()) {
    int keep = ctrl_read_registry(ctrl_settings::log_keep).value();
    const str& pattern = s.setting_logfile;
    bool dated = pattern.find('$') >= 0;
    // Consecutive lines for one file go out in one append; the file counts as open while its
    // last append succeeded, so a file that cannot be opened is retried with the next batch.
    str chunk, chunk_name;
    auto flush = [&] {
      if (chunk_name.empty()) return;
      if (fs().write(chunk_name, chunk, true) == file_system::status::ok)
        s.current_logfilename = chunk_name;
      else
        s.current_logfilename.clear();
      chunk.clear();
      chunk_name.clear();
    };
    for (const log_entry& e : batch) {
      str name = pattern.empty() ? str() : get_log_file_name(pattern, e.time);
      if (!chunk_name.empty() && name != chunk_name) flush();
      if (!s.current_logfilename.empty() && name != s.current_logfilename) {
        s.current_logfilename.clear();  // close
        if (dated && keep >= 1) {
          atimestamp old = e.time - static_cast<atimestamp>(keep) * 86400000 + 3600000;
          fs().remove(get_log_file_name(pattern, old));
        }
      }
      str line = get_log_line(e);
      if (!name.empty()) {
        chunk_name = name;
        chunk += line;
        chunk += '\n';
      }
      if (s.log_stderr) {
        line += '\n';
        std::fwrite(line.cbuffer(), 1, line.length(), stderr);
      }
      s.sl_client.send(e);
    }
    flush();
    if (s.log_stderr) std::fflush(stderr);
  }
  {
    std::lock_guard<std::mutex> g(s.mu);
    s.written += batch.size();
  }
  s.written_cv.notify_all();
}

void run_logging_loop(const std::atomic<bool>* stop) {
  log_state& s = st();
  std::unique_lock<std::mutex> lk(s.mu);
  ++s.loops_running;
  for (;;) {
    s.logging_sema.wait_for(lk, std::chrono::seconds(60),
                            [&] { return !s.file_entries.empty() || (stop && stop->load()); });
    // A stopping loop first drains what was queued; leaving and the emptiness check happen
    // under one lock, so log_wait_written never waits for a loop that is gone.
    if (s.file_entries.empty() && stop && stop->load()) break;
    lk.unlock();
    log_write_pending();
    lk.lock();
  }
  --s.loops_running;
  lk.unlock();
  s.written_cv.notify_all();
}

void* logging_loop(void*) {
  run_logging_loop(nullptr);
  return nullptr;
}

bool start_logging_thread() {
  pthread_t t;
  if (pthread_create(&t, nullptr, logging_loop, nullptr) != 0) return false;
  pthread_setname_np(t, "logging");
  pthread_detach(t);
  return true;
}

void log_wait_written() {
  log_state& s = st();
  std::unique_lock<std::mutex> lk(s.mu);
  uint64_t target = s.queued;
  if (s.loops_running > 0) {
    s.logging_sema.notify_one();
    s.written_cv.wait(lk, [&] { return s.written >= target || s.loops_running == 0; });
  }
  if (s.written >= target) return;
  lk.unlock();
  log_write_pending();
}

// ---- Remote syslog -----------------------------------------------------------------------------

std::unique_ptr<syslog_transport> make_udp_syslog_transport() {
  return std::make_unique<udp_syslog_transport>();
}

syslog_client::syslog_client() : transport_(make_udp_syslog_transport()) {}

syslog_client::~syslog_client() = default;

void syslog_client::set_transport(std::unique_ptr<syslog_transport> t) {
  if (transport_) transport_->close();
  transport_ = t ? std::move(t) : make_udp_syslog_transport();
  enabled_ = false;
}

void syslog_client::init(const str& address) {
  enabled_ = false;
  unresolved_ = false;
  transport_->close();
  if (address.strip().empty()) return;
  str host;
  int port = syslog_port;
  if (!parse_syslog_address(address, host, port)) return;
  str binary = numeric_address(host);
  if (binary.empty()) binary = transport_->resolve(host);
  if (binary.empty()) {
    unresolved_ = true;
    return;
  }
  host_name_ = transport_->host_name();
  if (host_name_.empty()) host_name_ = "unknown-pbx";
  if (!transport_->open(binary.length() == 16, local_port_)) return;
  address_ = binary;
  port_ = port;
  enabled_ = true;
}

int syslog_client::priority(int level) {
  int severity = level < 0 ? 0 : level <= 4 ? level : level <= 6 ? 5 : level == 7 ? 6 : 7;
  return 16 * 8 + severity;
}

str syslog_client::format(int level, atimestamp t, const str& host, const str& text,
                          const str& attachment) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int pri = priority(level);
  str out = pri == 0 ? str("<0>") : "<" + str(pri, 3) + ">";
  struct tm tm;
  local_time(t, tm);
  out += tm.tm_mon >= 0 && tm.tm_mon < 12 ? months[tm.tm_mon] : months[0];
  out += ' ';
  out += str(tm.tm_mday, 2);
  out += ' ';
  out += str(tm.tm_hour, 2);
  out += ':';
  out += str(tm.tm_min, 2);
  out += ':';
  out += str(tm.tm_sec, 2);
  out += ' ';
  out += host;
  out += ' ';
  out += text;
  out += ' ';
  out += attachment;
  return out;
}

void syslog_client::send(const log_entry& e) {
  if (!enabled_) return;
  str d = format(e.level, e.time, host_name_, e.text, e.attachment);
  d.truncate(max_syslog_datagram);
  transport_->send_to(address_, port_, d);
}

void set_syslog_server_ip(const str& address) {
  log_state& s = st();
  bool enabled, unresolved;
  {
    std::lock_guard<std::mutex> g(s.file_mu);
    s.sl_client.init(address);
    enabled = s.sl_client.enabled();
    unresolved = s.sl_client.unresolved();
  }
  if (enabled)
    log_printf(log_application, 1, "syslog messages will be sent to %s", address);
  else if (unresolved)
    log_printf(log_application, 1,
               "Cannot resolve the syslog server %s: syslog is disabled on the PBX", address);
  else
    log_printf(log_application, 7, "syslog is disabled on the PBX");
}

void set_syslog_transport(std::unique_ptr<syslog_transport> t) {
  log_state& s = st();
  std::lock_guard<std::mutex> g(s.file_mu);
  s.sl_client.set_transport(std::move(t));
}

// ---- Local system log ---------------------------------------------------------------------------

void init_syslog() { openlog("PBX", LOG_PID, LOG_DAEMON); }

void send_syslog(const str& text) {
  local_syslog.load()(LOG_NOTICE, str::sprintf("PBX: %s", text));
}

void set_local_syslog_writer(local_syslog_fn fn) {
  local_syslog.store(fn ? fn : local_syslog_real);
}

// ---- SIP trace
// ------------------------------------------------------------------------------------

void set_call_leg_trace(call_leg_trace_fn fn) { leg_trace.store(fn); }

str trace_address_host(const str& address_text) {
  str a = address_text.strip();
  for (size_t i = 0; i < a.length(); ++i) {
    char c = static_cast<char>(a[i]);
    if (c == ':' || c == ' ' || c == '/') {
      if (is_transport_name(a.leftstr(i))) a = a.substr(i + 1).lstrip();
      break;
    }
  }
  if (a.starts_with(str("["))) {
    long close = a.find(']');
    return close < 0 ? a.substr(1) : a.substr(1, close - 1);
  }
  long colon = a.find(':');
  if (colon >= 0 && a.find(':', colon + 1) < 0) return a.leftstr(colon);
  return a;
}

void add_trace(const str& method, int call_leg, const str& address_text, const str& direction,
               const str& raw) {
  if (call_leg >= 0 && call_leg < num_call_legs) {
    if (call_leg_trace_fn fn = leg_trace.load()) fn(call_leg, direction, address_text, raw);
    return;
  }
  // Trace lines are module-1 messages: they need logging to be up and the SIP group switched
  // on; their level is not filtered (the trace settings are the switch).
  if (!log_up.load(std::memory_order_relaxed) || !get_log_group(log_sip)) return;
  int governing = method == "REGISTER"                          ? ctrl_settings::log_sip_register
                  : method == "SUBSCRIBE" || method == "NOTIFY" ? ctrl_settings::log_sip_subnot
                                                                : ctrl_settings::log_sip_dialog;
  bool traced = ctrl_read_registry(governing) != "false";
  if (!traced) {
    str watch = ctrl_read_registry(ctrl_settings::log_sip_watchlist);
    str host = trace_address_host(address_text);
    for (size_t i = 0; !traced; ++i) {
      str entry = watch.get_field(i);
      if (entry.empty()) break;
      traced = trace_address_host(entry) == host;
    }
  }
  if (traced) log_add_message(log_sip, 5, str::sprintf("SIP %s %s:", direction, address_text), raw);
}
