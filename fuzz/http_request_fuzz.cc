// libFuzzer target: the bytes of one web connection, fed in chunks split at every NUL byte, on
// an in-memory web folder. Whatever arrives, every answer starts with a status line of the
// request's protocol, nothing is answered after a close, and no session outlives the input.
#include <cstddef>
#include <cstdint>

#include "base/file_system.h"
#include "web/http_request.h"
#include "web/session.h"
#include "web/template.h"

// The pages render as their own text unless the template language is linked in.
__attribute__((weak)) void filter_file(const str& text, web_request& r) { r.out += text; }
__attribute__((weak)) str apply_form(const str&, web_request&) { return str(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static memory_file_system mfs;
  static scoped_file_system use(&mfs);
  mfs.files["web/a.htm"] = "<html>a</html>";
  mfs.files["web/logo.gif"] = "GIF89a";
  http_env env;
  env.pause = [](int) {};
  env.modified = [](const str&) -> int64_t { return 0; };
  http_request c(ip_port(ip_address_parse("127.0.0.1"), 1024), env);
  const str input(data, size);
  bool closed = false;
  for (size_t at = 0; at <= input.length();) {
    long nul = input.find('\0', at);
    size_t end = nul < 0 ? input.length() : static_cast<size_t>(nul);
    bool kept = c.on_input(input.substr(at, end - at));
    str out = c.take_output();
    if (!out.empty() && (closed || !out.starts_with("HTTP/"))) __builtin_trap();
    closed = closed || c.close_after_response() || !kept;
    at = end + 1;
  }
  while (!sessions.empty()) remove_session(sessions.begin()->first);
  return 0;
}
