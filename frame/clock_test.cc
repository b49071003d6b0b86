#include "frame/clock.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "base/str.h"

TEST(Clock, TickConversionsRoundToNearest) {
  EXPECT_EQ(ms2ticks(3), 3000000);
  EXPECT_EQ(s2ticks(2), 2000000000);
  EXPECT_EQ(ticks2ms(1499999), 1);
  EXPECT_EQ(ticks2ms(1500000), 2);
  EXPECT_EQ(ticks2s(1499999999), 1);
  EXPECT_EQ(ticks2s(1500000000), 2);
  // Signed division: small negative values round towards zero after the offset.
  EXPECT_EQ(ticks2ms(-400000), 0);
}

// The run-time stamp as 16 hex digits, little-endian; the wall time as seconds.milliseconds.
TEST(Clock, TimestampTexts) {
  EXPECT_EQ(rtimestamp_serialize(0x0102030405060708LL), "0807060504030201");
  EXPECT_EQ(rtimestamp_parse(str("0807060504030201")), 0x0102030405060708LL);
  EXPECT_EQ(rtimestamp_serialize(-1), "ffffffffffffffff");
  // Anything but exactly 16 hex digits is empty.
  for (const char* bad : {"080706050403020", "08070605040302010", "08070605040302g1", ""})
    EXPECT_EQ(rtimestamp_parse(str(bad)), 0) << bad;
  EXPECT_TRUE(rc::check([](int64_t t) {
    RC_ASSERT(rtimestamp_parse(rtimestamp_serialize(t)) == t);
    RC_ASSERT(rtimestamp_serialize(t).length() == 16u);
  }));
  atimestamp a = atimestamp_from_seconds(1767225600) + 5;
  EXPECT_EQ(atimestamp_serialize(a), "1767225600.5");
  EXPECT_EQ(atimestamp_parse(str("1767225600.5")), a);
  EXPECT_EQ(atimestamp_serialize(atimestamp_from_seconds(7)), "7.0");
  EXPECT_EQ(atimestamp_parse(str("12")), 12000);
  EXPECT_EQ(std::to_string(get_time(a)) + " " + std::to_string(get_ms(a)) + " " +
                std::to_string(add_s(a, 2) - a) + " " + std::to_string(diff_ms(a, a - 1234)) + " " +
                std::to_string(diff_s(a, a - 2999)),
            "1767225600 5 2000 1234 2");
  EXPECT_TRUE(rc::check([](uint32_t secs, uint16_t ms16) {
    atimestamp v = atimestamp_from_seconds(secs) + ms16 % 1000;
    RC_ASSERT(atimestamp_parse(atimestamp_serialize(v)) == v);
  }));
}
