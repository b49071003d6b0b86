// The 49 RFC 4475 torture messages: all frame, parse and round-trip; the valid ones give the
// fields the RFC describes. (Every lazily parsed value of each, under the sanitizers: the seed
// corpus of fuzz/sip_message_fuzz.cc, the same 49 messages.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "sip/sip_message.h"
#include "sip/sip_test_print.h"

namespace {

std::string data_dir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/../tests/testdata/rfc4475/";
}

str load(const std::string& name) {
  std::ifstream in(data_dir() + name + ".dat", std::ios::binary);
  const std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return str(s.data(), s.size());
}

// An SDP body as it is sent again over IPv4 (these bodies round-trip byte for byte).
str sdp_text(const sdp& s) {
  return expand_placeholders(s.serialize(true), ip_port(ip_address_parse("192.0.2.1"), 5060),
                             transport_type::udp);
}

// The fields of a message as one line: start line (or just the method), Call-ID, CSeq, tags,
// Via count, bytes of the bodies and Contact count.
std::string summary(const sip_message& m, bool start_line = true) {
  size_t body = 0;
  for (const sdp& s : m.sdps) body += sdp_text(s).length();
  for (const str& b : m.bodies) body += b.length();
  std::string start = m.is_request ? std::string(m.method.view()) : std::to_string(m.code);
  if (m.is_request && start_line)
    start +=
        " " + std::string(m.request_uri.serialize().view()) + " " + std::string(m.version.view());
  return start + " | " + std::string(m.call_id.view()) + " | " + std::to_string(m.cseq) + " " +
         std::string(m.cseq_method.view()) + " | " + std::string(m.from.tag().view()) + " " +
         std::string(m.to.tag().view()) + " | vias " + std::to_string(m.via.size()) + " | body " +
         std::to_string(body) + " | contacts " + std::to_string(m.contact.size());
}

// Every message, framed and as the whole datagram, serialises to a text that parses to the same
// fields and serialises to the same text.
TEST(Rfc4475, EveryMessageFramesParsesAndSerialises) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(data_dir()))
    if (e.path().extension() == ".dat") names.push_back(e.path().stem());
  ASSERT_EQ(names.size(), 49u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    str datagram = load(name);
    ASSERT_FALSE(datagram.empty());
    str buffer = datagram;
    for (const str& text : {get_first_packet(buffer, true), datagram}) {
      if (text.empty()) continue;  // framing found no complete message (baddn, clerr)
      sip_message m(text);
      str once = m.serialize(ip_port(), transport_type::udp);
      sip_message again(once);
      // Parsing puts the other headers newest first; undo that before comparing.
      std::reverse(again.other_headers.begin(), again.other_headers.end());
      EXPECT_EQ(again.serialize(ip_port(), transport_type::udp), once);
      EXPECT_EQ(summary(again, false), summary(m, false));
    }
  }
}

std::string times(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

TEST(Rfc4475, ValidMessagesGiveTheirFields) {
  const std::pair<const char*, std::string> valid[] = {
      {"wsinv",
       "INVITE sip:vivekg@chair-dnrc.example.com;unknownparam SIP/2.0 | "
       "wsinv.ndaksdj@192.0.2.1 | 9 INVITE | 98asjd8 1918181833n | vias 3 | body 150 | "
       "contacts 1"},
      {"intmeth",
       "!interesting-Method0123456789_*+`.%indeed'~ sip:1_unusual.URI~(to-be!sure)&isn't+it$/"
       "crazy?,/;;*:&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com SIP/2.0 | "
       "intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{ | 139122385 "
       "!interesting-Method0123456789_*+`.%indeed'~ | _token~1'+`*%!-.  | vias 1 | body 0 | "
       "contacts 0"},
      {"esc01",
       "INVITE sip:sips%3Auser%40example.com@example.net SIP/2.0 | "
       "esc01.239409asdfakjkn23onasd0-3234 | 234234 INVITE | 938  | vias 1 | body 150 | "
       "contacts 1"},
      {"escnull",
       "REGISTER sip:example.com SIP/2.0 | escnull.39203ndfvkjdasfkq3w4otrq0adsfdfnavd "
       "| 14398234 REGISTER | 839923423  | vias 1 | body 0 | contacts 2"},
      {"esc02",
       "RE%47IST%45R sip:registrar.example.com SIP/2.0 | "
       "esc02.asdfnqwo34rq23i34jrjasdcnl23nrlknsdf | 29344 RE%47IST%45R | f232jadfj23  | "
       "vias 1 | body 0 | contacts 2"},
      {"lwsdisp",
       "OPTIONS sip:user@example.com SIP/2.0 | lwsdisp.1234abcd@funky.example.com | "
       "60 OPTIONS | 323  | vias 1 | body 0 | contacts 0"},
      {"longreq", "INVITE sip:user@example.com SIP/2.0 | longreq.one" + times("really", 20) +
                      "longcallid | 3882340 INVITE | 12" + times("982", 50) +
                      "424  | vias 34 | body 150 | contacts 1"},
      {"dblreq",
       "REGISTER sip:example.com SIP/2.0 | dblreq.0ha0isndaksdj99sdfafnl3lk233412 | "
       "8 REGISTER | 43251j3j324  | vias 1 | body 0 | contacts 1"},
      {"semiuri",
       "OPTIONS sip:user;par=u%40example.net@example.com SIP/2.0 | "
       "semiuri.0ha0isndaksdj | 8 OPTIONS | 33242  | vias 1 | body 0 | contacts 0"},
      {"transports",
       "OPTIONS sip:user@example.com SIP/2.0 | transports.kijh4akdnaqjkwendsasfdj | "
       "60 OPTIONS | 323  | vias 5 | body 0 | contacts 0"},
      {"mpart01",
       "MESSAGE sip:kumiko@example.org SIP/2.0 | "
       "3d9485ad0c49859b@Zmx1ZmZ5LW1hYy0xNi5sb2NhbA.. | 1 MESSAGE | 2fb0dcc9  | vias 1 "
       "| body 347 | contacts 1"},
      {"unreason",
       "200 | unreason.1234ksdfak3j2erwedfsASdf | 35 INVITE | 11141343 2229 | vias 1 | "
       "body 154 | contacts 1"},
      {"noreason",
       "100 | noreason.asndj203insdf99223ndf | 35 INVITE | 39ansfi3 902jndnke3 | vias 1 "
       "| body 0 | contacts 1"},
  };
  // Parsing the whole datagram gives the same (for dblreq: stops at the first message).
  std::map<std::string, sip_message> m;
  for (const auto& [name, want] : valid) {
    str buffer = load(name);
    EXPECT_EQ(summary(sip_message(get_first_packet(buffer, true))), want) << name;
    EXPECT_EQ(summary(m[name] = sip_message(load(name))), want) << name;
  }
  // The details the RFC points out.
  EXPECT_EQ(m["wsinv"].from.display_name(), "J Rosenberg \\\"");
  EXPECT_EQ(m["wsinv"].max_forwards, 68);
  ASSERT_EQ(m["wsinv"].route.size(), 1u);
  EXPECT_EQ(m["wsinv"].route[0].addr_spec().get_host(), "services.example.com");
  EXPECT_EQ(m["wsinv"].get_other_header("NewFangledHeader", ""),
            "newfangled valuecontinued newfangled value");
  EXPECT_EQ(m["wsinv"].get_other_header("s", ""), "");
  EXPECT_EQ(m["wsinv"].contact[0].display_name(), "Quoted string \"\"");
  EXPECT_EQ(m["wsinv"].contact[0].extract_parameter("newparam"), "newvalue");
  ASSERT_EQ(m["wsinv"].sdps.size(), 1u);
  EXPECT_EQ(sdp_text(m["wsinv"].sdps[0]),
            m["wsinv"].raw.substr(size_t(m["wsinv"].raw.find(str("\r\n\r\n")) + 4)));
  EXPECT_EQ(m["esc01"].request_uri.get_user(), "sips:user@example.com");
  EXPECT_EQ(m["esc01"].from.addr_spec().get_user(), "I have spaces");
  EXPECT_EQ(m["esc01"].contact[0].addr_spec().get_parameter("name"), "value%41");  // kept escaped
  EXPECT_EQ(m["escnull"].to.addr_spec().get_user(), str("null-\0-null", 11));
  EXPECT_EQ(m["esc02"].from.display_name(), "%Z%45");
  EXPECT_EQ(m["esc02"].get_other_header("C%6Fntact", ""), "<sip:alias2@host2.example.com>");
  EXPECT_EQ(m["semiuri"].request_uri.get_user(), "user;par=u@example.net");
  EXPECT_EQ(m["semiuri"].request_uri.get_host(), "example.com");
  EXPECT_EQ(m["semiuri"].request_uri.num_parameters(), 0u);
  EXPECT_EQ(m["lwsdisp"].from.display_name(), "caller");
  EXPECT_EQ(m["unreason"].reason.view(),
            "= 2**3 * 5**2 \xd0\xbd\xd0\xbe \xd1\x81\xd1\x82\xd0\xbe \xd0\xb4\xd0\xb5\xd0\xb2\xd1"
            "\x8f\xd0\xbd\xd0\xbe\xd1\x81\xd1\x82\xd0\xbe \xd0\xb4\xd0\xb5\xd0\xb2\xd1\x8f\xd1\x82"
            "\xd1\x8c - \xd0\xbf\xd1\x80\xd0\xbe\xd1\x81\xd1\x82\xd0\xbe\xd0\xb5");
  EXPECT_EQ(m["noreason"].reason, "");
  // mpart01: the two parts of the multipart body, split at the boundary.
  ASSERT_EQ(m["mpart01"].bodies.size(), 2u);
  EXPECT_EQ(m["mpart01"].bodies[0], "Hello");
  EXPECT_EQ(m["mpart01"].bodies[1].length(), 342u);
  EXPECT_EQ(m["mpart01"].content_type, "application/octet-stream");
  EXPECT_EQ(m["transports"].via[1], "SIP/2.0/SCTP t2.example.com;branch=z9hG4bKklasjdhf");
  // Invalid ones keep what can be read: Content-Length larger than the datagram (framing waits,
  // parsing takes what is there), negative and huge numbers that must not wrap into something
  // harmful, a request line with extra white space.
  str clerr = load("clerr");
  EXPECT_TRUE(get_first_packet(clerr, true).empty());
  const std::pair<const char*, const char*> invalid[] = {
      {"clerr",
       "INVITE | clerr.0ha0isndaksdjweiafasdk3 | 8 INVITE | 93942939o2  | vias 1 | "
       "body 154 | contacts 1"},
      {"ncl",
       "INVITE | ncl.0ha0isndaksdj2193423r542w35 | 0 INVITE | 32394234  | vias 1 | body 0 | "
       "contacts 1"},
      {"scalarlg",
       "503 | scalarlg.noase0of0234hn2qofoaf0232aewf2394r | 4294967295 OPTIONS | "
       "2easdjfejw  | vias 1 | body 0 | contacts 0"},
      {"lwsstart",
       "INVITE | lwsstart.dfknq234oi243099adsdfnawe3@example.com | 1893884 INVITE | "
       "8814  | vias 1 | body 150 | contacts 1"}};
  for (const auto& [name, want] : invalid)
    EXPECT_EQ(summary(sip_message(load(name)), false), want) << name;
  EXPECT_EQ(sip_message(load("bigcode")).reason, "better not break the receiver");  // a response
}

}  // namespace
