#include "web/web_server.h"

#include <errno.h>
#include <unistd.h>

#include <memory>

#include "base/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/settings.h"
#include "frame/threads.h"
#include "web/http_loops.h"

namespace {

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

void install_web_server() { set_http_serve(serve_http_connection); }

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
