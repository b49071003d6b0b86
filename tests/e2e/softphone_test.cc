// A real soft-phone registers: baresip, with three accounts of the default configuration, one
// over each transport (UDP, TCP and TLS with the certificate telmond generated at its first
// start), gets 200 for every one and telmond keeps a binding row for each.
#include <gtest/gtest.h>

#include "tests/e2e/harness_phones.h"

namespace {

TEST(SoftphoneE2E, BaresipRegistersOverUdpTcpAndTls) {
  if (std::system("command -v baresip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no baresip";
  e2e::telmond_options o;
  o.use_default_config();
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  using e2e::softphone;
  softphone phone(t.dir() + "/baresip", "127.0.0.31",
                  softphone::account(t, 100, "udp") + softphone::account(t, 101, "tcp") +
                      softphone::account(t, 102, "tls"),
                  440);
  for (const char* account : {"100", "101", "102"})
    EXPECT_TRUE(
        t.wait_for_log(std::string("Account ") + account + " is registering a new contact", 5000));
  for (const char* line : {"100@127.0.0.1: {0/UDP/v4} 200 OK", "101@127.0.0.1: {0/TCP/v4} 200 OK",
                           "102@127.0.0.1: {0/TLS/v4} 200 OK"}) {
    EXPECT_TRUE(e2e::eventually(5000, [&] { return phone.output().find(line) != std::string::npos; }))
        << line << "\n" << phone.output();
  }
}

}  // namespace
