#include "web/http_request.h"

#include <sys/stat.h>

#include <string_view>

#include "base/log.h"
#include "base/version.h"
#include "db/tar.h"
#include "frame/clock.h"
#include "frame/mutex.h"
#include "frame/perf_history.h"
#include "frame/settings.h"
#include "pbx/address_list_table.h"
#include "web/ajax.h"
#include "web/fixed_files.h"
#include "web/graphs.h"
#include "web/http_date.h"
#include "web/pages.h"
#include "web/provisioning_paths.h"
#include "web/session.h"
#include "web/template.h"

void http_env::default_pause(int ms) { yield_thread(ms); }

int64_t http_env::default_modified(const str& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

namespace {

const char server_header[] = "Server: PBX/" TELMOND_VERSION " (Linux)\r\n";
const char keep_alive_headers[] = "Connection: Keep-Alive\r\nKeep-Alive: timeout=15\r\n";

// The form actions a submit button may name when the form carries no "action" parameter.
const char* const form_actions[] = {"save",
                                    "adddomain",
                                    "editdomainname",
                                    "getconfig",
                                    "adddialplan",
                                    "addtrunk",
                                    "setrates",
                                    "addbutton",
                                    "addadrbook",
                                    "searchadrbook",
                                    "addconf",
                                    "loadadrbook",
                                    "deletetrunk",
                                    "deletewav",
                                    "deletecert",
                                    "editaccount",
                                    "addacc",
                                    "editdomain",
                                    "editfiles",
                                    "savedial",
                                    "savetrunk",
                                    "savebutton",
                                    "editbutton",
                                    "sendim",
                                    "addreg",
                                    "savetar",
                                    "savepnp",
                                    "loadcore",
                                    "savemoh",
                                    "deletemoh",
                                    "newmoh",
                                    "restart",
                                    "shutdown",
                                    "pbxstop",
                                    "pbxrestart",
                                    "upgradepbx",
                                    "restartsysservice",
                                    "restore",
                                    "upload",
                                    "dump",
                                    "quickdump",
                                    "templates",
                                    "translation",
                                    "importcert",
                                    "clearlog",
                                    "clearreg",
                                    "welcome",
                                    "checksync",
                                    "trunkdel",
                                    "trunkreg",
                                    "adrbookdel",
                                    "domaindel",
                                    "gotodomain",
                                    "domainedit",
                                    "dialplanedit",
                                    "dialplandel",
                                    "delete_call",
                                    "delete_conf",
                                    "sched_conf",
                                    "load_conf",
                                    "msgdel",
                                    "editmoh",
                                    "send_cdr",
                                    "midnight_event",
                                    "addaccess",
                                    "delete_selected",
                                    "reboot_selected",
                                    "disable_selected",
                                    "enable_selected",
                                    "dialentrydel",
                                    "delete_trunks",
                                    "disable_trunks",
                                    "enable_trunks",
                                    "delete_address",
                                    "white_list",
                                    "black_list",
                                    "clear_reg",
                                    "remove_cellphone",
                                    "remove_email",
                                    "remove_mac",
                                    "reset_dnd"};

// URL decoding ("%2f"; "+" as a space when plus_is_space).
str url_decode(const str& text, bool plus_is_space = false) {
  str out;
  for (size_t i = 0; i < text.length(); i++) {
    char c = static_cast<char>(text[i]);
    if (c == '%' && i + 2 < text.length()) {
      auto hex = [](uint8_t h) {
        return h >= '0' && h <= '9'   ? h - '0'
               : h >= 'a' && h <= 'f' ? h - 'a' + 10
               : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                      : -1;
      };
      int a = hex(text[i + 1]), b = hex(text[i + 2]);
      if (a >= 0 && b >= 0) {
        out += static_cast<char>(a * 16 + b);
        i += 2;
        continue;
      }
    }
    out += plus_is_space && c == '+' ? ' ' : c;
  }
  return out;
}

bool all_digits(const str& s) {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.length(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Offset of the end of the header block (after the empty line), or -1 while it is incomplete.
long header_end(const str& text) {
  long crlf = text.find("\r\n\r\n"), lf = text.find("\n\n");
  if (crlf >= 0 && (lf < 0 || crlf < lf)) return crlf + 4;
  return lf >= 0 ? lf + 2 : -1;
}

// The value of the ";"-separated cookie element named session.
str session_cookie(const str& headers) {
  const str cookies = headers.get_record_content("Cookie");
  for (size_t i = 0;; i++) {
    str element = cookies.get_field(i, ';');
    if (element.empty()) return str();
    long eq = element.find('=');
    if (eq > 0 && element.substr(0, eq).strip() == "session")
      return element.substr(eq + 1).strip().strip('"');
  }
}

// name=value pairs separated by "&".
void parse_parameters(const str& text, std::map<str, str>& out) {
  for (size_t i = 0;; i++) {
    str pair = text.get_field(i, '&');
    if (pair.empty()) return;
    long eq = pair.find('=');
    if (eq < 0) {
      out[url_decode(pair, true)] = str();
    } else {
      out[url_decode(pair.substr(0, eq), true)] = url_decode(pair.substr(eq + 1), true);
    }
  }
}

// The value of a parameter of a header value ("boundary=...", "name=\"...\"").
str header_parameter(const str& value, const char* name) {
  for (size_t i = 1;; i++) {
    str p = value.get_field(i, ';').strip();
    if (p.empty()) return str();
    long eq = p.find('=');
    if (eq > 0 && p.substr(0, eq).strip().icmp(name)) return p.substr(eq + 1).strip().strip('"');
  }
}

// The parts of a multipart/form-data body: fields into args, files into files (and their
// file names into args).
void parse_multipart(const str& body, const str& boundary, web_request& r) {
  if (boundary.empty()) return;
  const str delimiter = "--" + boundary;
  long at = body.find(delimiter);
  while (at >= 0) {
    size_t start = at + delimiter.length();
    if (body.substr(start, 2) == "--") return;
    long next = body.find(delimiter, start);
    if (next < 0) return;
    str part = body.substr(start, next - start);
    const str rest = part.substr(part.find('\n') + 1);  // after the delimiter's line end
    long hend = header_end(rest);
    if (hend >= 0) {
      str headers = rest.substr(0, hend), content = rest.substr(hend);
      if (content.ends_with("\r\n")) content.truncate(content.length() - 2);
      const str disposition = headers.get_record_content("Content-Disposition");
      const str name = header_parameter(disposition, "name");
      const str file = header_parameter(disposition, "filename");
      if (!file.empty()) {
        r.files[name] = content;
        r.args[name] = file;
      } else if (!name.empty()) {
        r.args[name] = content;
      }
    }
    at = next;
  }
}

// A path inside the web folder: no ".." segment, no backslash, no NUL, not absolute.
bool safe_path(const str& path) {
  if (path.starts_with("/") || path.contains_char('\\') || path.contains_char('\0')) return false;
  for (size_t i = 0;; i++) {
    str segment = path.get_field(i, '/');
    if (segment.empty()) return true;
    if (segment == "..") return false;
  }
}

str extension_of(const str& path) {
  long dot = -1;
  for (long i = static_cast<long>(path.length()) - 1; i >= 0 && path[i] != '/'; i--)
    if (path[i] == '.') {
      dot = i;
      break;
    }
  return dot < 0 ? str() : path.substr(dot + 1).tolower();
}

bool is_template(const str& path) {
  const str e = extension_of(path);
  return e == "htm" || e == "html" || e == "xml" || e == "txt";
}

}  // namespace

str get_content_type(const str& path) {
  static const std::pair<const char*, const char*> types[] = {
      {".gif", "image/gif"}, {".jpg", "image/jpg"},    {".tif", "image/tiff"},
      {".bmp", "image/bmp"}, {".ico", "image/x-icon"}, {".css", "text/css"},
      {".wav", "audio/wav"}};
  const str lower = path.tolower();
  for (const auto& [ext, type] : types)
    if (lower.ends_with(ext)) return type;
  return "application/octet-stream";
}

str get_file_content_type(const str& path) {
  static const std::pair<const char*, const char*> types[] = {
      {"htm", "text/html"},
      {"html", "text/html"},
      {"xml", "text/xml"},
      {"txt", "text/plain"},
      {"js", "application/x-javascript"},
      {"csv", "application/csv;charset=utf-8'"}};
  const str e = extension_of(path);
  for (const auto& [ext, type] : types)
    if (e == ext) return type;
  return get_content_type(path);
}

http_request::http_request(const ip_port& peer, const http_env& env) : peer_(peer), env_(env) {}

str http_request::take_output() {
  str o = out_;
  out_.clear();
  return o;
}

bool http_request::on_input(const str& data) {
  ctrl_run_mutex.must_own("http_request::on_input");
  if (close_) return false;  // answered and closing: nothing more is read
  in_ += data;
  if (pause_ms_) return !over_limit();
  if (mode_ == mode_undetermined) {
    const str s = in_.lstrip();
    uint8_t first = s[0];
    if (first >= 'A' && first <= 'Z') {
      mode_ = mode_http;
    } else if (first == '<' || (s.length() > 8 && s[8] == '<')) {
      mode_ = mode_xml;
      in_ = s.substr(first == '<' ? 0 : 8);  // the eight-byte prefix is split off
    } else {
      return !over_limit();
    }
  }
  if (mode_ == mode_http) return take_http_requests();
  if (mode_ == mode_xml) {
    take_xml_elements();
    return !over_limit();
  }
  return true;
}

bool http_request::over_limit() {
  if (in_.length() <= limit_) return false;
  if (limit_ == 1048576) {
    session* s = find_session(session_cookie(in_).get_field(0));
    if (s && s->type == session_system_admin) {
      size_t max = ctrl_read_registry(ctrl_settings::max_tcp_length).uvalue64();
      if (max > limit_) limit_ = max;
      if (in_.length() <= limit_) return false;
    }
  }
  log_printf(log_web, 4, "Received too long packet from %s", peer_.readable());
  in_.clear();
  return true;
}

bool http_request::take_http_requests() {
  for (;;) {
    in_ = in_.lstrip();
    if (in_.empty()) return true;
    long hend = header_end(in_);
    if (hend < 0) return !over_limit();
    const str head = in_.substr(0, hend);
    const str length = head.get_record_content("Content-Length", "l").strip();
    size_t body = 0;
    if (!length.empty()) {
      if (!all_digits(length) || length.length() > 12) {
        protocol_ = head.get_line(0).get_field(2);
        if (!protocol_.starts_with("HTTP/")) protocol_ = "HTTP/1.1";
        close_ = true;
        error("400 Bad Request", "Invalid Content-Length");
        in_.clear();
        return true;
      }
      body = length.uvalue64();
    }
    if (in_.length() < hend + body) return !over_limit();
    const str packet = in_.substr(0, hend + body);
    in_ = in_.substr(hend + body);
    requests_++;
    handle_packet(packet);
    if (pause_ms_) return true;
    if (close_) {
      in_.clear();
      return true;
    }
  }
}

void http_request::take_xml_elements() {
  for (;;) {
    in_ = in_.lstrip();
    if (in_.empty()) return;
    if (in_[0] != '<') {
      long lt = in_.find('<');
      in_ = lt < 0 ? str() : in_.substr(lt);
      continue;
    }
    size_t n = 1;
    while (n < in_.length() && !str::one_of(static_cast<char>(in_[n]), " \t\r\n/>")) n++;
    const str name = in_.substr(1, n - 1);
    long end = -1;
    if (name.starts_with("?")) {
      long q = in_.find("?>");
      end = q < 0 ? -1 : q + 2;
    } else {
      long gt = in_.find('>');
      if (gt > 0 && in_[gt - 1] == '/') {
        end = gt + 1;
      } else if (gt > 0) {
        long close = in_.find("</" + name + ">", gt);
        end = close < 0 ? -1 : close + static_cast<long>(name.length()) + 3;
      }
    }
    if (end < 0) return;
    requests_++;
    if (!name.starts_with("?")) log_printf(log_web, 6, "Unsupported CSTA request %s", name);
    in_ = in_.substr(end);
  }
}

void http_request::handle_packet(const str& packet) {
  ctrl_run_mutex.must_own("handle_packet");
  const size_t before = out_.length();
  route(packet);
  // HEAD: the same headers without the body.
  if (packet.starts_with("HEAD ")) {
    long end = header_end(out_.substr(before));
    if (end >= 0) out_.truncate(before + static_cast<size_t>(end));
  }
}

void http_request::route(const str& packet) {
  long hend = header_end(packet);
  const str head = hend < 0 ? packet : packet.substr(0, hend);
  const str body = hend < 0 ? str() : packet.substr(hend);
  const str line = head.get_line(0);
  web_request r;
  r.method = line.get_field(0);
  const str url = line.get_field(1);
  protocol_ = line.get_field(2);
  if (!protocol_.starts_with("HTTP/")) {
    protocol_ = "HTTP/1.1";
    close_ = true;
  }
  if (protocol_ == "HTTP/1.0" ||
      head.get_record_content("Connection").get_field(0, " ,").icmp("close"))
    close_ = true;
  str content_type = head.get_record_content("Content-Type", "c");
  if (content_type.find(';') >= 0) content_type = content_type.substr(0, content_type.find(';'));
  content_type = content_type.strip().tolower();

  str host = head.get_record_content("Host").strip();
  if (host.starts_with("[")) {
    host = host.substr(0, host.find(']') + 1);
  } else if (host.find(':') >= 0) {
    host = host.substr(0, host.find(':'));
  }
  r.host = host;
  r.peer = peer_;

  const str cookie = session_cookie(head);
  const str id = cookie.get_field(0);
  r.s = id.empty() ? nullptr : find_session(id);
  if (!r.s && !id.empty()) r.s = restore_session(cookie, host);
  if (r.s) refresh_timeout(r.s->id);

  if (r.method != "PUT" && (content_type == "text/xml" || content_type == "application/xml")) {
    if (!ip_in_list(ctrl_read_registry(ctrl_settings::soap_trusted_ip), peer_.address) && !r.s) {
      if (id.empty()) {
        log_printf(log_soap, 4, "SOAP: Request from untrusted IP address %s",
                   peer_.readable_address());
      } else {
        log_printf(log_soap, 4, "SOAP: Request from IP address %s without a session",
                   peer_.readable_address());
      }
      error("403 Forbidden", "SOAP request refused");
      return;
    }
    // The SOAP services answer with an empty body until they exist.
    return_result(200, "Ok", "text/xml",
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<SOAP-ENV:Envelope "
                  "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                  "<SOAP-ENV:Body/></SOAP-ENV:Envelope>\r\n");
    return;
  }

  long q = url.find('?');
  str path = q < 0 ? url : url.substr(0, q);
  if (q >= 0) parse_parameters(url.substr(q + 1), r.args);
  while (path.starts_with("/")) path = path.substr(1);
  path = url_decode(path);
  r.path = path;
  if (!safe_path(path)) {
    log_printf(log_web, 3, "Webserver: Refused path %s from %s", html_escape(path),
               peer_.readable_address());
    error("400 Bad Request", "Invalid path");
    return;
  }
  if (serve_provisioning(*this, r, head.get_record_content("User-Agent").strip(), body,
                         env_.tftp_root))
    return;
  const bool post = r.method == "POST";
  if (post && content_type == "application/x-www-form-urlencoded") parse_parameters(body, r.args);
  if (post && content_type == "multipart/form-data")
    parse_multipart(body,
                    header_parameter(head.get_record_content("Content-Type", "c"), "boundary"), r);

  if (r.method != "GET" && r.method != "POST" && r.method != "HEAD") {
    return_result(404, "Not Found", "text/html", "<html>Unknown request</html>\n");
    return;
  }
  if (path.empty()) {
    redirect_file(r.s && !r.s->var("start").empty() ? "/" + r.s->var("start") : str("/login.htm"));
    return;
  }
  if (path == "robots.txt") {
    send_file("User-agent: *\r\nDisallow: /\r\n", "text/plain", 0, !close_);
    return;
  }
  if (path.starts_with("recordings/")) {
    if (!r.has_domain_permission()) {
      error("403 Permission Denied", "Please log in with the appropriate permissions");
      return;
    }
    const str file = env_.recordings_root + "/" + path.substr(11);
    str data;
    if (!str::read_file(file, data, false)) {
      log_printf(log_web, 3, "Webserver: Could not read file %s", path);
      error("404 Not Found", "File " + html_escape(path) + " not found");
      return;
    }
    send_file(data, "audio/wav", env_.modified(file), !close_);
    return;
  }
  if (path == "pbx.tar") {  // the backup of the whole working directory
    if (!r.has_root_permission()) {
      error("403 Permission Denied", "Please log in with the appropriate permissions");
      return;
    }
    send_file(get_tar(), "application/x-tar", 0, !close_);
    return;
  }
  if (path == "login.htm" || path == "pac_login.htm") {
    if (post && r.args.count("login_account")) {
      handle_login(r, host);
    } else {
      render_page(path, r);
    }
    return;
  }
  if (path == "logout.htm" || path == "pac_logout.htm") {
    if (r.s) remove_session(r.s->id);
    redirect_file(path == "logout.htm" ? "/login.htm" : "/pac_login.htm");
    return;
  }
  if (path == "ajax.htm") {
    if (!r.s) {
      error("403 Permission Denied", "Please log in with the appropriate permissions");
      return;
    }
    answer_ajax(*this, r);
    return;
  }
  if (path == "post.htm" &&
      (!r.args.count("user") || !r.args.count("pass") || !r.args.count("file"))) {
    error("404 Not Found",
          "Please use parameters \"user\", \"pass\" and \"file\" to provide credentals and to "
          "specify which file to fetch");
    return;
  }
  fixed_file fixed;
  if (serve_fixed_name(path, r, fixed)) {
    if (fixed.status == "200 Ok") {
      send_file(fixed.body, fixed.type, 0, !close_);
    } else {
      error(fixed.status, fixed.body);
    }
    return;
  }
  if (!page_allowed(path, r)) {
    if (r.s) {
      error("403 Permission Denied", "Please log in with the appropriate permissions");
    } else {
      redirect_file("/login.htm");
    }
    return;
  }
  if (is_perf_graph(path)) {
    send_file(perf_graph_bmp(path, system_perf_history().snapshot(wall_now())), "image/bmp", 0,
              !close_);
    return;
  }
  if (!is_template(path)) {
    get_file(path, head.get_record_content("If-Modified-Since"));
    return;
  }
  if (post && (content_type == "application/x-www-form-urlencoded" ||
               content_type == "multipart/form-data")) {
    str action = r.args.count("action") ? r.args["action"] : str();
    for (const char* a : form_actions)
      if (action.empty() && r.args.count(a)) action = a;
    if (!action.empty()) {
      const str next = apply_form(action, r);
      if (r.status != 200) {
        send_rendered(r, "text/html");
        return;
      }
      if (!next.empty()) path = next;
    }
  }
  render_page(path, r);
}

bool http_request::page_allowed(const str& name, const web_request& r) {
  // The statistics graphs are the system administrator's.
  if (name.starts_with("reg_") || name == "performance.bmp" || name == "calls.bmp" ||
      name == "registrations.bmp" || name == "mos.bmp")
    return r.has_root_permission();
  if (name.starts_with("dom_")) return r.has_domain_permission();
  if (name.starts_with("usr_") || name.starts_with("pac_")) return r.s != nullptr;
  return true;
}

void http_request::render_page(const str& name, web_request& r) {
  str text;
  if (!str::read_file(env_.web_root + "/" + name, text, false)) {
    log_printf(log_web, 3, "Webserver: Could not read file %s", name);
    error("404 Not Found", "File " + html_escape(name) + " not found");
    return;
  }
  r.out.clear();
  r.status = 200;
  r.depth = 0;
  filter_file(text, r);
  send_rendered(r, get_file_content_type(name));
}

void http_request::send_rendered(web_request& r, const str& content_type) {
  switch (r.status) {
    case 200:
      send_file(r.out, content_type, 0, !close_);
      break;
    case 403:
      error("403 Permission Denied", "Please log in with the appropriate permissions");
      break;
    case 404:
      error("404 Not Found", "File " + html_escape(r.path) + " not found");
      break;
    default:
      error("500 Internal Server Error", "The page could not be shown");
      break;
  }
}

void http_request::handle_login(web_request& r, const str& host) {
  const str account = r.args["login_account"], password = r.args["login_password"];
  session s;
  if (login_session(account, password, r.args["login_type"], host, s)) {
    session* ns = setup_session(s, new_session_id());
    if (ns->type == session_system_admin)
      log_printf(log_web, 5, "Administrator logged in from %s (session=%s)",
                 peer_.readable_address(), ns->id);
    authentication_result(clock_now(), peer_.unmapped().address, true, "web");
    str cookie;
    if (ns->type != session_console)
      cookie =
          login_set_cookie(login_cookie_value(*ns, account, password), host, get_time(wall_now()));
    redirect_file("/" + ns->var("start"), cookie);
    return;
  }
  log_printf(log_web, 3, "Login attempt with wrong password");
  session failed;
  failed.type = session_console;  // shows the login page only; its id never leaves the server
  failed.vars["login_name"] = account;
  failed.vars["lang"] = "en";
  failed.vars["wrong_password"] = "true";
  failed.vars["error_password"] = "Username or password are not correct";
  const str id = new_session_id();
  r.s = setup_session(failed, id);
  str page;
  const bool readable = str::read_file(env_.web_root + "/" + r.path, page, false);
  if (readable) filter_file(page, r);
  if (!env_.pause) {
    suspended_ = std::make_unique<suspended_login>(suspended_login{r, id, readable});
    pause_ms_ = 5000;
    return;
  }
  env_.pause(5000);
  finish_login(r, id, readable);
}

bool http_request::resume() {
  ctrl_run_mutex.must_own("http_request::resume");
  if (!pause_ms_) return true;
  pause_ms_ = 0;
  std::unique_ptr<suspended_login> l = std::move(suspended_);
  finish_login(l->r, l->id, l->readable);
  if (close_) {
    in_.clear();
    return true;
  }
  return take_http_requests();
}

void http_request::finish_login(web_request& r, const str& id, bool readable) {
  r.s = find_session(id);
  if (!r.s) {
    log_printf(log_web, 3, "Session expired during waiting");
    render_page(r.path, r);
    return;
  }
  remove_session(id);
  r.s = nullptr;
  if (!readable) {
    log_printf(log_web, 3, "Webserver: Could not read file %s", r.path);
    error("404 Not Found", "File " + html_escape(r.path) + " not found");
    return;
  }
  send_rendered(r, "text/html");
}

void http_request::get_file(const str& name, const str& if_modified_since) {
  const str file = env_.web_root + "/" + name;
  str data;
  if (!str::read_file(file, data, false)) {
    log_printf(log_web, 3, "Webserver: Could not read file %s", name);
    error("404 Not Found", "File " + html_escape(name) + " not found");
    return;
  }
  const int64_t modified = env_.modified(file);
  int64_t since = 0;
  if (modified >= 0 && http_date_parse(if_modified_since, since) && modified <= since) {
    out_.appendf("%s 304 Not Modified\r\nDate: %s\r\n", protocol_, http_date_now());
    out_ += server_header;
    out_ += keep_alive_headers;
    out_ += "\r\n";
    return;
  }
  out_.appendf("%s 200 Ok\r\nDate: %s\r\n", protocol_, http_date_now());
  out_ += server_header;
  out_ += keep_alive_headers;
  out_.appendf(
      "Last-Modified: %s\r\nCache-Control: public\r\nContent-Type: %s\r\n"
      "Content-Length: %d\r\n\r\n",
      http_date(modified < 0 ? 0 : modified), get_file_content_type(name),
      static_cast<int>(data.length()));
  out_ += data;
}

void http_request::send_file(const str& body, const str& content_type, int64_t last_modified,
                             bool keep_alive) {
  out_.appendf("%s 200 Ok\r\nDate: %s\r\nContent-Length: %d\r\n", protocol_, http_date_now(),
               static_cast<int>(body.length()));
  out_ += server_header;
  if (keep_alive) out_ += keep_alive_headers;
  if (last_modified > 0) {
    out_.appendf("Last-Modified: %s\r\nCache-Control: public\r\n", http_date(last_modified));
  } else {
    out_ += "Cache-Control: no-cache\r\n";
  }
  if (!content_type.empty()) out_.appendf("Content-Type: %s\r\n", content_type);
  out_ += "\r\n";
  out_ += body;
}

void http_request::redirect_file(const str& location, const str& set_cookie) {
  const str body = str::sprintf(
      "<html><head>\r\n<title>Redirect</title>\r\n</head><body>\r\nIf you don't get redirected "
      "automatically, please click <a href=\"%s\">here</a>\r\n</body></html>\r\n",
      location);
  out_.appendf(
      "%s 302 Moved Temporarily\r\nLocation: %s\r\nContent-Type: text/html\r\nCache-Control: "
      "no-cache\r\nCache-Control: no-store\r\n",
      protocol_, location);
  if (!set_cookie.empty()) out_.appendf("Set-Cookie: %s\r\n", set_cookie);
  out_.appendf("Content-Length: %d\r\n\r\n", static_cast<int>(body.length()));
  out_ += body;
}

void http_request::return_result(int code, const str& reason, const str& content_type,
                                 const str& body) {
  out_.appendf("%s %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n", protocol_, code,
               reason, content_type, static_cast<int>(body.length()));
  out_ += body;
  if (code >= 200 && code <= 299)
    authentication_result(clock_now(), peer_.unmapped().address, true, "web");
}

void http_request::error(const str& status_line, const str& message) {
  const str body = "<html><head>\r\n<title>Error</title>\r\n</head><body>\r\n<h1>" + message +
                   "</h1>\r\n<p>Please ask your system administrator to check the log file.</p>\r\n"
                   "</body></html>\r\n";
  out_.appendf(
      "%s %s\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\nCache-Control: "
      "no-store\r\nContent-Length: %d\r\n\r\n",
      protocol_, status_line, static_cast<int>(body.length()));
  out_ += body;
}

void http_request::challenge(const str& realm) {
  out_.appendf(
      "%s 401 Unauthorized\r\nWww-Authenticate: Basic REALM=\"%s\"\r\nContent-Type: "
      "text/plain\r\nContent-Length: 22\r\n\r\nUnauthorized request\r\n",
      protocol_, realm);
}
