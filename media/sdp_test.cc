#include "media/sdp.h"

#include <gtest/gtest.h>

#include "media/codec.h"

namespace {

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

TEST(Sdp, RealOfferRoundTrip) {
  // The direction line becomes the m-line's direction (set_local_sdp writes ours); the address
  // family becomes the transport's placeholder; crypto lines only when asked for.
  const str head =
      "v=0\r\no=- 2390700264 273916874 IN {x-pre-ipv} 127.0.0.1\r\ns=-\r\n"
      "c=IN {x-pre-ipv} 127.0.0.1\r\nt=0 0\r\na=tool:baresip 1.0.0\r\n"
      "m=audio 16042 RTP/SAVP 0 8 9 96 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:9 G722/8000\r\na=rtpmap:96 opus/48000/2\r\na=fmtp:96 stereo=1;sprop-stereo=1\r\n"
      "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\na=label:1\r\na=rtcp-rsize\r\n"
      "a=ssrc:2216512307 cname:sip:bs@127.0.0.1\r\n";
  const str crypto =
      "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:c/8fWWe+51Lsi7lYQAwRcoGMhzxFlFNt9to5asGd\r\n";
  const str tail = "a=minptime:20\r\na=ptime:20\r\n";
  sdp s(str{k_baresip});
  EXPECT_EQ(s.serialize(true), head + crypto + tail);
  EXPECT_EQ(s.serialize(false), head + tail);
}

TEST(Sdp, Accessors) {
  sdp s(str{k_baresip});
  ASSERT_EQ(s.media.size(), 1u);
  m_line& m = s.media[0];
  EXPECT_EQ(m.get_rtpmap(96), "opus/48000/2");
  EXPECT_EQ(m.get_ptime(), "20");
  EXPECT_EQ(m.get_attributes("fmtp"), (std::vector<str>{"96 stereo=1;sprop-stereo=1", "101 0-15"}));
  EXPECT_EQ(m.get_attribute("rtcp-rsize"), "");
  EXPECT_EQ(m.get_attribute("rtcp"), "");
  m.remove_rtpmap(96);
  EXPECT_EQ(m.formats, (std::vector<str>{"0", "8", "9", "101"}));
  EXPECT_EQ(m.get_rtpmap(96), "");
  EXPECT_EQ(m.get_attributes("fmtp").size(), 1u);
  EXPECT_EQ(s.get_port("audio"), "16042");
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
  EXPECT_EQ(s.version, "100");
  s.version = "x9";
  s.increase_version();
  EXPECT_EQ(s.version, "1");
}

TEST(Codec, NamesAndMaps) {
  for (auto [name, codec] : {std::pair{"PCMU/8000", codec_ulaw},
                             {"G729a/8000", codec_g729},
                             {"telephone-event/8000/1", codec_dtmf},
                             {"l16/8000", codec_linear}})
    EXPECT_EQ(get_local_codec(str(name)), codec) << name;
  int opus = get_local_codec(str("opus/48000/2"));
  EXPECT_EQ(get_local_codec(str("OPUS/48000")), opus);
  EXPECT_EQ(get_codec_name(opus), "opus/48000");
  EXPECT_EQ(get_local_codec(18), codec_g729);
  EXPECT_EQ(get_remote_codec(codec_dtmf), 101);
  EXPECT_EQ(get_remote_codec(codec_linear), -1);

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
