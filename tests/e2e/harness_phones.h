// Steps shared by the call journeys: rows of the configuration script, peer programs in
// process groups of their own, sipp phones that call and take calls, phones played over raw
// UDP (a dialer, a quick callee, a phone that keeps every request), baresip soft-phones driven
// through their control interface, leaving a voicemail message, and what sox hears.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

// ---- SIP texts as phones write them ----

inline std::string md5_of(const std::string& text) {
  return std::string(md5_hex(str(text.c_str())).view());
}
// The credentials line (name: Authorization or Proxy-Authorization) answering the challenge
// header value for user with password on method and uri.
inline std::string digest(const std::string& challenge, const std::string& user,
                          const std::string& password, const std::string& method,
                          const std::string& uri, const std::string& name = "Authorization") {
  const std::string nonce = match(challenge, "nonce=\"([^\"]*)\""),
                    realm = match(challenge, "realm=\"([^\"]*)\"");
  const std::string response = md5_of(md5_of(user + ":" + realm + ":" + password) + ":" + nonce +
                                      ":" + md5_of(method + ":" + uri));
  return name + ": Digest username=\"" + user + "\",realm=\"" + realm + "\",nonce=\"" + nonce +
         "\",uri=\"" + uri + "\",response=\"" + response + "\",algorithm=MD5\r\n";
}
// The answer to request with status: its Via, From, To (with ;tag=tag when it has none),
// Call-ID and CSeq, the extra header lines, and sdp as the body.
inline std::string response_to(const std::string& request, const std::string& status,
                               const std::string& extra = "", const std::string& sdp = "",
                               const std::string& tag = "") {
  std::string r = "SIP/2.0 " + status + "\r\n";
  for (const std::string h : {"Via", "From", "To", "Call-ID", "CSeq"}) {
    const std::string value = header_of(request, h);
    const bool tagged = h == "To" && !tag.empty() && value.find(";tag=") == std::string::npos;
    r += h + ": " + value + (tagged ? ";tag=" + tag : "") + "\r\n";
  }
  return r + extra + (sdp.empty() ? "" : "Content-Type: application/sdp\r\n") +
         "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}
// A session description of audio on ip:port; formats: the m-line's payload types, then the
// attribute lines.
inline std::string sdp_of(const std::string& ip, int port,
                          const std::string& formats = "0\r\na=rtpmap:0 PCMU/8000\r\n",
                          int version = 1) {
  return "v=0\r\no=- 7 " + std::to_string(version) + " IN IP4 " + ip + "\r\ns=-\r\nc=IN IP4 " + ip +
         "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP " + formats;
}
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
// An RTP header (version 2) of payload type pt.
inline std::string rtp_header(int pt, uint32_t seq, uint32_t ts, uint32_t ssrc = 0x12345678,
                              bool marker = false) {
  std::string h = {char(0x80), char((marker ? 0x80 : 0) | pt), char(seq >> 8), char(seq)};
  for (uint32_t v : {ts, ssrc})
    for (int shift : {24, 16, 8, 0}) h += char(v >> shift);
  return h;
}
// The payload of an RTP packet.
inline std::string payload_of(const std::string& packet) {
  return packet.substr(std::min(packet.size(), 12 + 4 * size_t(packet[0] & 0x0f)));
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
  const std::string name = std::to_string(number), id = std::to_string(n);
  return row("extensions", n, {{"display_name", name}, {"password", "sip" + name}}) +
         row("users", n, {{"alias", id}, {"domain", "1"}, {"id", id}, {"type", "extensions"}}) +
         row("user_alias", n, {{"domain", "1"}, {"name", name}, {"user", id}});
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
    eventually(ms, [&] {
      int st = 0;
      if (status_ != -1 || pid_ <= 0 || waitpid(pid_, &st, WNOHANG) != pid_) return status_ != -1;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
      pid_ = 0;
      return true;
    });
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

// ---- sipp phones ----

// The SDP of a sipp phone: PCMU and telephone events on its media address.
inline const char* const sipp_sdp =
    "v=0\no=- 1 1 IN IP4 [local_ip]\ns=-\nc=IN IP4 [media_ip]\nt=0 0\n"
    "m=audio [media_port] RTP/AVP 0 101\na=rtpmap:0 PCMU/8000\n"
    "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\n";

// A response of a called sipp phone to the request just received; with_tag adds its To tag
// (the first answer of a dialog), sdp its SDP.
inline std::string uas_send(const std::string& status, bool with_tag, bool sdp,
                            const std::string& attributes = "") {
  return "<send" + attributes + "><![CDATA[\nSIP/2.0 " + status +
         "\n[last_Via:]\n[last_From:]\n[last_To:]" +
         (with_tag ? ";tag=[pid]SIPpTag01[call_number]" : "") +
         "\n[last_Call-ID:]\n[last_CSeq:]\nContact: <sip:[local_ip]:[local_port]>\n" +
         (sdp ? std::string("Content-Type: application/sdp\nContent-Length: [len]\n\n") + sipp_sdp
              : "Content-Length: 0\n\n") +
         "]]></send>\n";
}

// What a called sipp phone does with each call.
enum class callee {
  answers,   // rings ring_ms, answers, takes re-INVITEs until the BYE
  hangs_up,  // rings ring_ms, answers, talks talk_ms, then hangs up itself
  rings,     // rings until the CANCEL (checked with cancel_check), then 487
};

// A sipp scenario of a phone that takes calls; after_ack: its steps once the call is up.
// cancel_check: sipp <action> checks on the CANCEL, assigning to the variable "reason".
inline std::string uas_scenario(callee how, int ring_ms = 300, int talk_ms = 0,
                                const std::string& cancel_check = "",
                                const std::string& after_ack = "") {
  std::string s =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"callee\">\n"
      "<recv request=\"INVITE\" rrs=\"true\"><action>"
      "<ereg regexp=\"[0-9]+\" search_in=\"hdr\" header=\"CSeq:\" assign_to=\"icseq\"/>"
      "<ereg regexp=\"[^ ].*\" search_in=\"hdr\" header=\"From:\" assign_to=\"from\"/>"
      "<ereg regexp=\"[^ ].*\" search_in=\"hdr\" header=\"To:\" assign_to=\"to\"/>"
      "</action></recv>\n" +
      uas_send("180 Ringing", true, false);
  if (how == callee::rings) {
    // The 487 that ends an INVITE after its CANCEL.
    s += "<recv request=\"CANCEL\"><action>" + cancel_check + "</action></recv>\n" +
         uas_send("200 OK", false, false) +
         "<send><![CDATA[\nSIP/2.0 487 Request Terminated\n[last_Via:]\n[last_From:]\n"
         "[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\nCSeq: [$icseq] INVITE\n"
         "Content-Length: 0\n\n]]></send>\n<recv request=\"ACK\" next=\"end\"/>\n";
  } else {
    s += "<pause milliseconds=\"" + std::to_string(ring_ms) + "\"/>\n" +
         uas_send("200 OK", true, true) + "<recv request=\"ACK\"/>\n" + after_ack;
  }
  if (how == callee::answers) {
    s += "<label id=\"talk\"/>\n<recv request=\"INVITE\" optional=\"true\" next=\"reinvite\"/>\n"
         "<recv request=\"BYE\" next=\"bye\"/>\n<label id=\"reinvite\"/>\n" +
         uas_send("200 OK", false, true) + "<recv request=\"ACK\" next=\"talk\"/>\n" +
         "<label id=\"bye\"/>\n" + uas_send("200 OK", false, false);
  } else if (how == callee::hangs_up) {
    s += "<pause milliseconds=\"" + std::to_string(talk_ms) +
         "\"/>\n<send retrans=\"500\"><![CDATA[\nBYE [next_url] SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
         "From: [$to];tag=[pid]SIPpTag01[call_number]\nTo: [$from]\nCall-ID: [call_id]\n"
         "CSeq: 1 BYE\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n"
         "<recv response=\"200\"/>\n";
  }
  return s + "<label id=\"end\"/>\n<Reference variables=\"icseq,from,to" +
         (cancel_check.empty() ? "" : ",reason") + "\"/>\n</scenario>\n";
}

// A sipp phone that calls: the extension of users.csv's [field0] with password [field1] dials
// to ([service] of -s, or a field of users.csv) with extra INVITE headers (INVITE, challenged
// with 401 once, sent again with the credentials), and after the answer does what then says
// (its steps end with the call's end, e.g. bye_steps). Without a challenge it goes on at once.
inline std::string uac_scenario(const std::string& sdp, const std::string& then,
                                const std::string& to = "[service]",
                                const std::string& headers = "") {
  const auto invite = [&](int cseq, const std::string& auth) {
    return "<send retrans=\"500\"><![CDATA[\nINVITE sip:" + to +
           "@[remote_ip]:[remote_port] SIP/2.0\nVia: SIP/2.0/[transport] "
           "[local_ip]:[local_port];branch=[branch]\n"
           "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\nTo: <sip:" +
           to + "@localhost>\nCall-ID: [call_id]\nCSeq: " + std::to_string(cseq) +
           " INVITE\nContact: <sip:[field0]@[local_ip]:[local_port]>\nMax-Forwards: 70\n" +
           headers + auth + "Content-Type: application/sdp\nContent-Length: [len]\n\n" + sdp +
           "]]></send>\n<recv response=\"100\" optional=\"true\"/>\n";
  };
  // No <nop> between the steps: sipp takes a message that arrives while it is at one as
  // unexpected.
  const auto answered = [](const std::string& attributes) {
    return "<recv response=\"180\" optional=\"true\"/>\n<recv response=\"183\" "
           "optional=\"true\"/>\n<recv response=\"200\" rrs=\"true\"" +
           attributes +
           "><action><ereg regexp=\"[0-9]+\" search_in=\"hdr\" header=\"CSeq:\" "
           "assign_to=\"cseq\"/></action></recv>\n";
  };
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"caller\">\n" +
         invite(1, "") +
         "<recv response=\"401\" optional=\"true\" auth=\"true\" next=\"challenged\"/>\n" +
         answered(" next=\"answered\"") + "<label id=\"challenged\"/>\n" +
         "<send><![CDATA[\nACK sip:" + to +
         "@[remote_ip]:[remote_port] SIP/2.0\n[last_Via:]\n"
         "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n[last_To:]\n"
         "Call-ID: [call_id]\nCSeq: 1 ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n" +
         invite(2, "[authentication username=\"[field0]\" password=\"[field1]\"]\n") +
         answered("") +
         "<label id=\"answered\"/>\n"
         "<send><![CDATA[\nACK [next_url] SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
         "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n[last_To:]\n"
         "Call-ID: [call_id]\nCSeq: [$cseq] ACK\nMax-Forwards: 70\nContent-Length: 0\n\n"
         "]]></send>\n" +
         then + "<Reference variables=\"cseq\"/>\n</scenario>\n";
}
// The caller talks for ms, then hangs up; the BYE is answered with status.
inline std::string bye_steps(int ms, int status = 200) {
  return "<pause milliseconds=\"" + std::to_string(ms) +
         "\"/>\n<send retrans=\"500\"><![CDATA[\nBYE [next_url] SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
         "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n[last_To:]\n"
         "Call-ID: [call_id]\nCSeq: 10 BYE\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n"
         "<recv response=\"" +
         std::to_string(status) + "\"/>\n";
}
// The folder and name prefix of sipp's captures of RFC 4733 digits ("1.pcap", "pound.pcap").
inline const std::string digits = "/usr/share/sip-tester/dtmf_2833_";
// Steps that play a capture and wait ms.
inline std::string play(const std::string& pcap, int ms) {
  return "<nop><action><exec play_pcap_audio=\"" + pcap +
         "\"/></action></nop>\n<pause milliseconds=\"" + std::to_string(ms) + "\"/>\n";
}

// ---- Leaving a voicemail message ----

// Why leave_voicemail cannot run here ("" when it can).
inline std::string voicemail_tools_missing() {
  if (std::system("command -v sipp >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
    return "no sipp or sox";
  if (!std::ifstream(digits + "1.pcap")) return "no sipp captures of digits";
  return "";
}
// user (password "sip" + user) calls `to` from source_ip, skips the greeting with "#", plays
// `seconds` of a 440 Hz tone and hangs up. sipp's exit status (0: the call went through).
inline int leave_voicemail(const telmond_process& t, const std::string& name,
                           const std::string& source_ip, const std::string& user,
                           const std::string& to, int seconds) {
  const std::string tone = t.dir() + "/tone-" + name + ".ul";
  const std::string synth = "sox -n -r 8000 -c 1 -t ul " + tone + " synth " +
                            std::to_string(seconds) + " sine 440 vol 0.5";
  if (std::system(synth.c_str()) != 0) return -1;
  const std::string steps = "<pause milliseconds=\"1000\"/>\n" + play(digits + "pound.pcap", 1500) +
                            "<nop><action><exec rtp_stream=\"" + tone +
                            ",1,0\"/></action></nop>\n<pause milliseconds=\"" +
                            std::to_string(seconds * 1000 + 500) + "\"/>\n" + bye_steps(0);
  return run_sipp(t, name, source_ip, uac_scenario(sipp_sdp, steps, "[field2]"),
                  user + ";sip" + user + ";" + to + ";");
}

// ---- Phones played by the test over raw UDP ----

// A phone of extension user (password "sip" + user) on its own loopback address, one dialog
// (or registration) per object, as RFC 3261 asks: it answers the daemon's challenges,
// acknowledges every final answer to its INVITEs, keeps the dialog's tags and remote target, and
// answers every request the daemon sends it with request_answer (200, or 401 with a challenge
// of its own); the requests it received are kept in order.
class dialer {
 public:
  dialer(const e2e::telmond_process& t, const std::string& ip, const std::string& user)
      : from("sip:" + user + "@localhost"),
        sip_(ip),
        rtp_(ip),
        port_(t.ports().sip_udp),
        user_(user) {
    static int calls = 0;
    call_id = "dialer-" + std::to_string(++calls) + "-" + std::to_string(sip_.port());
    tag = "d" + std::to_string(calls);
  }
  // The phone's offer in direction (each one the next version of its session).
  std::string sdp(const std::string& direction = "sendrecv") {
    return sdp_of(sip_.ip(), rtp_.port(), formats + "a=" + direction + "\r\n", ++sdp_version_);
  }
  // The payload types of the offers' m-line, then their attribute lines.
  std::string formats =
      "0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n";
  // The first request of the dialog, method to uri (a REGISTER goes to the domain, with uri in
  // its To): the status lines of the answers after the challenge but 100, " | " between them
  // ("180 Ringing | 200 Ok"), until the first with a code of at least stop_at (200: the final
  // one) or until ms passed.
  std::string open(const std::string& method, const std::string& uri,
                   const std::string& headers = "", const std::string& body = "", int ms = 3000,
                   int stop_at = 200) {
    target_ = method == "REGISTER" ? "sip:localhost" : uri;
    to_ = "<" + uri + ">";
    return transaction(method, body, headers, ms, stop_at, true);
  }
  // Calls number with an offer: the answers as open() gives them.
  std::string call(const std::string& number, int ms = 5000, int stop_at = 200) {
    return open("INVITE", "sip:" + number + "@localhost", "", sdp(), ms, stop_at);
  }
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
  // The next request from the daemon of method whose text holds text, within ms; "" for none.
  std::string wait_request(const std::string& method, int ms, const std::string& text = "") {
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      for (size_t i = 0; i < requests_.size(); ++i) {
        if (requests_[i].rfind(method + " ", 0) == 0 &&
            requests_[i].find(text) != std::string::npos) {
          std::string r = requests_[i];
          requests_.erase(requests_.begin() + long(i));
          return r;
        }
      }
      if (!pump(end)) return "";
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
      if (!pump(end)) break;
    }
    return finals[0] + " / " + finals[1];
  }
  // Receives for ms, answering every request.
  void listen(int ms) {
    for (auto end = steady_clock::now() + milliseconds(ms); pump(end);) {
    }
  }
  // Every request of method received so far, in order.
  std::vector<std::string> received(const std::string& method) const {
    std::vector<std::string> out;
    for (const std::string& r : received_)
      if (r.rfind(method + " ", 0) == 0) out.push_back(r);
    return out;
  }
  // The dialog for a Replaces parameter, URL-escaped (this phone's tag as the From tag).
  std::string replaces() const {
    return call_id + "%3Bto-tag%3D" + remote_tag + "%3Bfrom-tag%3D" + tag;
  }

  // The socket of the media address the phone announces.
  e2e::udp_peer& media() { return rtp_; }

  std::string call_id, tag, remote_tag;
  std::string from;          // the address of the requests (default: user@localhost)
  std::string contact;       // their Contact (default: this phone's socket)
  int request_answer = 200;  // or 401: every request the daemon sends is challenged
  std::string last;          // the last final answer, whole
  std::string transcript;    // what was sent (first lines) and received (whole), for failures

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
      // A call leg's final answer carries the To tag of the dialog it would have made (the
      // registrar's challenges carry none).
      if (method == "INVITE") {
        EXPECT_NE(match(header_of(last, "To"), ";tag=([^;>]+)"), "") << last;
      }
      challenge_ = header_of(last, "WWW-Authenticate");
      return transaction(method, body, headers, ms, stop_at, false);
    }
    return got;
  }
  void send(const std::string& method, int cseq, const std::string& branch,
            const std::string& headers, const std::string& body) {
    const std::string via = sip_.ip() + ":" + std::to_string(sip_.port());
    const bool auth = !challenge_.empty() && method != "ACK" && method != "CANCEL";
    const bool typed = body.empty() || headers.find("Content-Type:") != std::string::npos;
    const std::string type = typed ? "" : "Content-Type: application/sdp\r\n";
    transcript += "--> " + method + " " + std::to_string(cseq) + "\n";
    sip_.send_to(
        "127.0.0.1", port_,
        method + " " + target_ + " SIP/2.0\r\nVia: SIP/2.0/UDP " + via + ";branch=" + branch +
            ";rport\r\nFrom: <" + from + ">;tag=" + tag + "\r\nTo: " + to_ +
            (remote_tag.empty() ? "" : ";tag=" + remote_tag) + "\r\nCall-ID: " + call_id +
            "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContact: <" +
            (contact.empty() ? "sip:" + user_ + "@" + via : contact) + ">\r\nMax-Forwards: 70\r\n" +
            (auth ? digest(challenge_, user_, "sip" + user_, method, target_) : "") + headers +
            type + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
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
          if (method != "INVITE" && method != "REGISTER" && code < 300) enter_dialog(r);
        }
        stopped_early_ = code < 200;
        if (code >= stop_at || code >= 200) return got;
      }
      if (!pump(end)) return got;
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
      if (!pump(end)) return;
    }
  }
  // A 2xx gives the dialog's remote tag and target.
  void enter_dialog(const std::string& r) {
    remote_tag = match(header_of(r, "To"), ";tag=([^;>]+)");
    const std::string remote = match(header_of(r, "Contact"), "<([^>]+)>");
    if (!remote.empty()) target_ = remote;
  }
  void acknowledge(const std::string& r, int cseq) {
    const std::string to_tag = match(header_of(r, "To"), ";tag=([^;>]+)");
    if (code_of(r) < 300) {
      enter_dialog(r);
      send("ACK", cseq, "z9hG4bK-" + call_id + "-ack" + std::to_string(cseq), "", "");
      return;
    }
    // The ACK of a failure belongs to the INVITE's transaction: its branch, the answer's tag.
    const std::string dialog_tag = remote_tag;
    remote_tag = to_tag;
    send("ACK", cseq, invite_branch_, "", "");
    remote_tag = dialog_tag;
  }
  // Reads one message before end: a response is kept, a request answered 200 and kept.
  bool pump(steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
    std::string bytes, ip;
    int port = 0;
    if (left.count() <= 0 || !sip_.receive(bytes, int(left.count()), &ip, &port)) return false;
    transcript += "<-- " + bytes + "\n";
    if (bytes.rfind("SIP/2.0 ", 0) == 0) {
      responses_.push_back(bytes);
      return true;
    }
    if (bytes.rfind("ACK ", 0) != 0)
      sip_.send_to(ip, port,
                   request_answer == 401
                       ? response_to(bytes, "401 Unauthorized",
                                     "WWW-Authenticate: Digest realm=\"phone\",nonce=\"" +
                                         md5_of(bytes) + "\"\r\n")
                       : response_to(bytes, "200 OK"));
    requests_.push_back(bytes);
    received_.push_back(bytes);
    return true;
  }

  e2e::udp_peer sip_, rtp_;
  int port_;
  std::string user_, target_, to_, invite_branch_, challenge_;
  std::vector<std::string> responses_, requests_, received_;
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
      : registrar_(t, ip, user), sip_(ip), rtp_(ip), port_(t.ports().sip_udp), user_(user) {}
  ~quick_callee() { stop(); }
  // REGISTER with digest authentication (its Contact this phone's socket), then serving; false
  // when not registered.
  bool start() {
    registrar_.contact = "sip:" + user_ + "@" + sip_.ip() + ":" + std::to_string(sip_.port());
    if (registrar_.open("REGISTER", "sip:" + user_ + "@localhost", "Expires: 3600\r\n") != "200 OK")
      return false;
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
    return response_to(
        request, status,
        "Contact: <sip:" + user_ + "@" + sip_.ip() + ":" + std::to_string(sip_.port()) + ">\r\n",
        sdp ? sdp_of(sip_.ip(), rtp_.port()) : "", tag);
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

  dialer registrar_;  // registers this phone's socket as the contact
  e2e::udp_peer sip_, rtp_;
  int port_;
  std::string user_, ip_ = "127.0.0.1";
  int port_of_daemon_ = 0, tags_ = 0;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::map<std::string, call> calls_;  // by Call-ID, until ended
  std::thread thread_;
};

// ---- baresip soft-phones ----

// A baresip soft-phone on ip with the accounts (lines of its accounts file), its microphone a
// sine of hz, what it hears and sends recorded (sndfile: dump-*-dec.wav and -enc.wav), driven
// through its TCP control interface. trace: baresip prints the SIP messages (-s).
struct softphone {
  std::string home;
  std::unique_ptr<peer> process;
  e2e::tcp_client ctrl;

  softphone(const std::string& dir, const std::string& ip, const std::string& accounts, int hz,
            bool trace = false)
      : home(dir) {
    std::filesystem::create_directories(home + "/sound");
    const int ctrl_port = e2e::free_port();
    std::ofstream(home + "/accounts") << accounts;
    std::ofstream(home + "/config")
        << "sip_listen " << ip << ":" << e2e::free_port()
        << "\nsip_verify_server no\nmodule_path /usr/lib/baresip/modules\nmodule srtp.so\n"
        << "module g711.so\nmodule g722.so\nmodule ausine.so\nmodule aubridge.so\n"
        << "module sndfile.so\nmodule_tmp account.so\nmodule_app menu.so\n"
        << "module_app ctrl_tcp.so\nctrl_tcp_listen " << ip << ":" << ctrl_port
        << "\naudio_source ausine," << hz << "\naudio_player aubridge,sink" << ctrl_port
        << "\naudio_alert aubridge,sink" << ctrl_port
        << "\nausrc_srate 48000\nausrc_channels 2\nsnd_path " << home << "/sound\n";
    process = std::make_unique<peer>(home, "HOME=" + home + " exec timeout 60 baresip " +
                                               (trace ? "-s " : "") + "-f " + home + " -n " + ip);
    eventually(5000, [&] { return ctrl.connect(ip, ctrl_port, ip); });
  }
  // An account line of extension number registering at t over transport ("udp", "tcp",
  // "tls"), with more account parameters.
  static std::string account(const telmond_process& t, int number, const std::string& transport,
                             const std::string& more = "") {
    const std::string n = std::to_string(number);
    const int port = transport == "udp"   ? t.ports().sip_udp
                     : transport == "tcp" ? t.ports().sip_tcp
                                          : t.ports().sip_tls;
    return "<sip:" + n + "@127.0.0.1;transport=" + transport + ">;auth_pass=sip" + n +
           ";regint=300;outbound=\"sip:127.0.0.1:" + std::to_string(port) +
           ";transport=" + transport + "\"" + more + "\n";
  }
  bool command(const std::string& command, const std::string& params = "") {
    const std::string json = "{\"command\":\"" + command + "\",\"params\":\"" + params + "\"}";
    return ctrl.send(std::to_string(json.size()) + ":" + json + ",");
  }
  // Waits until event has been reported count times in all.
  bool saw(const std::string& event, int count = 1, int ms = 6000) {
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      int n = 0;
      for (size_t at = ctrl.received().find(event); at != std::string::npos;
           at = ctrl.received().find(event, at + 1))
        ++n;
      if (n >= count) return true;
      if (steady_clock::now() >= end) return false;
      ctrl.receive(100);
    }
  }
  // The recording of one direction of the first call ("dec": heard, "enc": sent).
  std::string recording(const std::string& kind) const {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(home + "/sound"))
      if (e.path().string().ends_with("-" + kind + ".wav")) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files.empty() ? "" : files.front();
  }
  std::string output() const { return e2e::slurp(home + "/out.txt") + ctrl.received(); }
};

// ---- What sox hears ----

// What sox says of a recording (input: a file, optionally preceded by its format options):
// the rough frequency (Hz), the RMS amplitude (full scale 1) and the length, after the effects.
struct sound {
  double hz = 0, rms = 0, seconds = 0;
};
inline bool measure(const std::string& input, sound& s, const std::string& effects = "") {
  const std::string text = output_of("timeout 10 sox " + input + " -n " + effects + " stat 2>&1");
  const std::string hz = match(text, R"(Rough\s+frequency:\s+([0-9.]+))");
  const std::string rms = match(text, R"(RMS\s+amplitude:\s+([0-9.]+))");
  if (hz.empty() || rms.empty()) return false;
  s = {std::stod(hz), std::stod(rms),
       std::atof(match(text, R"(Length \(seconds\):\s+([0-9.]+))").c_str())};
  return true;
}
// The effects that leave only the sound of a recording: its first channel without the silence
// before and after.
inline const char* const trimmed = "remix 1 silence 1 0.02 1% reverse silence 1 0.02 1% reverse";

}  // namespace e2e
