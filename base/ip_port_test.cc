#include "base/ip_port.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::string T(const str& s) { return std::string(s.view()); }
ip_port P(const char* text, uint16_t def = 0) { return ip_port::from_text(str(text), def); }

// A parsed address as "v4|v6 readable loopback/any/mapped".
std::string kind(const ip_port& p) {
  return std::string(p.is_ipv4()   ? "v4 "
                     : p.is_ipv6() ? "v6 "
                                   : "? ") +
         T(p.readable()) + (p.is_loopback() ? " loopback" : "") + (p.is_any() ? " any" : "") +
         (p.is_v4_mapped() ? " mapped" : "");
}

TEST(IpPort, ParsesTheTextForms) {
  // clang-format off
  const struct { const char* text; uint16_t def; const char* parsed; } cases[] = {
      {"1.2.3.4", 0, "v4 1.2.3.4"}, {" 1.2.3.4:5060\r\n", 0, "v4 1.2.3.4:5060"},
      {"1.2.3.4", 5061, "v4 1.2.3.4:5061"}, {"[::1]:5060", 0, "v6 [::1]:5060 loopback"},
      {"::1", 7, "v6 [::1]:7 loopback"}, {"[::1]", 0, "v6 [::1] loopback"},
      {"::", 0, "v6 [::] any"}, {"::ffff:1.2.3.4", 0, "v6 [::ffff:1.2.3.4] mapped"},
      {"0.0.0.0:65535", 0, "v4 0.0.0.0:65535 any"}};
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(kind(P(c.text, c.def)), c.parsed) << c.text;
  EXPECT_EQ(P("1.2.3.4").address, str::bytes({1, 2, 3, 4}));
  EXPECT_EQ(P("::ffff:1.2.3.4").unmapped().address, str::bytes({1, 2, 3, 4}));
}

TEST(IpPort, RejectsWhatIsNoAddress) {
  const char* bad[] = {
      "",          "example.com",   "1.2.3",       "1.2.3.4.5",    "256.1.1.1",      "1.2.3.4:",
      "1.2.3.4:x", "1.2.3.4:65536", "[::1",        "[::1]5060",    "[::1]:",         "[1.2.3.4]",
      ":::",       "1::2::3",       "::1:99999:1", "fe80::1%eth0", "1.2.3.4:123456", "01.2.3.4"};
  for (const char* b : bad) {
    ip_port p(str::bytes({9, 9, 9, 9}), 9);
    EXPECT_FALSE(p.parse(str(b))) << b;
    EXPECT_EQ(p.readable(), str("9.9.9.9:9")) << b;  // unchanged on failure
  }
}

TEST(IpPort, ReadableFormsFollowRfc5952) {
  // The compression rules on any address are the property below (against inet_ntop); these are
  // the forms it leaves out and the parser's leniencies.
  const char* v[][2] = {{"::", "::"},
                        {"::1", "::1"},
                        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
                        {"fe80::0200:5eff:fe00:5301", "fe80::200:5eff:fe00:5301"},
                        {"::1.2.3.4", "::102:304"}};  // IPv4-compatible form is not written
  for (auto& t : v) {
    const str a = ip_address_parse(str(t[0]));
    ASSERT_EQ(a.length(), 16u) << t[0];
    EXPECT_EQ(T(ip_address_readable(a)), t[1]) << t[0];
  }
  // With ports and brackets: ParsesTheTextForms.
  EXPECT_EQ(T(P("[2001:db8::1]").readable_address()), "2001:db8::1");
  EXPECT_EQ(T(P("10.0.0.255:5060").readable_host()), "10.0.0.255");
  EXPECT_TRUE(ip_port().readable().empty());
  EXPECT_TRUE(ip_address_readable(str("abc")).empty());
}

// Our formatter agrees with inet_ntop on plain addresses (inet_ntop writes the deprecated
// IPv4-compatible form for ::a.b.c.d, which we do not).
RC_GTEST_PROP(IpPort, Ipv6TextRoundTripsAndMatchesInetNtop,
              (std::vector<uint16_t> groups, std::vector<bool> zero)) {
  uint8_t a[16];
  for (int i = 0; i < 8; ++i) {
    const uint16_t g = (i < static_cast<int>(zero.size()) && zero[i]) ? 0
                       : i < static_cast<int>(groups.size())          ? groups[i]
                                                                      : 0;
    a[2 * i] = static_cast<uint8_t>(g >> 8);
    a[2 * i + 1] = static_cast<uint8_t>(g);
  }
  const str bin(a, 16);
  const str text = ip_address_readable(bin);
  RC_ASSERT(ip_address_parse(text) == bin);
  bool compat = true;
  for (int i = 0; i < 12; ++i) compat = compat && a[i] == 0;
  if (!compat) {
    char buf[INET6_ADDRSTRLEN];
    RC_ASSERT(inet_ntop(AF_INET6, a, buf, sizeof buf) != nullptr);
    RC_ASSERT(T(text) == std::string(buf));
  }
  ip_port p(bin, 5060);
  RC_ASSERT(ip_port::from_text(p.readable()) == p);
}

RC_GTEST_PROP(IpPort, Ipv4TextRoundTrip, (uint32_t v, uint16_t port)) {
  const ip_port p(str(&v, 4), port);
  RC_ASSERT(ip_port::from_text(p.readable()) == p);
}

// The bytes the kernel reads: RtpLoop.ServesSocketsAndRunsDueTimers, LogTest.SyslogOverRealUdp.
TEST(IpPort, SockaddrConversion) {
  sockaddr_storage ss;
  ip_port back;
  for (auto [text, size] : {std::pair{"192.0.2.7:5060", sizeof(sockaddr_in)},
                            {"[2001:db8::5]:5061", sizeof(sockaddr_in6)}}) {
    ASSERT_EQ(P(text).to_sockaddr(ss), size) << text;
    ASSERT_TRUE(back.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), size));
    EXPECT_EQ(back, P(text));
  }
  EXPECT_EQ(ss.ss_family, AF_INET6);
  EXPECT_EQ(ip_port().to_sockaddr(ss), 0u);
  const bool cut = back.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), sizeof(sockaddr_in));
  ss.ss_family = AF_UNIX;
  EXPECT_FALSE(cut || back.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), sizeof ss) ||
               back.from_sockaddr(nullptr, 0));
}

TEST(IpPort, EqualityAndOrdering) {
  EXPECT_NE(P("1.2.3.4:5"), P("1.2.3.4:6"));
  EXPECT_NE(P("1.2.3.4:5"), P("[::ffff:1.2.3.4]:5"));  // different forms, compare unmapped()
  EXPECT_EQ(P("1.2.3.4:5"), P("[::ffff:1.2.3.4]:5").unmapped());
  const std::map<ip_port, int> m = {
      {P("[::1]:1"), 4}, {P("9.9.9.9:1"), 3}, {P("1.2.3.4:6"), 2}, {P("1.2.3.4:5"), 1}};
  int expect = 1;
  for (const auto& [k, v] : m) EXPECT_EQ(v, expect++);
}

// The other loopback and any-address cases are ParsesTheTextForms'.
TEST(IpPort, LoopbackIsTheWholeBlock) {
  for (const char* a : {"127.255.0.9", "::ffff:127.0.0.1"}) EXPECT_TRUE(P(a).is_loopback()) << a;
  for (const char* a : {"::2", "128.0.0.1"}) EXPECT_FALSE(P(a).is_loopback()) << a;
  EXPECT_FALSE(ip_port().is_any());
}

// Any IPv4 prefix against any address is the property below. Each network with its prefix length
// (-1: not contiguous), an address inside it and one outside it (nullptr: none to test).
TEST(Netmask, PrefixAndMaskForms) {
  // clang-format off
  const struct { const char* network; int prefix; const char *in, *out; } cases[] = {
      {"10.1.2.3/8", 8, "10.255.0.1", "11.0.0.1"},
      {"10.1.2.3/255.255.0.0", 16, "10.1.99.1", "10.2.0.1"},
      {"10.0.0.0/255.0.255.0", -1, "10.9.0.9", "10.9.1.9"},
      {"1.2.3.4/0", 0, "255.255.255.255", "::1"},  // the IPv4 any-network holds no IPv6 address
      {"1.2.3.4/0", 0, "0.0.0.0", nullptr},
      {"1.2.3.4/0", 0, "::ffff:9.9.9.9", nullptr},
      {"1.2.3.4", 32, "1.2.3.4", "1.2.3.5"},
      {"::/0", 0, "2001:db8::1", "1.2.3.4"},
      {"2001:db8::1/128", 128, "2001:db8::1", "2001:db8::2"},
      {"[2001:db8::]/32", 32, "2001:db8:ffff::1", "2001:db9::1"},
      {"2001:db8::/33", 33, "2001:db8:7fff::1", "2001:db8:8000::1"},
      {"fe80::/ffc0::", 10, "febf::1", nullptr},
      {"::ffff:10.0.0.0/104", 104, "10.7.7.7", "11.7.7.7"},  // mapped network, plain address
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.network);
    ip_netmask n;
    ASSERT_TRUE(n.parse(str(c.network)));
    EXPECT_EQ(n.prefix_length(), c.prefix);
    EXPECT_TRUE(n.matches(P(c.in)));
    EXPECT_FALSE(c.out && n.matches(P(c.out))) << c.out;
  }
  ip_netmask n;
  ASSERT_TRUE(n.parse(str("10.1.2.3/8")));
  EXPECT_EQ(T(n.readable()), "10.0.0.0/8");
  ASSERT_TRUE(n.parse(str("10.0.0.0/255.0.255.0")));
  EXPECT_EQ(T(n.readable()), "10.0.0.0/255.0.255.0");
  for (const char* b : {"1.2.3.4/33", "::/129", "1.2.3.4/", "/8", "1.2.3.4/-1", "1.2.3.4/x",
                        "1.2.3.4/ffff::", "host/8", "1.2.3.4/0008"})
    EXPECT_FALSE(n.parse(str(b))) << b;
  EXPECT_FALSE(ip_netmask().matches(P("1.2.3.4")));
}

RC_GTEST_PROP(Netmask, PrefixMatchEqualsBitComparison, (uint32_t net, uint32_t addr, uint8_t len)) {
  const int bits = len % 33;
  const uint32_t be_net = htonl(net), be_addr = htonl(addr);
  const ip_netmask n = ip_netmask::from_prefix(str(&be_net, 4), bits);
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  RC_ASSERT(n.prefix_length() == bits);
  RC_ASSERT(n.matches(str(&be_addr, 4)) == ((net & mask) == (addr & mask)));
  RC_ASSERT(n.matches(str(&be_net, 4)));
}

TEST(Netmask, AddressLists) {
  // clang-format off
  const struct { const char *list, *address; bool in; } cases[] = {
      {"127.0.0.1 [::1]", "::1", true}, {"127.0.0.1 [::1]", "127.0.0.1", true},
      {"127.0.0.1 [::1]", "127.0.0.2", false}, {"LocalHost", "127.0.0.1", true},
      {"localhost", "::1", true}, {"localhost", "10.0.0.1", false},
      {"junk\t10.0.0.0/8\n192.168.0.0/16", "192.168.3.4", true}, {"", "192.168.3.4", false}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(ip_in_list(str(c.list), P(c.address).address), c.in) << c.list << " " << c.address;
  EXPECT_FALSE(ip_in_list(str("0.0.0.0/0"), str()));
}

}  // namespace
