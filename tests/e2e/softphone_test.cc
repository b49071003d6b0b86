// A real soft-phone registers: baresip, with three accounts of the default configuration, one
// over each transport (UDP, TCP and TLS with the certificate telmond generated at its first
// start), gets 200 for every one and telmond keeps a binding row for each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "tests/e2e/harness.h"

namespace {

TEST(SoftphoneE2E, BaresipRegistersOverUdpTcpAndTls) {
  if (std::system("command -v baresip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no baresip";
  e2e::telmond_options o;
  o.use_default_config();
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();

  // baresip's own configuration directory, inside telmond's temporary directory.
  std::string home = t.dir() + "/baresip";
  std::system(("mkdir -p " + home).c_str());
  const auto& p = t.ports();
  std::string server = "127.0.0.1";
  std::ofstream(home + "/accounts")
      << "<sip:100@" << server
      << ";transport=udp>;auth_pass=sip100;regint=60;outbound=\"sip:" << server << ":" << p.sip_udp
      << ";transport=udp\"\n"
      << "<sip:101@" << server
      << ";transport=tcp>;auth_pass=sip101;regint=60;outbound=\"sip:" << server << ":" << p.sip_tcp
      << ";transport=tcp\"\n"
      << "<sip:102@" << server
      << ";transport=tls>;auth_pass=sip102;regint=60;outbound=\"sip:" << server << ":" << p.sip_tls
      << ";transport=tls\"\n";
  std::ofstream(home + "/config") << "sip_listen 127.0.0.31:" << e2e::free_port() << "\n"
                                  << "sip_verify_server no\n"
                                  << "module_path /usr/lib/baresip/modules\n"
                                  << "module account.so\n";

  // baresip runs until it is stopped; 8 s are plenty for three registrations on loopback.
  std::string log = home + "/baresip.out";
  std::string cmd = "cd " + home + " && HOME=" + home + " timeout 8 baresip -f " + home +
                    " -n 127.0.0.31 < /dev/null > " + log + " 2>&1";
  std::system(cmd.c_str());
  std::string out = e2e::slurp(log);

  EXPECT_NE(out.find("100@127.0.0.1: {0/UDP/v4} 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("101@127.0.0.1: {0/TCP/v4} 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("102@127.0.0.1: {0/TLS/v4} 200 OK"), std::string::npos) << out;
  for (const char* account : {"100", "101", "102"})
    EXPECT_TRUE(
        t.wait_for_log(std::string("Account ") + account + " is registering a new contact", 3000));
}

}  // namespace
