// Call legs under a manual clock: scripted journeys of one leg checked against the transcript of
// what it sent and reported; its audio through the stream's hooks.
#include "sip/call_port.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/file_system.h"
#include "base/log_capture_test_util.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "media/audio_store.h"
#include "media/codec_engine.h"
#include "media/dtmf.h"
#include "media/tone_test_util.h"
#include "media/wav_format.h"
#include "sip/call_messages.h"
#include "sip/pending_packet.h"
#include "sip/reg_in.h"
#include "sip/send_packet.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::vector<std::string> transcript;
std::vector<sip_message> sent;
std::vector<str> posted;
str first_version;  // of the first SDP answered

int capture_send(const sip_message& m) {
  sent.push_back(m);
  std::string line = m.is_request ? std::string(m.method.view())
                                  : std::to_string(m.code) + " " + std::string(m.reason.view());
  // A request inside a dialog shows its target ("<none>" when it has none).
  if (m.is_request && !m.to.tag().empty())
    line +=
        " " + (m.request_uri.empty() ? "<none>" : std::string(m.request_uri.serialize().view()));
  if (!m.sdps.empty()) line += " +sdp";
  if (!m.sdps.empty() && !m.is_request) {
    // An answer's formats, direction and version (counted from the leg's first SDP).
    const sdp& s = m.sdps.front();
    if (first_version.empty()) first_version = s.version;
    for (const m_line& ml : s.media) {
      for (const str& f : ml.formats) line += " " + std::string(f.view());
      for (const str& a : ml.attributes)
        if (a == sdp_sendrecv || a == sdp_sendonly || a == sdp_recvonly || a == sdp_inactive)
          line += " " + std::string(a.view()).substr(2);
    }
    line += " v+" + std::to_string(std::stoull(std::string(s.version.view())) -
                                   std::stoull(std::string(first_version.view())));
  }
  if (m.is_request && !m.get_other_header("Reason", "").empty()) line += " +reason";
  transcript.push_back(line);
  return 0;
}

void capture_post(const str& text) {
  posted.push_back(text);
  soap_envelope e;
  soap_parse(text, e);
  std::string line = "<" + std::string(e.name.view());
  if (const str* reason = e.find("Reason")) line += " " + std::string(reason->view());
  if (const str* code = e.find("Code")) line += " " + std::string(code->view());
  if (const str* state = e.find("State"); state && e.name == "DialogHold")
    line += " " + std::string(state->view());
  transcript.push_back(line);
}

const std::string offer =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.7\r\ns=-\r\nc=IN IP4 127.0.0.7\r\nt=0 0\r\n"
    "m=audio 6000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\n";

class CallPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transcript.clear();
    sent.clear();
    posted.clear();
    first_version = str();
    init_config();
    reset_call_ports();
    clear_pending_packets();
    context.reset();
    context = std::make_unique<scoped_srv_context>(
        srv_context{.post = capture_post, .send = capture_send, .queue = &queue});
  }
  void TearDown() override {
    reset_call_ports();
    context.reset();
  }

  // A request of the phone at 127.0.0.7 in dialog "c1" (To tag of the leg once it has one).
  sip_message phone_request(const std::string& method, unsigned cseq, const std::string& extra,
                            const std::string& body) {
    const call_port* p = get_port(find_port("c1", str(), "f1"));
    const std::string to_tag = p && method != "INVITE" && method != "CANCEL" && method != "ACK"
                                   ? ";tag=" + std::string(p->local.tag().view())
                                   : "";
    std::string t = method +
                    " sip:200@127.0.0.1 SIP/2.0\r\n"
                    "Via: SIP/2.0/UDP 127.0.0.7:5070;branch=z9hG4bK" +
                    std::to_string(cseq) + method +
                    "\r\nFrom: <sip:100@127.0.0.1>;tag=f1\r\nTo: <sip:200@127.0.0.1>" + to_tag +
                    "\r\nCall-ID: c1\r\nCSeq: " + std::to_string(cseq) + " " + method +
                    "\r\nContact: <sip:100@127.0.0.7:5070>\r\n" + extra;
    t += body.empty()
             ? "\r\n"
             : "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body;
    sip_message m{str(t)};
    m.peer = ip_port::from_text("127.0.0.7:5070");
    m.transport = transport_type::udp;
    return m;
  }
  // A response of the called party at 127.0.0.9 to the leg's last INVITE.
  void called_party_response(int code, int contacts) {
    const sip_message* invite = nullptr;
    for (auto it = sent.rbegin(); it != sent.rend() && !invite; ++it)
      if (it->is_request && it->method == m_invite) invite = &*it;
    ASSERT_NE(invite, nullptr);
    sip_message r(code, code == 302 ? "Moved Temporarily" : "Reason", *invite);
    r.to.set_tag("t9");
    for (int i = 0; i < contacts; ++i)
      r.contact.push_back(from_to_spec(str::sprintf("<sip:20%d@127.0.0.9:5090>", i)));
    r.raw = "received";
    if (code >= 200 && code < 300) r.sdps.push_back(sdp(str(offer)));
    call_port_response(r);
  }

  // Runs one script of steps separated by "; " (see the table below).
  void run(const std::string& script) {
    std::istringstream steps(script);
    std::string step;
    while (std::getline(steps, step, ';')) {
      std::istringstream words(step);
      std::string verb, a, b;
      words >> verb >> a >> b;
      const unsigned cseq = a.empty() || !std::isdigit(a[0]) ? 0 : std::stoul(a);
      if (verb == "invite") {
        const char* const broken = "v=0\r\ns=-\r\nc=IN IP4\r\n";
        sip_message m = phone_request("INVITE", cseq, "", b == "badsdp" ? broken : offer);
        call_port_request(m);
      } else if (verb == "call") {
        // A new call from the same phone (a Call-ID of its own).
        sip_message m = phone_request("INVITE", 1, "", offer);
        m.call_id = str::sprintf("c%u", cseq);
        call_port_request(m);
      } else if (verb == "reinvite") {
        sip_message m =
            phone_request("INVITE", cseq, "", offer + (b.empty() ? "" : "a=" + b + "\r\n"));
        m.to.set_tag(get_port(0)->local.tag());
        m.call_port_index = 0;
        call_port_request(m);
      } else if (verb == "ack" || verb == "bye" || verb == "cancel" || verb == "options") {
        std::string method = verb;
        for (char& c : method) c = char(toupper(c));
        sip_message m = phone_request(method, cseq, "", "");
        call_port_request(m);
      } else if (verb == "refer") {
        sip_message m = phone_request(
            "REFER", cseq,
            "Refer-To: <sip:300@127.0.0.1>\r\n" + (b.empty() ? "" : "Refer-Sub: " + b + "\r\n"),
            "");
        call_port_request(m);
      } else if (verb == "policy") {
        call_port_on_soap(soap_write(msg::set_dialog_policy{"0", "false", "", "", "", "", "", "",
                                                            a == "tone" ? "true" : ""}));
      } else if (verb == "state") {
        msg::set_dialog_state s;
        s.call_id = "0", s.state_code = str(a), s.ring180 = b == "ring" ? "true" : "";
        s.state_reason = cseq == 180 ? "Ringing" : cseq == 200 ? "Ok" : "Busy Here";
        call_port_on_soap(soap_write(s));
      } else if (verb == "start") {
        msg::start_dialog s;
        s.call_id = "out1", s.uri = "sip:200@127.0.0.9:5090", s.from = "<sip:100@127.0.0.1>";
        s.accept_redirect = "true", s.hangup_tone = a == "tone" ? "true" : "";
        call_port_on_soap(soap_write(s));
      } else if (verb == "byeok") {
        // The phone answers the leg's BYE.
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
          if (!it->is_request || it->method != m_bye) continue;
          sip_message ok(200, "Ok", *it);
          ok.raw = "received";
          call_port_response(ok);
          break;
        }
      } else if (verb == "resp") {
        called_party_response(int(cseq), b.empty() ? 0 : std::stoi(b));
      } else if (verb == "fill") {
        for (int i = 0; i < call_port_count; ++i) allocate_call_port(str::sprintf("x%d", i));
      } else if (verb == "advance") {
        clock.advance_ms(int64_t(cseq) * 1000);
        while (queue.size() && queue.first_due() <= clock_now()) queue.next();
      } else if (!verb.empty()) {
        ADD_FAILURE() << "unknown step " << verb;
      }
    }
  }
  std::string joined() const {
    std::string out;
    for (const std::string& line : transcript) out += (out.empty() ? "" : " | ") + line;
    return out;
  }

  manual_clock clock;
  scoped_clock use_clock{&clock};
  timeout_queue queue;
  std::unique_ptr<scoped_srv_context> context;
  log_capture log;
};

// The opening of every incoming call: INVITE, policy, state asked.
const std::string opening = "invite 1; policy; ";
const std::string opened = "<GetDialogPolicy | 100 Trying | <GetDialogState";
// ... answered with the codecs of the offer that the system knows, telephone-event included.
const std::string answered = opened + " | 200 Ok +sdp 0 8 101 sendrecv v+0";

TEST_F(CallPortTest, Journeys) {
  std::string calls, policies;  // nine more calls from the phone, each a new Call-ID
  for (int i = 2; i <= 11; ++i) calls += "call " + std::to_string(i) + "; ";
  for (int i = 2; i <= 10; ++i) policies += "<GetDialogPolicy | 100 Trying | ";
  const struct {
    const char* name;
    std::string script, expected;
  } journeys[] = {
      {"retransmitted INVITE handled once", opening + "invite 1; state 200; invite 1; ack 1",
       answered},
      {"ACK of another CSeq ignored, then the right one", opening + "state 486; ack 7; ack 1",
       opened + " | 486 Busy Here | <DialogHangup reject | <DialogEND"},
      {"CANCEL after the answer", opening + "state 200; ack 1; cancel 1",
       answered + " | 200 Ok | BYE sip:100@127.0.0.7:5070 | <DialogHangup cancel"},
      {"180 after 200 changes nothing", opening + "state 200; state 180 ring", answered},
      {"re-INVITE with a higher CSeq answered, a lower one dropped",
       opening + "state 200; ack 1; reinvite 3; reinvite 2",
       answered + " | 200 Ok +sdp 0 8 101 sendrecv v+0 | <DialogHold sendrecv"},
      {"REFER with a subscription", opening + "state 200; ack 1; refer 2",
       answered + " | 202 Accepted | NOTIFY sip:100@127.0.0.7:5070 | <DialogRefer"},
      {"REFER with Refer-Sub false", opening + "state 200; ack 1; refer 2 false",
       answered + " | 202 Accepted | <DialogRefer"},
      {"broken SDP refused, the ACK ends the leg", "invite 1 badsdp; policy; ack 1",
       "<GetDialogPolicy | 100 Trying | 415 Unsupported Media Type | <DialogHangup reject | "
       "<DialogEND"},
      {"the 513th leg refused", "fill; invite 1", "501 Temporarily Unavailable"},
      {"outgoing leg answered", "start; resp 180; resp 200 1",
       "<UpdateCallID | INVITE +sdp | <DialogResponse 180 | ACK sip:200@127.0.0.9:5090"
       " | <DialogResponse 200"},
      {"outgoing leg ended by the PBX while ringing", "start; resp 180; state 1486",
       "<UpdateCallID | INVITE +sdp | <DialogResponse 180 | CANCEL +reason"},
      {"302 with one Contact followed", "start; resp 302 1",
       "<UpdateCallID | INVITE +sdp | ACK sip:200@127.0.0.9:5090 | INVITE +sdp"},
      {"302 with two Contacts reported", "start; resp 302 2",
       "<UpdateCallID | INVITE +sdp | ACK sip:200@127.0.0.9:5090 | <DialogResponse 302 | "
       "<DialogHangup reject | <DialogEND"},
      {"the eleventh INVITE within a second refused", "invite 1; " + calls,
       "<GetDialogPolicy | 100 Trying | " + policies + "501 Temporarily Unavailable"},
      {"ring timer ends an unanswered outgoing leg", "start; resp 180; advance 200; resp 487",
       "<UpdateCallID | INVITE +sdp | <DialogResponse 180 | CANCEL | ACK sip:200@127.0.0.9:5090"
       " | <DialogResponse 487 | <DialogHangup timeout | <DialogEND"},
  };
  for (const auto& j : journeys) {
    SetUp();
    run(j.script);
    EXPECT_EQ(joined(), j.expected) << j.name;
  }
}

TEST_F(CallPortTest, SecurityQueueKeepsTheTenNewest) {
  run("invite 1");
  for (unsigned cseq = 2; cseq <= 11; ++cseq) run("options " + std::to_string(cseq));
  ASSERT_NE(get_port(0), nullptr);
  EXPECT_EQ(get_port(0)->security_queue.size(), 10u);
  EXPECT_EQ(get_port(0)->security_queue.front().cseq, 2u);
  EXPECT_TRUE(log.mentions("Security has 10 pending packets"));
}

TEST_F(CallPortTest, MediaDigitsAndHangupTone) {
  run(opening + "state 200; ack 1");
  call_port* p = get_port(0);
  p->analyse_dtmf = true;
  p->stream()->dtmf.hangup_tone = true;
  // 4 s of 425 Hz in PCMU, then RFC 4733 events 10 ("*") and 12 ("A": not reported).
  const str tone = test_tone(425, 0, 2000, 4000);
  codec enc;
  for (int i = 0; i < 204; ++i) {
    const bool event = i >= 200;
    const str payload = event ? get_oob_dtmf(i < 202 ? 10 : 12, 160, i % 2)
                              : enc.encode(codec_ulaw, tone.substr(size_t(i) * 320, 320));
    const uint32_t ts = uint32_t(event ? 1000 * (i / 2) : 160 * i);
    p->stream()->on_rtp(rtp_write_header(false, event ? 101 : 0, uint16_t(i), ts, 5) + payload,
                        ip_port::from_text("127.0.0.7:6000"), clock_now(), 0);
  }
  run("advance 0; byeok");
  EXPECT_EQ(joined(), answered +
                          " | <DialogDTMF | BYE sip:100@127.0.0.7:5070 +reason"
                          " | <DialogHangup busy | <DialogEND");
  EXPECT_EQ(posted[posted.size() - 3], soap_write(msg::dialog_dtmf{"0", "*"}));
  EXPECT_EQ(sent.back().get_other_header("Reason", ""), "Preemption;cause=3;text=\"Busy Tone\"");
  EXPECT_TRUE(log.mentions("Tone: Hangup tone detected on call from <sip:100@127.0.0.1>"));
}

// GetDialogState names the leg and the call; only the leg whose trunk asks listens for the
// hangup tone.
TEST_F(CallPortTest, GetDialogStateAndTheHangupToneListener) {
  run(opening);
  EXPECT_EQ(posted.back(),
            soap_write(msg::get_dialog_state{
                "0", "c1", "<sip:100@127.0.0.1>", "<sip:200@127.0.0.1>", "sip:200@127.0.0.1",
                "udp:127.0.0.7:5070", str::sprintf("%d", codec_ulaw), "", "", "", "", ""}));
  run("start tone");
  const auto listens = [](const char* id) {
    return get_port(call_port_map.find(id)->second)->stream()->dtmf.hangup_tone;
  };
  EXPECT_EQ(std::pair(listens("c1"), listens("out1")), std::pair(false, true));
  run("policy tone");  // the incoming leg came on an analog trunk
  EXPECT_TRUE(listens("c1"));
}

// A leg from a trunk answers the provider's challenge to its BYE with the trunk's credentials.
TEST_F(CallPortTest, ChallengedByeIsAnsweredWithTheTrunkCredentials) {
  run(opening + "state 200; ack 1");
  ASSERT_TRUE(call_port_on_soap(
      soap_write(msg::set_dialog_credentials{"0", "carrier.test", "pbx", "trunk-pw"})));
  run("state 486");
  const sip_message bye = sent.back();
  sip_message challenge(401, "Unauthorized", bye);
  challenge.add_other_header("WWW-Authenticate", "", "Digest realm=\"carrier.test\", nonce=\"n7\"");
  no_dialog_user end;
  ASSERT_TRUE(call_port_transaction_user(end).check_authentication(challenge, bye));
  EXPECT_EQ(get_port(0)->last_request.get_other_header("Authorization", ""),
            auth_credentials_value("carrier.test", "n7", "pbx", "trunk-pw", "BYE",
                                   bye.request_uri.serialize(), "", "", "", ""));
}

TEST(DtmfRelay, SignalValues) {
  const std::pair<const char*, int> cases[] = {{"Signal=5\r\nDuration=160", 5},
                                               {"Signal=*", 10},
                                               {"Signal= #\r\n", 11},
                                               {"Signal=A", 12},
                                               {"Signal=a", 16},
                                               {"Duration=160", -1},
                                               {"signal=9", 9}};
  for (auto [body, event] : cases) EXPECT_EQ(dtmf_relay_event(str(body)), event) << body;
}

// An outgoing leg through the real transaction layer on a fake transport: the provider
// challenges the INVITE (qop=auth); the leg acknowledges the 407, sends the INVITE again with
// credentials and a higher CSeq, and its BYE carries credentials from the stored challenge
// without waiting for a second challenge.
TEST(CallPortWire, ChallengedInviteIsSentAgainAndTheByeCarriesCredentials) {
  transaction_env env;
  init_config();
  reset_call_ports();
  install_transaction_receive_hooks();
  call_port_transaction_user legs{env.user};
  set_sip_transaction_user(&legs);
  call_port_auth_hooks hooks{&registrar_auth_hooks()};  // wrapped as the daemon wraps them
  set_auth_hooks(&hooks);
  scoped_srv_context use(srv_context{.post = [](const str&) {}, .queue = &env.queue});

  msg::start_dialog s;
  s.call_id = "out-auth", s.uri = "sip:200@127.0.0.9:5090", s.from = "<sip:100@example.org>";
  s.username = "100", s.password = "secret";
  ASSERT_TRUE(call_port_on_soap(soap_write(s)));
  const ip_port provider = ip_port::from_text("127.0.0.9:5090");
  // The provider answers the last INVITE sent with code (and the header given).
  const auto answer = [&](int code, const char* header) {
    sip_message invite;
    for (const fake_send& f : env.transport.sent)
      if (f.text.starts_with(str("INVITE"))) invite = f.parsed();
    sip_message r(code, code == 407 ? "Proxy Authentication Required" : "Ok", invite);
    r.to.set_tag("p1");
    if (header) r.add_other_header("Proxy-Authenticate", "", header);
    if (code == 200) r.contact.push_back(from_to_spec("<sip:200@127.0.0.9:5090>"));
    process_pdu("udp0", r.serialize(provider, transport_type::udp), provider, transport_type::udp);
  };
  answer(407, "Digest realm=\"example.org\", nonce=\"n1\", qop=\"auth\"");
  answer(200, nullptr);
  ASSERT_EQ(call_port_map.count("out-auth"), 1u);
  get_port(call_port_map.find("out-auth")->second)->set_state_code(487, "Request Terminated");

  std::string wire;  // CSeqs counted from the first INVITE's
  const unsigned first = env.transport.sent.front().parsed().cseq;
  for (const fake_send& f : env.transport.sent) {
    const sip_message m = f.parsed();
    wire += std::string(m.method.view()) + " " + std::to_string(m.cseq - first) +
            (m.get_other_header("Proxy-Authorization", "").empty() ? "" : " auth") + " | ";
  }
  EXPECT_EQ(wire, "INVITE 0 | ACK 0 | INVITE 1 auth | ACK 1 | BYE 2 auth | ");
  set_auth_hooks(nullptr);
  reset_call_ports();
}

// ---- A leg's play list and recording through its stream's hooks (no sockets) --------------------

// A PCM file of 16-bit mono samples at 8 kHz.
std::string wav(const std::vector<int16_t>& samples) {
  str file = wav_header_template(wav_linear) + str(samples.data(), samples.size() * 2);
  wav_set_sizes(file);
  return std::string(file.view());
}

class CallPortAudioTest : public CallPortTest {
 protected:
  void SetUp() override {
    CallPortTest::SetUp();
    log_level_max = 9;  // the capture restores the level
    reset_audio_store();
    index = allocate_call_port("a1");
    id = str::sprintf("%d", index);
  }
  void TearDown() override {
    CallPortTest::TearDown();
    run_audio_requests();
    reset_audio_store();
  }
  std::vector<int16_t> unit() {
    std::vector<int16_t> u(80, 0);
    rtp_stream_of(index)->add_local_audio(u.data());
    return u;
  }
  memory_file_system files;
  scoped_file_system installed{&files};
  int index = -1;
  str id;
};

// A missing prompt is skipped; a file of three units gives them, then the list ends with
// DialogEOF naming the list as the PBX sent it.
TEST_F(CallPortAudioTest, PlayListEndsWithDialogEof) {
  std::vector<int16_t> data(240), heard;
  for (int i = 0; i < 240; ++i) data[i] = int16_t(i * 7);
  files.files["x.wav"] = wav(data);
  ASSERT_TRUE(call_port_on_soap(
      soap_write(msg::set_playfile{id, "$a/none.wav x.wav", "false", "true", ""})));
  ASSERT_TRUE(rtp_stream_of(index)->local_media);
  run_audio_requests();
  EXPECT_TRUE(log_capture::contains("Could not open WAV file audio_en/none.wav"));
  for (int u = 0; u < 4; ++u) {
    EXPECT_TRUE(posted.empty()) << "DialogEOF before the end, unit " << u;
    for (int16_t s : unit()) heard.push_back(s);
    run_audio_requests();
  }
  data.resize(320, 0);  // the last unit's second half: silence
  EXPECT_EQ(heard, data);
  EXPECT_EQ(posted, std::vector<str>{soap_write(msg::dialog_eof{id, "$a/none.wav x.wav"})});
  EXPECT_TRUE(get_port(index)->play_file.empty());
}

// A looping list with nothing to play ends once instead of every 10 ms.
TEST_F(CallPortAudioTest, LoopOfMissingFilesEndsOnceAfterASecond) {
  ASSERT_TRUE(
      call_port_on_soap(soap_write(msg::set_playfile{id, "$t/ringback.wav", "true", "true", ""})));
  run_audio_requests();
  // A second of silence, then the end, once.
  for (int u = 0; u < 99; ++u) EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  EXPECT_TRUE(posted.empty());
  for (int u = 0; u < 200; ++u) EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  EXPECT_EQ(posted, std::vector<str>{soap_write(msg::dialog_eof{id, "$t/ringback.wav"})});
  EXPECT_TRUE(log_capture::contains("Could not open WAV file audio_en/ringback.wav"));
}

// MoveIVR: the other leg goes on with the list where it stands, the recording and DTMF analysis.
TEST_F(CallPortAudioTest, MoveIvrHandsListRecordingAndDigitsOver) {
  const int other = allocate_call_port("b1");
  const str other_id = str::sprintf("%d", other);
  files.files["x.wav"] = wav(std::vector<int16_t>(160, 0x0707));
  for (const str& c : {soap_write(msg::set_playfile{id, "x.wav", "false", "true", ""}),
                       soap_write(msg::set_recording{id, "rec/a.wav", ""}),
                       soap_write(msg::set_recording{other_id, "rec/b.wav", ""})})
    ASSERT_TRUE(call_port_on_soap(c));
  get_port(index)->analyse_dtmf = true;
  run_audio_requests();
  unit();  // the first leg plays the first 80 samples
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::move_ivr{id, other_id})));
  run_audio_requests();
  EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  std::vector<int16_t> heard(80, 0);
  for (int i = 0; i < 3; ++i) rtp_stream_of(other)->add_local_audio(heard.data());
  EXPECT_EQ(heard, std::vector<int16_t>(80, 0x0707));  // 80 more samples, then the end
  for (int i = 0; i < 50; ++i) rtp_stream_of(other)->take_received(codec_ulaw, str('\xff', 160));
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::set_recording{other_id, "", ""})));
  run_audio_requests();
  EXPECT_EQ(files.files["rec/a.wav"].size(), 44u + (100 - 15) * 160);
  EXPECT_EQ(posted, (std::vector<str>{soap_write(msg::file_written{"rec/b.wav", ""}),
                                      soap_write(msg::dialog_eof{other_id, "x.wav"}),
                                      soap_write(msg::file_written{"rec/a.wav", ""})}));
  EXPECT_EQ(int(get_port(index)->analyse_dtmf) * 10 + get_port(other)->analyse_dtmf, 1);
}

}  // namespace
