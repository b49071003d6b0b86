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
#include "sip/sip_messages.h"
#include "sip/sip_test_print.h"

namespace {

str ip(const char* text) { return ip_address_parse(text); }

std::string reports;
void record_report(const str& address, bool blocked, const str& reason) {
  reports += std::string(ip_address_readable(address).view()) + (blocked ? "-blocked-" : "-") +
             std::string(reason.view()) + ";";
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
  // Runs a script of space-separated steps; returns the steps whose result differed, each with
  // what it gave ("" when all held). Steps: "+300" moves the clock 300 ms; "INVITE:a" counts a
  // request from a; "ok:a" reports a success of a; "clear" empties the list. Checked steps end
  // in "=result": "b:a/n" and "w:a/n" add a black or white entry, "-:a/n" removes one, "v:a"
  // is bw_valid_source, "W:a" bw_white_source, "f:a" the failure count, "n" the entry count,
  // "records" the failure records, "reports" the reports so far ("a blocked reason;" each).
  std::string run(const std::string& script) {
    std::string wrong;
    size_t from = 0;
    while (from < script.size()) {
      size_t end = std::min(script.find(' ', from), script.size());
      const std::string step = script.substr(from, end - from);
      from = end + 1;
      if (step.empty()) continue;
      const size_t eq = step.find('=');
      const std::string what = step.substr(0, eq),
                        want = eq == std::string::npos ? "" : step.substr(eq + 1);
      const size_t colon = what.find(':'), slash = what.find('/');
      const std::string verb = what.substr(0, colon);
      const str a = colon == std::string::npos
                        ? str()
                        : ip(what.substr(colon + 1, slash == std::string::npos ? std::string::npos
                                                                               : slash - colon - 1)
                                 .c_str());
      const int bits = slash == std::string::npos ? 0 : std::stoi(what.substr(slash + 1));
      std::string got;
      if (verb[0] == '+')
        clock_.advance_ms(std::stoi(verb.substr(1)));
      else if (verb == "clear")
        bw_clear();
      else if (verb == "ok")
        authentication_result(clock_now(), a, true, "sip");
      else if (verb == "b" || verb == "w")
        got = std::to_string(bw_add_source(a, bits, verb == "w"));
      else if (verb == "-")
        got = std::to_string(bw_sub_source(a, bits));
      else if (verb == "v")
        got = std::to_string(bw_valid_source(colon + 1 == what.size() ? str() : a));
      else if (verb == "W")
        got = std::to_string(bw_white_source(a));
      else if (verb == "f")
        got = std::to_string(bw_failure_count(a));
      else if (verb == "n")
        got = std::to_string(bw_entry_count());
      else if (verb == "records")
        got = std::to_string(bw_failure_records());
      else if (verb == "reports")
        got = reports;
      else
        count_unauthenticated_request(verb.c_str(), a);
      if (got != want) wrong += step + "->" + got + " ";
    }
    return wrong;
  }

  manual_clock clock_;
  scoped_clock use_clock_{&clock_};
  log_capture logs_;
};

// The longest prefix decides; the IPv4-mapped form is the same address; prefix lengths that are
// not kept have no effect; the families are separate.
TEST_F(AddressList, LongestPrefixDecides) {
  EXPECT_EQ(run("v:192.0.2.8=1 b:192.0.2.0/24=1 w:192.0.2.7/32=1 v:192.0.2.7=1 v:192.0.2.8=0 "
                "v:192.0.3.8=1 v:::ffff:192.0.2.8=0 v:::ffff:192.0.2.7=1 "
                "b:198.51.96.0/20=0 v:198.51.100.1=1 b:2001:db8::/48=0 n=2 "
                "b:0.0.0.0/0=1 v:203.0.113.1=0 v:2001:db8::1=1 v:192.0.2.7=1 "
                "b:2001:db8:0:1::/64=1 v:2001:db8:0:1::99=0 v:2001:db8:0:2::99=1 "
                "-:0.0.0.0/0=1 -:0.0.0.0/0=0 v:203.0.113.1=1 v:=0"),
            "");
  EXPECT_FALSE(bw_valid_source(str("abc")));
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

// Requests counted as failed authentications: the fourth within a second blocks (keep-alives and
// service requests do not count; another address is not affected), slower ones never do, a
// failure record is gone a period after it began, a success clears the count and is reported
// as not blocked, white entries are never counted, and the limit comes from the settings.
TEST_F(AddressList, FailedRequestsBlockOnlyFastEnough) {
  EXPECT_EQ(run("INVITE:203.0.113.5 +300 REGISTER:203.0.113.5 +300 SUBSCRIBE:203.0.113.5 "
                "OPTIONS:203.0.113.5 PING:203.0.113.5 SERVICE:203.0.113.5 OPTIONS:203.0.113.5 "
                "f:203.0.113.5=3 v:203.0.113.5=1 reports= +399 INVITE:203.0.113.5 "
                "v:203.0.113.5=0 f:203.0.113.5=0 reports=203.0.113.5-blocked-sip; v:203.0.113.6=1"),
            "");
  reports.clear();
  std::string slow = "clear";
  for (int i = 0; i < 12; i++) slow += " REGISTER:203.0.113.5 +400";
  EXPECT_EQ(run(slow + " v:203.0.113.5=1 reports= clear REGISTER:203.0.113.5 +1000 "
                       "REGISTER:203.0.113.5 f:203.0.113.5=1 clear"),
            "");
  std::string successes;
  for (int i = 0; i < 3; i++)
    successes +=
        "INVITE:203.0.113.5 INVITE:203.0.113.5 INVITE:203.0.113.5 ok:203.0.113.5 f:203.0.113.5=0 ";
  EXPECT_EQ(run(successes + "v:203.0.113.5=1 records=0 "
                            "reports=203.0.113.5-sip;203.0.113.5-sip;203.0.113.5-sip;"),
            "");
  std::string white = "w:10.0.0.0/8=1 b:192.0.2.0/24=1 w:192.0.2.7/32=1";
  for (int i = 0; i < 10; i++) white += " INVITE:10.20.30.40 INVITE:192.0.2.7";
  EXPECT_EQ(run(white + " records=0 v:10.20.30.40=1 v:192.0.2.7=1 W:10.1.1.1=1 W:11.1.1.1=0"), "");
  ctrl_write_setting(ctrl_settings::blacklist_attempts, "2");
  EXPECT_EQ(run("INVITE:2001:db8::5 INVITE:2001:db8::5 v:2001:db8::5=0 v:2001:db8::6=1"), "");
}

TEST_F(AddressList, BlockIsStoredMailedAndExpiresAfterAnHour) {
  fake_store store;
  timeout_queue queue;
  access_list_schedule_expiry(&store, queue, 60000);
  auto run_for_ms = [&](int64_t ms) {
    run_timers_until(clock_, queue, clock_now() + ms2ticks(ms));
  };

  str a = ip("198.51.100.23");
  for (int i = 0; i < 4; i++) count_unauthenticated_request("REGISTER", a);
  ASSERT_EQ(reports, "198.51.100.23-blocked-sip;");
  // The PBX side handles the report.
  black_list_adr("198.51.100.23", true, "sip", store, wall_now());
  EXPECT_EQ(mails, std::vector<std::string>{
                       "The IP address 198.51.100.23 has been blacklisted for 60 minutes because "
                       "there were 4 unsuccessful authentication attempts (sip)."});
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

// White rows loaded at start-up: AccessListTable.BlockSurvivesRestartAndExpires.
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

  store.write({0, "198.51.96.0", "20", "false", "no such length", ""});
  access_list_load(store);
  EXPECT_FALSE(bw_valid_source(ip("2001:db8::7")));
  EXPECT_TRUE(bw_valid_source(ip("198.51.100.1")));

  // With blacklist_expires 1800 the block goes after half an hour.
  EXPECT_EQ(access_list_expire(store, wall_now() + 1800 * 1000), 0);
  EXPECT_EQ(access_list_expire(store, wall_now() + 1801 * 1000), 1);
  EXPECT_TRUE(bw_valid_source(ip("2001:db8::7")));
}

}  // namespace
