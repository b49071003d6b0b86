// Request and response routing over scripted DNS answers: resolve lists, NAPTR/SRV/A/AAAA order,
// the step budget, SRV ordering, ENUM and sending over connections.
#include "sip/send_packet.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/random.h"
#include "sip/sip_test_print.h"
#include "sip/transaction.h"
#include "sip/transaction_test_fakes.h"

namespace {

ip_port addr(const char* text, uint16_t port) { return ip_port(ip_address_parse(text), port); }

using strings = std::vector<std::string>;

// The transaction fakes, and the log lines of every case captured.
class Routing : public ::testing::Test {
 protected:
  transaction_env env;
  log_capture logs{9};
};

// Joined with "; ": every connection opened ("open name transport server_name"), then every
// send ("port transport destination" and the Via's protocol).
std::string what_went_out(const transaction_env& env) {
  std::string out;
  for (const std::string& o : env.transport.opened)
    out += (out.empty() ? "" : "; ") + ("open " + o);
  for (const fake_send& s : env.transport.sent) {
    const str via = s.parsed().via.empty() ? str() : s.parsed().via[0];
    out += (out.empty() ? "" : "; ") + std::string(s.port_name.view()) + " " + s.transport.name() +
           " " + std::string(s.destination.readable().view()) + " " +
           std::string(via.substr(0, via.find(' ')).view());
  }
  return out;
}

std::string joined(const strings& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
}

dns_type type_named(const std::string& type) {
  return type == "NAPTR"  ? dns_type::naptr
         : type == "SRV"  ? dns_type::srv
         : type == "AAAA" ? dns_type::aaaa
                          : dns_type::a;
}

// Requests to one target each: the cached DNS answers ("TYPE name=records|...", ALIAS for an
// alias), the lookups made in order, what went out and the log lines expected among others
// ("group:level text|...").
TEST(RoutingTable, TargetFromUriDnsRouteAndProxy) {
  const struct {
    const char* uri;
    void (*adjust)(sip_message&);  // nullptr: the plain request
    const char *dns, *lookups, *out, *logs = "";
  } cases[] = {
      // Literal hosts need no DNS; sips goes over TLS to 5061.
      {"sip:bob@192.0.2.5", nullptr, "", "", "udp0 udp 192.0.2.5:5060 SIP/2.0/UDP"},
      {"sip:bob@[2001:db8::1]", nullptr, "", "", "udp1 udp [2001:db8::1]:5060 SIP/2.0/UDP"},
      {"sips:bob@192.0.2.5", nullptr, "", "",
       "open 192.0.2.5:5061 tls 192.0.2.5; 192.0.2.5:5061 tls 192.0.2.5:5061 SIP/2.0/TLS"},
      // sips without NAPTR: SRV over TLS, then the addresses on 5061.
      {"sips:bob@example.com", nullptr,
       "NAPTR example.com=|SRV _sips._tcp.example.com=|AAAA example.com=|A example.com=192.0.2.8",
       "NAPTR example.com, SRV _sips._tcp.example.com, AAAA example.com, A example.com",
       "open 192.0.2.8:5061 tls example.com; 192.0.2.8:5061 tls 192.0.2.8:5061 SIP/2.0/TLS"},
      // Without NAPTR, SRV and addresses nothing is sent.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=|SRV _sips._tcp.example.com=|SRV _sip._tcp.example.com=|"
       "SRV _sip._udp.example.com=|AAAA example.com=|A example.com=",
       "NAPTR example.com, SRV _sips._tcp.example.com, SRV _sip._tcp.example.com, "
       "SRV _sip._udp.example.com, AAAA example.com, A example.com",
       "", "1:6 Could not determine destination address on 1"},
      // NAPTR records are collected, then pushed so that the last record runs first.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=10 50 s SIP+D2T - _sip._tcp.example.com\n"
       "20 50 s SIP+D2U - _sip._udp.example.com\n30 50 u http+E2U - http.example.com|"
       "SRV _sip._udp.example.com=|SRV _sip._tcp.example.com=0 0 sip1.example.com 5080|"
       "A sip1.example.com=192.0.2.21",
       "NAPTR example.com, SRV _sip._udp.example.com, SRV _sip._tcp.example.com, "
       "A sip1.example.com",
       "open 192.0.2.21:5080 tcp example.com; 192.0.2.21:5080 tcp 192.0.2.21:5080 SIP/2.0/TCP"},
      // The NAPTR "a" flag puts the A of a host before its AAAA.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=10 10 a SIP+D2U - host.example.com|A host.example.com=|"
       "AAAA host.example.com=2001:db8::5",
       "NAPTR example.com, A host.example.com, AAAA host.example.com",
       "udp1 udp [2001:db8::5]:5060 SIP/2.0/UDP"},
      // SRV targets in priority order, each with its address lookups.
      {"sip:example.com", [](sip_message& m) { m.destinations = "srv udp _sip._udp.example.com"; },
       "SRV _sip._udp.example.com=20 0 b.example.com 5062\n10 0 a.example.com 5061\n"
       "30 0 192.0.2.30 5063|A a.example.com=|AAAA a.example.com=|A b.example.com=|"
       "AAAA b.example.com=",
       "SRV _sip._udp.example.com, A a.example.com, AAAA a.example.com, A b.example.com, "
       "AAAA b.example.com",
       "udp0 udp 192.0.2.30:5063 SIP/2.0/UDP"},
      // An alias and a CNAME answer are followed; the first address is taken.
      {"sip:www.example.com:5060", nullptr,
       "ALIAS www.example.com=real.example.com|A real.example.com=other.example.com|"
       "A other.example.com=192.0.2.77\n192.0.2.78",
       "A real.example.com, A other.example.com", "udp0 udp 192.0.2.77:5060 SIP/2.0/UDP"},
      // The transport parameter: A then AAAA of the host, port 5060 for tcp; maddr wins.
      {"sip:bob@example.com;transport=TCP", nullptr, "A example.com=192.0.2.40", "A example.com",
       "open 192.0.2.40:5060 tcp example.com; 192.0.2.40:5060 tcp 192.0.2.40:5060 SIP/2.0/TCP"},
      {"sip:bob@example.com;maddr=192.0.2.44;transport=tls", nullptr, "", "",
       "open 192.0.2.44:5061 tls example.com; 192.0.2.44:5061 tls 192.0.2.44:5061 SIP/2.0/TLS"},
      // A Route set sends to the first Route, unless route_by_uri.
      {"sip:bob@192.0.2.50",
       [](sip_message& m) { m.route.push_back(from_to_spec("<sip:192.0.2.60:5090;lr>")); }, "", "",
       "udp0 udp 192.0.2.60:5090 SIP/2.0/UDP"},
      {"sip:bob@192.0.2.50",
       [](sip_message& m) {
         m.route.push_back(from_to_spec("<sip:192.0.2.60:5090;lr>"));
         m.route_by_uri = 1;
       },
       "", "", "udp0 udp 192.0.2.50:5060 SIP/2.0/UDP"},
      // An outbound proxy without scheme, and the loopback proxy.
      {"sip:bob@example.com", [](sip_message& m) { m.outbound_proxy = "192.0.2.99:5070"; }, "", "",
       "udp0 udp 192.0.2.99:5070 SIP/2.0/UDP"},
      {"sip:bob@example.com", [](sip_message& m) { m.outbound_proxy = "sip:loopback"; }, "", "",
       "udp0 udp 127.0.0.1:5060 SIP/2.0/UDP"},
      // Unreadable steps are logged and skipped.
      {"sip:bob@example.com",
       [](sip_message& m) {
         m.destinations =
             "bogus 1\na sctp example.com 5060\nsrv xyz _sip._udp.example.com\nudp 192.0.2.3 5060";
       },
       "", "", "udp0 udp 192.0.2.3:5060 SIP/2.0/UDP",
       "1:0 Internal error: Unknown DNS resolve type bogus|1:0 Unknown transport layer sctp|"
       "1:0 Unknown transport layer xyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    transaction_env env;
    log_capture quiet{9};
    env.transport.ipv6 = true;
    random_seed(1);
    std::string all = c.dns;
    for (size_t at = 0, end; !all.empty() && at <= all.size(); at = end + 1) {
      end = std::min(all.find('|', at), all.size());
      const std::string e = all.substr(at, end - at);
      const std::string type = e.substr(0, e.find(' '));
      const std::string name = e.substr(e.find(' ') + 1, e.find('=') - e.find(' ') - 1);
      const std::string records = e.substr(e.find('=') + 1);
      if (type == "ALIAS")
        env.dns.aliases[name] = records;
      else
        env.dns.cache[{name, type_named(type)}] = str(records.c_str());
    }
    sip_message m = test_request(m_options, c.uri);
    if (c.adjust) c.adjust(m);
    send_packet(m);
    EXPECT_EQ(joined(env.dns.lookups), c.lookups);
    EXPECT_EQ(what_went_out(env), c.out);
    std::istringstream logs(c.logs);
    for (std::string line; std::getline(logs, line, '|');)
      EXPECT_TRUE(log_capture::mentions(line)) << line;
  }
}

TEST_F(Routing, ExplicitDestinationsAddToTheBudgetAndFailOver) {
  sip_message m = test_request(m_options, "sip:bob@example.com");
  m.destinations = "udp 192.0.2.1 5060\r\n\r\nudp 192.0.2.2 5061\r\n";
  const int number = send_packet(m);
  ASSERT_NE(find_pending_packet(number), nullptr);
  EXPECT_EQ(find_pending_packet(number)->steps_left, 50 + 8 - 1);
  on_connection_refused(transport_type::udp, addr("192.0.2.1", 5060));
  ASSERT_EQ(env.transport.sent.size(), 2u);
  EXPECT_EQ(env.transport.sent[1].destination, addr("192.0.2.2", 5061));
  EXPECT_TRUE(env.dns.lookups.empty());
}

TEST_F(Routing, SecureOnlySkipsUdpSteps) {
  sip_message m = test_request(m_options, "sip:bob@example.com");
  m.destinations = "udp 192.0.2.1 5060\ntls 192.0.2.1 5061";
  m.secure_only = 1;
  send_packet(m);
  ASSERT_EQ(env.transport.sent.size(), 1u);
  EXPECT_EQ(env.transport.sent[0].transport, transport_type::tls);
  EXPECT_EQ(env.transport.opened, strings{"192.0.2.1:5061 tls example.com"});
  // Over TCP/TLS there is no retransmission, only the transaction end.
  env.run_until(32000);
  EXPECT_EQ(env.transport.sent.size(), 1u);
  EXPECT_EQ(env.user.backward.size(), 1u);
}

TEST_F(Routing, BudgetStopsAResolutionLoop) {
  env.dns.cache[{"loop.example.com", dns_type::a}] = "loop.example.com";
  send_packet(test_request(m_options, "sip:bob@loop.example.com:5060"));
  EXPECT_TRUE(env.transport.sent.empty());
  EXPECT_EQ(env.dns.lookups.size(), 49u);  // the url step took one of the 50
  EXPECT_TRUE(log_capture::contains(
      "Cannot route packet 1 (too many iterations): a udp loop.example.com 5060", 1));
}

TEST_F(Routing, MissingHeadersSendNothing) {
  for (const char* header : {"Call-ID", "To", "From"}) {
    sip_message m = test_request(m_options, "sip:192.0.2.1");
    if (*header == 'C') m.call_id = str();
    if (*header == 'T') m.to = from_to_spec();
    if (*header == 'F') m.from = from_to_spec();
    EXPECT_EQ(send_packet(m), 0);
    EXPECT_TRUE(
        log_capture::contains(std::string("send_packet: ") + header + " missing OPTIONS", 0));
  }
  EXPECT_TRUE(pending_packets.empty());
  EXPECT_TRUE(env.transport.sent.empty());
}

TEST_F(Routing, EnumTurnsTheNumberIntoAUri) {
  env.dns.cache[{"3.2.1.0.3.9.4.e164.arpa", dns_type::naptr}] =
      "100 10 u E2U+sip !^\\+49(.*)$!sip:\\1@192.0.2.44! .";
  send_packet(test_request(m_invite, "sip:+4930123@example.com;enum=true"));
  EXPECT_TRUE(log_capture::contains("Converting phone +4930123 into 3.2.1.0.3.9.4.e164.arpa", 8));
  ASSERT_EQ(env.transport.sent.size(), 1u);
  EXPECT_EQ(env.transport.sent[0].destination, addr("192.0.2.44", 5060));
  EXPECT_EQ(env.transport.sent[0].parsed().request_uri.serialize(), "sip:30123@192.0.2.44");

  EXPECT_EQ(enum_domain("+49 (30) 123-4"), "4.3.2.1.0.3.9.4.e164.arpa");
  EXPECT_EQ(enum_domain("alice"), "");
  const struct {
    const char *rule, *result;
  } rules[] = {{"!^.*$!sip:info@example.com!", "sip:info@example.com"},
               {"/^\\+1(.*)$/sip:\\1@gw/i", "sip:555@gw"},
               {"!^\\+44!x!", ""},
               {"!(!x!", ""},  // unreadable pattern
               {"!x", ""}};
  for (const auto& r : rules) EXPECT_EQ(apply_naptr_regexp(r.rule, "+1555"), r.result) << r.rule;
}

// ---- Responses ------------------------------------------------------------------------------

sip_message received_request(const char* via) {
  sip_message m(crlf((std::string("OPTIONS sip:alice@192.0.2.1 SIP/2.0\nVia: ") + via +
                      "\nFrom: <sip:bob@example.com>;tag=theirs\nTo: "
                      "<sip:alice@example.org>\nCall-ID: resp-1\nCSeq: 9 OPTIONS\n"
                      "Content-Length: 0\n\n")
                         .c_str()));
  m.port_name = "udp0";
  return m;
}

TEST_F(Routing, ResponsesRoutedByReceivedAndRport) {
  env.dns.cache[{"phone.example.com", dns_type::aaaa}] = "";
  env.dns.cache[{"phone.example.com", dns_type::a}] = "192.0.2.12";
  const struct {
    const char *via, *destination;
  } cases[] = {{"SIP/2.0/UDP 10.0.0.1:5060;rport=7000;received=192.0.2.9", "192.0.2.9:7000"},
               {"SIP/2.0/UDP 192.0.2.10", "192.0.2.10:5060"},
               {"SIP/2.0/UDP 192.0.2.10:5062;maddr=192.0.2.11;received=1.1.1.1", "192.0.2.11:5062"},
               {"SIP/2.0/UDP phone.example.com:5064", "192.0.2.12:5064"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.via);
    env.transport.sent.clear();
    send_packet(sip_message(200, "OK", received_request(c.via)));
    EXPECT_EQ(what_went_out(env), std::string("udp0 udp ") + c.destination + " SIP/2.0/UDP");
  }
  // Non-INVITE responses are not retransmitted.
  env.run_until(40000);
  EXPECT_EQ(env.transport.sent.size(), 1u);
  EXPECT_TRUE(env.user.backward.empty());
}

TEST_F(Routing, ResponsesConnectionsAndTheirLimits) {
  // Over the connection the request came on, at once.
  env.transport.connections["192.0.2.20:40000"] = {transport_type::tcp, addr("192.0.2.20", 40000)};
  sip_message req = received_request("SIP/2.0/TCP 192.0.2.20:5060");
  req.port_name = "192.0.2.20:40000";
  send_packet(sip_message(200, "OK", req));
  ASSERT_EQ(env.transport.sent.size(), 1u);
  EXPECT_EQ(env.transport.sent[0].port_name, "192.0.2.20:40000");
  // The connection is gone: a TCP response is not sent anywhere else.
  env.transport.connections.clear();
  send_packet(sip_message(200, "OK", req));
  EXPECT_EQ(env.transport.sent.size(), 1u);
  EXPECT_TRUE(log_capture::contains(
      "Response to 192.0.2.20:40000 must be sent over existing connection", 6));
  // Responses to ACK are never sent; a response without Via is logged.
  sip_message ack_response(200, "OK", req);
  ack_response.cseq_method = m_ack;
  EXPECT_EQ(send_packet(ack_response), 0);
  sip_message no_via(200, "OK", req);
  no_via.via.clear();
  EXPECT_EQ(send_packet(no_via), 0);
  EXPECT_TRUE(log_capture::contains("Via is empty, cannot send reply", 3));
  sip_message sctp(200, "OK", received_request("SIP/2.0/SCTP 192.0.2.20"));
  send_packet(sctp);
  EXPECT_TRUE(log_capture::contains("Unsupported transport layer in SIP/2.0/SCTP 192.0.2.20", 0));
  EXPECT_TRUE(log_capture::contains("Unsupported transport layer SCTP", 5));
  EXPECT_EQ(env.transport.sent.size(), 1u);
}

TEST_F(Routing, RequestsPortNameOfAConnectionSendsAtOnce) {
  env.transport.connections["192.0.2.20:40000"] = {transport_type::tls, addr("192.0.2.20", 40000)};
  sip_message m = test_request(m_notify, "sip:bob@example.com");
  m.port_name = "192.0.2.20:40000";
  send_packet(m);
  ASSERT_EQ(env.transport.sent.size(), 1u);
  EXPECT_TRUE(env.transport.sent[0].parsed().via[0].starts_with("SIP/2.0/TLS "));
  EXPECT_TRUE(env.dns.lookups.empty());
}

// ---- SRV ordering ---------------------------------------------------------------------------

TEST(ResortList, PermutesWithinAscendingPriorities) {
  EXPECT_TRUE(rc::check([](std::vector<std::pair<uint8_t, uint8_t>> weights) {
    std::vector<str> records;
    for (size_t i = 0; i < weights.size(); ++i) {
      records.push_back(str::sprintf("%d %d t%d.example.com 5060", int(weights[i].first % 4),
                                     int(weights[i].second % 5), int(i)));
    }
    std::vector<str> out = resort_list(records);
    RC_ASSERT(out.size() == records.size());
    std::vector<str> a = records, b = out;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    RC_ASSERT(a == b);
    for (size_t i = 1; i < out.size(); ++i) {
      RC_ASSERT(out[i - 1].get_field(0).value() <= out[i].get_field(0).value());
    }
  }));
}

TEST(ResortList, WeightsDecideTheFirstChoice) {
  random_seed(99);
  std::map<std::string, int> first;
  for (int i = 0; i < 4000; ++i) {
    std::vector<str> out =
        resort_list({"10 10 light 5060", "10 30 heavy 5060", "10 0 zero 5060", "5 0 top 5060"});
    ASSERT_EQ(out[0], "5 0 top 5060");
    ++first[std::string(out[1].get_field(2).view())];
  }
  EXPECT_GT(first["heavy"], 2800);  // about 3/4
  EXPECT_LT(first["heavy"], 3200);
  EXPECT_GT(first["light"], 800);
  EXPECT_LT(first["zero"], 10);  // weight 0 only on a draw of 0
  // All weights 0: list order.
  EXPECT_EQ(resort_list({"1 0 a 1", "1 0 b 1", "1 0 c 1"}),
            (std::vector<str>{"1 0 a 1", "1 0 b 1", "1 0 c 1"}));
}

// Any mix of steps and cached answers (including answers that point back at their own names)
// ends within the budget: at most 50 dispatches plus 4 per explicit destination line, and at
// most one send.
TEST(RoutingProperty, ResolutionAlwaysEnds) {
  EXPECT_TRUE(rc::check([](const std::vector<uint8_t>& steps, const std::vector<uint8_t>& answers) {
    transaction_env env;
    log_capture quiet{9};
    env.transport.ipv6 = true;
    const char* names[] = {"a.example", "b.example", "c.example"};
    const char* vocabulary[] = {
        "url sip:x@a.example", "url sips:x@b.example:5070", "naptr a.example",
        "naptrs b.example",    "srv udp b.example",         "a tcp c.example 5060",
        "aaaa tls a.example",  "udp 192.0.2.1 5060",        "enum 1.2.3.e164.arpa",
        "discover c.example",  "tcp [2001:db8::2] 5061"};
    const char* records[] = {"",
                             "192.0.2.9",
                             "2001:db8::9",
                             "a.example",
                             "1 1 b.example 5060\n2 0 c.example 5061",
                             "10 10 s SIP+D2U - b.example\n10 20 a SIPS+D2T - c.example",
                             "10 10 u SIP+D2T - sip:x@a.example\n5 5 p SIP+D2U - q"};
    const dns_type types[] = {dns_type::a, dns_type::aaaa, dns_type::srv, dns_type::naptr};
    for (size_t i = 0; i + 1 < answers.size(); i += 2) {
      env.dns.cache[{names[answers[i] % 3], types[(answers[i] / 3) % 4]}] =
          records[answers[i + 1] % 7];
    }
    sip_message m(m_options, from_to_spec("<sip:a@h>;tag=1"), from_to_spec("<sip:b@h>"), "p");
    m.request_uri = "sip:+1@a.example";
    for (uint8_t s : steps) {
      m.destinations += vocabulary[s % 11];
      m.destinations += "\n";
    }
    const int number = send_packet(m);
    // Unanswered queries: answer each negatively until none is left.
    for (int round = 0; round < 200 && !env.dns.waiting.empty(); ++round) {
      auto key = env.dns.waiting.begin()->first;
      env.dns.answer(key.first, key.second, "");
    }
    RC_ASSERT(env.dns.waiting.empty());
    RC_ASSERT(env.dns.lookups.size() <= 50 + 4 * steps.size());
    RC_ASSERT(env.transport.sends <= 1u);
    if (pending_packet* p = find_pending_packet(number)) RC_ASSERT(p->steps_left >= 0);
  }));
}

}  // namespace
