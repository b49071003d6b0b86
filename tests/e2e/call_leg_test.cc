// Calls into the daemon, answered by the call responder (the daemon with a stand-in for the
// PBX's call logic, tests/e2e/call_responder.cc): sipp places a call that rings, is answered
// with SDP on loopback and ends with BYE, then one it cancels while it rings. Every packet,
// media included, stays on loopback; every wait is bounded to a few seconds.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// Cancels the INVITE once it rings; the CANCEL and the ACK of the 487 reuse its Via.
const char* const cancel_scenario = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="cancel">
<send retrans="500"><![CDATA[
INVITE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: sipp <sip:sipp@[local_ip]:[local_port]>;tag=[call_number]
To: <sip:[service]@[remote_ip]:[remote_port]>
Call-ID: [call_id]
CSeq: 1 INVITE
Contact: <sip:sipp@[local_ip]:[local_port]>
Max-Forwards: 70
Content-Type: application/sdp
Content-Length: [len]

v=0
o=- 1 1 IN IP[local_ip_type] [local_ip]
s=-
c=IN IP[media_ip_type] [media_ip]
t=0 0
m=audio [media_port] RTP/AVP 0
]]></send>
<recv response="100" optional="true"/>
<recv response="180"/>
<send><![CDATA[
CANCEL sip:[service]@[remote_ip]:[remote_port] SIP/2.0
[last_Via:]
From: sipp <sip:sipp@[local_ip]:[local_port]>;tag=[call_number]
To: <sip:[service]@[remote_ip]:[remote_port]>
Call-ID: [call_id]
CSeq: 1 CANCEL
Max-Forwards: 70
Content-Length: 0
]]></send>
<recv response="200"><action>
<ereg regexp="CANCEL" search_in="hdr" header="CSeq:" check_it="true" assign_to="1"/>
</action></recv>
<recv response="487"/>
<send><![CDATA[
ACK sip:[service]@[remote_ip]:[remote_port] SIP/2.0
[last_Via:]
From: sipp <sip:sipp@[local_ip]:[local_port]>;tag=[call_number]
[last_To:]
Call-ID: [call_id]
CSeq: 1 ACK
Max-Forwards: 70
Content-Length: 0
]]></send>
<Reference variables="1"/>
</scenario>
)";

class CallLegE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sipp";
    start(CALL_RESPONDER_BINARY);
  }
  // Starts the daemon (binary empty: telmond itself, whose PBX routes no call yet).
  void start(const std::string& binary) {
    t.reset();
    e2e::telmond_options o;
    o.binary = binary;
    // Each call sends more requests within a second than the blocking allows unauthenticated.
    o.allow("127.0.0.48", 28);
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start()) << t->error();
  }

  // Runs sipp from ip, media on ip too, for one call of the scenario xml (sipp's own uac when
  // empty) with args; its exit status, and in trace sipp's log of the messages.
  int sipp(const std::string& name, const std::string& ip, const std::string& xml,
           std::string& trace, const std::string& args = "-s 200") {
    const std::string dir = t->dir() + "/sipp-" + name;
    std::system(("mkdir -p " + dir).c_str());
    if (!xml.empty()) std::ofstream(dir + "/scenario.xml") << xml;
    const std::string cmd =
        "cd " + dir + " && timeout 15 sipp " + (xml.empty() ? "-sn uac" : "-sf scenario.xml") +
        " -m 1 -l 1 -i " + ip + " -p " + std::to_string(e2e::free_port()) + " -mi " + ip + " -mp " +
        std::to_string(e2e::free_port()) + " " + args +
        " -timeout 10s -recv_timeout 4000 -nostdin -trace_msg -trace_err 127.0.0.1:" +
        std::to_string(t->ports().sip_udp) +
        " > sipp.out 2>&1; rc=$?; cat *_messages.log > trace.txt 2>/dev/null; exit $rc";
    const int rc = std::system(cmd.c_str());
    trace = e2e::slurp(dir + "/trace.txt");
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  std::unique_ptr<e2e::telmond_process> t;
};

// The text of the first message sipp received that matches re ("" when none).
std::string received(const std::string& trace, const std::regex& re) {
  const std::string sep = "-----------------------------------------------";
  for (size_t at = trace.find(sep); at != std::string::npos;) {
    const size_t next = trace.find(sep, at + sep.size());
    const std::string m = trace.substr(at, next - at);
    if (m.find("message received") != std::string::npos && std::regex_search(m, re)) return m;
    at = next;
  }
  return "";
}

TEST_F(CallLegE2E, AnsweredCallWithLoopbackMediaEndsWithBye) {
  std::string trace;
  EXPECT_EQ(sipp("uac", "127.0.0.49", "", trace), 0) << t->read_file("sipp-uac/sipp.out");
  for (const char* status : {"100", "180"})
    EXPECT_NE(received(trace, std::regex(std::string("SIP/2.0 ") + status)), "") << status;
  const std::string ok = received(trace, std::regex("SIP/2.0 200[\\s\\S]*CSeq: *1 INVITE"));
  const std::string ip = R"(127\.\d+\.\d+\.\d+\r?\n)";
  EXPECT_TRUE(std::regex_search(ok, std::regex("\no=\\S+ \\S+ \\S+ IN IP4 " + ip))) << ok;
  EXPECT_TRUE(std::regex_search(ok, std::regex("\nc=IN IP4 " + ip))) << ok;
  EXPECT_TRUE(std::regex_search(ok, std::regex("\nm=audio [1-9][0-9]* "))) << ok;
  EXPECT_TRUE(t->wait_for_log("Call responder: DialogEND", 3000));
  const std::string log = t->stderr_text() + t->read_file(e2e::telmond_process::daily_log_name());
  EXPECT_TRUE(
      std::regex_search(log, std::regex("Call responder: DialogHangup Call-ID=\\d+ Reason=bye")))
      << log;
}

TEST_F(CallLegE2E, CancelWhileRingingEndsWith487) {
  std::string trace;
  EXPECT_EQ(sipp("cancel", "127.0.0.50", cancel_scenario, trace), 0)
      << t->read_file("sipp-cancel/sipp.out") << trace;
  EXPECT_TRUE(t->wait_for_log("Call responder: DialogEND", 3000));
}

TEST_F(CallLegE2E, ByeOutsideDialogIs481) {
  e2e::udp_peer phone("127.0.0.51");
  ASSERT_TRUE(phone.send_to(
      "127.0.0.1", t->ports().sip_udp,
      "BYE sip:200@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.51:" +
          std::to_string(phone.port()) +
          ";branch=z9hG4bK-nodialog\r\nFrom: <sip:a@127.0.0.51>;tag=1\r\nTo: "
          "<sip:200@127.0.0.1>;tag=2\r\nCall-ID: no-such-dialog\r\nCSeq: 2 BYE\r\nMax-Forwards: "
          "70\r\nContent-Length: 0\r\n\r\n"));
  std::string answer;
  ASSERT_TRUE(phone.receive(answer, 3000));
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "SIP/2.0 481 Call/Transaction Does Not Exist");
}

// Two calls linked by the responder relay each other's media packet by packet: what the second
// caller streams in PCMU reaches the first caller's media address under that leg's own header,
// with the payload type the first caller chose for PCMU and a sequence counting up by one.
TEST_F(CallLegE2E, LinkedCallsRelayMedia) {
  // sipp's own uac: the first caller's media goes to our socket, as payload type 97; the second
  // streams 1 s of PCMU silence once answered.
  e2e::udp_peer media("127.0.0.54");
  std::ofstream(t->dir() + "/silence.raw") << std::string(8000, '\xff');
  std::system(("sipp -sd uac > " + t->dir() + "/uac.xml").c_str());
  std::string uac_a = e2e::slurp(t->dir() + "/uac.xml"), uac_b = uac_a, trace_a, trace_b;
  for (auto [from, to] : {std::pair<std::string, std::string>{"[media_ip]", "127.0.0.54"},
                          {"[media_port] RTP/AVP 0", std::to_string(media.port()) + " RTP/AVP 97"},
                          {"rtpmap:0", "rtpmap:97"}})
    uac_a.replace(uac_a.find(from), from.size(), to);
  uac_b.insert(uac_b.find("<pause/>"),
               "<nop><action><exec rtp_stream=\"../silence.raw,1,0\"/>"
               "</action></nop>");
  int rc_a = -1;
  std::thread a([&] { rc_a = sipp("a", "127.0.0.53", uac_a, trace_a, "-s relay -d 2500"); });
  ASSERT_TRUE(t->wait_for_log("Call responder: GetDialogState", 3000));
  EXPECT_EQ(sipp("b", "127.0.0.55", uac_b, trace_b, "-s relay -d 1500"), 0);
  std::vector<std::string> p(5);
  for (std::string& one : p) ASSERT_TRUE(media.receive(one, 2000) && one.size() == 12 + 160);
  a.join();
  EXPECT_EQ(rc_a, 0) << t->read_file("sipp-a/sipp.out");
  const auto be = [&](size_t i, size_t at, int n) {  // a field of packet i
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v = v << 8 | uint8_t(p[i].at(at + size_t(k)));
    return v;
  };
  for (size_t i = 1; i < p.size(); ++i) {
    EXPECT_EQ(be(i, 0, 2), 0x8000u | 97) << i;  // no marker after the first
    EXPECT_EQ(be(i, 2, 2), (be(i - 1, 2, 2) + 1) & 0xffff) << i;
    EXPECT_EQ(be(i, 4, 4), be(i - 1, 4, 4) + 160) << i;
    EXPECT_EQ(be(i, 8, 4), be(0, 8, 4)) << i;
  }
}

// A phone that is no account of the daemon and comes on no trunk gets a clean 404, not
// silence.
TEST_F(CallLegE2E, CallerWithoutAccountIsRefused) {
  start("");
  std::string trace;
  EXPECT_NE(sipp("unrouted", "127.0.0.52", "", trace), 0);
  EXPECT_NE(received(trace, std::regex("SIP/2.0 404 Not Found")), "") << trace;
}

}  // namespace
