#include "pbx/address_list_table.h"

#include "base/ip_port.h"
#include "db/db_test_util.h"

namespace {

void ignore_report(const str&, bool, const str&) {}
void ignore_mail(const str&, const str&) {}

class AccessListTable : public db_test::store_test {
 protected:
  void SetUp() override {
    store_test::SetUp();
    bw_clear();
    set_blacklist_report(ignore_report);
    set_admin_mail(ignore_mail);
  }
  void TearDown() override {
    bw_clear();
    set_blacklist_report(nullptr);
    set_admin_mail(nullptr);
  }
  size_t row_files() {
    size_t n = 0;
    for (auto& [name, bytes] : mfs.files) {
      if (name.rfind("accesslist/", 0) == 0 && name.find("index") == std::string::npos) n++;
    }
    return n;
  }
  manual_clock clock_;
  scoped_clock use_clock_{&clock_};
};

TEST_F(AccessListTable, BlockSurvivesRestartAndExpires) {
  access_list_table store;
  store.write({0, "10.0.0.0", "8", "true", "office", ""});
  black_list_adr("198.51.100.23", true, "sip", store, wall_now());
  black_list_adr("198.51.100.23", true, "web", store, wall_now());
  EXPECT_EQ(accesslist.size(), 2);
  EXPECT_EQ(row_files(), 2u);

  // A restart: the table is read back from its files and fills the lists.
  db_test::reset_store();
  bw_clear();
  ASSERT_EQ(accesslist.size(), 2);
  access_list_table reloaded;
  access_list_load(reloaded);
  EXPECT_FALSE(bw_valid_source(ip_address_parse("198.51.100.23")));
  EXPECT_TRUE(bw_white_source(ip_address_parse("10.1.2.3")));
  int id = accesslist.first(accesslist_adr, "198.51.100.23");
  ASSERT_NE(id, 0);
  EXPECT_EQ(accesslist.get(id, accesslist_reason), "web");
  EXPECT_EQ(accesslist.get(id, accesslist_type), "false");
  EXPECT_EQ(accesslist.get(id, accesslist_mask), "32");

  EXPECT_EQ(access_list_expire(reloaded, wall_now() + 3601 * 1000), 1);
  EXPECT_TRUE(bw_valid_source(ip_address_parse("198.51.100.23")));
  EXPECT_EQ(accesslist.size(), 1);
  EXPECT_EQ(row_files(), 1u);
}

}  // namespace
