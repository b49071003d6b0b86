// Steps shared by the call journeys: rows of the configuration script, peer programs in
// process groups of their own, a phone played over raw UDP that dials and answers challenges,
// and what sox hears in a recording.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/digest.h"
#include "tests/e2e/harness.h"

namespace e2e {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string md5_of(const std::string& text) {
  return std::string(md5_hex(str(text.c_str())).view());
}

// ---- The configuration: the default one and the rows of a journey ----

// A row of the configuration script.
inline std::string row(const std::string& table, int id,
                       const std::vector<std::pair<std::string, std::string>>& columns) {
  std::string r = "<SetEntry table=\"" + table + "\" row=\"" + std::to_string(id) + "\">";
  for (const auto& [name, value] : columns)
    r += "<Column name=\"" + name + "\">" + value + "</Column>";
  return r + "</SetEntry>\n";
}
// The extensions, users and user_alias rows of the default configuration are row n for
// extension 99 + n; more extensions follow that pattern (password "sip" + number).
inline int ext_row(int number) { return number - 99; }
inline std::string more_extension(int number) {
  const int n = ext_row(number);
  const std::string name = std::to_string(number);
  return row("extensions", n, {{"display_name", name}, {"password", "sip" + name}}) +
         row("users", n,
             {{"alias", std::to_string(n)},
              {"domain", "1"},
              {"id", std::to_string(n)},
              {"type", "extensions"}}) +
         row("user_alias", n, {{"domain", "1"}, {"name", name}, {"user", std::to_string(n)}});
}
// Settings of an extension of the configuration.
inline std::string ext_settings(int number,
                                const std::vector<std::pair<std::string, std::string>>& c) {
  return row("extensions", ext_row(number), c);
}

// ---- Peers: processes of this test ----

// A peer program (sipp, baresip) run by sh in dir with its output in dir/out.txt, in a process
// group of its own; stop() ends the group.
class peer {
 public:
  peer(const std::string& dir, const std::string& command) {
    std::filesystem::create_directories(dir);
    pid_ = fork();
    if (pid_ != 0) return;
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open((dir + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.c_str()) != 0 || in < 0 || out < 0) _exit(127);
    dup2(in, 0), dup2(out, 1), dup2(out, 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  ~peer() { stop(); }
  peer(const peer&) = delete;
  peer& operator=(const peer&) = delete;
  // The exit status once the program ended within ms; -1 while it runs, -2 after a signal.
  int wait(int ms) {
    for (auto end = steady_clock::now() + milliseconds(ms); status_ == -1;) {
      int st = 0;
      if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
        pid_ = 0;
      } else if (steady_clock::now() >= end) {
        break;
      } else {
        std::this_thread::sleep_for(milliseconds(20));
      }
    }
    return status_;
  }
  bool running() { return wait(0) == -1; }
  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (wait(2000) == -1 && pid_ > 0) {
      kill(-pid_, SIGKILL);
      wait(3000);
    }
  }

 private:
  pid_t pid_ = 0;
  int status_ = -1;
};

// ---- A caller played by the test over raw UDP ----

// The status line of a response without "SIP/2.0 ", and its code.
inline std::string status_line(const std::string& response) {
  return first_line(response).substr(8);
}
inline int code_of(const std::string& response) { return std::atoi(status_line(response).c_str()); }
// The last status line of a summary "180 Ringing | 200 Ok".
inline std::string final_of(const std::string& summary) {
  const size_t bar = summary.rfind(" | ");
  return bar == std::string::npos ? summary : summary.substr(bar + 3);
}

// A phone of extension user (password "sip" + user) on its own loopback address, one dialog
// per object: it answers the daemon's challenges, acknowledges every final answer to its
// INVITEs, keeps the dialog's tags and remote target, and answers every request the daemon
// sends it with 200 (they are kept for wait_request).
class dialer {
 public:
  dialer(const e2e::telmond_process& t, const std::string& ip, const std::string& user)
      : sip_(ip), rtp_(ip), port_(t.ports().sip_udp), user_(user) {
    static int calls = 0;
    call_id = "dialer-" + std::to_string(++calls) + "-" + std::to_string(sip_.port());
    tag = "d" + std::to_string(calls);
  }
  // The phone's offer in direction (each one the next version of its session).
  std::string sdp(const std::string& direction = "sendrecv") {
    const std::string ip = sip_.ip();
    return "v=0\r\no=dialer 7 " + std::to_string(++sdp_version_) + " IN IP4 " + ip +
           "\r\ns=-\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio " + std::to_string(rtp_.port()) +
           " RTP/AVP " + formats + "a=" + direction + "\r\n";
  }
  // The payload types of the offers' m-line, then their attribute lines.
  std::string formats =
      "0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n";
  // Calls number: the status lines of the answers after the challenge but 100, " | " between
  // them ("180 Ringing | 200 Ok"), until the first with a code of at least stop_at (200: the
  // final one) or until ms passed.
  std::string call(const std::string& number, int ms = 5000, int stop_at = 200) {
    target_ = "sip:" + number + "@localhost";
    to_ = "<sip:" + number + "@localhost>";
    return transaction("INVITE", sdp(), "", ms, stop_at, true);
  }
  // Reads on after call(..., stop_at < 200): the answers from there to the final one.
  std::string finish(int ms = 5000) { return answers("INVITE", cseq_, ms, 200); }
  // CANCEL of the INVITE in progress: the CANCEL's final status, " / ", the INVITE's answers.
  std::string cancel(int ms = 3000) {
    send("CANCEL", cseq_, invite_branch_, "", "");
    const std::string c = answers("CANCEL", cseq_, ms, 200);
    return c + " / " + answers("INVITE", cseq_, ms, 200);
  }
  // A request in the dialog (re-INVITE, REFER, BYE): the summary of its answers.
  std::string request(const std::string& method, const std::string& headers = "",
                      const std::string& body = "", int ms = 3000) {
    return transaction(method, body, headers, ms, 200, true);
  }
  // The next request from the daemon of method within ms (answered 200); "" for none.
  std::string wait_request(const std::string& method, int ms) {
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      for (size_t i = 0; i < requests_.size(); ++i) {
        if (requests_[i].rfind(method + " ", 0) == 0) {
          std::string r = requests_[i];
          requests_.erase(requests_.begin() + long(i));
          return r;
        }
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
      if (left.count() <= 0 || !pump(int(left.count()))) return "";
    }
  }
  // A re-INVITE and, before its answer, a BYE: the final answers of both, " / " between.
  std::string bye_racing_reinvite(int ms = 3000) {
    const int reinvite = ++cseq_, bye = ++cseq_;
    for (const auto& [method, cseq] :
         {std::pair<std::string, int>{"INVITE", reinvite}, {"BYE", bye}})
      send(method, cseq, "z9hG4bK-" + call_id + "-" + std::to_string(cseq), "",
           method == "INVITE" ? sdp("sendonly") : "");
    std::string finals[2];
    for (auto end = steady_clock::now() + milliseconds(ms);
         finals[0].empty() || finals[1].empty();) {
      for (; !responses_.empty(); responses_.erase(responses_.begin())) {
        const std::string& r = responses_.front();
        const std::string cseq = header_of(r, "CSeq");
        if (code_of(r) < 200) continue;
        if (cseq == std::to_string(reinvite) + " INVITE") {
          acknowledge(r, reinvite);
          finals[0] = status_line(r);
        }
        if (cseq == std::to_string(bye) + " BYE") finals[1] = status_line(r);
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
      if (left.count() <= 0 || !pump(int(left.count()))) break;
    }
    return finals[0] + " / " + finals[1];
  }
  // The dialog for a Replaces parameter, URL-escaped (this phone's tag as the From tag).
  std::string replaces() const {
    return call_id + "%3Bto-tag%3D" + remote_tag + "%3Bfrom-tag%3D" + tag;
  }

  // The socket of the media address the phone announces.
  e2e::udp_peer& media() { return rtp_; }

  std::string call_id, tag, remote_tag;
  std::string last;        // the last final answer, whole
  std::string transcript;  // what was sent (first lines) and received (whole), for failures

 private:
  std::string transaction(const std::string& method, const std::string& body,
                          const std::string& headers, int ms, int stop_at, bool may_retry) {
    const int cseq = ++cseq_;
    const std::string branch = "z9hG4bK-" + call_id + "-" + std::to_string(cseq);
    if (method == "INVITE") invite_branch_ = branch;
    send(method, cseq, branch, headers, body);
    last.clear();
    std::string got = answers(method, cseq, ms, stop_at);
    // Stopped at a provisional answer of a first attempt: a challenge may still follow it.
    if (may_retry && last.empty() && stopped_early_) challenge_after(method, cseq, 300);
    if (may_retry && !last.empty() && code_of(last) == 401) {
      // A final answer carries the To tag of the dialog it would have made.
      EXPECT_NE(match(header_of(last, "To"), ";tag=([^;>]+)"), "") << last;
      const std::string c = header_of(last, "WWW-Authenticate");
      nonce_ = match(c, "nonce=\"([^\"]*)\"");
      realm_ = match(c, "realm=\"([^\"]*)\"");
      return transaction(method, body, headers, ms, stop_at, false);
    }
    return got;
  }
  void send(const std::string& method, int cseq, const std::string& branch,
            const std::string& headers, const std::string& body) {
    const std::string via = sip_.ip() + ":" + std::to_string(sip_.port());
    std::string auth;
    if (!nonce_.empty() && method != "ACK" && method != "CANCEL") {
      const std::string response = md5_of(md5_of(user_ + ":" + realm_ + ":sip" + user_) + ":" +
                                          nonce_ + ":" + md5_of(method + ":" + target_));
      auth = "Authorization: Digest username=\"" + user_ + "\",realm=\"" + realm_ + "\",nonce=\"" +
             nonce_ + "\",uri=\"" + target_ + "\",response=\"" + response + "\",algorithm=MD5\r\n";
    }
    const std::string type = body.empty() ? "" : "Content-Type: application/sdp\r\n";
    transcript += "--> " + method + " " + std::to_string(cseq) + "\n";
    sip_.send_to(
        "127.0.0.1", port_,
        method + " " + target_ + " SIP/2.0\r\nVia: SIP/2.0/UDP " + via + ";branch=" + branch +
            ";rport\r\nFrom: <sip:" + user_ + "@localhost>;tag=" + tag + "\r\nTo: " + to_ +
            (remote_tag.empty() ? "" : ";tag=" + remote_tag) + "\r\nCall-ID: " + call_id +
            "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContact: <sip:" + user_ +
            "@" + via + ">\r\nMax-Forwards: 70\r\n" + auth + headers + type +
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  // The status lines of the answers to "<cseq> <method>" (a 401 left out) until one with a
  // code of at least stop_at; a final answer is kept in last, and acknowledged for an INVITE.
  std::string answers(const std::string& method, int cseq, int ms, int stop_at) {
    std::string got;
    stopped_early_ = false;
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      while (!responses_.empty()) {
        const std::string r = responses_.front();
        responses_.erase(responses_.begin());
        if (header_of(r, "CSeq") != std::to_string(cseq) + " " + method) continue;
        const int code = code_of(r);
        // A 100 is hop by hop and optional once another answer follows at once.
        if (code != 401 && code != 100) got += (got.empty() ? "" : " | ") + status_line(r);
        if (code >= 200) {
          last = r;
          if (method == "INVITE") acknowledge(r, cseq);
        }
        stopped_early_ = code < 200;
        if (code >= stop_at || code >= 200) return got;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
      if (left.count() <= 0 || !pump(int(left.count()))) return got;
    }
  }
  // Waits ms for a 401 to "<cseq> <method>"; when one came it is taken (into last) and
  // acknowledged, and every other answer stays for later.
  void challenge_after(const std::string& method, int cseq, int ms) {
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      for (size_t i = 0; i < responses_.size(); ++i) {
        const std::string& r = responses_[i];
        if (code_of(r) == 401 && header_of(r, "CSeq") == std::to_string(cseq) + " " + method) {
          last = r;
          responses_.erase(responses_.begin() + long(i));
          if (method == "INVITE") acknowledge(last, cseq);
          return;
        }
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
      if (left.count() <= 0 || !pump(int(left.count()))) return;
    }
  }
  void acknowledge(const std::string& r, int cseq) {
    const std::string to_tag = match(header_of(r, "To"), ";tag=([^;>]+)");
    if (code_of(r) < 300) {
      remote_tag = to_tag;
      const std::string contact = match(header_of(r, "Contact"), "<([^>]+)>");
      if (!contact.empty()) target_ = contact;
      send("ACK", cseq, "z9hG4bK-" + call_id + "-ack" + std::to_string(cseq), "", "");
      return;
    }
    // The ACK of a failure belongs to the INVITE's transaction: its branch, the answer's tag.
    const std::string dialog_tag = remote_tag;
    remote_tag = to_tag;
    send("ACK", cseq, invite_branch_, "", "");
    remote_tag = dialog_tag;
  }
  // Reads one message within ms: a response is kept, a request answered 200 and kept.
  bool pump(int ms) {
    std::string bytes, ip;
    int port = 0;
    if (!sip_.receive(bytes, ms, &ip, &port)) return false;
    transcript += "<-- " + bytes + "\n";
    if (bytes.rfind("SIP/2.0 ", 0) == 0) {
      responses_.push_back(bytes);
      return true;
    }
    std::string r = "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
      r += std::string(h) + ": " + header_of(bytes, h) + "\r\n";
    if (bytes.rfind("ACK ", 0) != 0) sip_.send_to(ip, port, r + "Content-Length: 0\r\n\r\n");
    requests_.push_back(bytes);
    return true;
  }

  e2e::udp_peer sip_, rtp_;
  int port_;
  std::string user_, target_, to_, invite_branch_, nonce_, realm_;
  std::vector<std::string> responses_, requests_;
  int cseq_ = 0, sdp_version_ = 0;
  bool stopped_early_ = false;  // the last answers() ended at a provisional answer
};

// Whether a UDP port of ip is bound by some process.
inline bool port_taken(const std::string& ip, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0;
  close(fd);
  return taken;
}

// A phone of extension user played by the test over raw UDP on its own thread, for races
// finer than sipp can play: each INVITE is answered 180 at once and 200 answer_ms later, unless
// a CANCEL came first (then 200 to it and 487); ACK, BYE and a late CANCEL are answered as RFC
// 3261 says. open() counts the INVITEs not yet ended by an ACK of the 487 or a BYE.
class quick_callee {
 public:
  quick_callee(const e2e::telmond_process& t, const std::string& ip, const std::string& user)
      : sip_(ip), rtp_(ip), port_(t.ports().sip_udp), user_(user) {}
  ~quick_callee() { stop(); }
  // REGISTER with digest authentication, then serving; false when not registered.
  bool start() {
    std::string answer;
    for (int cseq = 1; cseq <= 2; ++cseq) {
      std::string auth;
      if (cseq == 2) {
        const std::string c = header_of(answer, "WWW-Authenticate");
        const std::string nonce = match(c, "nonce=\"([^\"]*)\""),
                          realm = match(c, "realm=\"([^\"]*)\"");
        auth = "Authorization: Digest username=\"" + user_ + "\",realm=\"" + realm + "\",nonce=\"" +
               nonce + "\",uri=\"sip:localhost\",response=\"" +
               md5_of(md5_of(user_ + ":" + realm + ":sip" + user_) + ":" + nonce + ":" +
                      md5_of("REGISTER:sip:localhost")) +
               "\",algorithm=MD5\r\n";
      }
      const std::string via = sip_.ip() + ":" + std::to_string(sip_.port());
      sip_.send_to("127.0.0.1", port_,
                   "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP " + via +
                       ";branch=z9hG4bK-reg" + std::to_string(cseq) +
                       ";rport\r\nFrom: <sip:" + user_ + "@localhost>;tag=r1\r\nTo: <sip:" + user_ +
                       "@localhost>\r\nCall-ID: quick-" + via +
                       "\r\nCSeq: " + std::to_string(cseq) + " REGISTER\r\nContact: <sip:" + user_ +
                       "@" + via + ">\r\nExpires: 3600\r\n" + auth + "Content-Length: 0\r\n\r\n");
      if (!sip_.receive(answer, 3000)) return false;
    }
    if (code_of(answer) != 200) return false;
    thread_ = std::thread([this] { serve(); });
    return true;
  }
  // The socket of the media address the phone announces in its answers.
  e2e::udp_peer& media() { return rtp_; }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  std::atomic<int> answer_ms{0};
  int open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return int(calls_.size());
  }

 private:
  struct call {
    std::string invite, tag;
    steady_clock::time_point answer_at;
    bool answered = false, terminated = false;
  };
  // The response to request with status (and the call's tag, and an SDP body).
  std::string response(const std::string& request, const std::string& status,
                       const std::string& tag, bool sdp) {
    const std::string to = header_of(request, "To");
    const std::string body = sdp ? "v=0\r\no=quick 1 1 IN IP4 " + sip_.ip() +
                                       "\r\ns=-\r\nc=IN IP4 " + sip_.ip() +
                                       "\r\nt=0 0\r\nm=audio " + std::to_string(rtp_.port()) +
                                       " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"
                                 : "";
    return "SIP/2.0 " + status + "\r\nVia: " + header_of(request, "Via") +
           "\r\nFrom: " + header_of(request, "From") + "\r\nTo: " + to +
           (tag.empty() || to.find(";tag=") != std::string::npos ? "" : ";tag=" + tag) +
           "\r\nCall-ID: " + header_of(request, "Call-ID") +
           "\r\nCSeq: " + header_of(request, "CSeq") + "\r\nContact: <sip:" + user_ + "@" +
           sip_.ip() + ":" + std::to_string(sip_.port()) + ">\r\n" +
           (sdp ? "Content-Type: application/sdp\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  void serve() {
    std::string bytes, ip;
    int port = 0;
    while (running_) {
      const bool got = sip_.receive(bytes, 1, &ip, &port);
      std::lock_guard<std::mutex> lock(mutex_);
      const auto now = steady_clock::now();
      for (auto& [id, c] : calls_) {
        if (!c.answered && !c.terminated && now >= c.answer_at) {
          c.answered = true;
          sip_.send_to(ip_, port_of_daemon_, response(c.invite, "200 OK", c.tag, true));
        }
      }
      if (!got || bytes.rfind("SIP/2.0", 0) == 0) continue;
      ip_ = ip;
      port_of_daemon_ = port;
      const std::string id = header_of(bytes, "Call-ID"), method = bytes.substr(0, bytes.find(' '));
      auto it = calls_.find(id);
      if (method == "INVITE" && it == calls_.end()) {
        call c{bytes, "q" + std::to_string(++tags_), now + milliseconds(answer_ms.load())};
        sip_.send_to(ip, port, response(bytes, "180 Ringing", c.tag, false));
        calls_[id] = c;
      } else if (method == "CANCEL" && it != calls_.end()) {
        sip_.send_to(ip, port, response(bytes, "200 OK", it->second.tag, false));
        if (!it->second.answered && !it->second.terminated) {
          it->second.terminated = true;
          sip_.send_to(
              ip, port,
              response(it->second.invite, "487 Request Terminated", it->second.tag, false));
        }
      } else if (method == "ACK" && it != calls_.end() && it->second.terminated) {
        calls_.erase(it);
      } else if (method == "BYE") {
        sip_.send_to(ip, port, response(bytes, "200 OK", "", false));
        if (it != calls_.end()) calls_.erase(it);
      } else if (method != "ACK") {
        sip_.send_to(ip, port, response(bytes, "200 OK", "", false));  // NOTIFY, OPTIONS, ...
      }
    }
  }

  e2e::udp_peer sip_, rtp_;
  int port_;
  std::string user_, ip_ = "127.0.0.1";
  int port_of_daemon_ = 0, tags_ = 0;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::map<std::string, call> calls_;  // by Call-ID, until ended
  std::thread thread_;
};

// What sox says of a recording (input: a file, optionally preceded by its format options):
// the rough frequency (Hz) and the RMS amplitude (full scale 1), after the effects.
struct sound {
  double hz = 0, rms = 0;
};
inline bool measure(const std::string& input, sound& s, const std::string& effects = "") {
  FILE* f = popen(("timeout 10 sox " + input + " -n " + effects + " stat 2>&1").c_str(), "r");
  if (!f) return false;
  std::string text;
  for (char buf[512]; fgets(buf, sizeof buf, f);) text += buf;
  pclose(f);
  const std::string hz = match(text, R"(Rough\s+frequency:\s+([0-9.]+))");
  const std::string rms = match(text, R"(RMS\s+amplitude:\s+([0-9.]+))");
  if (hz.empty() || rms.empty()) return false;
  s = {std::stod(hz), std::stod(rms)};
  return true;
}
// The effects that leave only the sound of a recording: its first channel without the silence
// before and after.
inline const char* const trimmed = "remix 1 silence 1 0.02 1% reverse silence 1 0.02 1% reverse";

}  // namespace e2e
