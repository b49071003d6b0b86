#include "sip/dns_wire.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>

#include "sip/dns_test_answers.h"

namespace {

std::string hex(const str& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < s.length(); i++) {
    out += digits[s[i] >> 4];
    out += digits[s[i] & 15];
  }
  return out;
}

std::vector<std::string> texts(const dns_answer& a) {
  std::vector<std::string> out;
  for (const dns_record& r : a.records) {
    out.push_back(std::string(r.name.view()) + " " + std::string(dns_type_name(r.type).view()) +
                  " " + std::to_string(r.ttl) + " " + std::string(r.data.view()));
  }
  return out;
}

}  // namespace

TEST(DnsWire, QueryBytesAreExact) {
  // Header: id, RD, one question, one additional (EDNS0, UDP size 1232); then the question.
  EXPECT_EQ(hex(dns_encode_query(0xbeef, str("Example.COM."), dns_type::srv)),
            "beef01000001000000000001"
            "076578616d706c6503636f6d00"
            "00210001"
            "0000290"
            "4d0000000000000");
  EXPECT_EQ(hex(dns_encode_query(1, str("_sip._udp.a.b"), dns_type::naptr)).substr(24),
            "045f736970045f7564700161016200"
            "00230001"
            "00002904d0000000000000");
}

TEST(DnsWire, QueryNamesThatCannotBeEncoded) {
  EXPECT_TRUE(dns_encode_query(1, str(""), dns_type::a).empty());
  EXPECT_TRUE(dns_encode_query(1, str("a..b"), dns_type::a).empty());
  EXPECT_TRUE(dns_encode_query(1, str(".a"), dns_type::a).empty());
  EXPECT_TRUE(dns_encode_query(1, str(std::string(64, 'x') + ".com"), dns_type::a).empty());
  std::string long_name;
  for (int i = 0; i < 30; i++) long_name += "abcdefghi.";
  EXPECT_TRUE(dns_encode_query(1, str(long_name), dns_type::a).empty());
  EXPECT_FALSE(dns_encode_query(1, str(std::string(63, 'x') + ".com"), dns_type::a).empty());
  EXPECT_FALSE(dns_encode_query(1, str("a\\..b"), dns_type::a).empty()) << "an escaped dot";
  EXPECT_EQ(dns_normalize_name(str("A\\.")), "a\\.");
  EXPECT_EQ(dns_normalize_name(str("a\\\\.")), "a\\\\");
  EXPECT_EQ(dns_normalize_name(str("Example.COM..")), "example.com");
  EXPECT_EQ(dns_normalize_name(str(".")), ".");
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
  EXPECT_EQ(a.id, 77);
  EXPECT_TRUE(a.response);
  EXPECT_FALSE(a.truncated);
  EXPECT_EQ(a.rcode, 0);
  EXPECT_EQ(a.question_name, "example.com");
  EXPECT_EQ(a.question_type, dns_type::naptr);
  EXPECT_EQ(a.negative_ttl, 120);
  EXPECT_EQ(texts(a), (std::vector<std::string>{
                          "example.com NAPTR 300 10 50 S SIP+D2U - _sip._udp.example.com",
                          "example.com NAPTR 301 20 50 - - !^.*$!sip:info@example.com! .",
                          "_sip._udp.example.com SRV 60 0 5 sip1.example.com 5060",
                          "sip1.example.com A 30 192.0.2.1",
                          "sip1.example.com AAAA 30 2001:db8::1",
                          "www.example.com CNAME 40 sip1.example.com",
                      }));
}

TEST(DnsWire, CharacterStringsKeepTheFieldCount) {
  dns_test_answer t;
  t.qname = "e164.arpa.";
  t.qtype = dns_type::naptr;
  t.answers = {"e164.arpa. 5 IN NAPTR 1 1 \"u\" \"E2U+sip\" \"!^(.*)$!sip:a b@c!\" ."};
  dns_answer a;
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  ASSERT_EQ(a.records.size(), 1u);
  EXPECT_EQ(a.records[0].data, "1 1 u E2U+sip !^(.*)$!sip:a\\032b@c! .");
  EXPECT_EQ(a.records[0].data.get_field(5), ".");
}

TEST(DnsWire, NegativeTtlIsTheSmallerOfSoaTtlAndMinimum) {
  dns_test_answer t;
  t.qname = "nx.example.com";
  t.rcode = 3;
  t.authority = {"example.com. 30 IN SOA ns.example.com. h.example.com. 1 2 3 4 900"};
  dns_answer a;
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  EXPECT_EQ(a.rcode, 3);
  EXPECT_EQ(a.negative_ttl, 30);
  EXPECT_TRUE(a.records.empty());
  t.authority.clear();
  ASSERT_TRUE(dns_decode_answer(t.build(), a));
  EXPECT_EQ(a.negative_ttl, -1);
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
  for (size_t n = 0; n < good.length(); n++) {
    EXPECT_FALSE(dns_decode_answer(good.leftstr(n), a)) << n;
  }
  // A compression pointer to itself.
  str loop = good.leftstr(12) + str::bytes({0xc0, 0x0c, 0, 1, 0, 1});
  loop.set_character(5, 1);  // QDCOUNT 1
  loop.set_character(7, 0);  // ANCOUNT 0
  EXPECT_FALSE(dns_decode_answer(loop, a));
  EXPECT_FALSE(dns_decode_answer(str(), a));
}

RC_GTEST_PROP(DnsWire, DamagedAnswersNeverCrash, ()) {
  dns_test_answer t;
  t.qname = "example.com";
  t.qtype = dns_type::srv;
  t.answers = {"example.com. 300 IN SRV 1 2 5060 a.example.com.",
               "a.example.com. 300 IN CNAME b.example.com.",
               "b.example.com. 300 IN NAPTR 1 1 \"s\" \"SIP+D2U\" \"\" c.example.com."};
  std::string bytes(t.build().view());
  const auto edits = *rc::gen::container<std::vector<std::pair<size_t, uint8_t>>>(
      rc::gen::pair(rc::gen::inRange<size_t>(0, bytes.size()), rc::gen::arbitrary<uint8_t>()));
  for (const auto& [pos, b] : edits) bytes[pos] = static_cast<char>(b);
  const size_t cut = *rc::gen::inRange<size_t>(0, bytes.size() + 1);
  dns_answer a;
  if (dns_decode_answer(str(bytes.substr(0, cut)), a)) {
    for (const dns_record& r : a.records) {
      RC_ASSERT(!r.data.empty() && !r.name.empty());
      RC_ASSERT(r.data.find('\n') < 0 && r.name.find('\n') < 0);
    }
  }
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
