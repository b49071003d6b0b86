// Relay ports of a pass-through SDP over scripted sockets.
#include "media/transparent_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log_capture_test_util.h"
#include "media/rtp_stream.h"
#include "media/sdp.h"

namespace {

struct scripted_sockets : rtp_socket_ops {
  int next = 10;
  std::vector<std::string> sent;  // "destination data"
  int open(const ip_port&) override { return next++; }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port& to) override {
    sent.push_back(std::string(to.readable().view()) + " " + std::string(d.view()));
    return true;
  }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

sdp peer(const char* address, const char* media) {
  return sdp(str("v=0\r\no=- 1 1 IN IP4 ") + address + "\r\ns=-\r\nc=IN IP4 " + address +
             "\r\nt=0 0\r\n" + media);
}

// Peer A offers audio and video (the video on an address of its own, held) to leg a; peer B
// answers through leg b, refusing the audio. Each relayed copy names a's or b's relay ports and
// carries the directions; B's video reaches A, and once B sends from another address, A's
// video follows it there.
TEST(transparent_port, streams_relayed_both_ways_and_the_peer_followed) {
  log_capture logs(9);
  scripted_sockets sockets;
  rtp_stream *a = rtp_stream_open(5, "a", nullptr), *b = rtp_stream_open(6, "b", nullptr);
  ASSERT_TRUE(a->allocate_ports(sockets) && b->allocate_ports(sockets));
  a->linked = {6};
  b->linked = {5};
  const sdp from_a = peer("127.0.0.5",
                          "m=audio 4000 RTP/AVP 0\r\nm=video 4002 RTP/AVP 96\r\n"
                          "c=IN IP4 127.0.0.6\r\na=sendonly\r\n");
  const sdp from_b = peer("127.0.0.7", "m=audio 0 RTP/AVP 0\r\nm=video 5002 RTP/AVP 96\r\n");
  call_sdp leg_a, leg_b;
  leg_a.set_remote_sdp(from_a, false, true);
  leg_b.set_remote_sdp(from_b, false, true);
  ASSERT_TRUE(a->open_transparent_ports(from_a, leg_a.relayed));
  ASSERT_TRUE(b->open_transparent_ports(from_b, leg_b.relayed));
  const std::string video_a = std::to_string(a->transparent_ports[1].port);
  EXPECT_EQ(std::string(leg_a.relayed.serialize(false).view()),
            "v=0\r\no=- 1 1 IN {x-pre-ipv} 127.0.0.5\r\ns=-\r\nc=IN {x-pre-ipv} {x-pre-adrs}\r\n"
            "t=0 0\r\nm=audio " +
                std::to_string(a->transparent_ports[0].port) +
                " RTP/AVP 0\r\na=sendrecv\r\nm=video " + video_a +
                " RTP/AVP 96\r\nc=IN {x-pre-ipv} {x-pre-adrs}\r\na=sendonly\r\n");
  EXPECT_EQ(leg_b.relayed.media[0].port, "0");  // refused: no relay port
  EXPECT_EQ(b->transparent_ports.count(0), 0u);

  a->on_transparent(1, "v1", ip_port::from_text("127.0.0.7:5002"));
  a->on_transparent(1, "v2", ip_port::from_text("127.0.0.8:6002"));
  b->on_transparent(1, "v3", ip_port::from_text("127.0.0.6:4002"));
  EXPECT_EQ(sockets.sent, (std::vector<std::string>{"127.0.0.6:4002 v1", "127.0.0.6:4002 v2",
                                                    "127.0.0.8:6002 v3"}));
  std::vector<std::string> relay_log;
  for (const std::string& line : log_capture::texts())
    if (line.starts_with("Passthrough:")) relay_log.push_back(line);
  EXPECT_EQ(relay_log,
            (std::vector<std::string>{"Passthrough: Setting destination to 127.0.0.5:4000",
                                      "Passthrough: Setting destination to 127.0.0.6:4002",
                                      "Passthrough: Setting destination to 127.0.0.7:5002",
                                      "Passthrough: Changing destination"}));
  rtp_stream_close(5);
  rtp_stream_close(6);
  EXPECT_TRUE(a->transparent_ports.empty());
}

}  // namespace
