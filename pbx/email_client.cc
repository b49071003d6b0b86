#include "pbx/email_client.h"

#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/encoding.h"
#include "base/file_system.h"
#include "base/ip_port.h"
#include "base/log.h"
#include "db/schema.h"
#include "db/table.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "pbx/email_smtp.h"

namespace {

// Seconds without a byte from the server before an attempt is given up.
constexpr int smtp_timeout_s = 120;

// The boundary parameter of a content type, without quotes.
str boundary_of(const str& content_type) {
  long at = content_type.ifind("boundary=");
  if (at < 0) return str();
  return content_type.substr(static_cast<size_t>(at) + 9).get_field(0, "; \t").strip('"');
}

bool is_multipart_mixed(const email& m) {
  return m.content_type.get_field(0, ';').strip().icmp("multipart/mixed");
}

// The parts of a multipart body (without the delimiter lines and the CR LF before them).
std::vector<str> split_parts(const str& body, const str& boundary) {
  std::vector<str> parts;
  const str delimiter = "--" + boundary;
  long at = body.find(delimiter);
  while (at >= 0) {
    size_t after = static_cast<size_t>(at) + delimiter.length();
    if (body.substr(after, 2) == "--") break;
    long line_end = body.find("\r\n", after);
    if (line_end < 0) break;
    size_t start = static_cast<size_t>(line_end) + 2;
    long next = body.find("\r\n" + delimiter, start);
    parts.push_back(
        body.substr(start, (next < 0 ? body.length() : static_cast<size_t>(next)) - start));
    at = next < 0 ? -1 : next + 2;
  }
  return parts;
}

// The headers (up to the empty line) and the body of a part.
void split_part(const str& part, str& headers, str& body) {
  long end = part.find("\r\n\r\n");
  headers = end < 0 ? part : part.leftstr(static_cast<size_t>(end) + 2);
  body = end < 0 ? str() : part.substr(static_cast<size_t>(end) + 4);
}

bool is_audio_part(const str& headers) {
  return headers.get_record_content("Content-Type").get_field(0, ';').strip().icmp("audio/wav");
}

}  // namespace

// ---- Attachments ----

std::vector<int> email_attachment_rows(const email& m) {
  std::vector<int> rows;
  if (!is_multipart_mixed(m)) return rows;
  for (const str& part : split_parts(m.body, boundary_of(m.content_type))) {
    str headers, body;
    split_part(part, headers, body);
    if (is_audio_part(headers)) rows.push_back(body.get_field(0).value());
  }
  return rows;
}

bool email_attach(email& m, std::vector<int>& emailout) {
  if (!is_multipart_mixed(m)) return true;
  const str boundary = boundary_of(m.content_type);
  str joined;
  for (const str& part : split_parts(m.body, boundary)) {
    str headers, body;
    split_part(part, headers, body);
    if (!is_audio_part(headers)) {
      mime_section(joined, boundary);
      joined += part + "\r\n";
      continue;
    }
    int row = body.get_field(0).value();
    str file, type;
    {
      mutex_lock tables(ctrl_run_mutex);
      if (messages.has_row(row)) {
        file = messages.get(row, messages_filename);
        type = messages.get(row, messages_type);
      }
    }
    if (file.empty()) {
      log_printf(log_email, 5, "Voicemail message %d is gone, mailing it without its recording",
                 row);
      continue;
    }
    str audio;
    if (!str::read_file(file, audio, false) || audio.empty()) {
      log_printf(log_email, 5, "Could not read %s to attach it to an email", file);
      return false;
    }
    if (type == "emailout") emailout.push_back(row);
    if (headers.get_record_content("Content-Transfer-Encoding").empty())
      headers = "Content-Transfer-Encoding: base64\r\n" + headers;
    mime_section(joined, boundary);
    joined += headers + "\r\n" + base64_encode(audio, 72) + "\r\n";
  }
  mime_terminate(joined, boundary);
  m.body = joined;
  return true;
}

// ---- The server ----

bool email_choose_server(email& m, const str& email_global, smtp_target& t) {
  t.implicit_tls = ctrl_read_registry(ctrl_settings::smtp_starttls) == "tls";
  t.server.clear();
  const auto take = [](str& field, const str& value) {
    if (!value.empty()) field = value;
  };
  if (email_global == "true") {
    take(m.user, ctrl_read_registry(ctrl_settings::email_user));
    take(m.password, ctrl_read_registry(ctrl_settings::email_pass));
    take(m.from, ctrl_read_registry(ctrl_settings::email_from));
  } else if (m.domain != 0) {
    mutex_lock tables(ctrl_run_mutex);
    if (domains.has_row(m.domain)) {
      t.server = domains.get(m.domain, domains_email_smtp).strip();
      take(m.user, domains.get(m.domain, domains_email_user));
      take(m.password, domains.get(m.domain, domains_email_pass));
      take(m.from, domains.get(m.domain, domains_email_from));
      if (domains.get(m.domain, domains_email_starttls) == "tls") t.implicit_tls = true;
    }
  }
  if (t.server.empty()) t.server = ctrl_read_registry(ctrl_settings::email_smtp).strip();
  if (t.server.empty()) {
    log_printf(log_email, 5, "SMTP: No email server specified");
    return false;
  }
  return true;
}

bool smtp_split_server(const str& server, bool implicit_tls, str& host, int& port) {
  str s = server.strip();
  port = implicit_tls ? 465 : 25;
  str port_text;
  if (s.starts_with("[")) {
    long close = s.find(']');
    if (close < 0) return false;
    host = s.substr(1, static_cast<size_t>(close) - 1);
    if (s[static_cast<size_t>(close) + 1] == ':')
      port_text = s.substr(static_cast<size_t>(close) + 2);
  } else {
    long colon = s.find(':');
    bool one_colon = colon >= 0 && s.find(':', static_cast<size_t>(colon) + 1) < 0;
    host = one_colon ? s.leftstr(static_cast<size_t>(colon)) : s;
    if (one_colon) port_text = s.substr(static_cast<size_t>(colon) + 1);
  }
  if (!port_text.empty()) {
    if (!port_text.is_number() || port_text.value() <= 0 || port_text.value() > 65535) return false;
    port = port_text.value();
  }
  return !host.empty();
}

namespace {

// The host's first address; invalid when it does not resolve.
ip_port resolve(const str& host, int port) {
  ip_port a;
  if (a.parse(host, static_cast<uint16_t>(port))) return a;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return ip_port();
  a.from_sockaddr(list->ai_addr, list->ai_addrlen);
  freeaddrinfo(list);
  a.port = static_cast<uint16_t>(port);
  return a;
}

bool any_address(const ip_port& a) {
  for (size_t i = 0; i < a.address.length(); i++)
    if (a.address[i] != 0) return false;
  return true;
}

bool send_all(int fd, str& pending) {
  while (!pending.empty()) {
    ssize_t n = ::send(fd, pending.cbuffer(), pending.length(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    pending = pending.substr(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

int smtp_deliver(email& m, const smtp_target& t) {
  str host;
  int port = 0;
  ip_port address;
  if (smtp_split_server(t.server, t.implicit_tls, host, port)) address = resolve(host, port);
  if (!address.valid() || any_address(address)) {
    log_printf(log_email, 3, "SMTP: Cannot resolve %s", t.server);
    return smtp_transient;
  }
  log_printf(log_email, 8, "SMTP: Connect to %s", t.server);
  sockaddr_storage sa;
  socklen_t sa_len = address.to_sockaddr(sa);
  int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sa_len) != 0) {
    log_printf(log_email, 5, "SMTP: Connection refused on %s", t.server);
    if (fd >= 0) ::close(fd);
    return smtp_transient;
  }
  smtp_link link(m, ctrl_read_registry(ctrl_settings::smtp_starttls) == "true",
                 email_date(wall_now()), t.implicit_tls, host, "SMTP " + t.server);
  smtp_dialogue& d = link.dialogue();
  str pending = link.take_output();
  while (d.state() < smtp_refused) {
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(fd, &rd);
    FD_SET(fd, &ex);
    if (!pending.empty()) FD_SET(fd, &wr);
    timeval tv{smtp_timeout_s, 0};
    int r = ::select(fd + 1, &rd, &wr, &ex, &tv);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      log_printf(log_email, 5, "SMTP: Timeout");
      d.set_state(smtp_transient);
    } else if (r < 0) {
      log_printf(log_email, 5, "SMTP: Socket error");
      d.set_state(smtp_transient);
    } else if (FD_ISSET(fd, &ex) || (FD_ISSET(fd, &wr) && !send_all(fd, pending))) {
      log_printf(log_email, 5, "SMTP: Connection closed");
      d.set_state(smtp_transient);
    } else if (FD_ISSET(fd, &rd)) {
      char buf[8192];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) {
        d.on_closed(t.server);
      } else {
        link.on_received(str(buf, static_cast<size_t>(n)));
        pending += link.take_output();
        send_all(fd, pending);
      }
    }
  }
  ::close(fd);
  return d.state();
}

// ---- Outcome and the loop ----

bool email_outcome(const str& file, int state) {
  email_mutex.must_own("email_outcome");
  if (state == smtp_delivered) {
    email_sent++;
    email_alert = false;
  } else {
    email_rejected++;
    email_alert = true;
  }
  int number = 0, attempts = 0;
  if (state == smtp_transient && email_spool_parse_name(file, number, attempts) && attempts < 49) {
    int next = email_next_number();
    if (next != 0) str::rename_file(file, email_spool_name(next, attempts + 1));
    return false;
  }
  str::remove_file(file, false);
  return true;
}

void email_delete_messages(const std::vector<int>& rows) {
  if (rows.empty()) return;
  mutex_lock tables(ctrl_run_mutex);
  for (int r : rows) {
    if (!messages.has_row(r)) continue;
    str file = messages.get(r, messages_filename);
    messages.delete_row(r);
    // Another mailbox's copy may still use the recording.
    if (!file.empty() && !messages.first(messages_filename, file)) fs().remove(file);
  }
}

bool email_process_next() {
  email_mutex.must_own("email_process_next");
  str file;
  for (const str& name : str::get_dir("spool"))
    if (name.ends_with(".msg")) {
      file = "spool/" + name;
      break;
    }
  if (file.empty()) return false;
  str text;
  if (!str::read_file(file, text, true)) return false;
  email m = email_parse(text);
  const str global = ctrl_read_registry(ctrl_settings::email_global);
  std::vector<int> emailout;
  int state = smtp_transient;
  {
    // A producer holds ctrl_run_mutex when it takes email_mutex, so the table lookups here
    // (under ctrl_run_mutex) happen with email_mutex released, as does the talk to the server.
    mutex_unlock unlocked(email_mutex);
    // A recording that was just finished may still be on its way to the disk.
    if (!email_attachment_rows(m).empty()) usleep(1000000);
    smtp_target t;
    if (email_attach(m, emailout) && email_choose_server(m, global, t)) state = smtp_deliver(m, t);
  }
  bool finished = email_outcome(file, state);
  mutex_unlock unlocked(email_mutex);
  if (finished) email_delete_messages(emailout);
  if (state == smtp_transient) usleep(5000000);
  return true;
}

void run_email_client() {
  // This thread never holds ctrl_run_mutex but for the moment of a table lookup.
  email_mutex.lock();
  for (;;) {
    {
      mutex_unlock waiting(email_mutex);
      email_sema.wait(60000);
    }
    while (email_process_next()) {
    }
  }
}

void* email_loop(void*) {
  run_email_client();
  return nullptr;
}
