#include "sip/address_list.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/ip_port.h"
#include "base/log.h"
#include "frame/settings.h"
#include "sip/sip_test_print.h"

namespace {

str ip(const char* text) { return ip_address_parse(text); }

struct report {
  str address;
  bool blocked;
  str reason;
};
std::vector<report> reports;
void record_report(const str& address, bool blocked, const str& reason) {
  reports.push_back({address, blocked, reason});
}

std::vector<std::string> mails;
void record_mail(const str&, const str& text) { mails.emplace_back(text.view()); }

class fake_store : public access_list_store {
 public:
  std::vector<access_row> rows() override {
    std::vector<access_row> out;
    for (auto& [id, r] : rows_) out.push_back(r);
    return out;
  }
  int write(const access_row& r) override {
    access_row copy = r;
    if (copy.id == 0) copy.id = next_++;
    rows_[copy.id] = copy;
    return copy.id;
  }
  void remove(int id) override { rows_.erase(id); }
  std::map<int, access_row> rows_;
  int next_ = 1;
};

// A stored row as "adr/mask type reason expires".
std::string row_text(const access_row& r) {
  return std::string(r.adr.view()) + "/" + std::string(r.mask.view()) + " " +
         std::string(r.type.view()) + " " + std::string(r.reason.view()) + " " +
         std::string(r.expires.view());
}

class AddressList : public ::testing::Test {
 protected:
  void SetUp() override {
    bw_clear();
    reports.clear();
    mails.clear();
    set_blacklist_report(record_report);
    set_admin_mail(record_mail);
    ctrl_write_setting(ctrl_settings::blacklist_attempts, "4");
    ctrl_write_setting(ctrl_settings::blacklist_period, "1000");
    ctrl_write_setting(ctrl_settings::blacklist_expires, "3600");
    ctrl_write_setting(ctrl_settings::email_blacklist_ip, "true");
  }
  void TearDown() override {
    bw_clear();
    set_blacklist_report(nullptr);
    set_admin_mail(nullptr);
  }
  // One received request from address at the current manual time.
  void request(const char* method, const str& address) {
    count_unauthenticated_request(method, address);
  }

  manual_clock clock_;
  scoped_clock use_clock_{&clock_};
  log_capture logs_;
};

TEST_F(AddressList, LongestPrefixDecides) {
  EXPECT_TRUE(bw_valid_source(ip("192.0.2.8")));
  EXPECT_TRUE(bw_add_source(ip("192.0.2.0"), 24, false));
  EXPECT_TRUE(bw_add_source(ip("192.0.2.7"), 32, true));
  EXPECT_TRUE(bw_valid_source(ip("192.0.2.7")));
  EXPECT_FALSE(bw_valid_source(ip("192.0.2.8")));
  EXPECT_TRUE(bw_valid_source(ip("192.0.3.8")));
  // The IPv4-mapped form is the same address.
  EXPECT_FALSE(bw_valid_source(ip("::ffff:192.0.2.8")));
  EXPECT_TRUE(bw_valid_source(ip("::ffff:192.0.2.7")));

  // Prefix lengths that are not kept have no effect.
  EXPECT_FALSE(bw_add_source(ip("198.51.96.0"), 20, false));
  EXPECT_TRUE(bw_valid_source(ip("198.51.100.1")));
  EXPECT_FALSE(bw_add_source(ip("2001:db8::"), 48, false));
  EXPECT_EQ(bw_entry_count(), 2u);

  // Families are separate: a black IPv4 /0 leaves IPv6 alone.
  EXPECT_TRUE(bw_add_source(ip("0.0.0.0"), 0, false));
  EXPECT_FALSE(bw_valid_source(ip("203.0.113.1")));
  EXPECT_TRUE(bw_valid_source(ip("2001:db8::1")));
  EXPECT_TRUE(bw_valid_source(ip("192.0.2.7")));
  EXPECT_TRUE(bw_add_source(ip("2001:db8:0:1::"), 64, false));
  EXPECT_FALSE(bw_valid_source(ip("2001:db8:0:1::99")));
  EXPECT_TRUE(bw_valid_source(ip("2001:db8:0:2::99")));

  EXPECT_TRUE(bw_sub_source(ip("0.0.0.0"), 0));
  EXPECT_FALSE(bw_sub_source(ip("0.0.0.0"), 0));
  EXPECT_TRUE(bw_valid_source(ip("203.0.113.1")));
  EXPECT_FALSE(bw_valid_source(str("abc")));
  EXPECT_FALSE(bw_valid_source(str()));
}

RC_GTEST_PROP(AddressListProp, BlackPrefixCoversExactlyItsAddresses,
              (uint32_t network, uint32_t other, unsigned pick)) {
  static const int lengths[] = {32, 30, 29, 28, 27, 26, 25, 24, 16, 8, 0};
  const int bits = lengths[pick % 11];
  auto bytes = [](uint32_t v) {
    return str::bytes({static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  };
  bw_clear();
  RC_ASSERT(bw_add_source(bytes(network), bits, false));
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
  RC_ASSERT(bw_valid_source(bytes(other)) == ((other & mask) != (network & mask)));
  RC_ASSERT(!bw_valid_source(bytes(network)));
  RC_ASSERT(bw_sub_source(bytes(network | ~mask), bits));
  RC_ASSERT(bw_valid_source(bytes(network)));
  bw_clear();
}

TEST_F(AddressList, FourthRequestWithinASecondBlocks) {
  str a = ip("203.0.113.5");
  request("INVITE", a);
  clock_.advance_ms(300);
  request("REGISTER", a);
  clock_.advance_ms(300);
  request("SUBSCRIBE", a);
  // Keep-alives and service requests do not count.
  for (const char* m : {"OPTIONS", "PING", "SERVICE", "OPTIONS"}) request(m, a);
  EXPECT_EQ(bw_failure_count(a), 3);
  EXPECT_TRUE(bw_valid_source(a));
  EXPECT_TRUE(reports.empty());

  clock_.advance_ms(399);  // 999 ms after the first
  request("INVITE", a);
  EXPECT_FALSE(bw_valid_source(a));
  EXPECT_EQ(bw_failure_count(a), 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(ip_address_readable(reports[0].address) + (reports[0].blocked ? " blocked " : " ") +
                reports[0].reason,
            "203.0.113.5 blocked sip");
  // Another address is not affected.
  EXPECT_TRUE(bw_valid_source(ip("203.0.113.6")));
}

TEST_F(AddressList, SlowerRequestsAndSuccessesNeverBlock) {
  str a = ip("203.0.113.5");
  for (int i = 0; i < 12; i++) {
    request("REGISTER", a);
    clock_.advance_ms(400);
  }
  EXPECT_TRUE(bw_valid_source(a));
  EXPECT_TRUE(reports.empty());
  // Exactly one period after the first failure its record is gone.
  bw_clear();
  request("REGISTER", a);
  clock_.advance_ms(1000);
  request("REGISTER", a);
  EXPECT_EQ(bw_failure_count(a), 1);

  // A success clears the count and is reported as not blocked.
  bw_clear();
  for (int round = 0; round < 3; round++) {
    for (int i = 0; i < 3; i++) request("INVITE", a);
    authentication_result(clock_now(), a, true, "sip");
    EXPECT_EQ(bw_failure_count(a), 0);
  }
  EXPECT_TRUE(bw_valid_source(a));
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_FALSE(reports[0].blocked);
  EXPECT_EQ(bw_failure_records(), 0u);
}

TEST_F(AddressList, WhiteEntriesAreNeverCountedOrBlocked) {
  bw_add_source(ip("10.0.0.0"), 8, true);
  bw_add_source(ip("192.0.2.0"), 24, false);
  bw_add_source(ip("192.0.2.7"), 32, true);
  for (int i = 0; i < 10; i++) {
    request("INVITE", ip("10.20.30.40"));
    request("INVITE", ip("192.0.2.7"));
  }
  EXPECT_EQ(bw_failure_records(), 0u);
  EXPECT_TRUE(bw_valid_source(ip("10.20.30.40")));
  EXPECT_TRUE(bw_valid_source(ip("192.0.2.7")));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(bw_white_source(ip("10.1.1.1")));
  EXPECT_FALSE(bw_white_source(ip("11.1.1.1")));

  // The limit and the period come from the settings.
  ctrl_write_setting(ctrl_settings::blacklist_attempts, "2");
  request("INVITE", ip("2001:db8::5"));
  request("INVITE", ip("2001:db8::5"));
  EXPECT_FALSE(bw_valid_source(ip("2001:db8::5")));
  EXPECT_TRUE(bw_valid_source(ip("2001:db8::6")));
}

TEST_F(AddressList, BlockIsStoredMailedAndExpiresAfterAnHour) {
  fake_store store;
  timeout_queue queue;
  access_list_schedule_expiry(&store, queue, 60000);
  auto run_for_ms = [&](int64_t ms) {
    run_timers_until(clock_, queue, clock_now() + ms2ticks(ms));
  };

  str a = ip("198.51.100.23");
  for (int i = 0; i < 4; i++) request("REGISTER", a);
  ASSERT_EQ(reports.size(), 1u);
  // The PBX side handles the report.
  black_list_adr(ip_address_readable(reports[0].address), reports[0].blocked, reports[0].reason,
                 store, wall_now());
  EXPECT_TRUE(log_capture::contains("Address 198.51.100.23 has been blacklisted"));
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0],
            "The IP address 198.51.100.23 has been blacklisted for 60 minutes because there were "
            "4 unsuccessful authentication attempts (sip).");
  ASSERT_EQ(store.rows_.size(), 1u);
  EXPECT_EQ(row_text(store.rows_.begin()->second),
            "198.51.100.23/32 false sip " + std::to_string(get_time(wall_now())));

  // A permanent entry survives every expiry run.
  store.write({0, "203.0.113.0", "24", "false", "manual", ""});
  bw_add_source(ip("203.0.113.0"), 24, false);

  run_for_ms(3600 * 1000);
  EXPECT_FALSE(bw_valid_source(a));
  EXPECT_EQ(store.rows_.size(), 2u);
  run_for_ms(61 * 1000);
  EXPECT_TRUE(bw_valid_source(a));
  EXPECT_EQ(store.rows_.size(), 1u);
  EXPECT_FALSE(bw_valid_source(ip("203.0.113.9")));
  access_list_schedule_expiry(nullptr, queue, 0);
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(AddressList, RowsReusedAndLoadedAtStartUp) {
  fake_store store;
  ctrl_write_setting(ctrl_settings::blacklist_expires, "1800");
  ctrl_write_setting(ctrl_settings::email_blacklist_ip, "false");
  black_list_adr("2001:db8::7", true, "web", store, wall_now());
  clock_.advance_ms(5000);
  black_list_adr("2001:db8::7", true, "sip", store, wall_now());
  black_list_adr("2001:db8::8", false, "sip", store, wall_now());  // a success: nothing
  EXPECT_TRUE(mails.empty());
  ASSERT_EQ(store.rows_.size(), 1u);
  EXPECT_EQ(row_text(store.rows_.begin()->second),
            "2001:db8::7/128 false sip " + std::to_string(get_time(wall_now())));

  store.write({0, "10.0.0.0", "8", "true", "office", ""});
  store.write({0, "198.51.96.0", "20", "false", "no such length", ""});
  access_list_load(store);
  EXPECT_FALSE(bw_valid_source(ip("2001:db8::7")));
  EXPECT_TRUE(bw_white_source(ip("10.9.9.9")));
  EXPECT_TRUE(bw_valid_source(ip("198.51.100.1")));

  // With blacklist_expires 1800 the block goes after half an hour.
  EXPECT_EQ(access_list_expire(store, wall_now() + 1800 * 1000), 0);
  EXPECT_EQ(access_list_expire(store, wall_now() + 1801 * 1000), 1);
  EXPECT_TRUE(bw_valid_source(ip("2001:db8::7")));
}

TEST(BlackListAdrMessage, EnvelopeCarriesEscapedFieldsToTheHandler) {
  str m = soap_black_list_adr_request("192.0.2.1", true, "a<b");
  fake_store store;
  set_admin_mail(record_mail);
  mails.clear();
  EXPECT_TRUE(soap_on_black_list_adr(m, store, 1767225600000));
  set_admin_mail(nullptr);
  ASSERT_EQ(store.rows_.size(), 1u);
  EXPECT_EQ(row_text(store.rows_[1]), "192.0.2.1/32 false a<b 1767225600");
  EXPECT_FALSE(soap_on_black_list_adr("<a><b/></a>", store, 0));
  EXPECT_FALSE(soap_on_black_list_adr("not xml", store, 0));
  // A success report changes nothing.
  EXPECT_TRUE(
      soap_on_black_list_adr(soap_black_list_adr_request("192.0.2.2", false, "sip"), store, 0));
  EXPECT_EQ(store.rows_.size(), 1u);

  EXPECT_NE(m.find(str("<t:BlackListAdr><Adr>192.0.2.1</Adr><State>true</State>"
                       "<Reason>a&lt;b</Reason></t:BlackListAdr>")),
            -1);
  EXPECT_TRUE(m.ends_with("</env:Envelope>\r\n"));
}

}  // namespace
