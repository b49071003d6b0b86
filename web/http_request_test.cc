#include "web/http_request.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/digest.h"
#include "base/version.h"
#include "frame/settings.h"
#include "frame/timeout_test_util.h"
#include "pbx/address_list_table.h"
#include "pbx/pbx_test_util.h"
#include "web/ajax.h"
#include "web/http_date.h"
#include "web/session.h"
#include "web/template.h"
#include "web/web_server.h"

// Until the pages' template language is linked in, a page renders as its own text.
__attribute__((weak)) void filter_file(const str& text, web_request& r) { r.out += text; }
__attribute__((weak)) str apply_form(const str&, web_request&) { return str(); }

namespace {

using db_test::add_row;

const std::string date = "Date: Thu, 01 Jan 2026 00:00:00 GMT\r\n";
const std::string server = "Server: PBX/" TELMOND_VERSION " (Linux)\r\n";
const std::string keep = "Connection: Keep-Alive\r\nKeep-Alive: timeout=15\r\n";

std::string page(const std::string& status, const std::string& type, const std::string& body,
                 bool keep_alive = true) {
  return "HTTP/1.1 " + status + "\r\n" + date + "Content-Length: " + std::to_string(body.size()) +
         "\r\n" + server + (keep_alive ? keep : "") +
         "Cache-Control: no-cache\r\nContent-Type: " + type + "\r\n\r\n" + body;
}
std::string error_page(const std::string& status, const std::string& message) {
  std::string body = "<html><head>\r\n<title>Error</title>\r\n</head><body>\r\n<h1>" + message +
                     "</h1>\r\n<p>Please ask your system administrator to check the log "
                     "file.</p>\r\n</body></html>\r\n";
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\nCache-Control: "
         "no-store\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string redirect(const std::string& to, const std::string& cookie = "") {
  std::string body =
      "<html><head>\r\n<title>Redirect</title>\r\n</head><body>\r\nIf you don't get "
      "redirected automatically, please click <a href=\"" +
      to + "\">here</a>\r\n</body></html>\r\n";
  return "HTTP/1.1 302 Moved Temporarily\r\nLocation: " + to +
         "\r\nContent-Type: text/html\r\nCache-Control: no-cache\r\nCache-Control: no-store\r\n" +
         (cookie.empty() ? "" : "Set-Cookie: " + cookie + "\r\n") +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string robots = page("200 Ok", "text/plain", "User-agent: *\r\nDisallow: /\r\n");

class HttpRequestTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    log_level_max = 9;  // the capture puts the level back
    put("web/a.txt", "A");
    put("web/logo.gif", "GIF");
    put("web/login.htm", "login");
    env.pause = [](int) {};  // a wrong password waits without holding the test
    env.modified = [](const str& p) -> int64_t { return str::file_size(p) >= 0 ? 1767225000 : -1; };
  }
  void TearDown() override {
    while (!sessions.empty()) remove_session(sessions.begin()->first);
    call_test::TearDown();
  }
  // Feeds the chunks one by one; what was answered after each, joined by "|".
  std::string feed(const std::vector<std::string>& chunks, http_request* c = nullptr) {
    http_request own(ip_port(ip_address_parse("127.0.0.5"), 40000), env);
    if (!c) c = &own;
    std::string out;
    for (size_t i = 0; i < chunks.size(); i++) {
      bool kept = c->on_input(str(chunks[i]));
      out +=
          (i ? "|" : "") + std::string(kept ? "" : "DROP") + std::string(c->take_output().view());
    }
    return out;
  }
  static std::string login(const std::string& account, const std::string& password) {
    std::string body = "login_account=" + account + "&login_password=" + password;
    return "POST /login.htm HTTP/1.1\r\nHost: localhost:8080\r\nContent-Type: "
           "application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  http_env env;
  timeout_queue q;
  scoped_ctrl_context ctx{ctrl_context{pbx_test::record, &q}};
};

TEST_F(HttpRequestTest, Framing) {
  const std::string get_a = "GET /a.txt HTTP/1.1\r\n\r\n";
  const std::string big(100000, 'x');
  const struct {
    std::vector<std::string> chunks;
    std::string out;
  } cases[] = {
      {{"GET /robots.txt HTTP/1.1\r\n\r\n" + get_a}, robots + page("200 Ok", "text/plain", "A")},
      {{"\r\nPOST /a.txt HTTP/1.1\r\nl: 5\r\n\r\nab", "cd", "e"},
       "||" + page("200 Ok", "text/plain", "A")},
      {{"GET /a.txt HTTP/1.1\r\nContent-Length: -1\r\n\r\n"},
       error_page("400 Bad Request", "Invalid Content-Length")},
      {{"GET /a.txt HTTP/1.1\r\nContent-Length: 1x\r\n\r\n" + get_a},
       error_page("400 Bad Request", "Invalid Content-Length")},
      {{"GET /a.txt HTTP/1.1\r\nno colon here\r\n\r\n"}, page("200 Ok", "text/plain", "A")},
      {{"GET /a.txt HTTP/1.0\r\n\r\n" + get_a},
       "HTTP/1.0" + page("200 Ok", "text/plain", "A", false).substr(8)},
      {{"GET /" + big + " HTTP/1.1\r\n\r\n"},
       error_page("404 Not Found", "File " + big + " not found")},
      {{"GET /..%2fpbx.xml HTTP/1.1\r\n\r\n"}, error_page("400 Bad Request", "Invalid path")},
      {{"HEAD /robots.txt HTTP/1.1\r\n\r\n"}, robots.substr(0, robots.find("User-agent"))},
      {{"FETCH / HTTP/1.1\r\n\r\n"},
       "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 29\r\n\r\n"
       "<html>Unknown request</html>\n"},
      {{"GET /reg_index.htm HTTP/1.1\r\n\r\n"}, redirect("/login.htm")},
      {{std::string(1048576, 'G'), "E"}, "|DROP"},
      {{" 12345678<MakeCall><a/></Make", "Call><Foo/>"}, "|"},
  };
  for (const auto& c : cases) EXPECT_EQ(feed(c.chunks), c.out) << c.chunks[0].substr(0, 60);
  EXPECT_TRUE(log.contains("Received too long packet from 127.0.0.5:40000", 4));
  EXPECT_TRUE(log.contains("Unsupported CSTA request MakeCall", 6));
  EXPECT_TRUE(log.contains("Unsupported CSTA request Foo", 6));
}

TEST_F(HttpRequestTest, ResponseWriters) {
  http_request c(ip_port(ip_address_parse("127.0.0.5"), 40000), env);
  const std::string file_head = "HTTP/1.1 200 Ok\r\n" + date + server + keep +
                                "Last-Modified: Wed, 31 Dec 2025 23:50:00 GMT\r\n"
                                "Cache-Control: public\r\nContent-Type: ";
  const struct {
    std::function<void()> call;
    std::string out;
  } cases[] = {
      {[&] { c.get_file("logo.gif", ""); },
       file_head + "image/gif\r\nContent-Length: 3\r\n\r\nGIF"},
      {[&] { c.get_file("logo.gif", "Thu, 01 Jan 2026 00:00:00 GMT"); },
       "HTTP/1.1 304 Not Modified\r\n" + date + server + keep + "\r\n"},
      {[&] { c.get_file("logo.gif", "Wed, 31 Dec 2025 23:00:00 GMT"); },
       file_head + "image/gif\r\nContent-Length: 3\r\n\r\nGIF"},
      {[&] { c.get_file("x<.js", ""); }, error_page("404 Not Found", "File x&lt;.js not found")},
      {[&] { c.send_file("b", "", 1767225600, false); },
       "HTTP/1.1 200 Ok\r\n" + date + "Content-Length: 1\r\n" + server +
           "Last-Modified: Thu, 01 Jan 2026 00:00:00 GMT\r\nCache-Control: public\r\n\r\nb"},
      {[&] { c.return_result(201, "Created", "text/plain", "ok"); },
       "HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok"},
      {[&] { c.challenge("pbx"); },
       "HTTP/1.1 401 Unauthorized\r\nWww-Authenticate: Basic REALM=\"pbx\"\r\nContent-Type: "
       "text/plain\r\nContent-Length: 22\r\n\r\nUnauthorized request\r\n"},
      {[&] { c.redirect_file("/a", "session=x"); }, redirect("/a", "session=x")},
  };
  const str peer = ip_address_parse("127.0.0.5");
  authentication_result(clock_now(), peer, false, "web");
  ASSERT_EQ(bw_failure_count(peer), 1);
  for (const auto& t : cases) {
    t.call();
    EXPECT_EQ(std::string(c.take_output().view()), t.out);
  }
  EXPECT_EQ(bw_failure_count(peer), 0);  // the 201 counts as a success of the address
  EXPECT_TRUE(log.contains("Webserver: Could not read file x<.js"));
}

// The dates of the headers and If-Modified-Since are ResponseWriters'; the types of the files
// served, each with one of its own.
TEST_F(HttpRequestTest, DatesAndTypes) {
  for (const auto& [t, text] : {std::pair<int64_t, const char*>{0, "Thu, 01 Jan 1970 00:00:00 GMT"},
                                {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"}}) {
    int64_t back = -1;
    EXPECT_TRUE(http_date(t) == text && http_date_parse(text, back) && back == t) << text;
  }
  int64_t t;
  EXPECT_FALSE(http_date_parse("Tue, 29 Foo 2000 00:00:00 GMT", t));
  EXPECT_EQ(http_date_now(60), "Thu, 01 Jan 2026 00:01:00 GMT");
  const std::pair<const char*, const char*> types[] = {{"a.GIF", "image/gif"},
                                                       {"a.html", "text/html"},
                                                       {"a.csv", "application/csv;charset=utf-8'"},
                                                       {"a.js", "application/x-javascript"},
                                                       {"a.png", "application/octet-stream"}};
  for (const auto& [name, type] : types) EXPECT_EQ(get_file_content_type(name), type) << name;
  EXPECT_EQ(get_content_type("a.js"), "application/octet-stream");
}

TEST_F(HttpRequestTest, LoginRules) {
  extensions.set(extension_row(add_extension("40")), extensions_web_password, "w40");
  const int admin = extension_row(add_extension("41"));
  extensions.set(admin, extensions_web_password, md5_hex("w41"));
  extensions.set(admin, extensions_admin, "true");
  const struct {
    const char *pw_pass, *account, *password, *type;
    int result;  // session type, -1 refused
  } cases[] = {
      // clang-format off
      {"", "admin", "", "auto", 0}, {"", "admin", "x", "auto", -1}, {"", "root", "", "auto", -1},
      {"", "admin", "", "user", -1}, {"", "40", "w40", "auto", 2}, {"", "40", "", "auto", -1},
      {"d41d8cd98f00b204e9800998ecf8427e", "admin", "", "system", -1},
      {"9DD4E461268C8034F5C8564E155C67A6", "admin", "x", "", 0},
      {"9dd4e461268c8034f5c8564e155c67a6", "admin", "", "auto", -1},
      {"", "40", "w40", "system", -1}, {"", "40", "w40", "domain", -1},
      {"", "41", "w41", "auto", 1}, {"", "41", "w41", "user", 2},
      // clang-format on
  };
  for (const auto& c : cases) {
    ctrl_write_setting(ctrl_settings::pw_pass, c.pw_pass);
    session s;
    bool ok = login_session(c.account, c.password, c.type, "localhost", s);
    EXPECT_EQ(ok ? s.type : -1, c.result) << c.pw_pass << " " << c.account << " " << c.type;
  }
}

TEST_F(HttpRequestTest, WrongPasswordWaitsAndCookieRestores) {
  extensions.set(extension_row(add_extension("40")), extensions_web_password, "w40");
  // The answer's delay and text in a browser: BrowserTest.WrongPasswordWaitsWhileOthersAreServed.
  env.pause = [](int) { remove_session(sessions.begin()->first); };
  EXPECT_EQ(feed({login("40", "bad")}), page("200 Ok", "text/html", "login"));
  EXPECT_TRUE(log.contains("Session expired during waiting"));

  // Without a pause the request is suspended; the requests behind it wait for its answer.
  env.pause = nullptr;
  http_request c(ip_port(ip_address_parse("127.0.0.5"), 40000), env);
  EXPECT_EQ(feed({login("40", "bad") + "GET /robots.txt HTTP/1.1\r\n\r\n",
                  "GET /robots.txt HTTP/1.0\r\n\r\n"},
                 &c),
            "|");
  EXPECT_EQ(c.pending_pause(), 5000);
  EXPECT_TRUE(c.resume());
  EXPECT_EQ(c.take_output().view(),
            page("200 Ok", "text/html", "login") + robots + "HTTP/1.0" +
                page("200 Ok", "text/plain", "User-agent: *\r\nDisallow: /\r\n", false).substr(8));
  EXPECT_TRUE(c.close_after_response());
  EXPECT_TRUE(sessions.empty());

  std::string answer = feed({login("40", "w40")});
  ASSERT_EQ(sessions.size(), 1u);
  const str id = sessions.begin()->first;
  const std::string value =
      std::string(id.view()) + " 40 user " + std::string(md5_hex("40:w40:" + id).view());
  EXPECT_EQ(answer, redirect("/usr_index.htm", "session=" + value +
                                                   "; expires=Sat, 31 Jan 2026 00:00:00 GMT; "
                                                   "path=\"/\""));
  put("web/usr_a.txt", "mine");
  const std::string get = "GET /usr_a.txt HTTP/1.1\r\nHost: localhost\r\nCookie: a=b; session=";
  const std::string mine = page("200 Ok", "text/plain", "mine"), to_login = redirect("/login.htm"),
                    who = std::string(id.view()) + " 40 ";
  const std::pair<std::string, std::string> cookies[] = {
      // clang-format off
      {value, mine}, {value.substr(1), to_login},  // the latter: an identifier of 19 characters
      {who + " x", to_login},
      {who + "user " + std::string(md5_hex("40:w41:" + id).view()), to_login},
      // clang-format on
  };
  remove_session(id);
  for (const auto& [cookie, out] : cookies) {
    EXPECT_EQ(feed({get + cookie + "\r\n\r\n"}), out) << cookie;
    while (!sessions.empty()) remove_session(sessions.begin()->first);
  }
  EXPECT_TRUE(log.contains("Restoring existing session " + std::string(id.view()), 5));
  EXPECT_TRUE(log.contains("Session could not be restored", 5));
}

// SOAP needs a trusted address and a session; a session ends after an hour without requests.
TEST_F(HttpRequestTest, SoapAndSessionTimeout) {
  session user;
  user.type = session_user;
  setup_session(user, "u2345678901234567890");
  EXPECT_EQ(web_sessions, 1);
  const std::string cookie = "Cookie: session=u2345678901234567890\r\n";
  const std::string soap = "POST /soap HTTP/1.1\r\nContent-Type: text/xml; charset=utf-8\r\n";
  ctrl_write_setting(ctrl_settings::soap_trusted_ip, "127.0.0.1 10.0.0.0/8");
  const std::string refused = error_page("403 Forbidden", "SOAP request refused");
  EXPECT_EQ(feed({soap + "\r\n"}) + feed({soap + "Cookie: session=gone\r\n\r\n"}),
            refused + refused);
  EXPECT_EQ(feed({soap + cookie + "\r\n"}).substr(0, 15), "HTTP/1.1 200 Ok");
  EXPECT_TRUE(log.contains("SOAP: Request from untrusted IP address 127.0.0.5"));
  EXPECT_TRUE(log.contains("SOAP: Request from IP address 127.0.0.5 without a session"));

  clock.advance_ms(3599000);
  feed({"GET /a.txt HTTP/1.1\r\n" + cookie + "\r\n"});  // refreshes the idle timer
  clock.advance_ms(3599000);
  run_due(q);
  EXPECT_NE(find_session("u2345678901234567890"), nullptr);
  clock.advance_ms(1000);
  run_due(q);
  EXPECT_TRUE(find_session("u2345678901234567890") == nullptr && web_sessions == 0);
  EXPECT_TRUE(log.contains("Remove http session u2345678901234567890", 8));
}

// An administrator may send a large body (a backup to restore). The copy of the shipped pages
// that keeps the operator's edited ones: WebTest (its own login.htm served) and BrowserTest.
TEST_F(HttpRequestTest, InputLimitForAnAdministrator) {
  session admin;
  admin.type = session_system_admin;
  setup_session(admin, "a2345678901234567890");
  http_request c(ip_port(ip_address_parse("127.0.0.5"), 40000), env);
  const std::string head = "POST /a.txt HTTP/1.1\r\nCookie: session=a2345678901234567890\r\n";
  EXPECT_EQ(feed({head, std::string(1048576, 'x')}, &c), "|");
}

}  // namespace

// The fixed names (messages, recordings, certificate, domain archive) by session, and the
// provisioning paths, where phones fetch their files and, when allowed, store logs; a request
// from a server like us is a loop. A domain administrator's archive and the pages above his
// level: BrowserTest.DomainAdministratorStaysInHisDomain.
TEST_F(HttpRequestTest, FixedNamesAndProvisioning) {
  const int a = add_extension("40"), b = add_extension("41");
  extensions.set(extension_row(a), extensions_web_password, "w40");
  int m[2];
  for (int i : {0, 1})
    m[i] = add_row(messages, {{messages_user, id_text(i ? b : a)},
                              {messages_type, "vmail"},
                              {messages_filename, i ? "recordings/b.wav" : "recordings/a.wav"}});
  put("recordings/a.wav", "A");
  put("recordings/b.wav", "B");
  put("recordings/name-" + std::to_string(a) + ".wav", "N");
  put("recordings/greeting-" + std::to_string(a) + "-2.wav", "G");
  put("tftp/phone.cfg", "cfg");
  add_row(certificates, {{certificate_type, "sip"}, {certificate_public, "PEM"}});
  session s;
  s.vars = {{"user", id_text(a)}, {"domain", id_text(domain)}};
  setup_session(s, "u2345678901234567890");
  s.type = session_domain_admin;
  setup_session(s, "d2345678901234567890");
  const std::string user = "u", admin = "d", none = "-", us = "us", ma = std::to_string(m[0]),
                    mb = std::to_string(m[1]), wav = "audio/wav", cfg = "application/octet-stream";
  const auto missing = [](const char* name) {
    return error_page("404 Not Found", std::string("File ") + name + " not found");
  };
  const std::string denied =
      error_page("403 Permission Denied", "Please log in with the appropriate permissions");
  EXPECT_EQ(feed({"PUT /prov/log.txt HTTP/1.1\r\nContent-Length: 2\r\n\r\nup"}),
            error_page("403 Forbidden", "Telephones may not write files here"));
  ctrl_write_setting(ctrl_settings::tftp_write, "true");
  // clang-format off
  const struct { std::string who, request, body, want; } cases[] = {
      {user, "GET /message.wav?id=" + ma, "", page("200 Ok", wav, "A")},
      {user, "GET /message.wav?id=" + mb, "", missing("message.wav")},
      {none, "GET /message.wav?id=" + ma, "", denied},
      {admin, "GET /message.wav?id=" + ma + "&account=" + std::to_string(a), "",
       page("200 Ok", wav, "A")},
      {user, "GET /playback.wav", "", page("200 Ok", wav, "N")},
      {user, "GET /playback.wav?greeting=2", "", page("200 Ok", wav, "G")},
      {user, "GET /playback.wav?greeting=3", "", missing("playback.wav")},
      {none, "GET /post.htm?user=40&pass=w40&file=msg" + ma, "", page("200 Ok", wav, "A")},
      {none, "GET /post.htm?user=40&pass=w40&file=msg" + mb, "", missing("post.htm")},
      {none, "GET /post.htm?user=40&pass=w41&file=name", "", denied},
      {none, "GET /certificate.cert", "", page("200 Ok", "application/x-x509-ca-cert", "PEM")},
      {user, "GET /domain.tar", "", denied},
      {user, "GET /recordings/1/m.wav", "", denied},
      {none, "GET /prov/phone.cfg", "", page("200 Ok", cfg, "cfg")},
      {none, "GET /tftp/phone.cfg", "", page("200 Ok", cfg, "cfg")},
      {none, "GET /provisioning/none.cfg", "", missing("provisioning/none.cfg")},
      {us, "GET /x.cgi?mac=1", "", error_page("500 Loop Detected", "Request would create a loop")},
      {none, "PUT /prov/logs/log.txt", "hello", page("200 Ok", "text/plain", "")},
      {none, "PUT /prov/c:x", "x", missing("prov/c:x")},
      {none, "PUT /prov/http://h/x", "x", missing("prov/http://h/x")},
      {none, "PUT /prov/.x", "x", missing("prov/.x")},
      {none, "PUT /prov/a/..b", "x", missing("prov/a/..b")},
  };
  // clang-format on
  for (const auto& t : cases) {
    const std::string who = t.who == us ? "User-Agent: PBX/" TELMOND_VERSION " (Linux)\r\n"
                            : t.who == none
                                ? ""
                                : "Cookie: session=" + t.who + "2345678901234567890\r\n";
    EXPECT_EQ(
        feed({t.request + " HTTP/1.1\r\nHost: localhost\r\n" + who +
              (t.body.empty() ? "" : "Content-Length: " + std::to_string(t.body.size()) + "\r\n") +
              "\r\n" + t.body}),
        t.want)
        << t.request;
  }
  EXPECT_TRUE(log.contains("Request would create a loop"));
  EXPECT_EQ(file("tftp/log.txt") + file("tftp/logs/log.txt"), "<missing>hello");
  EXPECT_TRUE(log.contains("PnP: Receive logs/log.txt:\nhello"));
}

// The AJAX actions by session level.
TEST_F(HttpRequestTest, AjaxActionsByLevel) {
  const int alice = add_extension("100"), bob = add_extension("101");
  add_extension("200");
  user_alias.set(user_alias.first(user_alias_user, id_text(alice)), user_alias_display_name,
                 "Alice");
  const int other = add_row(domains, {{domains_name, "other.example"}});
  const str a = id_text(add_row(trunks, {{trunks_name, "A"}, {trunks_reg_registrar, "a.b"}}));
  const int plan = add_row(dial_plan, {{dial_plan_name, "P"}, {dial_plan_domain, id_text(domain)}});
  for (const auto& [preference, trunk, pattern] :
       {std::tuple{"10", str("-"), "900*"}, {"20", a, "9*"}, {"30", str("+"), "1xx"}})
    add_row(dial_plan_entry, {{dial_plan_entry_id, id_text(plan)},
                              {dial_plan_entry_preference, preference},
                              {dial_plan_entry_trunk, trunk},
                              {dial_plan_entry_pattern, pattern}});
  for (const auto& [account, direction, party] :
       {std::tuple{alice, "i", "<sip:201@h>"}, {alice, "o", "<sip:0301@h>"}, {bob, "o", ""}})
    add_row(ext_cdr, {{ext_cdr_extension, id_text(account)},
                      {ext_cdr_direction, direction},
                      {direction == str("i") ? ext_cdr_from : ext_cdr_to, party}});

  const str d = id_text(domain);
  session sys{"s", session_system_admin, {}}, dom{"d", session_domain_admin, {{"domain", d}}},
      usr{"u", session_user, {{"domain", d}, {"user", id_text(alice)}}},
      foreign{"f", session_domain_admin, {{"domain", id_text(other)}}}, console{"c", 4, {}};
  const str p = "&dialplan=" + id_text(plan) + "&number=";
  // clang-format off
  const struct { session* s; str query; int code; str body; } cases[] = {
      {&usr, "get_user_type", 200, "user"},
      {&dom, "get_user_type&name=100", 200, "extensions"},
      {&usr, "get_user_id", 200, id_text(alice)},
      {&dom, "get_user_id&name=101", 200, id_text(bob)},
      {&dom, "verify_extension&number=100", 200, "taken"},
      {&sys, "verify_extension&number=101&domain=" + d, 200, "taken"},
      {&dom, "verify_extension&number=1 2", 200, "invalid"},
      {&foreign, "verify_extension&number=100&domain=" + d, 200, "free"},
      {&usr, "verify_extension&number=100", 403, ""},
      {&dom, "search_suggest&q=10", 200, "<option value=\"100\">100 (Alice)</option>\n"
                                         "<option value=\"101\">101</option>\n"},
      {&usr, "call_list", 200, "<tr class=\"missed\"><td></td><td>201</td></tr>\n"
                               "<tr class=\"dialed\"><td></td><td>0301</td></tr>\n"},
      {&dom, "dialplan_test" + p + "912345", 200, "trunk A <sip:12345@a.b;user=phone>"},
      {&dom, "dialplan_test" + p + "101", 200, "extension 101"},
      {&dom, "dialplan_test" + p + "900", 200, "none"},
      {&foreign, "dialplan_test" + p + "101", 200, ""},
      {&usr, "load_translation&keys=now,calls", 200, "now=now\ncalls=Calls\n"},
      {&console, "load_translation&keys=now", 403, ""},
      {&dom, "no_such", 404, "Unknown AJAX action no_such"},
  };
  // clang-format on
  for (const auto& c : cases) {
    web_request r;
    r.s = c.s;
    for (size_t i = 0; !c.query.get_field(i, '&').empty(); i++) {
      const str pair = c.query.get_field(i, '&'), name = pair.get_field(0, '=');
      r.args[i ? name : str("action")] = i ? pair.substr(name.length() + 1) : pair;
    }
    const ajax_answer got = ajax_action(r);
    EXPECT_EQ(str::sprintf("%d %s", got.code, c.code == 403 ? str() : got.body),
              str::sprintf("%d %s", c.code, c.body))
        << c.query.view();
  }
}
