#include "frame/options.h"

#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "base/version.h"
#include "frame/settings.h"

std::atomic<bool> daemon_profile{true};
std::atomic<bool> check_ports{true};
std::atomic<bool> flash_operation{false};
std::atomic<bool> use_system_ipv4{true};
std::atomic<bool> use_system_ipv6{true};
std::atomic<bool> system_ipv4{true};
std::atomic<bool> system_ipv6{true};
str http_root;

namespace {

bool real_change_dir(const str& dir) { return chdir(dir.c_str()) == 0; }

}  // namespace

str normalize_http_dir(const str& dir) {
  if (dir.ends_with(str("/")) || dir.ends_with(str("\\"))) return dir;
  return dir + (dir.contains_char('\\') ? "\\" : "/");
}

parse_status parse_command_line(int argc, const char* const* argv, command_line& out,
                                str& bad_argument, change_dir_fn change_dir) {
  if (!change_dir) change_dir = real_change_dir;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    bool has_value = i + 1 < argc;
    auto is = [a](const char* name) { return std::strcmp(a, name) == 0; };
    if (is("--http-port") && has_value) {
      out.http_port = str(argv[++i]);
    } else if (is("--https-port") && has_value) {
      out.https_port = str(argv[++i]);
    } else if (is("--http-dir") && has_value) {
      out.has_http_root = true;
      out.http_root = normalize_http_dir(str(argv[++i]));
    } else if (is("--log") && has_value) {
      out.log_level = str(argv[++i]).value();
    } else if (is("--config") && has_value) {
      out.has_config = true;
      out.config = str(argv[++i]);
    } else if (is("--pidfile") && has_value) {
      out.pid_file = str(argv[++i]);
    } else if (is("--default") && has_value) {
      out.has_default = true;
      out.default_file = str(argv[++i]);
    } else if (is("--dir") && has_value) {
      str dir(argv[++i]);
      if (!dir.empty() && !change_dir(dir)) {
        log_printf(log_general, 0, "Could not change directory to %s", dir);
      }
    } else if (is("--no-daemon")) {
      out.daemon = false;
    } else if (is("--no-check-ports")) {
      out.check_ports = false;
    } else if (is("--flash")) {
      out.flash = true;
    } else if (is("--ipv4") && has_value) {
      out.ipv4 = str(argv[++i]).icmp("true");
    } else if (is("--ipv6") && has_value) {
      out.ipv6 = str(argv[++i]).icmp("true");
    } else if (is("--version")) {
      return parse_status::version;
    } else {
      bad_argument = str(a);
      return parse_status::error;
    }
  }
  return parse_status::ok;
}

str usage_text() {
  static const char* const lines[] = {
      "usage: telmond",
      "--no-daemon: Do not detach from tty",
      "--dir <dir>: Set root directory",
      "--http-port <n>: set http port",
      "--https-port <n>: set https port",
      "--http-dir <dir>: Set http dir",
      "--version: report version",
      "--log: Set log level",
      "--no-check-ports: Don't check ports during startup",
      "--flash: Assume slow file system",
      "--ipv4 <true|false>: Use IPv4",
      "--ipv6 <true|false>: Use IPv6",
      "--config <f>: read configuration from file f",
      "--pidfile <f>: Write PID to file f",
      "--default <f>: read default config from file f",
  };
  str out;
  for (const char* l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

str version_text() { return str("Version: ") + TELMOND_VERSION + "\n"; }

str parse_error_text(const str& arg) { return str::sprintf("Error parsing %s\n", arg); }

void apply_command_line_flags(const command_line& cl) {
  daemon_profile = cl.daemon;
  check_ports = cl.check_ports;
  flash_operation = cl.flash;
  use_system_ipv4 = cl.ipv4;
  use_system_ipv6 = cl.ipv6;
  if (cl.has_http_root) http_root = cl.http_root;
  if (cl.has_config) config_file = cl.config;
  if (cl.has_default) default_file = cl.default_file;
}
