#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "base/tls.h"
#include "base/xml_tree.h"

namespace e2e {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string make_temp_dir() {
  char tmpl[] = "/tmp/telmond-e2e-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? std::string(d) : std::string();
}

bool write_whole(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// Forks and execs the binary (telmond when empty) in dir with stdout/stderr to files there.
// The child gets a process group of its own so that stop() reaches everything it forks.
pid_t spawn(const std::vector<std::string>& args, const std::string& dir,
            const std::string& binary = "") {
  const std::string program = binary.empty() ? std::string(TELMOND_BINARY) : binary;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string out = dir + "/stdout.txt";
  std::string err = dir + "/stderr.txt";
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (chdir(dir.c_str()) != 0) _exit(127);
  int in_fd = open("/dev/null", O_RDONLY);
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(127);
  dup2(in_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

bool eventually(int timeout_ms, const std::function<bool()>& done) {
  for (auto deadline = steady_clock::now() + milliseconds(timeout_ms);;) {
    if (done()) return true;
    if (steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

// Reaps pid within timeout_ms: true with the exit status (-2: a signal) once it ended.
static bool reap(pid_t pid, int timeout_ms, int& status_out) {
  return eventually(timeout_ms, [&] {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == 0) return false;
    status_out = r == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -2;
    return true;
  });
}

// Running (a zombie whose parent has not reaped it yet counts as ended).
bool process_alive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  return close_paren == std::string::npos || close_paren + 2 >= stat.size() ||
         stat[close_paren + 2] != 'Z';
}

// ---- helpers ----

std::string header_of(const std::string& message, const std::string& name) {
  const size_t at = message.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  const size_t start = message.find_first_not_of(' ', at + name.size() + 3);
  return message.substr(start, message.find("\r\n", start) - start);
}

std::string first_line(const std::string& message) {
  return message.substr(0, message.find("\r\n"));
}

std::string match(const std::string& text, const std::string& re) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(re)) ? m[m.size() - 1].str() : "";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string output_of(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int rc = p ? pclose(p) : -1;
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

void telmond_options::use_default_config(const std::string& rows) {
  std::string& config = files["default-config.xml"] =
      slurp(std::string(TELMOND_SOURCE_DIR) + "/share/default-config.xml");
  config.insert(config.rfind("</Config>"), rows);
  args.push_back("--default");
  args.push_back("default-config.xml");
}

void telmond_options::allow(const std::string& address, int mask, bool white) {
  int row = 1;
  while (files.count("accesslist/" + std::to_string(row) + ".xml")) ++row;
  files["accesslist/" + std::to_string(row) + ".xml"] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row><adr>" + address + "</adr><mask>" +
      std::to_string(mask) + "</mask><type>" + (white ? "true" : "false") +
      "</type><reason>test</reason></row>";
}

int free_port() {
  for (int attempt = 0; attempt < 50; attempt++) {
    int t = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = 0;
    if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(t);
      continue;
    }
    socklen_t len = sizeof(a);
    getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    // The same number must be free for UDP too.
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    bool udp_ok = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(u);
    close(t);
    if (udp_ok) return port;
  }
  return 0;
}

std::string stun_binding_request(const std::string& transaction_id) {
  std::string tid = transaction_id;
  tid.resize(12, '\0');
  return std::string("\x00\x01\x00\x00\x21\x12\xa4\x42", 8) + tid;
}

// ---- udp_peer ----

udp_peer::udp_peer(const std::string& source_ip, int port) : ip_(source_ip) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || inet_pton(AF_INET, source_ip.c_str(), &a.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  socklen_t len = sizeof(a);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

udp_peer::~udp_peer() {
  if (fd_ >= 0) close(fd_);
}

bool udp_peer::send_to(const std::string& ip, int port, const std::string& bytes) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return false;
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
         static_cast<ssize_t>(bytes.size());
}

bool udp_peer::receive(std::string& bytes, int timeout_ms, std::string* from_ip, int* from_port) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[65536];
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return false;
  bytes.assign(buf, static_cast<size_t>(n));
  if (from_ip) {
    char t[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, t, sizeof(t));
    *from_ip = t;
  }
  if (from_port) *from_port = ntohs(a.sin_port);
  return true;
}

// ---- tcp_client ----

tcp_client::~tcp_client() { close(); }

void tcp_client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  tls_.reset();
}

bool tcp_client::start_tls(int timeout_ms) {
  tls_ = std::make_shared<tls_session>(tls_context::make_client());
  auto deadline = steady_clock::now() + milliseconds(timeout_ms);
  while (!tls_->established()) {
    if (!send_raw(std::string(tls_->take_output().view()))) return false;
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0 || tls_->get_state() == tls_session::state::failed ||
        !receive(static_cast<int>(left))) {
      return false;
    }
  }
  return send_raw(std::string(tls_->take_output().view()));
}

bool tcp_client::connect(const std::string& ip, int port, const std::string& source_ip) {
  close();
  closed_ = false;
  received_.clear();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in src{}, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  dst.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || inet_pton(AF_INET, source_ip.c_str(), &src.sin_addr) != 1 ||
      inet_pton(AF_INET, ip.c_str(), &dst.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof(src)) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) != 0) {
    close();
    return false;
  }
  return true;
}

bool tcp_client::send(const std::string& bytes) {
  if (!tls_) return send_raw(bytes);
  return tls_->write(str(bytes)) && send_raw(std::string(tls_->take_output().view()));
}

bool tcp_client::send_raw(const std::string& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool tcp_client::receive(int timeout_ms) {
  if (fd_ < 0 || closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[65536];
  ssize_t n = recv(fd_, buf, sizeof(buf), 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  if (!tls_) {
    received_.append(buf, static_cast<size_t>(n));
    return true;
  }
  tls_->on_input(str(buf, static_cast<size_t>(n)));
  received_ += std::string(tls_->take_plain().view());
  return send_raw(std::string(tls_->take_output().view()));
}

bool tcp_client::receive_until(const std::string& text, int timeout_ms) {
  auto deadline = steady_clock::now() + milliseconds(timeout_ms);
  while (received_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0 || !receive(static_cast<int>(left))) {
      return received_.find(text) != std::string::npos;
    }
  }
  return true;
}

// ---- telmond_process ----

telmond_process::telmond_process(telmond_options o) : options_(std::move(o)) {}

telmond_process::~telmond_process() {
  stop();
  if (!dir_.empty() && !getenv("TELMOND_E2E_KEEP")) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string telmond_process::daily_log_name() {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  char buf[32];
  strftime(buf, sizeof(buf), "log-%Y-%m-%d.txt", &local);
  return buf;
}

bool telmond_process::write_config() {
  std::map<std::string, std::string> s = {
      {"ip_sip_udp_port", std::to_string(ports_.sip_udp)},
      {"ip_sip_tcp_port", std::to_string(ports_.sip_tcp)},
      {"ip_sip_tls_port", std::to_string(ports_.sip_tls)},
      {"ip_http_port", std::to_string(ports_.http)},
      {"ip_https_port", std::to_string(ports_.https)},
      {"ip_tftp_port", std::to_string(ports_.tftp)},
      {"ip_snmp_port", std::to_string(ports_.snmp)},
      {"ip_ldap_port", std::to_string(ports_.ldap)},
      {"log_level", "9"},
  };
  for (const auto& [k, v] : options_.settings) s[k] = v;
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<pbx-config>";
  for (const auto& [k, v] : s) {
    xml += v.empty() ? "<" + k + "/>"
                     : "<" + k + ">" + std::string(txt2xml(str(v)).view()) + "</" + k + ">";
  }
  xml += "</pbx-config>";
  if (!write_whole(dir_ + "/pbx.xml", xml)) return false;
  for (const auto& [name, content] : options_.files) {
    if (!write_whole(dir_ + "/" + name, content)) return false;
  }
  return true;
}

bool telmond_process::start() {
  if (pid_) {
    error_ = "already started";
    return false;
  }
  dir_ = make_temp_dir();
  if (dir_.empty()) {
    error_ = "no temporary directory";
    return false;
  }
  std::array<int*, 8> all = ports_.all();
  for (int* p : all) {
    for (int tries = 0; tries < 20 && *p == 0; tries++) {
      int candidate = free_port();
      bool dup = false;
      for (int* q : all) dup = dup || (q != p && *q == candidate);
      if (!dup) *p = candidate;
    }
  }
  if (!write_config()) {
    error_ = "cannot write pbx.xml";
    return false;
  }
  if (options_.prompts && !link_prompts(dir_, error_)) return false;
  return launch();
}

bool telmond_process::restart(bool wait_until_serving) {
  options_.wait_until_serving = wait_until_serving;
  stop();
  pid_ = 0;
  daemon_pid_ = 0;
  reaped_ = false;
  exit_status_ = -1;
  port_retries_ = 3;  // the ports are the directory's own now
  return launch();
}

bool telmond_process::launch() {
  std::vector<std::string> args = {"--dir", dir_};
  if (!options_.daemon) {
    args.push_back("--no-daemon");
  } else {
    args.push_back("--pidfile");
    args.push_back(dir_ + "/telmond.pid");
  }
  args.insert(args.end(), options_.args.begin(), options_.args.end());
  pid_ = spawn(args, dir_, options_.binary);
  if (pid_ < 0) {
    pid_ = 0;
    error_ = "fork failed";
    return false;
  }
  if (options_.daemon) {
    // The parent ends at once after writing the pid file.
    if (wait_exit(options_.start_timeout_ms) != 0) {
      error_ = "daemon parent did not exit with 0";
      return false;
    }
    std::string pid_text = read_file("telmond.pid");
    daemon_pid_ = static_cast<pid_t>(atoi(pid_text.c_str()));
    if (daemon_pid_ <= 0) {
      error_ = "no pid file";
      return false;
    }
  }
  if (!options_.wait_until_serving) return true;
  auto deadline = steady_clock::now() + milliseconds(options_.start_timeout_ms);
  while (steady_clock::now() < deadline) {
    if (!running()) {
      error_ = "telmond ended during start-up; stderr: " + stderr_text();
      // A port taken between free_port() and the daemon's bind (by a test running in
      // parallel): start again on other ports, a few times.
      if (stderr_text().find("FATAL: Could not open") != std::string::npos && port_retries_ < 3) {
        port_retries_++;
        for (int* p : ports_.all()) *p = 0;
        pid_ = 0;
        reaped_ = false;
        exit_status_ = -1;
        return start();
      }
      return false;
    }
    if (stun_answered_on(ports_.sip_udp, 100)) return true;
  }
  error_ = "telmond did not answer STUN in time; stderr: " + stderr_text();
  return false;
}

bool stun_answered_on(int port, int timeout_ms) {
  return eventually(timeout_ms, [&] {
    udp_peer p("127.0.0.1");
    std::string answer;
    return p.send_to("127.0.0.1", port, stun_binding_request("answered-on")) &&
           p.receive(answer, 100) && answer.size() >= 20 && answer[0] == 1 && answer[1] == 1;
  });
}

bool telmond_process::running() {
  if (daemon_pid_) return process_alive(daemon_pid_);
  if (!pid_ || reaped_) return false;
  int st;
  if (reap(pid_, 0, st)) {
    reaped_ = true;
    exit_status_ = st;
    return false;
  }
  return true;
}

int telmond_process::wait_exit(int timeout_ms) {
  if (!pid_) return -1;
  if (!reaped_) {
    int st;
    if (!reap(pid_, timeout_ms, st)) return -1;
    reaped_ = true;
    exit_status_ = st;
  }
  return exit_status_;
}

void telmond_process::stop() {
  const auto daemon_gone = [&](int ms) {
    return eventually(ms, [&] { return !process_alive(daemon_pid_); });
  };
  if (daemon_pid_ && process_alive(daemon_pid_)) {
    kill(daemon_pid_, SIGTERM);
    if (!daemon_gone(3000)) kill(daemon_pid_, SIGKILL);
  }
  if (pid_ && !reaped_) {
    kill(pid_, SIGTERM);
    if (wait_exit(3000) == -1) {
      kill(pid_, SIGKILL);
      wait_exit(5000);
    }
  }
  // Anything else the process group still holds.
  if (pid_) kill(-pid_, SIGKILL);
  // The daemon is not our child (its parent exited): wait until it is gone.
  if (daemon_pid_) daemon_gone(5000);
}

std::string telmond_process::read_file(const std::string& relative) const {
  return dir_.empty() ? std::string() : slurp(dir_ + "/" + relative);
}

bool telmond_process::file_exists(const std::string& relative) const {
  struct stat st;
  return !dir_.empty() && stat((dir_ + "/" + relative).c_str(), &st) == 0;
}

bool telmond_process::wait_for_file(const std::string& relative, const std::string& text,
                                    int timeout_ms) {
  return eventually(timeout_ms, [&] {
    return file_exists(relative) && read_file(relative).find(text) != std::string::npos;
  });
}

std::map<std::string, std::string> telmond_process::tables() const {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec || !it->is_regular_file()) continue;
    std::string rel = fs::relative(it->path(), dir_).string();
    if (rel.find('/') == std::string::npos || rel.starts_with("sipp-")) continue;
    files[rel] = slurp(it->path().string());
  }
  return files;
}

bool telmond_process::wait_until_gone(const std::string& relative, int timeout_ms) {
  return eventually(timeout_ms, [&] { return !file_exists(relative); });
}

bool telmond_process::start_with_accounts() {
  if (!start()) return false;
  if (wait_for_file("user_alias/1.xml", "<name>100</name>", 5000)) return true;
  error_ = "the default configuration's extension 100 did not appear";
  return false;
}

const char* const sipp_answer_ok =
    "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
    "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";

std::string sipp_challenged(const std::string& method, const std::string& headers,
                            const std::string& rest) {
  const std::string head = method + (method == "REGISTER" ? " sip:" : " sip:[field0]@") +
                           "[remote_ip]:[remote_port] SIP/2.0\nVia: SIP/2.0/[transport] "
                           "[local_ip]:[local_port];branch=[branch];rport\n"
                           "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n"
                           "To: <sip:[field0]@localhost>\nCall-ID: [call_id]\n";
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"e2e\">\n"
         "<send retrans=\"500\"><![CDATA[\n" +
         head + "CSeq: 1 " + method + "\n" + headers +
         "]]></send>\n<recv response=\"401\" auth=\"true\"/>\n<send retrans=\"500\"><![CDATA[\n" +
         head + "CSeq: 2 " + method +
         "\n[authentication username=\"[field0]\" password=\"[field1]\"]\n" + headers +
         "]]></send>\n" + rest + "</scenario>\n";
}

std::string sipp_register(const std::string& contact, const std::string& expires, int final_code,
                          const std::string& checks, const std::string& variables) {
  return sipp_challenged(
      "REGISTER",
      "Contact: " + contact + "\nExpires: " + expires +
          "\nMax-Forwards: 70\nUser-Agent: sipp\nContent-Length: 0\n\n",
      "<recv response=\"" + std::to_string(final_code) + "\"><action>" + checks +
          "</action></recv>\n" +
          (variables.empty() ? "" : "<Reference variables=\"" + variables + "\"/>\n"));
}

int run_sipp(const telmond_process& t, const std::string& name, const std::string& source_ip,
             const std::string& scenario, const std::string& user_line, int calls, bool tcp,
             int local_port, const std::string& args) {
  const std::string dir = t.dir() + "/sipp-" + name;
  std::filesystem::create_directories(dir);
  write_whole(dir + "/scenario.xml", scenario);
  write_whole(dir + "/users.csv", "SEQUENTIAL\n" + user_line + "\n");
  const std::string cmd =
      "cd " + dir + " && timeout 30 sipp 127.0.0.1:" +
      std::to_string(tcp ? t.ports().sip_tcp : t.ports().sip_udp) + " -sf scenario.xml" +
      (user_line.empty() ? "" : " -inf users.csv") + " -i " + source_ip + " -p " +
      std::to_string(local_port ? local_port : free_port()) + (tcp ? " -t t1" : "") + " -m " +
      std::to_string(calls) + " -l 1 -timeout 20s -recv_timeout 8000 -nostdin -trace_err " +
      "-trace_msg " + args + " > sipp.out 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool link_prompts(const std::string& dir, std::string& error) {
  namespace fs = std::filesystem;
  static std::mutex made_mutex;
  static bool made = false;
  const std::string cache = std::string(TELMOND_BUILD_DIR) + "/prompts";
  {
    std::lock_guard<std::mutex> g(made_mutex);
    if (!made) {
      // Test processes running at once wait for each other inside the script.
      const std::string out = cache + ".out." + std::to_string(getpid());
      const std::string cmd = std::string(TELMOND_SOURCE_DIR) + "/scripts/make-prompts -q " +
                              cache + " > " + out + " 2>&1";
      const int rc = std::system(cmd.c_str());
      made = WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
      if (!made) error = "scripts/make-prompts: " + slurp(out);
      fs::remove(out);
      if (!made) return false;
    }
  }
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(cache, ec)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("audio_")) fs::create_directory_symlink(e.path(), dir + "/" + name, ec);
    if (ec) break;
  }
  if (!ec) fs::create_symlink(cache + "/audio_moh/moh.wav", dir + "/moh.wav", ec);
  if (ec) error = "cannot link the prompts into " + dir + ": " + ec.message();
  return !ec;
}

bool telmond_process::wait_for_log(const std::string& text, int timeout_ms) {
  return eventually(timeout_ms, [&] {
    if (stderr_text().find(text) != std::string::npos) return true;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
      const std::string n = e.path().filename().string();
      if (n.starts_with("log-") && n.ends_with(".txt") &&
          slurp(e.path().string()).find(text) != std::string::npos)
        return true;
    }
    return false;
  });
}

}  // namespace e2e
