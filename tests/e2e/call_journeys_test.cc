// Whole call journeys of real phones against the call legs, answered by the call responder
// (tests/e2e/call_responder.cc): a phone that keeps RFC 3261, 3262 and 3264 to the letter,
// played over raw UDP (hold, resume, a digit, hang-up; PRACK of the ringing; a call without
// offer; a phone that moves and is hung up by the leg), and baresip over UDP, TCP and TLS driven
// through its TCP control interface (call, hold, resume, hang-up by either side).
// Everything, media included, stays on loopback; every wait is bounded to a few seconds and
// every process started here is stopped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::first_line;
using e2e::header_of;
using e2e::match;

// A phone that keeps the RFCs to the letter: every request on a branch of its own, CSeq counting
// up, the ACK of a 2xx with its INVITE's CSeq number, requests after the first answer with a To
// tag to the dialog's remote target (that answer's Contact), each new SDP with the next o=
// version.
class strict_phone {
 public:
  strict_phone(const std::string& ip, int server_port)
      : sip_(std::make_unique<e2e::udp_peer>(ip)),
        rtp_(ip),
        target_("sip:200@127.0.0.1:" + std::to_string(server_port)),
        call_id_("journey-" + std::to_string(sip_->port())) {}

  // The offer or answer of the phone: PCMU and telephone-event, in direction.
  std::string sdp(const std::string& direction) {
    const std::string ip = sip_->ip();
    return "v=0\r\no=phone 5300 " + std::to_string(++sdp_version_) + " IN IP4 " + ip +
           "\r\ns=-\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio " + std::to_string(rtp_.port()) +
           " RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
           "a=fmtp:101 0-15\r\na=" +
           direction + "\r\n";
  }
  // Sends a request with extra header lines; an INFO body is a dtmf-relay one, any other SDP.
  void send(const std::string& method, int cseq, const std::string& body,
            const std::string& headers) {
    const std::string via = contact().substr(8);
    const std::string type = method == "INFO" ? "application/dtmf-relay" : "application/sdp";
    last_request = method + " " + target_ + " SIP/2.0\r\nVia: SIP/2.0/UDP " + via +
                   ";branch=z9hG4bK-cj" + std::to_string(++branches_) + "\r\nFrom: <sip:300@" +
                   sip_->ip() + ">;tag=p53\r\nTo: " + "<sip:200@127.0.0.1>" +
                   (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\nCall-ID: " + call_id_ +
                   "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContact: <" +
                   contact() + ">\r\nMax-Forwards: 70\r\n" + headers +
                   (body.empty() ? "" : "Content-Type: " + type + "\r\n") +
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    resend(last_request);
  }
  void resend(const std::string& request) {
    sip_->send_to(match(target_, "@([0-9.]+)"), std::stoi(match(target_, "@[^:;>]+:([0-9]+)")),
                  request);
  }
  // The next n responses to CSeq "<cseq> <method>", each within 3 s; other responses are kept
  // for a later call. The first answer with a To tag gives the dialog's tag and remote target.
  std::vector<std::string> answers(const std::string& method, int cseq, size_t n) {
    std::vector<std::string> out, other;
    std::string bytes;
    while (out.size() < n && (next(bytes) || sip_->receive(bytes, 3000))) {
      if (header_of(bytes, "CSeq") != std::to_string(cseq) + " " + method) {
        other.push_back(bytes);
        continue;
      }
      out.push_back(bytes);
      const std::string tag = match(header_of(bytes, "To"), ";tag=([^;>]+)");
      if (to_tag.empty() && !tag.empty()) {
        to_tag = tag;
        target_ = match(header_of(bytes, "Contact"), "<([^>]+)>");
      }
    }
    kept_.insert(kept_.end(), other.begin(), other.end());
    return out;
  }
  // The next request that arrives within ms milliseconds ("" when none), answered with
  // status (e.g. "200 OK") echoing its Via, From, To, Call-ID and CSeq.
  std::string request(int ms, const std::string& status) {
    std::string bytes, ip;
    int port = 0;
    while (sip_->receive(bytes, ms, &ip, &port)) {
      if (bytes.rfind("SIP/2.0 ", 0) == 0) {
        kept_.push_back(bytes);
        continue;
      }
      std::string r = "SIP/2.0 " + status + "\r\n";
      for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
        r += std::string(h) + ": " + header_of(bytes, h) + "\r\n";
      sip_->send_to(ip, port, r + "Content-Length: 0\r\n\r\n");
      return bytes;
    }
    return "";
  }
  // Listens for ms milliseconds; every response that no step read, in order.
  std::vector<std::string> unread(int ms) {
    for (std::string bytes; sip_->receive(bytes, ms);) kept_.push_back(bytes);
    return kept_;
  }
  // The phone moves to a new port (as behind a NAT that rebound it): its Contact changes.
  void move() { sip_ = std::make_unique<e2e::udp_peer>(sip_->ip()); }
  std::string contact() const {
    return "sip:300@" + sip_->ip() + ":" + std::to_string(sip_->port());
  }
  std::string to_tag, last_request;

 private:
  bool next(std::string& bytes) {
    if (kept_.empty()) return false;
    bytes = kept_.front();
    kept_.erase(kept_.begin());
    return true;
  }
  std::unique_ptr<e2e::udp_peer> sip_;
  e2e::udp_peer rtp_;  // only holds the announced media port
  std::string target_, call_id_;
  std::vector<std::string> kept_;
  int branches_ = 0, sdp_version_ = 0;
};

class CallJourneyE2E : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  // Starts the responder with extra pbx.xml settings.
  void start(const std::map<std::string, std::string>& settings) {
    t.reset();
    e2e::telmond_options o;
    o.settings = settings;
    o.binary = CALL_RESPONDER_BINARY;
    // A call sends more requests within a second than the blocking allows unauthenticated.
    o.allow("127.0.0.48", 28);
    // baresip's TCP and TLS connections come from 127.0.0.1 whatever address it listens on.
    o.allow("127.0.0.1", 32);
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start()) << t->error();
  }
  // The responder's event lines so far, "<element> <children>" each, one per line.
  std::string events() const {
    const std::string log = t->stderr_text() + t->read_file(e2e::telmond_process::daily_log_name());
    std::string out;
    const std::regex line("Call responder: ([^\r\n]*)");
    for (std::sregex_iterator i(log.begin(), log.end(), line), end; i != end; ++i)
      out += (*i)[1].str() + "\n";
    return out;
  }
  // Waits at most 3 s until the responder's events match re.
  bool logged(const std::string& re) const {
    for (int i = 0; i < 60; i++, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
      if (std::regex_search(events(), std::regex(re))) return true;
    return false;
  }
  std::unique_ptr<e2e::telmond_process> t;
};

// The status line of a response, with the direction of its SDP, if any.
std::string summary(const std::string& response) {
  const std::string direction = match(response, "\na=(sendrecv|sendonly|recvonly|inactive)\r");
  return first_line(response).substr(8) + (direction.empty() ? "" : " " + direction);
}

// One step of a phone's journey: a request and the summaries of its answers, " | " between
// them (none for an ACK). A method with a leading '+' sends nothing and reads more answers.
struct step {
  std::string method;
  int cseq;
  std::string body, headers, expected;
};

// Walks the steps; every answer in order, or fewer when a step failed.
std::vector<std::string> walk(strict_phone& phone, const std::vector<step>& steps) {
  std::vector<std::string> all;
  for (const step& s : steps) {
    const bool send = s.method[0] != '+';
    if (send) phone.send(s.method, s.cseq, s.body, s.headers);
    if (s.expected.empty()) continue;
    const size_t n = std::count(s.expected.begin(), s.expected.end(), '|') + 1;
    std::string got;
    for (const std::string& r : phone.answers(s.method.substr(send ? 0 : 1), s.cseq, n)) {
      got += (got.empty() ? "" : " | ") + summary(r);
      all.push_back(r);
    }
    EXPECT_EQ(got, s.expected) << s.method << " " << s.cseq << "\n"
                               << (all.empty() ? "" : all.back());
    if (got != s.expected) break;
  }
  return all;
}

TEST_F(CallJourneyE2E, StrictPhoneHoldsSendsADigitAndHangsUp) {
  strict_phone phone("127.0.0.53", t->ports().sip_udp);
  const std::vector<std::string> talk =
      walk(phone,
           {{"INVITE", 1, phone.sdp("sendrecv"), "", "100 Trying | 180 Ringing | 200 Ok sendrecv"},
            {"ACK", 1, "", "", ""},
            {"INVITE", 2, phone.sdp("sendonly"), "", "200 Ok recvonly"},
            {"ACK", 2, "", "", ""},
            {"INVITE", 3, phone.sdp("sendrecv"), "", "200 Ok sendrecv"},
            {"ACK", 3, "", "", ""},
            {"INFO", 4, "Signal=5\r\nDuration=160\r\n", "", "200 Ok"}});
  // Every 200 was acknowledged: none comes again (the first repeat would after 500 ms).
  EXPECT_EQ(phone.unread(1000), std::vector<std::string>{});
  std::vector<std::string> answers = walk(phone, {{"BYE", 5, "", "", "200 Ok"}});
  answers.insert(answers.begin(), talk.begin(), talk.end());
  ASSERT_EQ(answers.size(), 7u);
  // The 200 of the INVITE: the 180's To tag, a loopback remote target and loopback media.
  const std::string& ok = answers[2];
  EXPECT_EQ(match(header_of(ok, "To"), "tag=(.+)"), match(header_of(answers[1], "To"), "tag=(.+)"));
  EXPECT_EQ(header_of(answers[1], "Require"), "");  // the phone did not offer 100rel
  EXPECT_NE(match(header_of(ok, "Contact"), "^<sip:[^@]+@(127\\.[0-9.]+):[1-9][0-9]*[;>]"), "")
      << ok;
  EXPECT_NE(match(ok, "\nc=IN IP4 (127\\.[0-9.]+)\r\n"), "") << ok;
  EXPECT_NE(match(ok, "\nm=audio ([1-9][0-9]*) RTP/AVP 0 101\r\n"), "") << ok;
  // Each changed SDP of the same session has the next version.
  const std::regex origin("\no=(\\S+ \\S+) (\\d+) ");
  std::smatch o[3];
  for (int i = 0; i < 3; i++) ASSERT_TRUE(std::regex_search(answers[2 + i], o[i], origin));
  for (int i = 1; i < 3; i++) {
    EXPECT_EQ(o[i][1].str(), o[0][1].str());
    EXPECT_EQ(std::stoll(o[i][2].str()), std::stoll(o[0][2].str()) + i);
  }
  EXPECT_NE(header_of(answers.back(), "User-Agent"), "");
  // The BYE again: the same answer, byte for byte.
  phone.resend(phone.last_request);
  EXPECT_EQ(phone.answers("BYE", 5, 1), std::vector<std::string>{answers.back()});
  EXPECT_TRUE(
      logged("DialogHold Call-ID=(\\d+) State=sendonly\nDialogHold Call-ID=\\1 "
             "State=sendrecv\nDialogHangup Call-ID=\\1 Reason=bye[^\n]*\n"
             "DialogEND Call-ID=\\1\n"))
      << events();
}

// A phone that supports reliable provisional answers, or requires them, acknowledges the 180
// with PRACK in the early dialog before the 200 comes.
TEST_F(CallJourneyE2E, StrictPhoneWith100relAcknowledgesTheRinging) {
  for (const char* option : {"Supported: 100rel\r\n", "Require: 100rel\r\n"}) {
    strict_phone phone("127.0.0.55", t->ports().sip_udp);
    const std::vector<std::string> answers =
        walk(phone, {{"INVITE", 1, phone.sdp("sendrecv"), option, "100 Trying | 180 Ringing"},
                     {"PRACK", 2, "", "RAck: 1 1 INVITE\r\n", "200 Ok"},
                     {"+INVITE", 1, "", "", "200 Ok sendrecv"},
                     {"ACK", 1, "", "", ""},
                     {"BYE", 3, "", "", "200 Ok"}});
    ASSERT_EQ(answers.size(), 5u) << option;
    EXPECT_EQ(header_of(answers[1], "Require") + " " + header_of(answers[1], "RSeq"), "100rel 1")
        << option;
  }
  EXPECT_TRUE(logged("(DialogEND[^\n]*\n[^]*){2}")) << events();
}

// A phone that leaves the offer to the called side: INVITE without SDP, the answer in the ACK.
TEST_F(CallJourneyE2E, StrictPhoneWithoutOfferAnswersInTheAck) {
  strict_phone phone("127.0.0.56", t->ports().sip_udp);
  walk(phone, {{"INVITE", 1, "", "", "100 Trying | 180 Ringing | 200 Ok sendrecv"},
               {"ACK", 1, phone.sdp("sendrecv"), "", ""},
               {"INVITE", 2, phone.sdp("sendonly"), "", "200 Ok recvonly"},
               {"ACK", 2, "", "", ""},
               {"BYE", 3, "", "", "200 Ok"}});
  EXPECT_EQ(phone.unread(0), std::vector<std::string>{});
  EXPECT_TRUE(logged("DialogHangup Call-ID=(\\d+) Reason=bye[^\n]*\nDialogEND Call-ID=\\1\n"))
      << events();
}

// The events of a hangup at the maximum duration. It is reported when it happens and again when
// the BYE is answered; the log folds the second line into "Last message repeated" when nothing
// came between them.
const char* const hung_up_by_leg =
    "DialogHangup Call-ID=(\\d+) Reason=duration[^\n]*\n"
    "(DialogHangup Call-ID=\\1 Reason=duration[^\n]*\n)?DialogEND Call-ID=\\1\n";

// A phone that moved to a new port during the call, which then reaches its maximum duration: the
// leg hangs up with a BYE inside the phone's dialog, to where the phone is now.
TEST_F(CallJourneyE2E, StrictPhoneIsHungUpAtTheMaximumDuration) {
  start({{"max_call_duration", "2"}});
  strict_phone phone("127.0.0.57", t->ports().sip_udp);
  walk(phone,
       {{"INVITE", 1, phone.sdp("sendrecv"), "", "100 Trying | 180 Ringing | 200 Ok sendrecv"},
        {"ACK", 1, "", "", ""}});
  phone.move();  // its re-INVITE from the new port makes that the dialog's remote target
  walk(phone,
       {{"INVITE", 2, phone.sdp("sendrecv"), "", "200 Ok sendrecv"}, {"ACK", 2, "", "", ""}});
  const std::string bye = phone.request(3000, "200 OK");
  EXPECT_EQ(
      first_line(bye) + " | " + header_of(bye, "From") + " | " + header_of(bye, "To") + " | " +
          header_of(bye, "Reason"),
      "BYE " + phone.contact() + " SIP/2.0 | <sip:200@127.0.0.1>;tag=" + phone.to_tag +
          " | <sip:300@127.0.0.57>;tag=p53 | Preemption;cause=3;text=\"Maximum Call Duration\"")
      << bye;
  EXPECT_TRUE(logged(hung_up_by_leg)) << events();
}

// baresip, a process of this test: started with its configuration in dir and bounded by
// timeout(1); stop() ends it (SIGTERM, then SIGKILL) and reaps it.
class baresip_process {
 public:
  baresip_process(const std::string& dir, const std::string& ip) {
    pid_ = fork();
    if (pid_ != 0) return;
    setpgid(0, 0);
    setenv("HOME", dir.c_str(), 1);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open((dir + "/baresip.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.c_str()) != 0 || in < 0 || out < 0) _exit(127);
    dup2(in, 0), dup2(out, 1), dup2(out, 2);
    execlp("timeout", "timeout", "15", "baresip", "-s", "-f", dir.c_str(), "-n", ip.c_str(),
           nullptr);
    _exit(127);
  }
  ~baresip_process() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 300 && waitpid(pid_, nullptr, WNOHANG) == 0; i++) {
      if (i == 200) kill(-pid_, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

// One command to baresip's ctrl_tcp interface (a netstring of JSON).
std::string ctrl_command(const std::string& command, const std::string& params) {
  const std::string json = "{\"command\":\"" + command + "\",\"params\":\"" + params + "\"}";
  return std::to_string(json.size()) + ":" + json + ",";
}

// By transport ("srtp": TLS with SDES-keyed SRTP required), and whether the leg hangs up (at the
// maximum call duration) or baresip does.
class BaresipCallE2E : public CallJourneyE2E,
                       public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

// baresip dials, the call is answered, baresip holds it and resumes it, then one side hangs up.
TEST_P(BaresipCallE2E, IsAnsweredHeldResumedAndHungUp) {
  if (std::system("command -v baresip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no baresip";
  const auto [transport, by_leg] = GetParam();
  if (by_leg) start({{"max_call_duration", "3"}});
  const std::string ip = "127.0.0.54", home = t->dir() + "/baresip";
  const int ctrl_port = e2e::free_port();
  std::system(("mkdir -p " + home).c_str());
  const bool srtp = transport == "srtp";
  std::ofstream(home + "/accounts")
      << "<sip:300@127.0.0.1>;regint=0" << (srtp ? ";mediaenc=srtp-mand\n" : "\n");
  // A sine as the microphone, a bridge as the speaker: media runs without sound devices.
  std::ofstream(home + "/config")
      << "sip_listen " << ip << ":" << e2e::free_port()
      << "\nmodule_path /usr/lib/baresip/modules\n"
      << (srtp ? "module srtp.so\n" : "")
      << "module g711.so\nmodule ausine.so\nmodule aubridge.so\nmodule_tmp account.so\n"
      << "module_app menu.so\nmodule_app ctrl_tcp.so\nctrl_tcp_listen " << ip << ":" << ctrl_port
      << "\naudio_source ausine,440\naudio_player aubridge,sink\naudio_alert aubridge,sink\n"
      << "ausrc_srate 48000\nausrc_channels 2\nsip_verify_server no\n";
  baresip_process baresip(home, ip);
  e2e::tcp_client ctrl;
  for (int i = 0; i < 50 && !ctrl.connect(ip, ctrl_port, ip); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int port = transport[1] == 'd'   ? t->ports().sip_udp
                   : transport[1] == 'c' ? t->ports().sip_tcp
                                         : t->ports().sip_tls;
  ASSERT_TRUE(
      ctrl.send(ctrl_command("dial", "sip:200@127.0.0.1:" + std::to_string(port) +
                                         ";transport=" + (srtp ? std::string("tls") : transport))));
  ASSERT_TRUE(ctrl.receive_until("CALL_ESTABLISHED", 5000))
      << ctrl.received() << e2e::slurp(home + "/baresip.out");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // a short talk, media flowing
  for (const char* command : {"hold", "resume"}) {
    ASSERT_TRUE(ctrl.send(ctrl_command(command, "")));
    EXPECT_TRUE(logged(std::string("State=") + (command[0] == 'h' ? "sendonly" : "sendrecv")))
        << command << events();
  }
  if (!by_leg) {
    ASSERT_TRUE(ctrl.send(ctrl_command("hangup", "")));
  }
  EXPECT_TRUE(ctrl.receive_until("CALL_CLOSED", 4000)) << ctrl.received();
  EXPECT_NE(ctrl.received().find(by_leg ? "\"param\":\"Connection reset by peer\""
                                        : "\"param\":\"Connection reset by user\""),
            std::string::npos)
      << ctrl.received();
  EXPECT_TRUE(logged(by_leg
                         ? hung_up_by_leg
                         : "DialogHangup Call-ID=(\\d+) Reason=bye[^\n]*\nDialogEND Call-ID=\\1\n"))
      << events();
  baresip.stop();
  if (!srtp) return;
  // The answer carries our key, and the leg decrypted baresip's media: the report names the
  // SSRC of verified packets only, and no packet failed its tag.
  EXPECT_TRUE(
      std::regex_search(e2e::slurp(home + "/baresip.out"),
                        std::regex("SIP/2.0 200 Ok\r?\n(?:(?!SIP/2.0|INVITE |ACK )[^\n]*\n)*"
                                   "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:")))
      << e2e::slurp(home + "/baresip.out");
  const std::string log = t->stderr_text() + t->read_file(e2e::telmond_process::daily_log_name());
  EXPECT_TRUE(std::regex_search(
      log, std::regex("RemoteAddr:IP=127\\.0\\.0\\.\\d+ PORT=\\d+ SSRC=0x(?!0{8})")))
      << log;
  EXPECT_EQ(log.find("SRTP packets with wrong MAC"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Transports, BaresipCallE2E,
                         ::testing::Combine(::testing::Values("udp", "tcp", "tls", "srtp"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param) +
                                  (std::get<1>(info.param) ? "_LegHangsUp" : "_PhoneHangsUp");
                         });

}  // namespace
