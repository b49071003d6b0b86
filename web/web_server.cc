#include "web/web_server.h"

#include <errno.h>
#include <unistd.h>

#include <memory>

#include "base/log.h"
#include "base/tls.h"
#include "db/schema.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/settings.h"
#include "frame/threads.h"
#include "web/http_request.h"

namespace {

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

// Writes all of data; false when the peer is gone. ctrl_run_mutex is released meanwhile.
bool send_all(int fd, const str& data) {
  mutex_unlock u(ctrl_run_mutex);
  size_t sent = 0;
  while (sent < data.length()) {
    ssize_t n = write(fd, data.cbuffer() + sent, data.length() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      mutex_lock l(ctrl_run_mutex);  // wait_socket releases it again while waiting
      if (wait_socket(fd, true, 30000, ctrl_run_mutex) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

str share_web_folder() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    str dir(exe, static_cast<size_t>(n));
    long slash = -1;
    for (long i = 0; i < static_cast<long>(dir.length()); i++)
      if (dir[i] == '/') slash = i;
    dir = dir.substr(0, slash < 0 ? 0 : slash);
    for (const char* rel : {"/share/web", "/../share/web", "/../share/telmond/web"}) {
      str candidate = dir + rel;
      if (!str::get_dir(candidate).empty() || !str::get_dir(candidate, true).empty())
        return candidate;
    }
  }
  return str(TELMOND_SHARE_WEB).rstrip('/');
}

}  // namespace

void http_serve(int fd, const ip_port& remote, bool tls) {
  std::unique_ptr<tls_session> t;
  if (tls) {
    std::shared_ptr<tls_context> context = web_tls_context();
    if (!context) {
      close_socket(fd);
      return;
    }
    mutex_unlock u(ctrl_run_mutex);
    t = std::make_unique<tls_session>(context);
    t->set_description("HTTPS " + remote.readable());
  }
  http_request request(remote);
  char buf[16384];
  for (;;) {
    int idle_s = 30;
    if (request.input_mode() == mode_xml) {
      idle_s = ctrl_read_registry(ctrl_settings::nat_tcp).value();
      if (idle_s <= 0) idle_s = 180;
    }
    if (wait_socket(fd, false, idle_s * 1000, ctrl_run_mutex) != 1) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      log_printf(log_web, 9, "Remote site %s closed the connection", remote.readable());
      break;
    }
    str data(buf, static_cast<size_t>(n));
    if (t) {
      str records;
      bool ok;
      {
        mutex_unlock u(ctrl_run_mutex);
        ok = t->on_input(data);
        data = t->take_plain();
        records = t->take_output();
      }
      if (!records.empty() && !send_all(fd, records)) break;
      if (!ok) break;
    }
    bool keep = data.empty() || request.on_input(data);
    str out = request.take_output();
    if (t && !out.empty()) {
      mutex_unlock u(ctrl_run_mutex);
      t->write(out);
      if (request.close_after_response() || !keep) t->close();
      out = t->take_output();
    }
    if (!out.empty() && !send_all(fd, out)) break;
    if (!keep || request.close_after_response()) break;
  }
  close_socket(fd);
}

void install_web_server() { set_http_serve(http_serve); }

int copy_missing_files(const str& from, const str& to) {
  int copied = 0;
  for (const str& name : str::get_dir(from)) {
    const str target = to + "/" + name;
    if (str::file_size(target) >= 0) continue;
    str data;
    if (str::read_file(from + "/" + name, data) && data.write_file(target)) copied++;
  }
  for (const str& dir : str::get_dir(from, true))
    copied += copy_missing_files(from + "/" + dir, to + "/" + dir);
  return copied;
}

void init_web_pages() {
  const str from = share_web_folder();
  str::create_path("web");
  int n = copy_missing_files(from, "web");
  if (n > 0) log_printf(log_web, 4, "Webserver: Copied %d files from %s into web", n, from);
}
