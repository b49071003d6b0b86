// DNS: the wire format through ldns-built answers, and the resolver (queries, retries, the
// cache, aliases, negative answers) under a manual clock with a scripted transport. Any datagram
// completing a query at most once, with a readable cache entry: fuzz/dns_answer_fuzz.cc.
#include "sip/dns_resolver.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/file_system.h"
#include "base/log.h"
#include "sip/dns_test_answers.h"
#include "sip/sip_test_print.h"

namespace {

std::vector<int> called;
void on_done(int n) { called.push_back(n); }

struct sent_datagram {
  str data;
  ip_port server;
  int64_t at_ms;  // manual-clock time of the send, relative to the test start
};

class fake_transport : public dns_transport {
 public:
  bool send(const str& datagram, const ip_port& server) override {
    sent.push_back({datagram, server, ticks2ms(clock_now() - start)});
    return true;
  }
  std::vector<sent_datagram> sent;
  rtimestamp start = 0;
};

ip_port addr(const char* text) { return ip_port::from_text(str(text)); }

class DnsResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    called.clear();
    files_.files["/etc/resolv.conf"] =
        "# test\nsearch example.com\nnameserver 192.0.2.53\nnameserver 2001:db8::53\n";
    transport_.start = clock_now();
    resolver_.set_transport(&transport_);
  }
  // Moves the clock forward, running the retry timers due on the way.
  void advance_ms(int64_t ms) { run_timers_until(clock_, queue_, clock_now() + ms2ticks(ms)); }
  // An answer to the outstanding query for name/type, from the first configured server.
  dns_test_answer answer_for(const char* name, dns_type type) {
    dns_test_answer t;
    int id = resolver_.query_id(str(name), type);
    EXPECT_GE(id, 0) << name;
    t.id = static_cast<uint16_t>(id);
    t.qname = name;
    t.qtype = type;
    return t;
  }
  // The outstanding query for name/type answered from the first server with these records.
  void answer(const char* name, dns_type type, std::vector<std::string> answers,
              std::vector<std::string> authority = {}, int rcode = 0) {
    dns_test_answer t = answer_for(name, type);
    t.answers = std::move(answers);
    t.authority = std::move(authority);
    t.rcode = rcode;
    resolver_.on_pdu_available(t.build(), server4_);
  }
  // The cache entry is readable for exactly ms more milliseconds.
  void expect_expiry(const char* name, dns_type type, int64_t ms) {
    clock_.advance_ms(ms - 1);
    EXPECT_TRUE(cached(name, type)) << name;
    clock_.advance_ms(1);
    EXPECT_FALSE(cached(name, type)) << name;
  }
  static bool logged(const std::string& fragment) { return log_capture::mentions(fragment); }
  str lookup(const char* name, dns_type type) {
    str result;
    EXPECT_TRUE(resolver_.cache_lookup(str(name), type, result)) << name;
    return result;
  }
  bool cached(const char* name, dns_type type) {
    str result;
    return resolver_.cache_lookup(str(name), type, result);
  }

  log_capture logs_{9};
  manual_clock clock_{s2ticks(1000)};
  scoped_clock scoped_clock_{&clock_};
  memory_file_system files_;
  scoped_file_system scoped_files_{&files_};
  timeout_queue queue_;
  fake_transport transport_;
  dns_resolver resolver_{&queue_};
  const ip_port server4_ = addr("192.0.2.53:53");
  const ip_port server6_ = addr("[2001:db8::53]:53");
};

}  // namespace

TEST_F(DnsResolverTest, AnswerIsCachedForItsTtlAndRunsTheCallbacks) {
  resolver_.request_dns(str("example.com"), dns_type::a, callback_argument(on_done, 1));
  resolver_.request_dns(str("EXAMPLE.com."), dns_type::a, callback_argument(on_done, 2));
  EXPECT_EQ(transport_.sent.size(), 2u) << "the second request joins the first query";
  dns_test_answer t = answer_for("example.com", dns_type::a);
  t.answers = {"example.com. 300 IN A 192.0.2.1", "example.com. 200 IN A 192.0.2.2",
               "example.com. 300 IN AAAA 2001:db8::1"};
  resolver_.on_pdu_available(t.build(), server6_);
  EXPECT_EQ(called, (std::vector<int>{1, 2}));
  EXPECT_EQ(resolver_.pending_queries(), 0u);
  EXPECT_EQ(lookup("example.com", dns_type::a), "192.0.2.1\n192.0.2.2");
  EXPECT_FALSE(cached("example.com", dns_type::aaaa)) << "only the type asked for is cached";
  EXPECT_TRUE(logged("1:7 DNS: Add example.com A (ttl=200)"));

  // A repeated answer (the other server) finds no query and changes nothing.
  resolver_.on_pdu_available(t.build(), server4_);
  EXPECT_EQ(called.size(), 2u);

  // Cached: the callback runs at once, nothing is sent.
  resolver_.request_dns(str("example.com"), dns_type::a, callback_argument(on_done, 3));
  EXPECT_EQ(called.back(), 3);
  EXPECT_EQ(transport_.sent.size(), 2u);

  expect_expiry("example.com", dns_type::a, 200000);
}

TEST_F(DnsResolverTest, ForeignAndDamagedAnswersAreIgnored) {
  resolver_.request_dns(str("example.com"), dns_type::a, callback_argument(on_done, 1));
  dns_test_answer good = answer_for("example.com", dns_type::a);
  good.answers = {"example.com. 300 IN A 192.0.2.1"};

  const std::function<void(dns_test_answer&)> damages[] = {
      [](dns_test_answer& t) { t.id = static_cast<uint16_t>(t.id + 1); },
      [](dns_test_answer& t) {
        t.qname = "example.org";
        t.answers = {"example.org. 300 IN A 192.0.2.66"};
      },
      [](dns_test_answer& t) { t.qtype = dns_type::aaaa; },
      [](dns_test_answer& t) { t.truncated = true; },
      [](dns_test_answer& t) { t.rcode = 2; },  // server failure (any code but 0 and 3)
      [](dns_test_answer& t) { t.qr = false; },
  };
  for (const auto& damage : damages) {
    dns_test_answer t = good;
    damage(t);
    resolver_.on_pdu_available(t.build(), server4_);
  }
  str whole = good.build();
  resolver_.on_pdu_available(whole.leftstr(whole.length() - 1), server4_);
  resolver_.on_pdu_available(whole, addr("192.0.2.54:53"));    // a server not asked
  resolver_.on_pdu_available(whole, addr("192.0.2.53:5353"));  // right host, wrong port
  EXPECT_TRUE(called.empty());
  EXPECT_FALSE(cached("example.com", dns_type::a));
  EXPECT_FALSE(cached("example.org", dns_type::a));
  EXPECT_EQ(resolver_.pending_queries(), 1u);

  // The real answer still gets through afterwards, also from an IPv4-mapped source.
  resolver_.on_pdu_available(whole, addr("[::ffff:192.0.2.53]:53"));
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_EQ(lookup("example.com", dns_type::a), "192.0.2.1");
}

TEST_F(DnsResolverTest, RetryScheduleThenNegativeAnswerForSixtySeconds) {
  resolver_.request_dns(str("silent.example.com"), dns_type::srv, callback_argument(on_done, 7));
  // The server list changes before the second attempt (re-read) and again before the third
  // (not re-read any more).
  advance_ms(499);
  files_.files["/etc/resolv.conf"] = "nameserver 192.0.2.99\n";
  advance_ms(1);
  files_.files["/etc/resolv.conf"] = "nameserver 192.0.2.100\n";
  advance_ms(19000 - 1);
  EXPECT_TRUE(called.empty());
  EXPECT_EQ(resolver_.pending_queries(), 1u);

  std::vector<int64_t> times;
  for (const sent_datagram& d : transport_.sent)
    if (times.empty() || times.back() != d.at_ms) times.push_back(d.at_ms);
  EXPECT_EQ(times, (std::vector<int64_t>{0, 500, 1500, 3500, 7500, 11500, 15500}));
  ASSERT_EQ(transport_.sent.size(), 8u);  // the first attempt to every server
  EXPECT_EQ(transport_.sent[0].server, server4_);
  EXPECT_EQ(transport_.sent[1].server, server6_);
  for (size_t i = 2; i < transport_.sent.size(); i++) {
    EXPECT_EQ(transport_.sent[i].server, addr("192.0.2.99:53")) << i;
    EXPECT_EQ(transport_.sent[i].data, transport_.sent[0].data) << "same id on every attempt";
  }

  advance_ms(1);  // 19.5 s after the start
  EXPECT_EQ(called, (std::vector<int>{7}));
  EXPECT_EQ(resolver_.pending_queries(), 0u);
  EXPECT_EQ(lookup("silent.example.com", dns_type::srv), "");
  EXPECT_EQ(queue_.size(), 0u);
  expect_expiry("silent.example.com", dns_type::srv, 60000);
}

TEST_F(DnsResolverTest, LateAnswerToAnEarlierAttemptIsTaken) {
  resolver_.request_dns(str("slow.example.com"), dns_type::a, callback_argument(on_done, 1));
  advance_ms(3600);  // three retries later
  answer("slow.example.com", dns_type::a, {"slow.example.com. 60 IN A 192.0.2.8"});
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_EQ(queue_.size(), 0u) << "the retry timer is gone with the query";
}

TEST_F(DnsResolverTest, CnameAliasesAreCachedAndFollowed) {
  resolver_.request_dns(str("www.example.com"), dns_type::a, callback_argument(on_done, 1));
  answer(
      "www.example.com", dns_type::a,
      {"www.example.com. 600 IN CNAME web.example.com.",
       "web.example.com. 500 IN CNAME host.example.net.", "host.example.net. 400 IN A 192.0.2.4"});
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_EQ(resolver_.resolve_alias(str("WWW.example.com.")), "host.example.net");
  EXPECT_EQ(resolver_.resolve_alias(str("web.example.com")), "host.example.net");
  EXPECT_EQ(resolver_.resolve_alias(str("other.example.com")), "other.example.com");
  EXPECT_EQ(lookup("host.example.net", dns_type::a), "192.0.2.4");
  EXPECT_EQ(lookup("www.example.com", dns_type::a), "192.0.2.4");
  EXPECT_TRUE(logged("DNS: Add www.example.com CNAME (ttl=600)"));
  EXPECT_TRUE(logged("DNS: Add host.example.net A (ttl=400)"));

  // The second alias expires first; the chain then stops at web.example.com.
  clock_.advance_ms(500 * 1000);
  EXPECT_EQ(resolver_.resolve_alias(str("www.example.com")), "web.example.com");
  EXPECT_FALSE(cached("www.example.com", dns_type::a));
}

TEST_F(DnsResolverTest, CnameLoopIsIgnored) {
  resolver_.request_dns(str("a.example.com"), dns_type::a, callback_argument(on_done, 1));
  dns_test_answer t = answer_for("a.example.com", dns_type::a);
  t.answers = {"a.example.com. 60 IN CNAME b.example.com.",
               "b.example.com. 60 IN CNAME a.example.com.", "a.example.com. 60 IN A 192.0.2.1"};
  resolver_.on_pdu_available(t.build(), server4_);
  EXPECT_TRUE(called.empty());
  EXPECT_EQ(resolver_.pending_queries(), 1u);
  EXPECT_EQ(resolver_.resolve_alias(str("a.example.com")), "a.example.com");
  EXPECT_EQ(resolver_.cache_size(), 0u);

  // A chain longer than eight links counts as a loop too.
  t.answers.clear();
  std::string prev = "a.example.com";
  for (int i = 0; i < 9; i++) {
    std::string next = "c" + std::to_string(i) + ".example.com";
    t.answers.push_back(prev + ". 60 IN CNAME " + next + ".");
    prev = next;
  }
  t.answers.push_back(prev + ". 60 IN A 192.0.2.9");
  resolver_.on_pdu_available(t.build(), server4_);
  EXPECT_TRUE(called.empty());

  // Eight links are fine.
  t.answers.erase(t.answers.begin() + 8);
  t.answers.back() = "c7.example.com. 60 IN A 192.0.2.9";
  resolver_.on_pdu_available(t.build(), server4_);
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_EQ(lookup("a.example.com", dns_type::a), "192.0.2.9");
}

TEST_F(DnsResolverTest, SrvWithPortZeroIsNotUsed) {
  resolver_.request_dns(str("_sip._udp.example.com"), dns_type::srv, callback_argument(on_done, 1));
  answer("_sip._udp.example.com", dns_type::srv,
         {"_sip._udp.example.com. 120 IN SRV 10 60 0 a.example.com.",
          "_sip._udp.example.com. 120 IN SRV 10 40 5070 b.example.com."});
  EXPECT_EQ(lookup("_sip._udp.example.com", dns_type::srv), "10 40 b.example.com 5070");
  EXPECT_TRUE(
      logged("1:3 Received DNS SRV answer with port set to zero for domain _sip._udp.example.com"));

  // Only port-zero records: a negative answer for the answer's own lifetime.
  resolver_.request_dns(str("_sip._tcp.example.com"), dns_type::srv, callback_argument(on_done, 2));
  answer("_sip._tcp.example.com", dns_type::srv, {"_sip._tcp.example.com. 120 IN SRV 0 0 0 ."},
         {"example.com. 300 IN SOA ns.example.com. h.example.com. 1 2 3 4 30"});
  EXPECT_EQ(called, (std::vector<int>{1, 2}));
  EXPECT_EQ(lookup("_sip._tcp.example.com", dns_type::srv), "");
  clock_.advance_ms(30000);
  EXPECT_FALSE(cached("_sip._tcp.example.com", dns_type::srv));
}

TEST_F(DnsResolverTest, NameErrorIsCachedForTheSoaMinimum) {
  resolver_.request_dns(str("nx.example.com"), dns_type::naptr, callback_argument(on_done, 1));
  answer("nx.example.com", dns_type::naptr, {},
         {"example.com. 3600 IN SOA ns.example.com. h.example.com. 1 2 3 4 45"}, 3);
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_EQ(lookup("nx.example.com", dns_type::naptr), "");
  EXPECT_TRUE(logged("DNS: Add nx.example.com NAPTR (ttl=45)"));
  expect_expiry("nx.example.com", dns_type::naptr, 45000);

  // Without SOA: 60 s.
  resolver_.request_dns(str("nx2.example.com"), dns_type::a, callback_argument(on_done, 2));
  answer("nx2.example.com", dns_type::a, {}, {}, 3);
  EXPECT_TRUE(logged("DNS: Add nx2.example.com A (ttl=60)"));
}

TEST_F(DnsResolverTest, ZeroTtlIsReadableByTheWaitingCallbacks) {
  static dns_resolver* r;
  static str seen;
  r = &resolver_;
  seen = str("unset");
  resolver_.request_dns(
      str("zero.example.com"), dns_type::a,
      callback_argument(
          +[](int) { r->cache_lookup(str("zero.example.com"), dns_type::a, seen); }, 0));
  answer("zero.example.com", dns_type::a, {"zero.example.com. 0 IN A 192.0.2.0"});
  EXPECT_EQ(seen, "192.0.2.0");
  EXPECT_TRUE(logged("DNS: Add zero.example.com A (ttl=0)"));
  clock_.advance_ms(1000);
  EXPECT_FALSE(cached("zero.example.com", dns_type::a));
}

TEST_F(DnsResolverTest, UnencodableNameFailsAtOnce) {
  resolver_.request_dns(str("bad..name"), dns_type::a, callback_argument(on_done, 1));
  EXPECT_EQ(called, (std::vector<int>{1}));
  EXPECT_TRUE(transport_.sent.empty());
  EXPECT_EQ(lookup("bad..name", dns_type::a), "");
}

TEST(DnsResolvConf, Parse) {
  std::string servers;
  for (const ip_port& s : dns_parse_resolv_conf(
           str("# comment\r\nnameserver 10.0.0.1\n  nameserver\tfe80::1%eth0 \nnameserver bogus\n"
               "domain x\nnameserver 10.0.0.1\nnameserver [::1]\nnameserver 10.0.0.2")))
    servers += std::string(s.readable().view()) + " ";
  EXPECT_EQ(servers, "10.0.0.1:53 [fe80::1]:53 [::1]:53 10.0.0.2:53 ");
  EXPECT_TRUE(dns_parse_resolv_conf(str()).empty());
}

// ---- The wire format ------------------------------------------------------------------------

namespace {

// The whole answer as text: header fields, question, negative TTL and every record.
std::string summary(const dns_answer& a) {
  std::string out =
      std::to_string(a.id) + (a.response ? " qr" : "") + (a.truncated ? " tc" : "") + " rcode " +
      std::to_string(a.rcode) + " " + std::string(a.question_name.view()) + " " +
      std::string(dns_type_name(a.question_type).view()) + " neg " + std::to_string(a.negative_ttl);
  for (const dns_record& r : a.records) {
    out += "\n" + std::string(r.name.view()) + " " + std::string(dns_type_name(r.type).view()) +
           " " + std::to_string(r.ttl) + " " + std::string(r.data.view());
  }
  return out;
}

}  // namespace

TEST(DnsWire, QueryBytesAreExact) {
  EXPECT_EQ(hex_encode(dns_encode_query(0xbeef, str("Example.COM."), dns_type::srv)),
            "beef01000001000000000001"    // header: id, RD, one question, one additional
            "076578616d706c6503636f6d00"  // the name
            "00210001"                    // SRV, IN
            "00002904d0000000000000");    // EDNS0, UDP size 1232
  EXPECT_EQ(hex_encode(dns_encode_query(1, str("_sip._udp.a.b"), dns_type::naptr)).substr(24),
            "045f736970045f75647001610162000023000100002904d0000000000000");
}

TEST(DnsWire, QueryNamesThatCannotBeEncoded) {
  std::string too_long;
  for (int i = 0; i < 30; i++) too_long += "abcdefghi.";
  const std::pair<std::string, bool> names[] = {
      {"", false},       {"a..b", false},
      {".a", false},     {std::string(64, 'x') + ".com", false},
      {too_long, false}, {std::string(63, 'x') + ".com", true},
      {"a\\..b", true}};  // an escaped dot
  for (const auto& [name, ok] : names)
    EXPECT_EQ(dns_encode_query(1, str(name), dns_type::a).empty(), !ok) << name;
  const std::pair<const char*, const char*> normalized[] = {
      {"A\\.", "a\\."}, {"a\\\\.", "a\\\\"}, {"Example.COM..", "example.com"}, {".", "."}};
  for (const auto& [name, want] : normalized) EXPECT_EQ(dns_normalize_name(str(name)), want);
}

TEST(DnsWire, RecordTexts) {
  dns_test_answer t;
  t.id = 77;
  t.qname = "Example.com.";
  t.qtype = dns_type::naptr;
  t.answers = {
      "Example.com. 300 IN NAPTR 10 50 \"S\" \"SIP+D2U\" \"\" _sip._udp.Example.com.",
      "example.com. 301 IN NAPTR 20 50 \"\" \"\" \"!^.*$!sip:info@example.com!\" .",
      "_sip._udp.example.com. 60 IN SRV 0 5 5060 Sip1.Example.com.",
      "sip1.example.com. 30 IN A 192.0.2.1",
      "sip1.example.com. 30 IN AAAA 2001:db8:0:0:0:0:0:1",
      "www.example.com. 40 IN CNAME sip1.example.com.",
      "example.com. 40 IN TXT \"skipped\"",
  };
  t.authority = {"example.com. 900 IN SOA ns.example.com. h.example.com. 1 2 3 4 120"};
  dns_answer a;
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  EXPECT_EQ(summary(a),
            "77 qr rcode 0 example.com NAPTR neg 120\n"
            "example.com NAPTR 300 10 50 S SIP+D2U - _sip._udp.example.com\n"
            "example.com NAPTR 301 20 50 - - !^.*$!sip:info@example.com! .\n"
            "_sip._udp.example.com SRV 60 0 5 sip1.example.com 5060\n"
            "sip1.example.com A 30 192.0.2.1\nsip1.example.com AAAA 30 2001:db8::1\n"
            "www.example.com CNAME 40 sip1.example.com");
  // Character strings keep the field count.
  t.qname = "e164.arpa.";
  t.answers = {"e164.arpa. 5 IN NAPTR 1 1 \"u\" \"E2U+sip\" \"!^(.*)$!sip:a b@c!\" ."};
  t.authority.clear();
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  EXPECT_EQ(summary(a),
            "77 qr rcode 0 e164.arpa NAPTR neg -1\n"
            "e164.arpa NAPTR 5 1 1 u E2U+sip !^(.*)$!sip:a\\032b@c! .");
  // A name error's negative TTL is the smaller of the SOA's TTL and its minimum.
  dns_test_answer nx;
  nx.qname = "nx.example.com";
  nx.rcode = 3;
  nx.authority = {"example.com. 30 IN SOA ns.example.com. h.example.com. 1 2 3 4 900"};
  ASSERT_TRUE(dns_decode_answer(nx.build(), a));
  EXPECT_EQ(summary(a), "0 qr rcode 3 nx.example.com A neg 30");
}

TEST(DnsWire, BrokenDatagramsAreRejected) {
  dns_test_answer t;
  t.id = 5;
  t.qname = "example.com";
  t.answers = {"example.com. 300 IN A 192.0.2.1", "example.com. 300 IN A 192.0.2.2"};
  str good = t.build();
  dns_answer a;
  ASSERT_TRUE(dns_decode_answer(good, a));
  ASSERT_EQ(a.records.size(), 2u);
  // Every proper prefix is incomplete: counts promise records that are not there.
  for (size_t n = 0; n < good.length(); n++)
    EXPECT_FALSE(dns_decode_answer(good.leftstr(n), a)) << n;
  // A compression pointer to itself.
  str loop = good.leftstr(12) + str::bytes({0xc0, 0x0c, 0, 1, 0, 1});
  loop.set_character(5, 1);  // QDCOUNT 1
  loop.set_character(7, 0);  // ANCOUNT 0
  EXPECT_FALSE(dns_decode_answer(loop, a));
  EXPECT_FALSE(dns_decode_answer(str(), a));
}

RC_GTEST_PROP(DnsWire, QueryRoundTrip, (uint16_t id)) {
  const auto labels = *rc::gen::container<std::vector<std::string>>(
      *rc::gen::inRange(1, 5),
      rc::gen::container<std::string>(*rc::gen::inRange(1, 20),
                                      rc::gen::elementOf(std::string("abcXYZ019-_"))));
  std::string name;
  for (const std::string& l : labels) name += (name.empty() ? "" : ".") + l;
  str q = dns_encode_query(id, str(name), dns_type::aaaa);
  RC_ASSERT(!q.empty());
  dns_answer a;
  RC_ASSERT(dns_decode_answer(q, a));
  RC_ASSERT(a.id == id);
  RC_ASSERT(!a.response);
  RC_ASSERT(a.question_type == dns_type::aaaa);
  RC_ASSERT(a.question_name == dns_normalize_name(str(name)));
}

TEST(DnsWire, UnusualNameBytesAreEscapedAndAskableAgain) {
  dns_test_answer t;
  t.qname = "srv.example.com";
  t.qtype = dns_type::srv;
  t.answers = {"srv.example.com. 60 IN SRV 1 1 5060 A\\.B\\032c\\;\\200.Example.COM."};
  dns_answer a;
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  ASSERT_EQ(a.records.size(), 1u);
  const str target = a.records[0].data.get_field(2);
  EXPECT_EQ(target, "a\\.b\\032c\\;\\200.example.com");
  // The target as written in the cache is a name the resolver can ask for next.
  dns_answer q;
  ASSERT_TRUE(dns_decode_answer(dns_encode_query(9, target, dns_type::a), q));
  EXPECT_EQ(q.question_name, target);
}
