// The global and local forms of numbers, both numbering plans and the edge lengths.
#include "pbx/number_forms.h"

#include "pbx/pbx_test_util.h"

namespace {

TEST(NumberForms, GlobalForm) {
  // clang-format off
  struct { const char *cc, *ac, *number, *global; } cases[] = {
      {"49", "30", "12345", "12345"},           {"49", "30", "12345a", "12345a"},
      {"49", "30", "00441234567", "+441234567"}, {"49", "30", "0301234567", "+49301234567"},
      {"49", "030", "123456", "+4930123456"},   {"49", "-", "123456", "+49123456"},
      {"49", "", "123456", "123456"},           {"4x", "30", "0301234567", "0301234567"},
      {"1", "", "011441234567", "+441234567"},  {"1", "", "12125551234", "+12125551234"},
      {"1", "", "2125551234", "+12125551234"},  {"1", "", "5551234", "+15551234"},
      {"1", "", "15551234", "+15551234"},       {"1", "212", "4561234", "+12124561234"},
      {"1", "", "4561234", "4561234"},          {"1", "212", "123456", "123456"},
      {"1", "212", "911", "911"},               {"1", "212", "5551234", "+15551234"},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(get_global_number(c.cc, c.ac, c.number), c.global) << c.cc << " " << c.number;
}

class NumberFormsDomain : public pbx_test::call_test {};

TEST_F(NumberFormsDomain, LocalFormIsTheInverse) {
  // clang-format off
  struct { const char *cc, *ac, *global, *local; } cases[] = {
      {"49", "030", "+49301234567", "1234567"},  {"49", "030", "+49401234567", "0401234567"},
      {"49", "030", "+441234567", "00441234567"}, {"49", "030", "12345", "12345"},
      {"1", "212", "+12124561234", "4561234"},   {"1", "212", "+13104561234", "13104561234"},
      {"1", "212", "+441234567", "011441234567"}, {"1", "212", "+12125551234", "12125551234"},
  };
  // clang-format on
  for (const auto& c : cases) {
    domains.set(domain, domains_country_code, c.cc);
    domains.set(domain, domains_area_code, c.ac);
    EXPECT_EQ(get_local_number(domain, c.global), c.local) << c.global;
    if (str(c.global).starts_with("+")) {
      EXPECT_EQ(get_global_number(domain, c.local), c.global);
    }
  }
  log_level_max = 9;  // the capture restores the level
  EXPECT_EQ(get_global_number("49", "", "123456"), "123456");
  EXPECT_TRUE(log.contains("Cannot convert number 123456 into global format"));
}

}  // namespace
