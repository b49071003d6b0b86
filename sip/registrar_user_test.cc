// The registrar's front under overload, through the real transaction layer on a fake transport
// under a manual clock; the backlog of waiting requests is the test's.
#include "sip/registrar_user.h"
#include "sip/srv_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/reg_in.h"
#include "sip/transaction_test_fakes.h"

namespace {

int64_t waiting = 0;
std::vector<str> posted;

str register_text(const char* call_id, int branch) {
  return str(std::string("REGISTER sip:localhost SIP/2.0\r\n"
                         "Via: SIP/2.0/UDP 127.0.0.5:5070;branch=z9hG4bK") +
             std::to_string(branch) +
             "\r\nFrom: <sip:100@localhost>;tag=f1\r\nTo: <sip:100@localhost>\r\n"
             "Call-ID: " +
             call_id +
             "\r\nCSeq: 1 REGISTER\r\nContact: <sip:100@127.0.0.5:5070>\r\n"
             "Content-Length: 0\r\n\r\n");
}

// While more than overload_backlog_bytes wait, a new Call-ID gets 503 with Retry-After (its
// repeat the same bytes, nothing reaches the PBX half); a Call-ID already being served goes on,
// and once the backlog is gone new ones are served again.
TEST(RegistrarOverload, NewRegistrationsRefusedWhileBehindOthersServed) {
  init_config();
  registrar_clear();
  bw_clear();
  posted.clear();
  transaction_env env;
  timeout_queue removals;
  srv_context context;
  context.post = [](const str& text) { posted.push_back(text); };
  context.queue = &removals;
  scoped_srv_context use_context(context);
  registrar_transaction_user user(env.user, [] { return waiting; });
  set_sip_transaction_user(&user);
  install_transaction_receive_hooks();
  const ip_port phone = ip_port::from_text("127.0.0.5:5070");
  bw_add_source(phone.address, 32, true);
  auto receive = [&](const str& text) { process_pdu("udp0", text, phone, transport_type::udp); };

  waiting = 0;
  receive(register_text("served@x", 1));
  EXPECT_EQ(posted.size(), 1u);  // GetRegisterPolicy

  waiting = overload_backlog_bytes + 1;
  receive(register_text("new@x", 2));
  receive(register_text("new@x", 2));
  ASSERT_EQ(env.transport.sent.size(), 2u);
  const sip_message refused = env.transport.sent[0].parsed();
  EXPECT_EQ(refused.code, 503);
  EXPECT_EQ(refused.reason, "Service Unavailable");
  const int retry_after = refused.get_other_header("Retry-After", "").value();
  EXPECT_GE(retry_after, 5);
  EXPECT_LE(retry_after, 30);
  EXPECT_EQ(env.transport.sent[1].text, env.transport.sent[0].text);
  EXPECT_EQ(env.transport.sent[0].destination, phone);
  EXPECT_EQ(reg_ins.count("new@x"), 0u);

  receive(register_text("served@x", 3));  // a repeat of a request that waits: absorbed
  EXPECT_EQ(reg_ins.count("served@x"), 1u);
  EXPECT_EQ(posted.size(), 1u);

  waiting = overload_backlog_bytes;
  receive(register_text("later@x", 4));
  EXPECT_EQ(posted.size(), 2u);
  EXPECT_EQ(env.transport.sent.size(), 2u);

  set_sip_receive_hooks(nullptr);
  registrar_clear();
  bw_clear();
}

}  // namespace
