#include "sip/transport_type.h"

#include <gtest/gtest.h>

namespace {

TEST(TransportType, NamesAndProperties) {
  EXPECT_EQ(transport_type(str("UDP")), transport_type::udp);
  EXPECT_EQ(transport_type(str("Tcp")), transport_type::tcp);
  EXPECT_EQ(transport_type(str("tls")), transport_type::tls);
  EXPECT_EQ(transport_type(str("sctp")), transport_type::none);
  EXPECT_EQ(transport_type(str("")), transport_type::none);
  EXPECT_EQ(transport_type(transport_type::tls).serialize(), "tls");
  EXPECT_EQ(transport_type().serialize(), "");
  EXPECT_FALSE(transport_type().valid());
  EXPECT_TRUE(transport_type(transport_type::udp).valid());
  EXPECT_FALSE(transport_type(transport_type::udp).is_reliable());
  EXPECT_TRUE(transport_type(transport_type::tcp).is_reliable());
  EXPECT_TRUE(transport_type(transport_type::tls).is_reliable());
}

}  // namespace
