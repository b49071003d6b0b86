// Whole call journeys of real phones against the call legs, answered by the call responder
// (tests/e2e/call_responder.cc): a phone that keeps RFC 3261, 3262 and 3264 to the letter,
// played over raw UDP (hold, resume, a digit, hang-up; PRACK of the ringing; a call without
// offer; a phone that moves and is hung up by the leg); baresip over UDP, TCP and TLS driven
// through its TCP control interface (call, hold, resume, hang-up by either side); and two sipp
// callers to "relay" linked by the responder, the second streaming a tone made with sox (or
// sipp's capture of a digit) that reaches the first as it is or transcoded.
// Everything, media included, stays on loopback; every wait is bounded to a few seconds and
// every process started here is stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <tuple>

#include "tests/e2e/harness_phones.h"

namespace {

using namespace e2e;

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
    return sdp_of(sip_->ip(), rtp_.port(),
                  "0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                  "a=fmtp:101 0-15\r\na=" +
                      direction + "\r\n",
                  ++sdp_version_);
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
      sip_->send_to(ip, port, response_to(bytes, status));
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
    const std::string log = t->log();
    std::string out;
    const std::regex line("Call responder: ([^\r\n]*)");
    for (std::sregex_iterator i(log.begin(), log.end(), line), end; i != end; ++i)
      out += (*i)[1].str() + "\n";
    return out;
  }
  // Waits at most 3 s until the responder's events match re.
  bool logged(const std::string& re) const {
    return eventually(3000, [&] { return std::regex_search(events(), std::regex(re)); });
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

// By transport ("srtp": TLS with SDES-keyed SRTP required), and whether the leg hangs up (at the
// maximum call duration) or baresip does.
class BaresipCallE2E : public CallJourneyE2E,
                       public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

// baresip dials, the call is answered, baresip holds it and resumes it, then one side hangs up.
TEST_P(BaresipCallE2E, IsAnsweredHeldResumedAndHungUp) {
  if (std::system("command -v baresip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no baresip";
  const auto [transport, by_leg] = GetParam();
  if (by_leg) start({{"max_call_duration", "3"}});
  const bool srtp = transport == "srtp";
  softphone baresip(
      t->dir() + "/baresip", "127.0.0.54",
      std::string("<sip:300@127.0.0.1>;regint=0;audio_codecs=PCMU/8000/1,PCMA/8000/1") +
          (srtp ? ";mediaenc=srtp-mand\n" : "\n"),
      440, true);
  const int port = transport == "udp"   ? t->ports().sip_udp
                   : transport == "tcp" ? t->ports().sip_tcp
                                        : t->ports().sip_tls;
  ASSERT_TRUE(baresip.command("dial", "sip:200@127.0.0.1:" + std::to_string(port) +
                                          ";transport=" + (srtp ? std::string("tls") : transport)));
  ASSERT_TRUE(baresip.saw("CALL_ESTABLISHED", 1, 5000)) << baresip.output();
  std::this_thread::sleep_for(milliseconds(1000));  // a short talk, media flowing
  for (const char* command : {"hold", "resume"}) {
    ASSERT_TRUE(baresip.command(command));
    EXPECT_TRUE(logged(std::string("State=") + (command[0] == 'h' ? "sendonly" : "sendrecv")))
        << command << events();
  }
  if (!by_leg) {
    ASSERT_TRUE(baresip.command("hangup"));
  }
  EXPECT_TRUE(baresip.saw("CALL_CLOSED", 1, 4000)) << baresip.output();
  EXPECT_NE(baresip.ctrl.received().find(by_leg ? "\"param\":\"Connection reset by peer\""
                                                : "\"param\":\"Connection reset by user\""),
            std::string::npos)
      << baresip.ctrl.received();
  EXPECT_TRUE(logged(by_leg
                         ? hung_up_by_leg
                         : "DialogHangup Call-ID=(\\d+) Reason=bye[^\n]*\nDialogEND Call-ID=\\1\n"))
      << events();
  baresip.process->stop();
  if (!srtp) return;
  // The answer carries our key, and the leg decrypted baresip's media: the report names the
  // SSRC of verified packets only, and no packet failed its tag.
  const std::string trace = slurp(baresip.home + "/out.txt");
  EXPECT_TRUE(
      std::regex_search(trace, std::regex("SIP/2.0 200 Ok\r?\n(?:(?!SIP/2.0|INVITE |ACK )[^\n]*\n)*"
                                          "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:")))
      << trace;
  EXPECT_TRUE(std::regex_search(
      t->log(), std::regex("RemoteAddr:IP=127\\.0\\.0\\.\\d+ PORT=\\d+ SSRC=0x(?!0{8})")))
      << t->log();
  EXPECT_EQ(t->log().find("SRTP packets with wrong MAC"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Transports, BaresipCallE2E,
                         ::testing::Combine(::testing::Values("udp", "tcp", "tls", "srtp"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param) +
                                  (std::get<1>(info.param) ? "_LegHangsUp" : "_PhoneHangsUp");
                         });

// ---- Media between two callers linked by the responder ----

using edit = std::pair<std::string, std::string>;  // a scenario text and its replacement
const std::string sdp_port = "[media_port] RTP/AVP 0", pcmu = "a=rtpmap:0 PCMU/8000";

class RelayE2E : public CallJourneyE2E {
 protected:
  void SetUp() override {
    if (std::system("command -v sipp >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "no sipp or sox";
    CallJourneyE2E::SetUp();
  }
  // One sipp call from ip to "relay" with the scenario xml; its exit status.
  int sipp(const std::string& name, const std::string& ip, const std::string& xml, int pause_ms) {
    return run_sipp(*t, name, ip, xml, "", 1, false, 0, "-s relay -d " + std::to_string(pause_ms));
  }
  // Calls "relay" from a (media on our socket), then from b, with their edits of sipp's own
  // uac scenario; the RTP packets reaching our socket until 1.5 s pass without one.
  std::vector<std::string> call(udp_peer& media, std::vector<edit> a_edits,
                                const std::vector<edit>& b_edits) {
    std::string uac_a = output_of("sipp -sd uac"), uac_b = uac_a;
    a_edits.insert(a_edits.begin(), {"[media_ip]", "127.0.0.57"});
    for (auto& [xml, edits] : {std::pair{&uac_a, a_edits}, std::pair{&uac_b, b_edits}})
      for (const auto& [from, to] : edits) xml->replace(xml->find(from), from.size(), to);
    int rc_a = -1;
    std::thread a([&] { rc_a = sipp("a", "127.0.0.56", uac_a, 4500); });
    const bool ringing = t->wait_for_log("Call responder: GetDialogState", 3000);
    int rc_b = ringing ? sipp("b", "127.0.0.58", uac_b, 3000) : -1;
    std::vector<std::string> packets;
    for (std::string p; packets.size() < 500 && media.receive(p, 1500);)
      if (p.size() > 12) packets.push_back(p);
    a.join();
    EXPECT_TRUE(ringing);
    EXPECT_EQ(rc_a, 0) << t->read_file("sipp-a/sipp.out");
    EXPECT_EQ(rc_b, 0) << t->read_file("sipp-b/sipp.out");
    return packets;
  }
};

// A field of n bytes at `at` of an RTP header.
uint32_t field(const std::string& p, size_t at, int n) {
  uint32_t v = 0;
  for (int k = 0; k < n; ++k) v = v << 8 | uint8_t(p.at(at + size_t(k)));
  return v;
}

// The tone reaches the first caller under its own payload type for the codec it offered, in
// whole frames, and sounds as sent: the same frequency, the level within 2 dB. Relayed, the tone
// comes under the leg's own steady header: sequence number up by one, timestamp by 20 ms, one
// SSRC, no marker. (A transcoding leg may go on with its own silence at a later timestamp once
// the tone ends, as RTP allows.)
TEST_F(RelayE2E, ToneCrossesRelayAndTranscoding) {
  struct row {
    const char* name;
    int pt;                     // what the first caller offers and must receive
    const char* rtpmap;         // its a=rtpmap line
    const char* sox_type;       // the format of that payload for sox
    size_t bytes_per_s, frame;  // its bytes per second and per frame
  } rows[] = {
      {"relayed, PCMU under a payload type of its own", 97, "a=rtpmap:97 PCMU/8000", "ul", 8000, 1},
      {"transcoded", 8, "a=rtpmap:8 PCMA/8000", "al", 8000, 1},
      {"transcoded to GSM", 3, "a=rtpmap:3 GSM/8000", "gsm", 1650, 33},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    if (&r != rows) start({});
    const std::string dir = t->dir();
    ASSERT_EQ(std::system(("cd " + dir + " && sox -n -r 8000 -c 1 tone.wav synth 2 sine 1000 " +
                           "vol 0.5 && sox tone.wav -t ul tone.ul")
                              .c_str()),
              0);
    sound sent;
    ASSERT_TRUE(measure(dir + "/tone.wav", sent));

    udp_peer media("127.0.0.57");
    const auto packets =
        call(media,
             {{sdp_port, std::to_string(media.port()) + " RTP/AVP " + std::to_string(r.pt)},
              {pcmu, r.rtpmap}},
             {{"<pause/>",
               "<nop><action><exec rtp_stream=\"../tone.ul,1,0\"/></action></nop><pause/>"}});
    // The payloads of the tone; packets of one repeated byte are the silence around it (sox
    // trims what silence is left, such as GSM's).
    std::string payload, last;
    int wrong = 0, unsteady = 0;  // packets of another payload type or not in whole frames
    for (const std::string& p : packets) {
      const std::string body = payload_of(p);
      if ((p[1] & 0x7f) != r.pt || body.size() % r.frame) {
        ++wrong;
      } else if (body.find_first_not_of(body[0]) != std::string::npos) {
        if (!last.empty() && r.pt == 97 &&
            (field(p, 0, 2) != (0x8000u | r.pt) ||
             field(p, 2, 2) != ((field(last, 2, 2) + 1) & 0xffff) ||
             field(p, 4, 4) != field(last, 4, 4) + 160 || field(p, 8, 4) != field(last, 8, 4)))
          ++unsteady;
        payload += body;
        last = p;
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(unsteady, 0);
    EXPECT_GE(payload.size(), r.bytes_per_s * 3 / 2);  // at least 1.5 s of the 2 s
    const std::string heard_file = dir + "/heard." + r.sox_type;
    std::ofstream(heard_file, std::ios::binary) << payload;
    sound heard;
    ASSERT_TRUE(measure(std::string("-t ") + r.sox_type + " -r 8000 -c 1 " + heard_file, heard,
                        "silence 1 0.02 2% reverse silence 1 0.02 2% reverse"));
    const double db = 20 * std::log10(heard.rms / sent.rms);
    std::printf("%s: %zu bytes, %.0f Hz, RMS %.4f (sent %.4f), %+.2f dB\n", r.name, payload.size(),
                heard.hz, heard.rms, sent.rms, db);
    EXPECT_NEAR(sent.hz, 1000, 30);  // sox's estimate from zero crossings
    // GSM's coding noise adds zero crossings: a few per cent up is still the tone; a wrong rate
    // or a dropped half of the packets is not.
    EXPECT_NEAR(heard.hz, sent.hz, sent.hz * 0.03);
    EXPECT_NEAR(db, 0, 2);
  }
}

// Digit 1 as telephone events from sipp's capture (payload type 101) reaches the first caller
// under the payload type of its own SDP (96), the last packets with the end bit.
TEST_F(RelayE2E, TelephoneEventsRelayed) {
  if (!std::ifstream(digits + "1.pcap")) GTEST_SKIP() << "no sipp captures of digits";
  udp_peer media("127.0.0.57");
  const auto te = [](const std::string& port, const std::string& pt) {
    return std::vector<edit>{{sdp_port, port + " RTP/AVP 0 " + pt},
                             {pcmu, pcmu + "\na=rtpmap:" + pt + " telephone-event/8000"}};
  };
  std::vector<edit> a = te(std::to_string(media.port()), "96"), b = te("[media_port]", "101");
  b.push_back({"<pause/>", "<nop><action><exec play_pcap_audio=\"" + digits +
                               "1.pcap\"/></action></nop><pause/>"});
  std::string events;  // per telephone event: its event number, then E when it ends
  int others = 0;
  for (const std::string& p : call(media, a, b)) {
    const std::string body = payload_of(p);
    if ((p[1] & 0x7f) == 96 && body.size() == 4)
      events += std::to_string(body[0]) + (body[1] & 0x80 ? "E " : " ");
    else if ((p[1] & 0x7f) != 0 || body.find_first_not_of(body[0]) != std::string::npos)
      ++others;  // only silence may come besides the events
  }
  std::printf("telephone events: %s\n", events.c_str());
  EXPECT_EQ(others, 0);
  EXPECT_TRUE(std::regex_match(events, std::regex("(1 ){3,}(1E )+"))) << events;
}

}  // namespace
