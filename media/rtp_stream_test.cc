// A call's SDP and the SDP text; RTP received, relayed and transcoded between legs, the 10 ms
// clock, hold and telephone events, RTCP, the voice-quality report, SRTP and relay ports, over
// scripted sockets under a manual clock; the socket pair of a destination's family on real ones.
#include "media/rtp_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "base/log_capture_test_util.h"
#include "frame/settings.h"
#include "media/call_sdp.h"
#include "media/codec.h"
#include "media/g711.h"
#include "media/rtcp.h"
#include "media/rtp_clock.h"
#include "media/sdp.h"
#include "media/srtp_session.h"
#include "media/vq_report.h"

namespace {

struct scoped_setting {  // for one test
  int i;
  str old = ctrl_read_registry(i);
  ~scoped_setting() { ctrl_write_setting(i, old); }
};

sdp peer_sdp(const char* media) {
  return sdp("v=0\r\no=- 5 5 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n" +
             str(media));
}

const char* const k_offer = "m=audio 4000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\n";

// A leg that answered s with the preference list.
call_sdp answered(const sdp& s, const char* preference, bool secure = false) {
  call_sdp c;
  c.name = "call-1";
  c.set_codecs(preference, false);
  c.set_rtp_port(5004);
  EXPECT_EQ(c.set_remote_sdp(s, secure, false), remote_sdp_result::accepted);
  c.update_codecs(nullptr);
  c.set_local_sdp();
  c.determine_send_codec();
  c.local.session_id = c.local.version = "1";
  return c;
}

TEST(CallSdp, AnswerToAnOffer) {
  log_capture log(8);
  call_sdp c = answered(peer_sdp(k_offer), "18 alaw 0");
  EXPECT_EQ(c.available_codecs, (std::vector<int>{codec_alaw, codec_ulaw, codec_dtmf}));
  EXPECT_EQ(c.send_codec, codec_alaw);
  EXPECT_FALSE(c.inband_dtmf);
  EXPECT_EQ(c.local.serialize(true),
            "v=0\r\no=- 1 1 IN {x-pre-ipv} {x-pre-adr}\r\ns=-\r\nc=IN {x-pre-ipv} {x-pre-adr}\r\n"
            "t=0 0\r\nm=audio 5004 RTP/AVP 8 0 101\r\na=rtpmap:8 pcma/8000\r\n"
            "a=rtpmap:0 pcmu/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-16\r\n"
            "a=sendrecv\r\n");
  EXPECT_TRUE(log.contains("Codec pcma/8000 is chosen for call id call-1"));
  EXPECT_TRUE(
      log.contains("update_codecs for call-1: Other side does not support codec g729/8000"));
  EXPECT_TRUE(
      log.contains("set_codecs: for call-1 codecs \"18 alaw 0\", codec_preference count 4"));
}

// (Our own key in the answer: tests/e2e/call_journeys_test.cc, SRTP over TLS.)
TEST(CallSdp, PtimeHoldRtcpAndCrypto) {
  scoped_setting size{ctrl_settings::packet_size};
  ctrl_write_setting(ctrl_settings::packet_size, "40");
  log_capture log;
  const std::string avp = "m=audio 4000 RTP/AVP 0\r\n";
  const auto crypto = [](const char* suite) {
    return "m=audio 4000 RTP/SAVP 0\r\na=crypto:3 " + std::string(suite) +
           " inline:c/8fWWe+51Lsi7lYQAwRcoGMhzxFlFNt9to5asGd|2^20\r\n";
  };
  // The packet length, the ptime we echo, the remote's direction and ours, the remote's RTCP, the
  // lengths of the remote's key and tag (taken over TLS only, of a suite we know).
  const std::tuple<std::string, bool, const char*> cases[] = {
      {avp + "a=ptime:30\r\n", false, "30 30 sendrecv/sendrecv 127.0.0.2:4001 0/0"},
      {avp + "a=ptime:25\r\n", false, "40  sendrecv/sendrecv 127.0.0.2:4001 0/0"},
      {avp + "c=IN IP4 0.0.0.0\r\na=rtcp:4009\r\n", false,
       "40  sendonly/recvonly 0.0.0.0:4009 0/0"},
      {avp + "a=rtcp:53020 IN IP6 ::2\r\na=sendonly\r\n", false,
       "40  sendonly/recvonly ::2:53020 0/0"},
      {crypto("AES_CM_128_HMAC_SHA1_80"), true, "40  sendrecv/sendrecv 127.0.0.2:4001 30/10"},
      {crypto("AES_CM_128_HMAC_SHA1_32"), true, "40  sendrecv/sendrecv 127.0.0.2:4001 30/4"},
      {crypto("AES_CM_128_HMAC_SHA1_80"), false, "40  sendrecv/sendrecv 127.0.0.2:4001 0/0"},
      {crypto("F8_128_HMAC_SHA1_80"), true, "40  sendrecv/sendrecv 127.0.0.2:4001 0/0"},
  };
  for (const auto& [media, tls, want] : cases) {
    call_sdp c = answered(peer_sdp(media.c_str()), "0", tls);
    EXPECT_EQ(str::sprintf("%d %s %s/%s %s:%d %d/%d", c.packet_length, c.local.media[0].get_ptime(),
                           c.remote.get_sdp_state(), c.local.get_sdp_state(), c.rtcp_address,
                           c.rtcp_port, int(c.remote_key.length()), c.auth_tag_length),
              want)
        << media << tls;
  }
  EXPECT_TRUE(log.contains("Cannot process ptime 25", 3));
}

TEST(CallSdp, OfferAnswerStates) {
  // The events (r: remote SDP, 1: sent with 180, 2: sent with 200, i: INVITE sent), the state.
  const std::tuple<const char*, int, const char*> cases[] = {
      {"r", 1, ""},      {"r1", 4, "answer"}, {"r12", 5, "answer"}, {"r2", 5, "answer"},
      {"i", 3, "offer"}, {"ir", 2, ""},       {"iri", 3, "offer"},  {"r2r", 1, ""}};
  for (const auto& [events, state, kind] : cases) {
    call_sdp c;
    for (const char* e = events; *e; ++e) {
      if (*e == 'r') c.set_remote_sdp(peer_sdp(k_offer), false, false);
      if (*e != 'r') c.advance_offer_answer_on_send(*e == '1' ? 180 : *e == '2' ? 200 : 0);
    }
    c.set_offer_answer_hint();
    EXPECT_EQ(c.offer_answer_state, state) << events;
    EXPECT_EQ(c.local.kind, kind) << events;
  }
}

TEST(CallSdp, HintAnswerChoiceAndPassThrough) {
  codec_map hinted;
  hinted.add(18, codec_g729);
  call_sdp c;
  c.set_codecs("0 8 18", false);
  c.set_remote_sdp(peer_sdp("m=audio 4000 RTP/AVP 8 18 0\r\n"), false, false);
  c.update_codecs(&hinted);
  EXPECT_EQ(c.available_codecs, (std::vector<int>{codec_g729, codec_ulaw, codec_alaw}));

  call_sdp offerer;  // our offer 0 8 18 101, the answer picks 8 and 18
  offerer.set_codecs("0 8 18", false);
  offerer.update_codecs(nullptr);
  offerer.advance_offer_answer_on_send(0);
  offerer.set_remote_sdp(peer_sdp("m=audio 4000 RTP/AVP 18 8\r\n"), false, false);
  EXPECT_EQ(offerer.send_codec, codec_alaw);

  call_sdp relay;
  EXPECT_EQ(relay.set_remote_sdp(peer_sdp("m=image 4000 udptl t38\r\nc=IN IP4 127.0.0.3\r\n"),
                                 false, true),
            remote_sdp_result::pass_through);
  EXPECT_EQ(relay.pass_through, 2);
  EXPECT_EQ(relay.relayed.serialize(false),
            "v=0\r\no=- 5 5 IN {x-pre-ipv} 127.0.0.2\r\ns=-\r\nc=IN {x-pre-ipv} {x-pre-adrs}\r\n"
            "t=0 0\r\nm=image 4000 udptl t38\r\nc=IN {x-pre-ipv} {x-pre-adrs}\r\na=sendrecv\r\n");
  EXPECT_EQ(relay.set_remote_sdp(sdp(), false, true), remote_sdp_result::rejected);
}

// baresip's SRTP offer, as captured on loopback.
const char* const k_baresip =
    "v=0\r\no=- 2390700264 273916874 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "a=tool:baresip 1.0.0\r\nm=audio 16042 RTP/SAVP 0 8 9 96 101\r\na=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\na=rtpmap:9 G722/8000\r\na=rtpmap:96 opus/48000/2\r\n"
    "a=fmtp:96 stereo=1;sprop-stereo=1\r\na=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\na=sendrecv\r\na=label:1\r\na=rtcp-rsize\r\n"
    "a=ssrc:2216512307 cname:sip:bs@127.0.0.1\r\n"
    "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:c/8fWWe+51Lsi7lYQAwRcoGMhzxFlFNt9to5asGd\r\n"
    "a=minptime:20\r\na=ptime:20\r\n";

// The direction line becomes the m-line's direction (set_local_sdp writes ours); the address
// family becomes the transport's placeholder; crypto lines only when asked for.
TEST(Sdp, RealOfferRoundTrip) {
  std::string want = k_baresip;
  for (size_t at; (at = want.find("IN IP4")) != std::string::npos;)
    want.replace(at, 6, "IN {x-pre-ipv}");
  want.erase(want.find("a=sendrecv\r\n"), 12);
  sdp s(str{k_baresip});
  EXPECT_EQ(s.serialize(true), str(want));
  const size_t crypto = want.find("a=crypto:"), crypto_end = want.find("\r\n", crypto) + 2;
  EXPECT_EQ(s.serialize(false), str(want.erase(crypto, crypto_end - crypto)));
}

TEST(Sdp, Directions) {
  // The text, the state of its first audio m-line, the direction of its second m-line.
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"a=sendonly\r\nm=audio 1 RTP/AVP 0\r\nm=video 2 RTP/AVP 31\r\n", "sendonly", "a=sendonly"},
      {"a=sendonly\r\nm=audio 1 RTP/AVP 0\r\na=inactive\r\nm=audio 2 RTP/AVP 0\r\n", "inactive",
       "a=sendonly"},
      {"m=video 2 RTP/AVP 31\r\na=recvonly\r\nm=audio 1 RTP/AVP 0\r\n", "sendrecv", "a=sendrecv"},
  };
  for (const auto& [text, state, second] : cases) {
    sdp s(str{text});
    EXPECT_EQ(s.get_sdp_state(), state) << text;
    EXPECT_EQ(s.media.at(1).direction, second) << text;
  }
}

TEST(Sdp, MLineWithoutFormatsAndVersions) {
  sdp s(str("o=u 7 99 IN IP4 192.0.2.1\r\nm=image 0 udptl\r\n"));
  EXPECT_EQ(s.serialize(false),
            "v=0\r\no=u 7 99 IN {x-pre-ipv} 192.0.2.1\r\ns=-\r\nc=IN {x-pre-ipv} \r\nt=0 0\r\n"
            "m=image 0 udptl 0\r\n");
  s.increase_version();
  const str after = s.version;
  s.version = "x9";
  s.increase_version();
  EXPECT_EQ(after + " " + s.version, "100 1");
}

TEST(Codec, NamesAndMaps) {
  // clang-format off
  for (auto [name, codec] : {std::pair{"PCMU/8000", codec_ulaw}, {"G729a/8000", codec_g729},
                             {"telephone-event/8000/1", codec_dtmf}, {"l16/8000", codec_linear}})
    EXPECT_EQ(get_local_codec(str(name)), codec) << name;
  // clang-format on
  const int opus = get_local_codec(str("opus/48000/2"));
  EXPECT_EQ(get_local_codec(str("OPUS/48000")), opus);
  EXPECT_EQ(str::sprintf("%s %d %d %d", get_codec_name(opus), get_local_codec(18) == codec_g729,
                         get_remote_codec(codec_dtmf), get_remote_codec(codec_linear)),
            "opus/48000 1 101 -1");

  codec_map m;  // a codec or payload type added again moves: both directions stay in step
  for (auto [pt, codec] :
       {std::pair{96, codec_linear}, {97, codec_linear}, {101, codec_dtmf}, {101, codec_ulaw}})
    m.add(pt, codec);
  EXPECT_EQ(str::sprintf("%d %d %d %d", m.find_local(96), m.find_remote(codec_linear),
                         m.find_remote(codec_dtmf), m.find_local(101)),
            str::sprintf("-1 97 -1 %d", codec_ulaw));
}

struct scripted_sockets : rtp_socket_ops {
  int fail_first = 0;  // so many opens fail
  std::vector<int> opened_ports;
  std::vector<str> sent;
  std::vector<std::string> lines;  // "destination hex-bytes" of each packet sent
  int open(const ip_port& local) override {
    if (fail_first > 0 && fail_first--) return -1;
    opened_ports.push_back(local.port);
    return 2 + int(opened_ports.size());
  }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port& to) override {
    sent.push_back(d);
    lines.push_back(std::string(to.readable().view()) + " " + std::string(hex_encode(d).view()));
    return true;
  }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

// A PCMU packet with csrc CSRCs, an extension of ext words when ext > 0, and a 4-byte payload.
str rtp(int seq, uint32_t ssrc, int csrc = 0, int ext = 0) {
  str p = rtp_write_header(false, 0, uint16_t(seq), 1000, ssrc) + str('\0', 4 * size_t(csrc));
  p.set_character(0, char(0x80 | (ext ? 0x10 : 0) | csrc));
  if (ext) p += str::bytes({0xbe, 0xde, 0, uint8_t(ext)}) + str('\7', 4 * size_t(ext));
  return p + str(char(0xff), 4);
}

ip_port at(const char* text) { return ip_port::from_text(str(text)); }

TEST(rtp_stream, receive_path) {
  // Packets (sequence, SSRC, arrival in ms), symmetric RTP; then the packets received, the
  // extended sequence, the destination; a line logged.
  const std::tuple<std::vector<std::array<int, 3>>, bool, const char*, const char*> cases[] = {
      {{{5, 7, 0}, {6, 8, 50}},
       true,
       "1 5 127.0.0.5:7000",
       "Sending RTP for c to 127.0.0.5:7000, codec not set yet"},
      {{{5, 7, 0}, {6, 8, 150}}, true, "2 6 127.0.0.5:7000", "Tuning to new SSRC"},
      {{{65535, 7, 0}, {0, 7, 20}, {1, 7, 40}}, true, "3 65537 127.0.0.5:7000", ""},
      {{{5, 7, 0}, {5, 7, 20}}, false, "1 5 127.0.0.9:6000", ""},
  };
  log_capture logs(9);
  for (const auto& [packets, symmetric, want, logged] : cases) {
    ctrl_write_setting(ctrl_settings::symmetrical_rtp, symmetric ? "true" : "false");
    rtp_stream* s = rtp_stream_open(1, "c", nullptr);
    s->set_sdp_dest(at("127.0.0.9:6000"));
    logs.clear();
    // Not RTP: 11 bytes, an extension past the end, first byte 1, version 1.
    for (const str& bad : {rtp(5, 7).leftstr(11), rtp(5, 7, 0, 2).leftstr(19),
                           str::bytes({1, 1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}),
                           str::bytes({0x40, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1})})
      s->on_rtp(bad, at("127.0.0.6:7000"), ms2ticks(900), 0);
    for (auto [seq, ssrc, ms] : packets)
      s->on_rtp(rtp(seq, uint32_t(ssrc)), at("127.0.0.5:7000"), ms2ticks(1000 + ms), 0);
    EXPECT_EQ(std::to_string(s->packets_received) + " " + std::to_string(s->extended_sequence) +
                  " " + std::string(s->destination.readable().view()),
              want);
    EXPECT_EQ(log_capture::contains("Tuning to new SSRC"), want[0] == '2') << want;
    EXPECT_TRUE(!*logged || log_capture::contains(logged)) << want;
  }
  rtp_stream_close(1);
}

// Leg 1 (a) receives from its peer and relays to leg 2 (b), whose peer numbers PCMU pt_b, under
// a manual clock.
struct two_legs {
  manual_clock clock;
  scoped_clock use_clock{&clock};
  timeout_queue queue;
  scoped_rtp_clock_context use_queue{rtp_clock_context{&queue}};
  scripted_sockets io;
  call_sdp sdp_a, sdp_b;
  rtp_stream *a = nullptr, *b = nullptr;
  uint16_t seq = 100;

  explicit two_legs(int length_b, int send_b, bool lock_b, bool local_b = false, int pt_b = 0) {
    ctrl_write_setting(ctrl_settings::allow_pass_through, "true");
    for (call_sdp* s : {&sdp_a, &sdp_b})
      s->codecs.add(s == &sdp_a ? 0 : pt_b, codec_ulaw), s->codecs.add(101, codec_dtmf),
          s->packet_length = 20;
    sdp_a.send_codec = codec_ulaw, sdp_b.send_codec = send_b, sdp_b.codec_lock = lock_b;
    sdp_b.codecs.add(8, codec_alaw), sdp_b.packet_length = length_b;
    a = rtp_stream_open(1, "call-a", &sdp_a), b = rtp_stream_open(2, "call-b", &sdp_b);
    a->allocate_ports(io), b->allocate_ports(io);
    b->set_sdp_dest(at("127.0.0.9:6000"));
    a->linked = {2}, b->linked = {1}, b->local_media = local_b;
    a->determine_pt_mode(), b->determine_pt_mode();
  }
  ~two_legs() { rtp_stream_close(1), rtp_stream_close(2), stop_rtp_clock(); }
  // Advances the clock by ms in 1 ms steps, running every tick that falls due.
  void run(int ms) {
    for (; ms > 0; --ms) {
      clock.advance_ms(1);
      while (queue.size() && queue.first_due() <= clock_now()) queue.next();
    }
  }
  void receive(int pt, uint32_t ts, const str& payload) {
    a->on_rtp(rtp_write_header(false, pt, seq++, ts, 77) + payload, at("127.0.0.5:7000"),
              clock_now(), 0);
  }
  // "pt/bytes/timestamp step" per packet sent (M: marker), the step from the packet before.
  std::string summary() const {
    std::string out;
    rtp_header h;
    uint32_t last = 0;
    for (size_t i = 0; i < io.sent.size() && rtp_parse(io.sent[i], h); ++i, last = h.timestamp)
      out += (i ? " " : "") + std::string(h.marker ? "M" : "") + std::to_string(h.payload_type) +
             "/" + std::to_string(h.payload.size()) + "/" +
             (i ? std::to_string(int32_t(h.timestamp - last)) : "");
    return out;
  }
};

TEST(rtp_send, transcoding_between_legs) {
  struct {
    int length_b, send_b;
    bool lock_b;
    const char* sent;
    uint8_t first_byte;   // of the first payload b sends
    const char* log;      // the choice between pass-through and transcoding
    int end_packet = -1;  // b's own digit 5 (an INFO) after the first packet: its last packet
  } cases[] = {
      // clang-format off
      {20, codec_ulaw, false, "0/160/ 0/160/160 0/160/160 0/160/160", 0x9c,
       "call-b: RTP pass-through mode"},
      {30, codec_ulaw, false, "0/240/ 0/240/240", 0x9c,
       "Different packet size (20 and 30), callid call-a, falling back to transcoding"},
      {20, codec_alaw, true, "8/160/ 8/160/160 8/160/160 8/160/160", encode_alaw(decode_ulaw(0x9c)),
       "Different Codecs (local pcmu/8000, remote pcma/8000), callid call-a, falling back to "
       "transcoding"},
      {20, codec_ulaw, false, "0/160/ M101/4/160 101/4/0 0/160/0 101/4/0 0/160/160 101/4/-160 "
       "0/160/320 101/4/-320 101/4/0 101/4/0", 0x9c, "", 10},
      {20, codec_alaw, true, "M101/4/ 101/4/0 101/4/0 101/4/0 101/4/0 101/4/0 101/4/0 8/160/800",
       5, "", 6},
      // clang-format on
  };
  log_capture logs(9);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    logs.clear();
    two_legs legs(c.length_b, c.send_b, c.lock_b);
    for (int n = 0; n < 4; ++n, legs.run(20)) {
      legs.receive(0, 8000 + 160 * n, str(char(0x9c), 160));
      if (n == 0 && c.end_packet >= 0) legs.b->send_event(5);
    }
    if (c.end_packet >= 0) legs.run(40);
    EXPECT_EQ(legs.summary(), c.sent);
    EXPECT_EQ(legs.io.sent.empty() ? 0 : legs.io.sent[0][12], c.first_byte);
    EXPECT_EQ(legs.b->pass_through, c.length_b == 20 && !c.lock_b);
    EXPECT_TRUE(!*c.log || log_capture::contains(c.log)) << c.log;
    if (c.end_packet >= 0) {  // 100 ms (800 samples) at the end
      EXPECT_EQ(legs.io.sent.at(c.end_packet).substr(12).view(),
                str::bytes({5, 0x8a, 3, 0x20}).view());
    }
    if (c.length_b != 30) continue;
    // The last two units (and 10 ms of silence), then 50 silent packets kept back, then one.
    legs.io.sent.clear();
    legs.run(1545);
    EXPECT_EQ(legs.summary(), "0/240/ 0/240/12240");
  }
}

// Pass-through rewrites the header for b: its own sequence, timestamp and SSRC, its payload type
// of PCMU (96), the marker kept, the CSRCs and the extension dropped.
TEST(rtp_stream, relay_rewrites_the_header) {
  two_legs legs(20, codec_alaw, false, false, 96);
  auto& b = *legs.b;
  std::tie(b.sequence, b.timestamp, b.ssrc) = std::tuple(0x1234, 0x01020304, 0xcafef00d);
  str marked = rtp(9, 7, 2);            // two CSRCs: a 20-byte header
  marked.set_character(1, char(0x80));  // marker, PCMU
  legs.a->on_rtp(marked, at("127.0.0.5:7000"), ms2ticks(1000), 0);
  legs.a->on_rtp(rtp(10, 7, 0, 1), at("127.0.0.5:7000"), ms2ticks(1020), 0);
  EXPECT_EQ(legs.io.lines,
            (std::vector<std::string>{"127.0.0.9:6000 80e0123401020304cafef00dffffffff",
                                      "127.0.0.9:6000 80601235010203a4cafef00dffffffff"}));
  EXPECT_EQ(b.packets_sent, 2u);
}

TEST(rtp_send, ring_order_limit_and_units) {
  // Timestamps added, and in the order read (an overflow of the ring drops the rest).
  const std::pair<std::vector<uint32_t>, std::vector<uint32_t>> cases[] = {
      {{160, 0, 80, 80}, {0, 80, 80, 160}},
      {{0xffffffb0u, 0x20, 0xffffff60u}, {0xffffff60u, 0xffffffb0u, 0x20}},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
  };
  for (const auto& [in, read] : cases) {
    outgoing_buffer b;
    b.allocate(1, 0);
    for (uint32_t ts : in) b.add_audio(codec_ulaw, ts, "x");
    std::vector<uint32_t> out;
    for (outgoing_unit u; b.pop(u);) out.push_back(u.timestamp);
    EXPECT_EQ(out, read) << in.size();
  }
  // A GSM payload of 66 bytes is two 20 ms units, 160 apart.
  two_legs legs(20, codec_ulaw, false, true);
  rtp_header h;
  h.timestamp = 1000, h.payload = str('\0', 66);
  legs.b->take_media(1, codec_gsm, h);
  std::vector<std::string> units;
  for (outgoing_unit u; legs.b->find_obuf(1, 0)->pop(u);)
    units.push_back(std::to_string(u.timestamp) + "/" + std::to_string(u.payload.size()));
  EXPECT_EQ(units, (std::vector<std::string>{"1000/33", "1160/33"}));
}

TEST(rtp_send, clock_rebases_and_stops) {
  two_legs legs(20, codec_ulaw, false, true);  // b media-aware: it plays
  legs.b->start_sending();
  const rtimestamp start = legs.clock.monotonic();
  legs.run(30);  // ticks at 10, 20, 30
  EXPECT_EQ(next_rtp_packet() - start, ms2ticks(40));
  legs.clock.advance_ms(100);  // a stall: one late tick, then re-based instead of a burst
  legs.queue.next();
  EXPECT_EQ(next_rtp_packet() - legs.clock.monotonic(), ms2ticks(10));
  legs.b->sending = false;
  legs.run(10);
  EXPECT_FALSE(rtp_clock_running());
}

TEST(rtp_send, hold_and_telephone_events) {
  two_legs legs(20, codec_ulaw, false, true);
  // Two sources mixed with saturation: units of (near) full scale do not wrap around.
  for (auto [x, y, out] : {std::tuple{0x9c, 0x9c, encode_ulaw(2 * decode_ulaw(0x9c))},
                           {0x80, 0x81, 0x80},
                           {0x00, 0x01, 0x00}}) {
    bool empty;
    legs.b->add_audio(1, 0, codec_ulaw, 0, str(char(x), 80));
    legs.b->add_audio(3, 0, codec_ulaw, 0, str(char(y), 80));
    EXPECT_EQ(legs.b->get_10ms(codec_ulaw, empty)[0], out) << x;
  }
  legs.b->on_hold = true;
  const uint32_t ts = legs.b->timestamp;
  for (int n = 0; n < 200; ++n) legs.b->send_rtp();
  EXPECT_EQ(legs.summary(), "13/32/ 13/32/8000");
  EXPECT_EQ(legs.b->timestamp - ts, 16000u);
  // Event 5 of 60 ms, its end repeated by the peer: one start packet with the marker, then the
  // end three times, all with the event's start timestamp; then the leg's audio goes on.
  legs.io.sent.clear();
  legs.b->on_hold = false;
  for (uint8_t flags : {0x0a, 0x0a, 0x8a, 0x8a, 0x8a})
    legs.receive(101, 4000, str::bytes({5, flags, 0, 160})), legs.b->send_rtp();
  EXPECT_EQ(legs.summary(), "M101/4/ 101/4/0 101/4/0 101/4/0 101/4/0 0/160/480 0/160/160");
  EXPECT_EQ(legs.io.sent[4].substr(12).view(), str::bytes({5, 0x8a, 1, 0xe0}).view());
}

// The destination's family picks the socket pair, on real loopback sockets: [::1] opens the
// IPv6 pair and closes the IPv4 one, 127.0.0.1 the reverse; a packet reaches the peer each time.
TEST(rtp_stream, destination_family_selects_the_socket_pair) {
  ctrl_write_setting(ctrl_settings::port_bind4, "127.0.0.1");
  ctrl_write_setting(ctrl_settings::port_bind6, "::1");
  rtp_socket_ops& udp = udp_rtp_sockets();
  rtp_stream *s = rtp_stream_open(4, "s", nullptr), *peer = rtp_stream_open(7, "peer", nullptr);
  peer->use_ipv6 = true;  // both pairs
  ASSERT_TRUE(s->allocate_ports(udp) && peer->allocate_ports(udp));
  for (const std::string to : {"[::1]", "127.0.0.1", "[::1]"}) {
    const bool v6 = to[0] == '[';
    s->set_sdp_dest(at((to + ":" + std::to_string(peer->local_port)).c_str()));
    str got;
    ip_port from;
    EXPECT_TRUE((s->rtp4 >= 0) != v6 && (s->rtcp4 >= 0) != v6 && (s->rtp6 >= 0) == v6 &&
                (s->rtcp6 >= 0) == v6 && s->send_rtp_passthrough(false, 0, str("abcd")) &&
                udp.receive(v6 ? peer->rtp6 : peer->rtp4, got, from) && got.length() == 16)
        << to;
  }
  rtp_stream_close(4), rtp_stream_close(7);
}

// Relay ports of a pass-through SDP: peer A's audio and video (on an address of its own) reach
// leg a, peer B answers through leg b refusing the audio. The relayed copy names a's relay
// ports; B's video reaches A unchanged, and once B sends from another address, A's video
// follows it there.
TEST(rtp_stream, relay_ports_of_a_pass_through_sdp) {
  log_capture logs(9);
  scripted_sockets sockets;
  rtp_stream *a = rtp_stream_open(5, "a", nullptr), *b = rtp_stream_open(6, "b", nullptr);
  ASSERT_TRUE(a->allocate_ports(sockets) && b->allocate_ports(sockets));
  std::tie(a->linked, b->linked) = std::pair(std::set<int>{6}, std::set<int>{5});
  const str head = "v=0\r\no=- 1 1 IN IP4 127.0.0.5\r\ns=-\r\nt=0 0\r\nc=IN IP4 ";
  const sdp from_a(head + "127.0.0.5\r\nm=audio 4000 RTP/AVP 0\r\nm=video 4002 RTP/AVP 96\r\n" +
                   "c=IN IP4 127.0.0.6\r\n");
  const sdp from_b(head + "127.0.0.7\r\nm=audio 0 RTP/AVP 0\r\nm=video 5002 RTP/AVP 96\r\n");
  sdp relayed_a = from_a, relayed_b = from_b;
  ASSERT_TRUE(a->open_transparent_ports(from_a, relayed_a) &&
              b->open_transparent_ports(from_b, relayed_b));
  EXPECT_EQ(std::string(relayed_a.serialize(false).view()),
            "v=0\r\no=- 1 1 IN {x-pre-ipv} 127.0.0.5\r\ns=-\r\nc=IN {x-pre-ipv} 127.0.0.5\r\n"
            "t=0 0\r\nm=audio " +
                std::to_string(a->transparent_ports[0].port) + " RTP/AVP 0\r\nm=video " +
                std::to_string(a->transparent_ports[1].port) +
                " RTP/AVP 96\r\nc=IN IP4 127.0.0.6\r\n");
  EXPECT_EQ(std::pair(relayed_b.media[0].port, b->transparent_ports.count(0)),
            std::pair(str("0"), size_t(0)));  // refused: no relay port
  a->on_transparent(1, "v1", at("127.0.0.7:5002"));
  a->on_transparent(1, "v2", at("127.0.0.8:6002"));
  b->on_transparent(1, "v3", at("127.0.0.6:4002"));
  EXPECT_EQ(sockets.lines, (std::vector<std::string>{"127.0.0.6:4002 7631", "127.0.0.6:4002 7632",
                                                     "127.0.0.8:6002 7633"}));
  EXPECT_TRUE(log_capture::contains("Passthrough: Setting destination to 127.0.0.6:4002") &&
              log_capture::contains("Passthrough: Changing destination"));
  rtp_stream_close(5), rtp_stream_close(6);
}

TEST(rtp_ports, range_and_allocation) {
  const std::tuple<const char*, const char*, std::pair<int, int>> rows[] = {
      {"10000", "10000", {49152, 57344}},
      {"", "", {49152, 57344}},
      {"20000", "30000", {20000, 30000}},
      {"60000", "x", {49152, 57344}},
      {"20000", "70000", {20000, 57344}}};
  for (const auto& [low, high, range] : rows) {
    EXPECT_EQ(rtp_port_range(low, high), range) << low << "-" << high;
    for (uint32_t r : {0u, 1u, 8191u, 8193u, 0xffffffffu}) {
      const int port = rtp_port_in_range(range, r);
      EXPECT_TRUE(port % 2 == 0 && port >= range.first && port < range.second) << port;
    }
  }
  log_capture logs(9);
  for (int failing : {3, 10}) {  // failed opens: the tenth attempt is the last
    scripted_sockets s;
    s.fail_first = failing;
    rtp_stream* st = rtp_stream_open(3, "c", nullptr);
    EXPECT_EQ(st->allocate_ports(s), failing < 10);
    EXPECT_EQ(log_capture::contains("Could not allocate new ports!"), failing == 10);
    const std::vector<int> bound{st->local_port, st->local_port + 1};
    EXPECT_EQ(s.opened_ports, failing < 10 ? bound : std::vector<int>{});
    EXPECT_EQ(st->local_port % 2, 0);
    rtp_stream_close(3);
  }
}

TEST(Rtcp, PacketBytesAndReceiverReport) {
  // 2026-01-01 00:00:00.123 UTC; RTP time 1000, 5 packets, 800 octets.
  const rtcp_sr_fields f{0x11223344, ntp_time(1767225600123), 1000, 5, 800, "c1", false, {}};
  rtcp_monitor m;  // 65534, 65535, (0 lost), 1: one lost across the wrap, steady 20 ms
  for (int i : {0, 1, 3}) m.on_rtp(uint16_t(65534 + i), uint32_t(160 * i), i * 20 * ns_per_ms);
  m.peer.sender_report = true;  // the peer's SR (LSR 0x12345678) read 1.5 s before our report
  m.peer.sr_ntp_middle = 0x12345678;
  m.peer.network_delay_ms = 400;
  // Jitter 2, 2, 4 ticks (arrivals 0, 25, 45 and 70 ms); the peer's receiver reference time
  // (LRR 0x12345678) read 2 s before our report.
  rtcp_monitor varied;
  for (int i = 0; i < 4; ++i)
    varied.on_rtp(uint16_t(1 + i), 160u * i, (20 * i + 5 * ((i + 1) / 2)) * ns_per_ms);
  ASSERT_TRUE(rtcp_read(hex_decode(str("80cf0004aabbccdd040000020000123456780000")), 0, 0,
                        f.ntp - (2ull << 32), varied.peer));
  rtcp_sr_fields with_block = f;
  with_block.has_block = true;
  with_block.block = m.report_block(0x55667788, 1500 * ns_per_ms);
  const struct {
    str packet;
    const char* hex;
  } rows[] = {
      // clang-format off
      {rtcp_sender_report(f), "80c8000611223344ed0037801f7ced91000003e80000000500000320"
                              "81ca0003112233440102633100000000"},
      {rtcp_bye(0x11223344, "Call Disconnected"),
       "81cb00061122334411" "43616c6c20446973636f6e6e6563746564" "0000"},
      {rtcp_sender_report(with_block), "81c8000c11223344ed0037801f7ced91000003e80000000500000320"
       "55667788" "40000001" "00010001" "00000000" "12345678" "00018000"
       "81ca0003112233440102633100000000"},
      {rtcp_xr(0x11223344, 0x55667788, m, f.ntp, true, true), "80cf001711223344"
       "06e0000955667788" "fffe0002" "00000001" "00000000" "00000000000000000000000000000000"
       "00000000" "0700000855667788" "40000000" "00000000" "01900000" "7f7f7f10" "7f7f1814"
       "00000000" "00000000" "04000002" "ed0037801f7ced91"},
      {rtcp_xr(0x11223344, 0x55667788, m, f.ntp, false, false), "80cf000411223344"
       "04000002ed0037801f7ced91"},
      {rtcp_xr(0x11223344, 0x55667788, varied, f.ntp, true, false), "80cf001211223344"
       "06e0000955667788" "00010005" "00000000" "00000000" "00000002000000040000000200000001"
       "00000000" "04000002ed0037801f7ced91" "05000003aabbccdd1234567800020000"},
      // clang-format on
  };
  for (const auto& r : rows) EXPECT_EQ(hex_encode(r.packet), str(r.hex));
  // A receiver report about us gives loss, jitter and the round trip: sent at 0x1234.0000 (LSR),
  // held 0.5 s by the peer (DLSR), read at 0x1235.0000: 500 ms.
  const str rr =
      hex_decode(str("81c90007aaaaaaaa112233440500000300010000000000101234000000008000"));
  rtcp_peer_report peer;
  ASSERT_TRUE(rtcp_read(rr, 1, 0x11223344, 0x0000123500000000ull, peer));
  EXPECT_EQ(
      std::make_tuple(peer.report_block, peer.cumulative_lost, peer.jitter, peer.network_delay_ms),
      std::make_tuple(true, 3u, 16u, 500));
  EXPECT_FALSE(rtcp_read(rr, 1, 0x55555555, 0, peer = rtcp_peer_report()) && peer.report_block);
}

TEST(Rtcp, EveryFiveSecondsAReportAndComfortNoiseWhileRelaying) {
  manual_clock clock;
  scoped_clock use(&clock);
  scripted_sockets sockets;
  call_sdp media;
  media.srtp_local_key = str(char(7), 30);
  media.crypto_suite = "AES_CM_128_HMAC_SHA1_80";
  rtp_stream* s = rtp_stream_open(3, "c", &media);
  ASSERT_TRUE(s->allocate_ports(sockets));
  s->set_sdp_dest(at("127.0.0.9:6000"));
  s->pass_through = true;
  clock.advance_ms(4999);
  for (int round = 0; round < 2; ++round, clock.advance_ms(1)) {
    while (rtp_thread_queue.first_due() && rtp_thread_queue.first_due() <= clock_now())
      rtp_thread_queue.next();
  }
  // SR and SDES (40 bytes) with the SRTCP index and tag; comfort noise (44) with the SRTP tag:
  // destination, packet type and length.
  std::string sent;
  for (const std::string& l : sockets.lines)
    sent += l.substr(0, l.find(' ') + 1) + l.substr(l.find(' ') + 3, 2) + " " +
            std::to_string((l.size() - l.find(' ') - 1) / 2) + ";";
  EXPECT_EQ(sent, "127.0.0.9:6001 c8 54;127.0.0.9:6000 0d 54;");
  rtp_stream_close(3);
}

TEST(VqReport, WholeText) {
  vq_inputs in;
  // clang-format off
  in.sip = {"abc@127.0.0.1", "<sip:100@localhost>;tag=1", "<sip:101@localhost>", "127.0.0.1",
            1767225600000, 1767225725000, "telmond/1.0", "sip", 1200, 1, "OK", 35, "bye"};
  // clang-format on
  in.payload_type = 8, in.codec_name = "PCMA";
  in.local_ip = "127.0.0.1", in.local_port = 50000, in.local_ssrc = 0xab;
  in.remote_ip = "127.0.0.2", in.remote_port = 4000, in.remote_ssrc = 0x89abcdef;
  in.local = {98, 2, 0, 40, 3, 9};  // 2 % lost, 20 ms one way
  in.remote_known = true;
  in.remote = {1000, 0, 5, 0, 1, 2};
  in.remote_mos_lq = 41;
  EXPECT_EQ(vq_report_text(in),
            str("VQSessionReport: CallTerm\r\nLocalMetrics:\r\n"
                "Timestamps:START=2026-01-01T00:00:00Z STOP=2026-01-01T00:02:05Z\r\n"
                "CallID:abc@127.0.0.1\r\nFromID:<sip:100@localhost>;tag=1\r\n"
                "ToID:<sip:101@localhost>\r\n"
                "SessionDesc:PT=8 PD=PCMA SR=8000 FD=20 FO=160 FPP=1 PPS=50 PLC=3\r\n"
                "LocalAddr:IP=127.0.0.1 PORT=50000 SSRC=0x000000ab\r\n"
                "RemoteAddr:IP=127.0.0.2 PORT=4000 SSRC=0x89abcdef\r\n"
                "PacketLoss:NLR=2.0 JDR=0.0\r\nDelay:RTD=40 IAJ=3 MAJ=9\r\n"
                "QualityEst:MOSLQ=4.2 MOSCQ=4.2\r\n"
                "x-UserAgent:telmond/1.0\r\nx-SIPmetrics:SVA=sip SRD=1200 SFC=1\r\n"
                "x-SIPterm:SDC=OK SDD=35 SDR=bye\r\n"
                "RemoteMetrics:\r\n"
                "PacketLoss:NLR=0.0 JDR=0.5\r\nDelay:RTD=0 IAJ=1 MAJ=2\r\n"
                "QualityEst:MOSLQ=4.1 MOSCQ=4.4\r\n"));
}

// The receiving leg takes the key from the peer's a=crypto line; the sending leg holds the same
// bytes as its own key, as the peer that announced them does.
struct keyed_pair {
  call_sdp sender, receiver;
  srtp_session out, in;
  explicit keyed_pair(const char* suite) {
    const str m = str::sprintf(
        "m=audio 4000 RTP/SAVP 0\r\na=crypto:1 %S "
        "inline:AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0e\r\n",
        suite);
    receiver.set_remote_sdp(peer_sdp(m.c_str()), true, false);
    sender.srtp_local_key = receiver.remote_key;
    sender.crypto_suite = receiver.crypto_suite;
    sender.auth_tag_length = receiver.auth_tag_length;
  }
};

str plain(int seq) {
  return rtp_write_header(false, 0, uint16_t(seq), 160, 0x1234) + str('U', 160);
}

TEST(SrtpSession, RoundTripAndDrops) {
  // The suite; the byte to flip in the protected packet, counted from its end (-1: none); 1: the
  // packet was received before, 2: and then the peer changed its SSRC; the result; the tag's
  // length.
  const std::tuple<const char*, int, int, srtp_result, size_t> rows[] = {
      {"AES_CM_128_HMAC_SHA1_32", -1, 0, srtp_result::ok, 4},
      {"AES_CM_128_HMAC_SHA1_32", 20, 0, srtp_result::wrong_mac, 4},  // payload byte
      {"AES_CM_128_HMAC_SHA1_80", -1, 1, srtp_result::rejected, 10},
      {"AES_CM_128_HMAC_SHA1_80", -1, 2, srtp_result::ok, 10},  // a fresh receive context
  };
  for (const auto& [suite, flip, replay, expected, tag] : rows) {
    SCOPED_TRACE(std::string(suite) + " " + std::to_string(flip) + " " + std::to_string(replay));
    keyed_pair k(suite);
    ASSERT_EQ(k.receiver.remote_key.length(), 30u);
    str p = plain(7);
    ASSERT_TRUE(k.out.protect_rtp(&k.sender, p));
    EXPECT_EQ(p.length(), plain(7).length() + tag);
    EXPECT_NE(p.substr(12, 160), plain(7).substr(12, 160));  // encrypted
    if (flip > 0) p.set_character(p.length() - size_t(flip), char(p[p.length() - flip] ^ 1));
    str first = p;
    EXPECT_TRUE(!replay || k.in.unprotect_rtp(&k.receiver, first) == srtp_result::ok);
    if (replay == 2) k.in.restart_receive();
    EXPECT_EQ(k.in.unprotect_rtp(&k.receiver, p), expected);
    EXPECT_TRUE(expected != srtp_result::ok || p == plain(7));
    EXPECT_EQ(k.in.wrong_mac_drops, expected == srtp_result::wrong_mac ? 1 : 0);
  }
}

// A protected stream across the sequence wrap, each packet after a forged copy: the receiver's
// roll-over counter follows the sender's, so the packets after 65535 still verify and decrypt;
// the forged copies are dropped, and logged at the tenth.
TEST(SrtpSession, SequenceRollOverAndForgedCopies) {
  log_capture log(8);
  keyed_pair k("AES_CM_128_HMAC_SHA1_80"), fresh("AES_CM_128_HMAC_SHA1_80");
  str wrapped;
  for (int seq = 65530; seq < 65530 + 12; ++seq) {
    str p = plain(seq & 0xffff), forged;
    ASSERT_TRUE(k.out.protect_rtp(&k.sender, p));
    if (seq == 65536) wrapped = p;
    forged = p;
    forged.set_character(p.length() - 1, char(p[p.length() - 1] ^ 0x80));
    EXPECT_EQ(k.in.unprotect_rtp(&k.receiver, forged), srtp_result::wrong_mac) << seq;
    ASSERT_EQ(k.in.unprotect_rtp(&k.receiver, p), srtp_result::ok) << seq;
    EXPECT_EQ(p, plain(seq & 0xffff)) << seq;
    EXPECT_EQ(log_capture::contains("Dropped 10 SRTP packets with wrong MAC"), seq >= 65539) << seq;
  }
  EXPECT_FALSE(log_capture::contains("Dropped 9 SRTP packets"));  // not every drop is logged
  // Sequence 0 of a stream that starts there (roll-over counter 0) encrypts differently.
  str first = plain(0);
  ASSERT_TRUE(fresh.out.protect_rtp(&fresh.sender, first));
  EXPECT_NE(first.substr(12, 160), wrapped.substr(12, 160));
}

TEST(SrtpSession, StreamReadsSrtcpAndDiscardsWrongMac) {
  log_capture log(8);
  keyed_pair k("AES_CM_128_HMAC_SHA1_32");
  rtp_stream s;
  s.media = &k.receiver;
  rtcp_sr_fields f;
  f.packets = 42;
  str good = rtcp_sender_report(f);
  ASSERT_TRUE(k.out.protect_rtcp(&k.sender, good));
  str bad = good;
  bad.set_character(9, char(bad[9] ^ 1));
  const ip_port from = ip_port::from_text("127.0.0.2:4001");
  s.on_rtcp(bad, from, 1);
  EXPECT_FALSE(s.monitor.peer.sender_report);
  EXPECT_TRUE(log_capture::contains("Discard SRTCP packet from 127.0.0.2:4001 with wrong MAC"));
  s.on_rtcp(good, from, 1);
  EXPECT_EQ(s.monitor.peer.sr_packets, 42u);
}

}  // namespace
