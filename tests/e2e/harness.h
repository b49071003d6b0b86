// End-to-end harness: runs the real telmond binary in a temporary working directory with free
// ports, and gives tests raw UDP sockets on chosen loopback source addresses.
//
//   e2e::telmond_options o;
//   o.settings["log_level"] = "9";                 // extra pbx.xml settings
//   e2e::telmond_process t(o);
//   ASSERT_TRUE(t.start());                        // waits until it answers STUN on SIP UDP
//   e2e::udp_peer phone("127.0.0.23");             // its own source address
//   phone.send_to("127.0.0.1", t.ports().sip_udp, bytes);
//   ASSERT_TRUE(t.wait_for_log("REGISTER", 5000));
//   t.stop();                                      // also done by the destructor
//
// Every process the harness starts is stopped by stop() or the destructor (the whole process
// group, so a daemonised child goes too). The working directory is removed afterwards unless
// the environment variable TELMOND_E2E_KEEP is set.
#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class tls_session;

namespace e2e {

// Ports written into pbx.xml, all free on the machine when chosen.
struct telmond_ports {
  int sip_udp = 0, sip_tcp = 0, sip_tls = 0, http = 0, https = 0, tftp = 0, snmp = 0, ldap = 0;
  std::array<int*, 8> all() {
    return {&sip_udp, &sip_tcp, &sip_tls, &http, &https, &tftp, &snmp, &ldap};
  }
};

struct telmond_options {
  // The program to run: telmond when empty, or another program built on the daemon.
  std::string binary;
  // Extra command-line arguments (after --dir <dir>, and --no-daemon unless daemon is set).
  std::vector<std::string> args;
  // pbx.xml settings by name; they override the harness's (the ports and log_level 9).
  std::map<std::string, std::string> settings;
  // Files to place in the working directory before start (relative path -> content).
  std::map<std::string, std::string> files;
  // Run as a daemon (no --no-daemon); start() then passes --pidfile <dir>/telmond.pid and
  // follows the daemon through the pid file.
  bool daemon = false;
  // start() waits until the SIP UDP port answers a STUN Binding Request.
  bool wait_until_serving = true;
  // Milliseconds start() waits for that.
  int start_timeout_ms = 15000;
  // start() links the prompts, tones and music on hold into the working directory first
  // (link_prompts below), so the daemon finds its audio languages as `make run` gives them.
  bool prompts = false;

  // Starts from share/default-config.xml (domain localhost, extensions 100 to 105 with the
  // passwords sip100 ...), as `make run` does, with the configuration rows appended.
  void use_default_config(const std::string& rows = "");
  // Adds a white access-list row for address/mask, so that test callers sending more
  // unauthenticated requests than the blocking allows are not blocked (a black one: !white).
  void allow(const std::string& address, int mask, bool white = true);
};

class telmond_process {
 public:
  explicit telmond_process(telmond_options o = telmond_options());
  ~telmond_process();
  telmond_process(const telmond_process&) = delete;
  telmond_process& operator=(const telmond_process&) = delete;

  // Creates the directory and pbx.xml, starts the binary and (by default) waits until it
  // serves. False (with the reason in error()) when it could not start or ended early.
  bool start();
  // start(), then waits until the default configuration's extension 100 exists: where every
  // phone's journey begins (with use_default_config()).
  bool start_with_accounts();
  // Stops the process and starts it again in the same directory on the same ports, with the
  // files as they are now (pbx.xml is not written again): a restart as an operator does one.
  bool restart(bool wait_until_serving = true);
  // Stops every process started (SIGTERM, then SIGKILL after 3 s) and reaps them.
  void stop();
  // The exit status of the started process once it has ended within timeout_ms; -1 while it
  // still runs, -2 when it ended by a signal. For a daemon this is the parent's status.
  int wait_exit(int timeout_ms);
  bool running();

  const std::string& dir() const { return dir_; }
  const telmond_ports& ports() const { return ports_; }
  // The process serving (the daemon's child in daemon mode; 0 when unknown).
  pid_t pid() const { return daemon_pid_ ? daemon_pid_ : pid_; }
  const std::string& error() const { return error_; }

  // Contents of a file of the working directory ("" when missing).
  std::string read_file(const std::string& relative) const;
  bool file_exists(const std::string& relative) const;
  // Every file in a folder of the working directory (the tables, certificates, recordings;
  // not sipp's folders), by relative path: what the next start of a restored copy is given.
  std::map<std::string, std::string> tables() const;
  // Everything the process wrote to stderr so far.
  std::string stderr_text() const { return read_file("stderr.txt"); }
  // stderr and today's log file: for failure messages and log checks.
  std::string log() const { return stderr_text() + read_file(daily_log_name()); }
  // Today's log file name ("log-YYYY-MM-DD.txt", local date).
  static std::string daily_log_name();
  // Waits until text appears in stderr or in a log-*.txt file of the working directory.
  bool wait_for_log(const std::string& text, int timeout_ms);
  // Waits until a file exists and contains text (any text when empty).
  bool wait_for_file(const std::string& relative, const std::string& text, int timeout_ms);
  // Waits until a file no longer exists.
  bool wait_until_gone(const std::string& relative, int timeout_ms);

 private:
  bool write_config();
  bool launch();  // spawns the binary in dir_ and waits as options_ say
  telmond_options options_;
  telmond_ports ports_;
  std::string dir_;
  std::string error_;
  pid_t pid_ = 0;
  pid_t daemon_pid_ = 0;
  int exit_status_ = -1;
  bool reaped_ = false;
  int port_retries_ = 0;  // start() again after a port was taken by someone else
};

// Links the audio files of scripts/make-prompts into the working directory dir: every audio_*
// folder and moh.wav, as symbolic links into one cache under the build directory. The first
// call of a test process runs the script on the cache (it makes only what is missing, so only
// the first test of a fresh build waits, about 10 s); later calls only link. The links lead into
// the shared cache: nothing may be written through them. False with the reason in error when
// the script fails (espeak-ng or sox missing) or a link cannot be made.
bool link_prompts(const std::string& dir, std::string& error);

// A sipp scenario for a request that is challenged once: method (REGISTER to the server,
// anything else to the user [field0]) with headers (sipp's lines after Call-ID and CSeq, body
// included) is answered 401 and sent again with the credentials of the users.csv line; then
// come the steps of rest (the <recv> of the final answer and what follows).
std::string sipp_challenged(const std::string& method, const std::string& headers,
                            const std::string& rest);
// A challenged REGISTER of contact for expires seconds whose final answer must be final_code
// and pass the sipp <action> checks, which assign the variables.
std::string sipp_register(const std::string& contact = "<sip:[field0]@[local_ip]:[local_port]>",
                          const std::string& expires = "3600", int final_code = 200,
                          const std::string& checks = "", const std::string& variables = "");
// A sipp step that answers the request just received with 200.
extern const char* const sipp_answer_ok;
// Runs sipp from source_ip (local port local_port, a free one when 0) against t with the
// scenario, one users.csv line (none when empty) and more arguments for `calls` calls one
// after the other, over TCP or UDP, in <dir>/sipp-<name> (sipp.out holds its output); its exit
// status, 0 when every call succeeded.
int run_sipp(const telmond_process& t, const std::string& name, const std::string& source_ip,
             const std::string& scenario, const std::string& user_line, int calls = 1,
             bool tcp = false, int local_port = 0, const std::string& args = "");

// A UDP socket bound to source_ip (any 127.0.0.x works) and port (0: ephemeral).
class udp_peer {
 public:
  explicit udp_peer(const std::string& source_ip = "127.0.0.1", int port = 0);
  ~udp_peer();
  udp_peer(const udp_peer&) = delete;
  udp_peer& operator=(const udp_peer&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  const std::string& ip() const { return ip_; }
  bool send_to(const std::string& ip, int port, const std::string& bytes);
  // Waits at most timeout_ms for one datagram.
  bool receive(std::string& bytes, int timeout_ms, std::string* from_ip = nullptr,
               int* from_port = nullptr);

 private:
  int fd_ = -1;
  int port_ = 0;
  std::string ip_;
};

// A TCP client connection from a chosen loopback source address.
class tcp_client {
 public:
  tcp_client() = default;
  ~tcp_client();
  tcp_client(const tcp_client&) = delete;
  tcp_client& operator=(const tcp_client&) = delete;

  // Connects to ip:port from source_ip (ephemeral source port); false when refused.
  bool connect(const std::string& ip, int port, const std::string& source_ip = "127.0.0.1");
  bool send(const std::string& bytes);
  // Appends whatever arrives within timeout_ms to received(); false on time-out or close.
  bool receive(int timeout_ms);
  // Receives until received() contains text; false on time-out or when the peer closed first.
  bool receive_until(const std::string& text, int timeout_ms);
  // True once the peer has closed (a read returned 0).
  bool peer_closed() const { return closed_; }
  const std::string& received() const { return received_; }
  void close();
  // Runs a TLS client handshake (no certificate check) on the connection within timeout_ms;
  // from then on send() and received() carry the plain text.
  bool start_tls(int timeout_ms);

 private:
  bool send_raw(const std::string& bytes);

  int fd_ = -1;
  bool closed_ = false;
  std::string received_;
  std::shared_ptr<tls_session> tls_;
};

// Whether done() holds, asked at once and every 20 ms until timeout_ms passed.
bool eventually(int timeout_ms, const std::function<bool()>& done);
// True while the process runs (a zombie counts as ended).
bool process_alive(pid_t pid);

// A port that is free for both UDP and TCP on all addresses right now.
int free_port();
// The whole content of a file ("" when it cannot be read).
std::string slurp(const std::string& path);
// What a shell command writes to stdout; its exit status into status when given.
std::string output_of(const std::string& command, int* status = nullptr);
// SIP message texts as peers of the tests read them: the value of the first header line named
// name ("" when none), the start line, and the last group of the first match of the regular
// expression re in text ("" when none).
std::string header_of(const std::string& message, const std::string& name);
std::string first_line(const std::string& message);
std::string match(const std::string& text, const std::string& re);
// True once a STUN Binding Request to the UDP port on 127.0.0.1 is answered within timeout_ms
// (asked again every 100 ms): the daemon serves SIP datagrams there.
bool stun_answered_on(int port, int timeout_ms);

}  // namespace e2e
