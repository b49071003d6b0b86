// The command line of telmond: options, usage text and the process-wide flags they set.
//
// Options are matched exactly (whole argument, case-sensitive). An option that needs a value
// and is the last argument does not match and is reported like any unknown argument.
//
// Side-neutral (runs single-threaded at start-up).
#pragma once

#include <atomic>

#include "base/str.h"

// Process-wide flags (one byte each).
extern std::atomic<bool> daemon_profile;   // detach from the terminal (--no-daemon clears)
extern std::atomic<bool> check_ports;      // a SIP or HTTP/HTTPS port that fails is fatal
extern std::atomic<bool> flash_operation;  // slow file system (--flash)
extern std::atomic<bool> use_system_ipv4;  // --ipv4
extern std::atomic<bool> use_system_ipv6;  // --ipv6
extern std::atomic<bool> system_ipv4;      // copied after daemonising
extern std::atomic<bool> system_ipv6;      // copied, then replaced by the IPv6 probe
extern str http_root;                      // --http-dir, with its trailing separator

// What the command line asked for beyond the flags above (applied after the settings are
// loaded, or by main).
struct command_line {
  str http_port;   // --http-port: overrides ip_http_port when given (checked when opened)
  str https_port;  // --https-port: overrides ip_https_port when given
  int log_level = -1;  // --log: overrides log_level when >= 0
  bool has_config = false;
  str config;  // --config
  bool has_default = false;
  str default_file;  // --default
  str pid_file;      // --pidfile
  bool daemon = true;
  bool check_ports = true;
  bool flash = false;
  bool ipv4 = true;
  bool ipv6 = true;
  bool has_http_root = false;
  str http_root;
};

enum class parse_status { ok, version, error };

// Changes the working directory (the real one is chdir); tests replace it.
using change_dir_fn = bool (*)(const str& dir);

// Parses argv[1..argc-1]. --dir is applied at once through change_dir (failure logs "Could
// not change directory to %s" at level 0 and parsing goes on; an empty value is ignored).
// On error, bad_argument is the argument that did not parse. --version ends parsing.
parse_status parse_command_line(int argc, const char* const* argv, command_line& out,
                                str& bad_argument, change_dir_fn change_dir = nullptr);

// The web root with its separator: "/" appended unless it already ends in "/" or "\"; "\"
// instead when it contains a "\".
str normalize_http_dir(const str& dir);

// The usage block, every line ended by CR LF.
str usage_text();
// "Version: <version>\n".
str version_text();
// "Error parsing <arg>\n".
str parse_error_text(const str& arg);

// Copies the parsed flags into the process-wide flags above and the settings paths
// (config_file, default_file).
void apply_command_line_flags(const command_line& cl);
