// The registrar's cost per request, both halves in one process joined through their message
// texts (as the two queues carry them), over an in-memory table store with 1,000 extensions:
// - a refresh (the bulk of a registrar's load): parse, fingerprint, RRU to the PBX half, 200;
// - a first registration with digest authentication and its removal: two REGISTERs, the
//   policy and decision round trips, the 401 and the 200, then Expires: 0.
// The timer queue is a private one that never runs (bindings stay until removed).
#include <benchmark/benchmark.h>

#include <deque>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "pbx/registration.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"
#include "sip/reg_in.h"

namespace {

std::deque<str> to_ctrl, to_srv;
int responses = 0;
str last_nonce;

void post_ctrl(const str& t) { to_ctrl.push_back(t); }
void post_srv(const str& t) { to_srv.push_back(t); }
void count_send(const sip_message& m) {
  responses++;
  if (m.code == 401)
    last_nonce = parse_auth_header(m.get_other_header("WWW-Authenticate", "")).get("nonce");
}

void pump() {
  while (!to_ctrl.empty() || !to_srv.empty()) {
    while (!to_ctrl.empty()) {
      str t = to_ctrl.front();
      to_ctrl.pop_front();
      registration_on_soap(t);
    }
    while (!to_srv.empty()) {
      str t = to_srv.front();
      to_srv.pop_front();
      registrar_on_soap(t);
    }
  }
}

struct environment {
  memory_file_system mfs;
  scoped_file_system use{&mfs};
  timeout_queue queue;

  environment() {
    for (size_t i = 0; i < table_def_count; i++) define_table(table_defs[i]);
    init_config();
    log_level_max = 0;
    int d = domains.add_row();
    domains.set(d, domains_name, "localhost");
    for (int n = 0; n < 1000; n++) {
      int e = extensions.add_row();
      extensions.set(e, extensions_password, str::sprintf("pw%d", n));
      int u = users.add_row();
      users.set(u, users_type_name, "extensions");
      users.set(u, users_type_index, str::sprintf("%d", e));
      users.set(u, users_domain, str::sprintf("%d", d));
      int a = user_alias.add_row();
      user_alias.set(a, user_alias_user, str::sprintf("%d", u));
      user_alias.set(a, user_alias_domain, str::sprintf("%d", d));
      user_alias.set(a, user_alias_name, str::sprintf("%d", 1000 + n));
    }
    set_registrar_queue(&queue);
    set_registrar_post(post_ctrl);
    set_registration_post(post_srv);
    set_registrar_send(count_send);
    set_auth_hooks(&registrar_auth_hooks());
    bw_add_source(str::bytes({127, 0, 0, 0}), 8, true);  // no blocking in the load
  }
  ~environment() { registrar_clear(); }
};

str register_text(int user, const str& call_id, unsigned cseq, int expires,
                  const str& authorization) {
  str t = str::sprintf(
      "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.5:5070;branch=z9hG4bK%u\r\n"
      "From: <sip:%d@localhost>;tag=f%d\r\nTo: <sip:%d@localhost>\r\nCall-ID: %s\r\n"
      "CSeq: %u REGISTER\r\nContact: <sip:%d@127.0.0.5:5070>\r\nExpires: %d\r\n"
      "User-Agent: bench\r\n",
      cseq, user, user, user, call_id, cseq, user, expires);
  if (!authorization.empty()) t.appendf("Authorization: %s\r\n", authorization);
  t += "\r\n";
  return t;
}

void receive(const str& text) {
  sip_message m(text);
  m.peer = ip_port::from_text("127.0.0.5:5070");
  m.transport = transport_type::udp;
  registrar_receive(m);
  pump();
}

str digest(int user, const str& nonce) {
  str uri = "sip:localhost", u = str::sprintf("%d", user), pw = str::sprintf("pw%d", user - 1000);
  return str::sprintf(
      "Digest username=\"%s\",realm=\"localhost\",nonce=\"%s\",uri=\"%s\",response=\"%s\"", u,
      nonce, uri, auth_md5_hex(nonce, u, "localhost", pw, "REGISTER", uri, "", "", ""));
}

// Registers user with a fresh Call-ID: challenge, answer, decision.
void first_registration(int user, const str& call_id) {
  receive(register_text(user, call_id, 1, 3600, str()));
  receive(register_text(user, call_id, 2, 3600, digest(user, last_nonce)));
}

void BM_register_refresh(benchmark::State& state) {
  environment env;
  const int bindings = 1000;
  for (int i = 0; i < bindings; i++) first_registration(1000 + i, str::sprintf("bench-%d", i));
  std::vector<str> texts;
  unsigned cseq = 3;
  int i = 0;
  for (auto _ : state) {
    receive(register_text(1000 + i, str::sprintf("bench-%d", i), cseq, 3600, str()));
    if (++i == bindings) {
      i = 0;
      cseq++;
    }
  }
  state.counters["registrations"] = double(registrations.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_register_refresh);

void BM_register_first_and_remove(benchmark::State& state) {
  environment env;
  int n = 0;
  for (auto _ : state) {
    str call_id = str::sprintf("first-%d", n++);
    int user = 1000 + n % 1000;
    first_registration(user, call_id);
    receive(register_text(user, call_id, 3, 0, str()));
  }
  state.counters["registrations"] = double(registrations.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_register_first_and_remove);

}  // namespace

BENCHMARK_MAIN();
