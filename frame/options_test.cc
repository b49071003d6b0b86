#include "frame/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> dirs_changed;
bool fake_chdir(const str& d) {
  dirs_changed.push_back(std::string(d.view()));
  return d != "missing";
}

parse_status parse(std::vector<const char*> args, command_line& cl, str& bad) {
  args.insert(args.begin(), "telmond");
  return parse_command_line(static_cast<int>(args.size()), args.data(), cl, bad, fake_chdir);
}

// Every field of a parsed command line, in declaration order.
std::string describe(const command_line& c) {
  return std::string(str::sprintf("http=%s https=%s log=%d config=%d:%s default=%d:%s pid=%s "
                                  "daemon=%d check=%d flash=%d v4=%d v6=%d root=%d:%s",
                                  c.http_port, c.https_port, c.log_level, c.has_config, c.config,
                                  c.has_default, c.default_file, c.pid_file, c.daemon,
                                  c.check_ports, c.flash, c.ipv4, c.ipv6, c.has_http_root,
                                  c.http_root)
                         .view());
}

}  // namespace

// Every option in one command line ("true" in any case for --ipv4/--ipv6), and the defaults.
TEST(Options, ParsedFields) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--http-port", "8080",   "--https-port", "8443",       "--http-dir",  "/srv/www",
        "--log",       "9",      "--config",     "my.xml",     "--pidfile",   "/run/t.pid",
        "--default",   "d.tar",  "--dir",        "/var/lib/t", "--no-daemon", "--no-check-ports",
        "--flash",     "--ipv4", "TRUE",         "--ipv6",     "false"},
       "http=8080 https=8443 log=9 config=1:my.xml default=1:d.tar pid=/run/t.pid daemon=0 "
       "check=0 flash=1 v4=1 v6=0 root=1:/srv/www/"},
      {{},
       "http= https= log=-1 config=0: default=0: pid= daemon=1 check=1 flash=0 v4=1 v6=1 "
       "root=0:"},
      // A --dir that fails or is empty is no error.
      {{"--dir", "missing", "--dir", "", "--flash"},
       "http= https= log=-1 config=0: default=0: pid= daemon=1 check=1 flash=1 v4=1 v6=1 "
       "root=0:"}};
  dirs_changed.clear();
  for (const auto& [args, fields] : cases) {
    command_line cl;
    str bad;
    ASSERT_EQ(parse(args, cl, bad), parse_status::ok);
    EXPECT_EQ(describe(cl), fields);
  }
  EXPECT_EQ(dirs_changed, (std::vector<std::string>{"/var/lib/t", "missing"}));
}

// An option without its value and an unknown argument are errors naming that argument (the
// e2e test VersionAndParseErrors walks the text and exit status).
TEST(Options, UnknownArgumentsAndMissingValuesAreErrors) {
  auto error_of = [](std::vector<const char*> args) {
    command_line cl;
    str bad;
    return parse(args, cl, bad) == parse_status::error ? std::string(bad.view()) : "(no error)";
  };
  for (const char* opt : {"--http-port", "--https-port", "--http-dir", "--log", "--config",
                          "--pidfile", "--default", "--dir", "--ipv4", "--ipv6"})
    EXPECT_EQ(error_of({"--no-daemon", opt}), opt);
  for (const char* arg : {"--NO-DAEMON", "--no-daemon=1", "-v", "x", "", "--versions"})
    EXPECT_EQ(error_of({arg}), arg);
  EXPECT_EQ(parse_error_text(str("--log")), "Error parsing --log\n");
  command_line cl;
  str bad;  // --version ends the parsing; what it prints is FrameE2E.VersionAndParseErrors's
  EXPECT_EQ(parse({"--version", "--bogus"}, cl, bad), parse_status::version);
}

// A separator is added after a folder of either kind ("/srv/www" is ParsedFields').
TEST(Options, HttpDirSeparator) {
  for (auto [in, out] : {std::pair{"/srv/www/", "/srv/www/"}, {"c:\\web", "c:\\web\\"}})
    EXPECT_EQ(normalize_http_dir(str(in)), out) << in;
}

// Its first line is FrameE2E.VersionAndParseErrors's.
TEST(Options, UsageLinesEndInCrLf) {
  const std::string u(usage_text().view());
  EXPECT_TRUE(u.ends_with("--default <f>: read default config from file f\r\n"));
  EXPECT_EQ(std::count(u.begin(), u.end(), '\n'), 15);
  EXPECT_EQ(std::regex_replace(u, std::regex("\r\n"), "").find_first_of("\r\n"), std::string::npos);
}
