// SIP messages parsed, built and serialised. That serialising is stable across a parse: the
// corpus in rfc4475_test.cc and, for any text, fuzz/sip_message_fuzz.cc.
#include "sip/sip_message.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "frame/settings.h"
#include "sip/sip_environment.h"
#include "sip/sip_test_print.h"

namespace {

const ip_port k_dest(ip_address_parse("192.0.2.7"), 5060);
const ip_port k_dest6(ip_address_parse("2001:db8::7"), 5060);

// The local side of a socket per destination family and transport; the RTP bindings, the short
// header names and the replacement list come from the settings, as in the daemon.
struct local_info : sip_settings_local_info {
  str local_sip_address(const ip_port& d, transport_type) override {
    return d.is_ipv6() ? "2001:db8::1" : "192.0.2.1";
  }
  uint16_t local_sip_port(const ip_port&, transport_type t) override {
    return t == transport_type::tls ? 5061 : 5060;
  }
  str web_address(const ip_port&, bool https) override {
    return https ? "https://192.0.2.1:443" : "http://192.0.2.1:80";
  }
};

// Installs a local_info; removes it and empties its settings again.
struct local_info_scope {
  local_info info;
  local_info_scope() {
    set_sip_local_info(&info);
    reset_ip_replacement_table();
  }
  ~local_info_scope() {
    for (ctrl_settings::setting s : {ctrl_settings::short_header, ctrl_settings::port_bind4,
                                     ctrl_settings::port_bind6, ctrl_settings::ip_replacement_list})
      ctrl_write_setting(s, "");
    set_sip_local_info(nullptr);
    reset_ip_replacement_table();
  }
};

const char* const k_invite =
    "INVITE sip:bob@example.com SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.9:5062;branch=z9hG4bK-1;rport\n"
    "v: SIP/2.0/TCP proxy.example.com;branch=z9hG4bK-0, SIP/2.0/UDP \"x,y\";branch=2\n"
    "Max-Forwards: 69\nFrom: \"Alice, A.\" <sip:alice@example.com>;tag=a1\n"
    "To: <sip:bob@example.com>\nCall-ID: call-1@192.0.2.9\nCSeq: 17 INVITE\n"
    "Contact: <sip:alice@192.0.2.9:5062;transport=udp>;expires=60, \"B,\" <sip:b@h;x=1,2>\n"
    "m: sip:third@h\nRecord-Route: <sip:p1.example.com;lr>, <sip:p2.example.com;lr>\n"
    "Route: <sip:p3.example.com;lr>\npath: <sip:edge.example.com;lr>\nSubject: a\n\tb\n"
    "Allow: INVITE, ACK,,BYE\nAllow: CANCEL\nExpires: 120\nX-Empty-Value\n"
    "Content-Type: application/sdp\nContent-Length: 47\n\n"
    "v=0\no=- 1 1 IN IP4 h\ns=-\nc=IN IP4 h\nt=0 0\nTRAILING";

// What the whole text of k_invite shows (order, list splitting, compact names, continuation,
// the body cut at Content-Length) is compared in SerialisesInFixedOrder; here the typed values
// (start line, Call-ID, CSeq and tags of the corpus: Rfc4475.ValidMessagesGiveTheirFields).
TEST(SipMessage, ParsesTypedHeadersAndLists) {
  sip_message m(crlf(k_invite));
  ASSERT_EQ(m.contact.size(), 3u);
  EXPECT_EQ(str::sprintf("%d ", m.max_forwards) + m.from.display_name() + "|" +
                m.contact[0].extract_parameter("expires") + "|" + m.contact[1].display_name() +
                "|" + m.contact[1].addr_spec().get_parameter("x") + "|" +
                m.contact[2].addr_spec().get_user(),
            "69 Alice, A.|60|B,|1,2|third");
  // Other headers are held newest first, so the last occurrence wins.
  EXPECT_EQ(m.get_other_header("Allow", ""), "CANCEL");
  EXPECT_EQ(m.get_other_headers("allow", "", false, ','),
            (std::vector<str>{"CANCEL", "INVITE, ACK,,BYE"}));
  EXPECT_EQ(m.get_other_headers("allow", "", true, ','),
            (std::vector<str>{"CANCEL", "INVITE", "ACK", "BYE"}));
  EXPECT_EQ(m.get_complete_headers("X-Empty-Value", "").size(), 1u);
  ASSERT_EQ(m.sdps.size(), 1u);
  EXPECT_TRUE(m.bodies.empty());
  const struct {
    const char *name, *value;
  } headers[] = {{"f", "\"Alice, A.\" <sip:alice@example.com>;tag=a1"},
                 {"CSEQ", "17 INVITE"},
                 {"Max-Forwards", "69"},
                 {"i", "call-1@192.0.2.9"},
                 {"Via", ""},
                 {"Contact", ""},
                 {"Content-Length", ""},
                 {"Subject", "ab"}};
  for (const auto& h : headers) EXPECT_EQ(m.get_header(h.name), h.value) << h.name;
}

TEST(SipMessage, ResponsesAndOddStartLines) {
  sip_message r(crlf("SIP/2.0 180  Ringing  here \nCSeq: 1 INVITE\nVia: SIP/2.0/UDP h\n\n"));
  EXPECT_EQ(str::sprintf("%d ", r.code) + r.reason, "180 Ringing  here");
  EXPECT_EQ(sip_message(crlf("SIP/2.0 abc\n\n")).code, 0);
  sip_message one(crlf("OPTIONS\n\n"));
  EXPECT_EQ(one.method, "OPTIONS");
  EXPECT_TRUE(one.request_uri.empty());
  EXPECT_TRUE(sip_message(str()).method.empty());
  // Bare CR and LF CR end lines too; a continuation line of only white space is ignored; "t"
  // without a colon is the compact To header with an empty value.
  sip_message cr("OPTIONS sip:a@b SIP/2.0\rCall-ID: x\r \t\rSubject: s\n\rt\r\rbody");
  EXPECT_EQ(cr.call_id, "x");
  EXPECT_EQ(cr.get_other_header("Subject", ""), "s");
  EXPECT_TRUE(cr.to.content().empty());
  EXPECT_TRUE(cr.other_headers.size() == 1u);
  EXPECT_TRUE(cr.bodies.empty());
}

// The non-SDP bodies a text yields ("" for none).
TEST(SipMessage, BodiesByContentLengthAndMultipart) {
  const struct {
    const char* text;  // \n becomes CR LF unless lf_only
    bool lf_only;
    const char* body;
  } cases[] = {
      {"BYE sip:a@b SIP/2.0\nCall-ID: x\nContent-Length: 3\n\nabcdef", true, "abc"},
      {"MESSAGE sip:a@b SIP/2.0\nContent-Type: text/plain\n\nhello", false, ""},  // no length
      // Negative and too large lengths: the corpus's ncl and clerr (rfc4475_test).
      // A multipart type without boundary keeps the body whole.
      {"MESSAGE sip:a@b SIP/2.0\nc: multipart/mixed\nl: 4\n\nabcd", false, "abcd"},
      // A part without headers, an unterminated last part and an unquoted boundary.
      {"MESSAGE sip:a@b SIP/2.0\nContent-Type: multipart/related;type=x;boundary=b1\n"
       "Content-Length: 60\n\npreamble\n--b1\n\nfirst\n--b1\nContent-Type: text/plain\n\nsecond\n",
       false, "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    sip_message m(c.lf_only ? str(c.text) : crlf(c.text));
    EXPECT_EQ(m.bodies.size(), *c.body ? 1u : 0u);
    EXPECT_EQ(m.bodies.empty() ? str() : m.bodies[0], c.body);
  }
  // An empty SDP part serialises to nothing (and must not touch the empty body buffer).
  sip_message empty_sdp(crlf(
      "INVITE sip:a@b SIP/2.0\nContent-Type: multipart/mixed;boundary=x\nContent-Length: 44\n\n"
      "--x\nContent-Type: application/sdp\n\n\n--x--\n"));
  ASSERT_EQ(empty_sdp.sdps.size(), 1u);
  EXPECT_TRUE(empty_sdp.serialize(k_dest, transport_type::udp)
                  .ends_with(str("Content-Type: application/sdp\r\nContent-Length: 0\r\n\r\n")));
  sip_message m(
      crlf("INVITE sip:a@b SIP/2.0\nContent-Type: multipart/mixed; boundary=\"bnd\"\n"
           "Content-Length: 130\n\n--bnd\nContent-Type: application/sdp\n\no=a 1 2 IN IP4 h\n"
           "--bnd\nContent-Type: application/isup;version=itu-t92+\n\n\x01\x02\n--bnd--\n"));
  ASSERT_EQ(m.sdps.size(), 1u);
  EXPECT_EQ(m.sdps[0].serialize(true),
            "v=0\r\no=a 1 2 IN {x-pre-ipv} h\r\ns=-\r\nc=IN {x-pre-ipv} \r\nt=0 0\r\n");
  EXPECT_EQ(m.bodies, std::vector<str>{"\x01\x02"});
  EXPECT_EQ(m.content_type, "application/isup;version=itu-t92+");
}

TEST(SipMessage, ConstructorsAndHeaderOperations) {
  sip_message req(m_register, from_to_spec("<sip:a@h>;tag=1"), from_to_spec("<sip:a@h>"), "cid");
  req.add_via("SIP/2.0/UDP h;branch=1");
  req.add_record_route("<sip:rr@h;lr>");
  req.add_contact("<sip:a@1.2.3.4>");
  req.port_name = "udp1";
  req.call_port_index = 7;
  req.add_other_header("Supported", "k", "path");
  req.add_other_header("User-Agent", "", "ua");
  req.add_list_element("Allow", {"INVITE", "BYE"});
  EXPECT_EQ(req.get_other_header("", "SUPPORTED"), "path");
  EXPECT_EQ(req.get_other_header("X", "k"), "");
  req.set_other_header("supported", "k", "gruu");
  EXPECT_EQ(req.get_other_headers("Supported", "k").size(), 1u);
  req.set_other_headers("Allow", "", {"ACK"});
  req.remove_other_header("user-agent", "");
  // Locally added headers are appended at the end.
  const str head = crlf(
      "Via: SIP/2.0/UDP h;branch=1\nRecord-Route: <sip:rr@h;lr>\n"
      "From: <sip:a@h>;tag=1\nTo: <sip:a@h>\nCall-ID: cid\n");
  EXPECT_EQ(req.serialize(k_dest, transport_type::udp),
            "REGISTER  SIP/2.0\r\n" + head +
                crlf("CSeq: 0 REGISTER\nMax-Forwards: 70\nContact: <sip:a@1.2.3.4>\n"
                     "supported: gruu\nAllow: ACK\nContent-Length: 0\n\n"));

  sip_message resp(200, "OK", req);  // its bytes: SerialisesInFixedOrder
  EXPECT_EQ(resp.port_name + str::sprintf(" %d", resp.call_port_index), "udp1 7");
  resp.clear();
  EXPECT_TRUE(resp.via.empty() && resp.call_id.empty());

  sip_message h;
  h.store_header("  Foo :  bar baz  ");
  h.store_header("NoColon");
  h.store_header(": nameless");
  EXPECT_EQ(h.get_other_header("foo", ""), "bar baz");
  EXPECT_EQ(h.get_complete_headers("NoColon", "").size(), 1u);
  EXPECT_EQ(h.other_headers.size(), 2u);
}

TEST(SipMessage, SerialisesInFixedOrder) {
  sip_message m(crlf(k_invite));
  str text = m.serialize(k_dest, transport_type::udp);
  EXPECT_EQ(text, crlf("INVITE sip:bob@example.com SIP/2.0\n"
                       "Via: SIP/2.0/UDP 192.0.2.9:5062;branch=z9hG4bK-1;rport\n"
                       "Via: SIP/2.0/TCP proxy.example.com;branch=z9hG4bK-0\n"
                       "Via: SIP/2.0/UDP \"x,y\";branch=2\nRoute: <sip:p3.example.com;lr>\n"
                       "Record-Route: <sip:p1.example.com;lr>\n"
                       "Record-Route: <sip:p2.example.com;lr>\nPath: <sip:edge.example.com;lr>\n"
                       "From: \"Alice, A.\" <sip:alice@example.com>;tag=a1\n"
                       "To: <sip:bob@example.com>\nCall-ID: call-1@192.0.2.9\nCSeq: 17 INVITE\n"
                       "Max-Forwards: 69\n"
                       "Contact: <sip:alice@192.0.2.9:5062;transport=udp>;expires=60\n"
                       "Contact: \"B,\" <sip:b@h;x=1,2>\nContact: <sip:third@h>\nX-Empty-Value: \n"
                       "Allow: CANCEL\nAllow: INVITE, ACK,,BYE\nSubject: ab\nExpires: 120\n"
                       "Content-Type: application/sdp\nContent-Length: 47\n\nv=0\n"
                       "o=- 1 1 IN IP4 h\ns=-\nc=IN IP4 h\nt=0 0\n"));
  sip_message resp(486, "Busy Here", m);
  EXPECT_EQ(resp.serialize(k_dest, transport_type::udp),
            crlf("SIP/2.0 486 Busy Here\nVia: SIP/2.0/UDP 192.0.2.9:5062;branch=z9hG4bK-1;rport\n"
                 "Via: SIP/2.0/TCP proxy.example.com;branch=z9hG4bK-0\n"
                 "Via: SIP/2.0/UDP \"x,y\";branch=2\nRecord-Route: <sip:p1.example.com;lr>\n"
                 "Record-Route: <sip:p2.example.com;lr>\nPath: <sip:edge.example.com;lr>\n"
                 "From: \"Alice, A.\" <sip:alice@example.com>;tag=a1\nTo: <sip:bob@example.com>\n"
                 "Call-ID: call-1@192.0.2.9\nCSeq: 17 INVITE\nContent-Length: 0\n\n"));
}

TEST(SipMessage, PlaceholdersExpandPerDestination) {
  local_info_scope scope;
  const str all =
      "{x-pre-trans} {x-pre-adr}:{x-pre-port} {x-pre-adrs} {x-pre-ipv} {x-pre-http} {x-pre-https}";
  const struct {
    str text;
    const ip_port& to;
    transport_type t;
    const char* bind4;
    const char* out;
  } cases[] = {
      {all, k_dest, transport_type::tls, "0.0.0.0",
       "tls 192.0.2.1:5061 192.0.2.1 IP4 http://192.0.2.1:80 https://192.0.2.1:443"},
      {all, k_dest6, transport_type::udp, "0.0.0.0",
       "udp [2001:db8::1]:5060 2001:db8::1 IP6 http://192.0.2.1:80 https://192.0.2.1:443"},
      {"c=IN {x-pre-ipv} {x-pre-adrs}", k_dest, transport_type::udp, "198.51.100.4",
       "c=IN IP4 198.51.100.4"},
      {"c=IN {x-pre-ipv} {x-pre-adrs}", k_dest6, transport_type::udp, "198.51.100.4",
       "c=IN IP6 2001:db8::4"},
      // An unknown word ends the expansion; the rest stays as it is.
      {"{x-pre-port} {x-pre-what} {x-pre-port}", k_dest, transport_type::udp, "",
       "5060 {x-pre-what} {x-pre-port}"},
      {"{x-pre-port", k_dest, transport_type::udp, "", "{x-pre-port"},
      {"{x-pre-port extra}", k_dest, transport_type::udp, "", "5060"},
  };
  for (const auto& c : cases) {
    ctrl_write_setting(ctrl_settings::port_bind4, c.bind4);
    ctrl_write_setting(ctrl_settings::port_bind6, *c.bind4 == '1' ? "2001:db8::4" : "::");
    EXPECT_EQ(expand_placeholders(c.text, c.to, c.t), c.out) << c.text.c_str();
  }
  // In a message: Via, Contact, other headers, Request-URI and SDP are expanded, From is not.
  // Crypto lines stay home in a request over UDP, and go out over TLS.
  ctrl_write_setting(ctrl_settings::port_bind4, "198.51.100.4");
  sip_message m(m_invite, from_to_spec("<sip:{x-pre-adr}>;tag=1"), from_to_spec("<sip:b@h>"), "c");
  m.request_uri = "sip:b@{x-pre-adr}";
  m.add_via("SIP/2.0/UDP {x-pre-adr}:{x-pre-port};branch=z9hG4bK-x;rport");
  m.contact.emplace_back(sip_uri("sip", "alice", "{x-pre-adr}", "{x-pre-port}"));
  m.add_other_header("Call-Info", "", "<{x-pre-http}/x>");
  m.content_type = "application/sdp";
  m.sdps.emplace_back(
      str("o=- 1 1 IN {x-pre-ipv} {x-pre-adr}\r\nc=IN {x-pre-ipv} {x-pre-adrs}\r\n"
          "m=audio 4000 RTP/AVP 0\r\na=crypto:1 AES\r\n"));
  EXPECT_EQ(m.serialize(k_dest, transport_type::udp),
            crlf("INVITE sip:b@192.0.2.1 SIP/2.0\n"
                 "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK-x;rport\n"
                 "From: <sip:{x-pre-adr}>;tag=1\nTo: <sip:b@h>\nCall-ID: c\nCSeq: 0 INVITE\n"
                 "Max-Forwards: 70\nContact: <sip:alice@192.0.2.1:5060>\n"
                 "Call-Info: <http://192.0.2.1:80/x>\nContent-Type: application/sdp\n"
                 "Content-Length: 90\n\nv=0\no=- 1 1 IN IP4 192.0.2.1\ns=-\n"
                 "c=IN IP4 198.51.100.4\nt=0 0\nm=audio 4000 RTP/AVP 0\n"));
  EXPECT_GE(m.serialize(k_dest, transport_type::tls).find(str("a=crypto:1 AES")), 0);
  // The replacement table, read once: a later change of the setting is not seen until the table
  // is reset; entries that are not address/address pairs are ignored.
  ctrl_write_setting(ctrl_settings::ip_replacement_list,
                     "192.0.2.1/203.0.113.1 bad/1.1.1.1 10.0.0.1/ 2001:db8::1/pbx.example.com");
  reset_ip_replacement_table();
  EXPECT_EQ(expand_placeholders("{x-pre-adr}", k_dest, transport_type::udp), "203.0.113.1");
  EXPECT_EQ(expand_placeholders("{x-pre-adr}", k_dest6, transport_type::udp), "pbx.example.com");
  const std::pair<const char*, const char*> replaced[] = {{"192.0.2.1", "203.0.113.1"},
                                                          {"bad", "bad"},
                                                          {"10.0.0.1", "10.0.0.1"},
                                                          {"192.0.2.2", "192.0.2.2"}};
  ctrl_write_setting(ctrl_settings::ip_replacement_list, "");
  for (const auto& [from, to] : replaced) EXPECT_EQ(sip_message::replace_address(from), to);
}

// Compact names once the setting (in any case) asks for them.
TEST(SipMessage, ShortHeaderForm) {
  local_info_scope scope;
  const str text = crlf(
      "MESSAGE sip:b@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=1\nFrom: <sip:a@h>;tag=1\nTo: <sip:b@h>\n"
      "Call-ID: c\nCSeq: 1 MESSAGE\nMax-Forwards: 70\nContact: <sip:a@h>\nExpires: 60\n"
      "Content-Type: text/plain\nContent-Length: 1\n\nx");
  ctrl_write_setting(ctrl_settings::short_header, "TRUE");
  EXPECT_EQ(sip_message(text).serialize(k_dest, transport_type::udp),
            crlf("MESSAGE sip:b@h SIP/2.0\nv: SIP/2.0/UDP h;branch=1\nf: <sip:a@h>;tag=1\n"
                 "t: <sip:b@h>\ni: c\nCSeq: 1 MESSAGE\nMax-Forwards: 70\nm: <sip:a@h>\n"
                 "Expires: 60\nc: text/plain\nl: 1\n\nx"));
  ctrl_write_setting(ctrl_settings::short_header, "false");
  EXPECT_EQ(sip_message(text).serialize(k_dest, transport_type::udp), text);
}

TEST(SipMessage, AddViaReceived) {
  const ip_port src(ip_address_parse("198.51.100.9"), 7000);
  const ip_port src6(ip_address_parse("2001:db8::a"), 5070);
  const struct {
    const char* via;
    bool v6;
    const char* after;
    const char* received;
  } cases[] = {
      // Sent-by is the source and no rport: untouched.
      {"SIP/2.0/UDP 198.51.100.9:7000;branch=z9hG4bK1", false,
       "SIP/2.0/UDP 198.51.100.9:7000;branch=z9hG4bK1", ""},
      // rport is always filled in.
      {"SIP/2.0/UDP 198.51.100.9;rport;branch=z9hG4bK1", false,
       "SIP/2.0/UDP 198.51.100.9;rport=7000;branch=z9hG4bK1", ""},
      // A different host gets rport (IPv4) and received.
      {"SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK1", false,
       "SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK1;rport=7000;received=198.51.100.9",
       "198.51.100.9"},
      {"SIP/2.0/TCP host.example.com;rport=1;branch=b", false,
       "SIP/2.0/TCP host.example.com;rport=7000;branch=b;received=198.51.100.9", "198.51.100.9"},
      // IPv6: compared ignoring case, no rport added.
      {"SIP/2.0/UDP [2001:DB8::A]:5070;branch=b", true, "SIP/2.0/UDP [2001:DB8::A]:5070;branch=b",
       ""},
      {"SIP/2.0/UDP [2001:db8::b];branch=b", true,
       "SIP/2.0/UDP [2001:db8::b];branch=b;received=2001:db8::a", "2001:db8::a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.via);
    sip_message m;
    m.via = {c.via, "SIP/2.0/UDP second"};
    add_via_received(m, c.v6 ? src6 : src);
    EXPECT_EQ(m.via, (std::vector<str>{c.after, "SIP/2.0/UDP second"}));
    EXPECT_EQ(m.received, c.received);
  }
  sip_message none;
  add_via_received(none, src);
  EXPECT_TRUE(none.via.empty());
}

// Which changes make a message another one (not a repetition): rows change a copy of the BYE
// (or of its 200).
TEST(SipMessage, RepetitionTest) {
  const sip_message bye(
      crlf("BYE sip:b@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\nFrom: <sip:a@h>;tag=f\n"
           "To: <sip:b@h>;tag=t\nCall-ID: c\nCSeq: 2 BYE\n\n"));
  const sip_message ok(200, "OK", bye);
  using change = void (*)(sip_message&);
  const std::tuple<const char*, bool, change, bool> rows[] = {
      {"request Via", true, [](sip_message& m) { m.via[0] = "SIP/2.0/UDP o;branch=2"; }, true},
      {"To tag", true, [](sip_message& m) { m.to.set_tag("other"); }, false},
      {"udp", true, [](sip_message& m) { m.request_uri = "sip:b@h;transport=udp"; }, true},
      {"user=phone", true, [](sip_message& m) { m.request_uri = "sip:b@h;user=phone"; }, false},
      {"Route", true, [](sip_message& m) { m.add_route("<sip:r@h>"); }, false},
      {"RSeq", false, [](sip_message& m) { m.add_other_header("RSeq", "", "1"); }, false},
      {"branch", false, [](sip_message& m) { m.via[0] = "SIP/2.0/UDP h;branch=z9hG4bK9"; }, false},
      {"reason", false, [](sip_message& m) { m.reason = "Fine"; }, true},
  };
  for (const auto& [what, request, change_it, same] : rows) {
    sip_message m = request ? bye : ok;
    change_it(m);
    EXPECT_EQ((request ? bye : ok) == m, same) << what;
  }
  EXPECT_FALSE(ok == bye);
  sip_message a = ok, b = ok;  // without Via responses are never the same
  a.via.clear();
  b.via.clear();
  EXPECT_FALSE(a == b);
}

TEST(SipMessage, Framing) {
  const struct {
    str buffer;
    bool remove;
    str first;  // empty: nothing complete yet
    str rest;   // the buffer afterwards
  } cases[] = {
      {crlf("\n\n  OPTIONS sip:a@b SIP/2.0\nContent-Length: 3\n\nabcREGISTER"), true,
       crlf("OPTIONS sip:a@b SIP/2.0\nContent-Length: 3\n\nabc"), "REGISTER"},
      {crlf("OPTIONS sip:a@b SIP/2.0\nl: 10\n\nabc"), true, "",
       crlf("OPTIONS sip:a@b SIP/2.0\nl: 10\n\nabc")},
      {crlf("OPTIONS sip:a@b SIP/2.0\nCall-ID: x\n"), false, "",
       crlf("OPTIONS sip:a@b SIP/2.0\nCall-ID: x\n")},
      // LF LF and CR CR end the header block too; without remove the buffer stays.
      {"ACK sip:a@b SIP/2.0\nCall-ID: y\n\nrest", false, "ACK sip:a@b SIP/2.0\nCall-ID: y\n\n",
       "ACK sip:a@b SIP/2.0\nCall-ID: y\n\nrest"},
      {"ACK sip:a@b SIP/2.0\rCall-ID: y\r\rX", true, "ACK sip:a@b SIP/2.0\rCall-ID: y\r\r", "X"},
      {"\r\n\r\n", true, "", "\r\n\r\n"},
      {str("\0\0", 2) + crlf("PING sip:a SIP/2.0\n\n"), true, crlf("PING sip:a SIP/2.0\n\n"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffer.c_str());
    str buffer = c.buffer;
    EXPECT_EQ(get_first_packet(buffer, c.remove), c.first);
    EXPECT_EQ(buffer, c.rest);
  }
  str huge = crlf("A b SIP/2.0\nContent-Length: 99999999999999999999\n\n");
  EXPECT_TRUE(get_first_packet(huge, true).empty());
}

}  // namespace
