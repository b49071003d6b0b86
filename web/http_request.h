// http_request: one TCP or TLS connection of the web server, as the bytes of the connection
// see it. The connection thread (web_server.h) feeds the received (decrypted) bytes into
// on_input and sends what take_output returns; the object never touches a socket, so a test
// drives it with scripted bytes and reads the exact response bytes.
//
// Input modes: the first non-blank byte decides. An upper-case letter starts HTTP; a "<" first
// or ninth (after an eight-byte prefix) starts the XML stream. HTTP requests are framed by the
// empty line and Content-Length (or its compact form "l"); every complete request in the
// buffer is answered, in order. A connection holds at most 1 MiB of unconsumed input, or
// max_tcp_length bytes once a request carries a system administrator's session cookie.
//
// ctrl side: every call runs under ctrl_run_mutex. The delay after a wrong password goes
// through http_env::pause when one is given; without one (the daemon's event loops) the
// request is suspended instead: pending_pause() tells the caller how long to wait, and
// resume() then produces the answer and goes on with the requests received meanwhile.
#pragma once

#include <cstdint>
#include <memory>

#include "base/ip_port.h"
#include "base/str.h"
#include "web/web_request.h"

// What a connection takes from its surroundings; the defaults are the daemon's.
struct http_env {
  // The web folder (pages, templates and static files) and the recordings folder.
  str web_root = "web";
  str recordings_root = "recordings";
  // The files telephones fetch and upload (web/provisioning_paths.h).
  str tftp_root = "tftp";
  // Sleeps ms milliseconds with ctrl_run_mutex released; null: the request is suspended
  // instead (pending_pause, resume).
  void (*pause)(int ms) = default_pause;
  // The modification time of a file in Unix seconds, -1 when there is none.
  int64_t (*modified)(const str& path) = default_modified;

  static void default_pause(int ms);
  static int64_t default_modified(const str& path);
};

enum http_input_mode { mode_undetermined = 0, mode_http = 1, mode_xml = 2, mode_ldap = 3 };

class http_request {
 public:
  explicit http_request(const ip_port& peer, const http_env& env = http_env());

  // Bytes received. False when the connection must be dropped at once (too much input).
  bool on_input(const str& data);
  // The response bytes produced so far (and not yet taken).
  str take_output();
  // Set once a response was sent on a connection that closes after it.
  bool close_after_response() const { return close_; }
  int input_mode() const { return mode_; }
  // Complete requests (HTTP requests, XML elements) taken so far.
  int requests() const { return requests_; }
  // Milliseconds a suspended request waits before resume() (0: none is suspended). Input is
  // kept unanswered meanwhile.
  int pending_pause() const { return pause_ms_; }
  // Ends the suspension: the suspended request's answer, then the requests that arrived
  // meanwhile. The result is on_input's.
  bool resume();
  void set_input_mode(int mode) { mode_ = mode; }

  // One complete request: header block, empty line, body.
  void handle_packet(const str& packet);

  // ---- Response writers (all begin with the request's protocol text) --------------------------
  // A file of the web folder (name relative to it): 200 with its date, 304 when it has not
  // changed since if_modified_since, 404 when it cannot be read.
  void get_file(const str& name, const str& if_modified_since);
  // A generated body; last_modified 0: not cacheable.
  void send_file(const str& body, const str& content_type, int64_t last_modified, bool keep_alive);
  // A rendered page.
  void send_html_file(const str& body) { send_file(body, "text/html", 0, !close_); }
  // 302 to location, with the login cookie (a Set-Cookie value) when not empty.
  void redirect_file(const str& location, const str& set_cookie = str());
  // A status line with code and reason, type and body; 2xx records a successful
  // authentication of the peer's address.
  void return_result(int code, const str& reason, const str& content_type, const str& body);
  // status_line: "404 Not Found" etc.; message: the heading of the body (HTML, not escaped).
  void error(const str& status_line, const str& message);
  void challenge(const str& realm);

 private:
  void route(const str& packet);
  bool take_http_requests();
  void take_xml_elements();
  bool over_limit();
  void render_page(const str& name, web_request& r);
  void handle_login(web_request& r, const str& host);
  void send_rendered(web_request& r, const str& content_type);
  bool page_allowed(const str& name, const web_request& r);
  void finish_login(web_request& r, const str& id, bool readable);

  // A login with a wrong password waiting for its answer.
  struct suspended_login {
    web_request r;
    str id;
    bool readable = false;
  };

  ip_port peer_;
  http_env env_;
  int mode_ = mode_undetermined;
  str in_;
  str out_;
  str protocol_ = "HTTP/1.1";
  bool close_ = false;
  size_t limit_ = 1048576;
  int requests_ = 0;
  int pause_ms_ = 0;
  std::unique_ptr<suspended_login> suspended_;
};

// The MIME type of a file name by its extension (images, css, wav); "application/octet-stream"
// for anything else.
str get_content_type(const str& path);
// The type get_file sends: get_content_type plus pages, scripts and csv.
str get_file_content_type(const str& path);
