#include "media/call_sdp.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "base/log_capture_test_util.h"
#include "frame/settings.h"
#include "media/codec.h"

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

TEST(CallSdp, PtimeHoldAndRtcp) {
  scoped_setting size{ctrl_settings::packet_size};
  ctrl_write_setting(ctrl_settings::packet_size, "40");
  log_capture log;
  // The packet length, the ptime we echo, the remote's direction and ours, the remote's RTCP.
  const std::pair<const char*, const char*> cases[] = {
      {"a=ptime:30\r\n", "30 30 sendrecv/sendrecv 127.0.0.2:4001"},
      {"a=ptime:25\r\n", "40  sendrecv/sendrecv 127.0.0.2:4001"},
      {"c=IN IP4 0.0.0.0\r\na=rtcp:4009\r\n", "40  sendonly/recvonly 0.0.0.0:4009"},
      {"a=rtcp:53020 IN IP6 ::2\r\na=sendonly\r\n", "40  sendonly/recvonly ::2:53020"},
  };
  for (const auto& [media, want] : cases) {
    call_sdp c =
        answered(peer_sdp((std::string("m=audio 4000 RTP/AVP 0\r\n") + media).c_str()), "0");
    EXPECT_EQ(str::sprintf("%d %s %s/%s %s:%d", c.packet_length, c.local.media[0].get_ptime(),
                           c.remote.get_sdp_state(), c.local.get_sdp_state(), c.rtcp_address,
                           c.rtcp_port),
              want)
        << media;
  }
  EXPECT_TRUE(log.contains("Cannot process ptime 25", 3));
}

TEST(CallSdp, CryptoOnlyOverTls) {
  const struct {
    const char* suite;
    bool secure;
    int tag_length;  // -1: no key taken
  } cases[] = {
      // clang-format off
      {"AES_CM_128_HMAC_SHA1_80", true, 10}, {"AES_CM_128_HMAC_SHA1_32", true, 4},
      {"AES_CM_128_HMAC_SHA1_80", false, -1}, {"F8_128_HMAC_SHA1_80", true, -1},
      // clang-format on
  };
  for (const auto& t : cases) {
    str line = str::sprintf("m=audio 1 RTP/SAVP 0\r\na=crypto:3 %S inline:", t.suite) +
               "c/8fWWe+51Lsi7lYQAwRcoGMhzxFlFNt9to5asGd|2^20\r\n";
    call_sdp c = answered(peer_sdp(line.c_str()), "0", t.secure);
    EXPECT_EQ(c.remote_key.length(), t.tag_length < 0 ? 0u : 30u) << t.suite << t.secure;
    EXPECT_EQ(c.auth_tag_length, std::max(t.tag_length, 0));
  }
  call_sdp c = answered(peer_sdp("m=audio 1 RTP/SAVP 0\r\n"), "0");
  c.new_srtp_key();
  c.update_sdp_crypto();
  EXPECT_EQ(c.local.media[0].attributes[0],
            "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + base64_encode(c.srtp_local_key));
  EXPECT_EQ(c.local.media[0].protocol, "RTP/SAVP");
}

TEST(CallSdp, OfferAnswerStates) {
  const struct {
    const char* events;  // r: remote SDP, 1: sent with 180, 2: sent with 200, i: INVITE sent
    int state;
    const char* kind;
  } cases[] = {{"r", 1, ""},      {"r1", 4, "answer"}, {"r12", 5, "answer"}, {"r2", 5, "answer"},
               {"i", 3, "offer"}, {"ir", 2, ""},       {"iri", 3, "offer"},  {"r2r", 1, ""}};
  for (const auto& t : cases) {
    call_sdp c;
    for (const char* e = t.events; *e; ++e) {
      if (*e == 'r') c.set_remote_sdp(peer_sdp(k_offer), false, false);
      if (*e != 'r') c.advance_offer_answer_on_send(*e == '1' ? 180 : *e == '2' ? 200 : 0);
    }
    c.set_offer_answer_hint();
    EXPECT_EQ(c.offer_answer_state, t.state) << t.events;
    EXPECT_EQ(c.local.kind, t.kind) << t.events;
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

TEST(Sdp, Accessors) {
  sdp s(str{k_baresip});
  ASSERT_EQ(s.media.size(), 1u);
  m_line& m = s.media[0];
  EXPECT_EQ(m.get_attributes("fmtp"), (std::vector<str>{"96 stereo=1;sprop-stereo=1", "101 0-15"}));
  EXPECT_EQ(m.get_rtpmap(96) + "|" + m.get_ptime() + "|" + m.get_attribute("rtcp-rsize") + "|" +
                m.get_attribute("rtcp") + "|" + s.get_port("audio"),
            "opus/48000/2|20|||16042");
  m.remove_rtpmap(96);
  EXPECT_EQ(m.formats, (std::vector<str>{"0", "8", "9", "101"}));
  EXPECT_EQ(m.get_attributes("fmtp"), std::vector<str>{"101 0-15"});
  EXPECT_EQ(m.get_rtpmap(96), "");
}

TEST(Sdp, Directions) {
  const struct {
    const char* text;
    const char* state;   // of the first audio m-line
    const char* second;  // direction of the second m-line
  } cases[] = {
      {"a=sendonly\r\nm=audio 1 RTP/AVP 0\r\nm=video 2 RTP/AVP 31\r\n", "sendonly", "a=sendonly"},
      {"a=sendonly\r\nm=audio 1 RTP/AVP 0\r\na=inactive\r\nm=audio 2 RTP/AVP 0\r\n", "inactive",
       "a=sendonly"},
      {"m=video 2 RTP/AVP 31\r\na=recvonly\r\nm=audio 1 RTP/AVP 0\r\n", "sendrecv", "a=sendrecv"},
  };
  for (const auto& c : cases) {
    sdp s(str(c.text));
    EXPECT_EQ(s.get_sdp_state(), c.state) << c.text;
    EXPECT_EQ(s.media.at(1).direction, c.second) << c.text;
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

  codec_map m;
  EXPECT_EQ(m.get_dynamic(codec_linear), 96);
  EXPECT_EQ(m.get_dynamic(codec_linear), 97);
  EXPECT_EQ(m.find_local(96), -1);  // the codec moved: both directions stay in step
  m.add(101, codec_dtmf);
  EXPECT_EQ(m.get_dynamic(opus), 102);
  m.add(101, codec_ulaw);
  EXPECT_EQ(m.find_remote(codec_dtmf), -1);
  EXPECT_EQ(m.find_local(101), codec_ulaw);
}

}  // namespace
