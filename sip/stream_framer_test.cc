#include "sip/stream_framer.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>
#include <vector>

#include "sip/sip_message.h"

namespace {

using kind = stream_framer::kind;

std::string request(const std::string& method, const std::string& body,
                    const std::string& length_header = "Content-Length") {
  return method +
         " sip:100@example.com SIP/2.0\r\nVia: SIP/2.0/TCP 192.0.2.1:5060;branch=z9hG4bK-" +
         std::to_string(body.size()) + "\r\nCall-ID: abc@192.0.2.1\r\nCSeq: 1 " + method + "\r\n" +
         length_header + ": " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string stun_request() {
  std::string s = {0, 1, 0, 0, 0x21, 0x12, char(0xa4), 0x42};
  s += "0123456789ab";
  return s;
}

// Everything the framer gives for a stream fed in the given pieces, in order, as "kind:data".
std::vector<std::string> frame(const std::vector<std::string>& pieces) {
  stream_framer f;
  std::vector<std::string> out;
  for (const std::string& p : pieces) {
    f.append(str(p));
    for (;;) {
      stream_framer::item it = f.next();
      if (it.type == kind::none) break;
      const char* k = it.type == kind::keepalive ? "ka:" : it.type == kind::stun ? "stun:" : "sip:";
      out.push_back(k + std::string(it.data.view()));
    }
  }
  return out;
}

std::vector<std::string> bytewise(const std::string& s) {
  std::vector<std::string> v;
  for (char c : s) v.push_back(std::string(1, c));
  return v;
}

// A message whose body holds a blank line, split inside the header end and inside the body
// (any other split is the property below): the body waits for Content-Length, then the
// keep-alive after it.
TEST(StreamFramer, BodyWaitsForContentLength) {
  const std::string m = request("MESSAGE", "hello\r\n\r\nworld" + std::string(300, 'x'));
  const size_t cut = m.find("\r\n\r\n") + 2;
  stream_framer f;
  f.append(str(m.substr(0, cut)));
  f.append(str(m.substr(cut, 8)));
  f.append(str(m.substr(cut + 8, m.size() - cut - 9)));
  EXPECT_EQ(f.next().type, kind::none);
  EXPECT_EQ(f.pending(), m.size() - 1);
  f.append(str(m.substr(m.size() - 1) + "\r\n"));
  stream_framer::item it = f.next();
  EXPECT_EQ(it.type, kind::sip);
  EXPECT_EQ(it.data.view(), m);
  it = f.next();
  EXPECT_EQ(it.type, kind::keepalive);
  EXPECT_EQ(it.data.view(), "\r\n");
  EXPECT_EQ(f.pending(), 0u);
}

TEST(StreamFramer, KeepAlivesAndStunBetweenMessages) {
  const std::string a = request("OPTIONS", "");
  const std::string s = stun_request();
  std::string stream = "\r\n\r\n" + a + "\r\n\r\n" + s + " \r\n" + a;
  std::vector<std::string> want = {"ka:\r\n\r\n", "sip:" + a, "ka:\r\n\r\n",
                                   "stun:" + s,   "ka: \r\n", "sip:" + a};
  EXPECT_EQ(frame({stream}), want);
  // Bytewise the keep-alives come one byte at a time, but the same bytes in the same order.
  const auto flat = [](const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& x : items) out += x.rfind("ka:", 0) == 0 ? x.substr(3) : "|" + x + "|";
    return out;
  };
  EXPECT_EQ(flat(frame(bytewise(stream))), flat(want));
}

TEST(StreamFramer, StunWithAttributesAndStrayNul) {
  std::string s = stun_request();
  s[3] = 8;  // 8 bytes of attributes
  s += "ATTRIBUT";
  EXPECT_EQ(frame({s.substr(0, 19), s.substr(19, 5), s.substr(24)}),
            (std::vector<std::string>{"stun:" + s}));
  // A NUL followed by a NUL is not STUN: the message after it is framed as SIP.
  const std::string a = request("OPTIONS", "");
  std::string nul_nul(2, '\0');
  std::vector<std::string> got = frame({nul_nul + a});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "sip:" + a);
}

TEST(StreamFramer, CutOffPast64KiB) {
  // No header end at all.
  stream_framer f;
  f.append(str(std::string(stream_framer::max_unframed, 'A')));
  EXPECT_EQ(f.next().type, kind::none);
  EXPECT_FALSE(f.too_long());
  f.append(str("A"));
  EXPECT_EQ(f.next().type, kind::none);
  EXPECT_TRUE(f.too_long());

  // A header announcing a body larger than the limit never completes.
  stream_framer g;
  std::string head = request("MESSAGE", "");
  head.replace(head.find("Content-Length: 0"), 17, "Content-Length: 900000");
  g.append(str(head));
  for (int i = 0; i < 70; ++i) {
    g.append(str(std::string(1024, 'b')));
    EXPECT_EQ(g.next().type, kind::none);
  }
  EXPECT_TRUE(g.too_long());

  // A message of just under the limit is fine.
  stream_framer h;
  std::string big = request("MESSAGE", std::string(stream_framer::max_unframed - 300, 'c'));
  ASSERT_LE(big.size(), stream_framer::max_unframed);
  h.append(str(big));
  EXPECT_FALSE(h.too_long());
  EXPECT_EQ(h.next().type, kind::sip);
}

// Any sequence of messages and keep-alives, cut at arbitrary places, frames to the same SIP
// messages that the datagram framing (get_first_packet) cuts from the whole stream.
TEST(StreamFramer, PropertyAnySplitFramesLikeWholeStream) {
  bool ok = rc::check([] {
    const int count = *rc::gen::inRange(1, 6);
    std::string stream;
    std::vector<std::string> messages;
    for (int i = 0; i < count; ++i) {
      stream += std::string(size_t(*rc::gen::inRange(0, 3)), '\n');
      std::string body = *rc::gen::container<std::string>(
          *rc::gen::inRange(0, 200), rc::gen::elementOf(std::string("ab\r\n \x01")));
      std::string m = request(
          *rc::gen::elementOf(std::vector<std::string>{"INVITE", "BYE"}), body,
          *rc::gen::elementOf(std::vector<std::string>{"Content-Length", "l", "content-length"}));
      messages.push_back(m);
      stream += m;
    }
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < stream.size()) {
      size_t n = size_t(*rc::gen::inRange(1, 64));
      pieces.push_back(stream.substr(at, n));
      at += n;
    }
    std::vector<std::string> got;
    for (const std::string& x : frame(pieces)) {
      if (x.rfind("sip:", 0) == 0) got.push_back(x.substr(4));
    }
    RC_ASSERT(got == messages);
    str whole(stream);
    for (const std::string& m : messages) {
      RC_ASSERT(std::string(get_first_packet(whole, true).view()) == m);
    }
  });
  EXPECT_TRUE(ok);
}

}  // namespace
