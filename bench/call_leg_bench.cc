// One call leg's whole SIP life through the real receive path, transaction layer and call leg,
// on a fake transport under a manual clock: INVITE in, 100, 180, 200 with SDP, ACK, BYE, 200,
// with the PBX's answers fed in as the commands it posts and every event posted.
//
//   BM_CallLeg        items_per_second: complete calls per second (us per call = 1e6 / it)
//   BM_LiveLegs       bytes_per_leg: heap held per connected leg (leg, SDP, the transactions
//                     it keeps), with 500 legs up at once
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>

#include "base/log.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/send_packet.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

int64_t posted = 0;

const char* const offer =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.7\r\ns=-\r\nc=IN IP4 127.0.0.7\r\nt=0 0\r\n"
    "m=audio 6000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\n";

str request(const char* method, int call, unsigned cseq, const str& to_tag, bool body) {
  str t = str::sprintf(
      "%S sip:200@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.7:5070;branch=z9hG4bK%d%S%u\r\n"
      "From: <sip:100@127.0.0.1>;tag=f%d\r\nTo: <sip:200@127.0.0.1>%S%s\r\n"
      "Call-ID: bench-%d\r\nCSeq: %u %S\r\nContact: <sip:100@127.0.0.7:5070>\r\n"
      "Max-Forwards: 70\r\nUser-Agent: bench\r\n",
      method, call, method, cseq, call, to_tag.empty() ? "" : ";tag=", to_tag, call, cseq, method);
  if (body) {
    t.appendf("Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%S",
              int(strlen(offer)), offer);
  } else {
    t += "Content-Length: 0\r\n\r\n";
  }
  return t;
}

struct call_env {
  transaction_env env;
  call_port_transaction_user legs{env.user};
  std::unique_ptr<scoped_srv_context> context;
  ip_port phone = ip_port::from_text("127.0.0.7:5070");
  str set_policy, ringing, answer;

  call_env() {
    env.transport.record = false;
    log_level_max = 0;  // the legs' log lines are not what is measured
    init_config();
    ctrl_write_setting(ctrl_settings::max_udp_invite, "0");  // no rate limit in the load
    bw_add_source(str::bytes({127, 0, 0, 0}), 8, true);      // and no blocking
    install_transaction_receive_hooks();
    set_sip_transaction_user(&legs);
    srv_context c;
    c.post = [](const str&) { ++posted; };
    c.send = send_packet;
    c.queue = &env.queue;
    context = std::make_unique<scoped_srv_context>(c);
  }
  ~call_env() { reset_call_ports(); }

  // The call up to the ACK of the 200; the leg's index.
  int connect(int call) {
    process_pdu("udp0", request("INVITE", call, 1, str(), true), phone, transport_type::udp);
    const int index = find_port(str::sprintf("bench-%d", call), str(), str::sprintf("f%d", call));
    const str leg = str::sprintf("%d", index);
    call_port_on_soap(soap_write(msg::set_dialog_policy{leg, "false", "", "", "", "", "", "", ""}));
    msg::set_dialog_state s;
    s.call_id = leg;
    s.state_code = "180";
    s.ring180 = "true";
    s.state_reason = "Ringing";
    call_port_on_soap(soap_write(s));
    s.state_code = "200";
    s.ring180 = str();
    s.state_reason = "Ok";
    call_port_on_soap(soap_write(s));
    const str tag = get_port(index) ? get_port(index)->local.tag() : str();
    process_pdu("udp0", request("ACK", call, 1, tag, false), phone, transport_type::udp);
    return index;
  }
  void hang_up(int call, int index) {
    const str tag = get_port(index) ? get_port(index)->local.tag() : str();
    process_pdu("udp0", request("BYE", call, 2, tag, false), phone, transport_type::udp);
  }
};

void BM_CallLeg(benchmark::State& state) {
  call_env e;
  int call = 0;
  posted = 0;
  for (auto _ : state) {
    const int index = e.connect(++call);
    e.hang_up(call, index);
    if (call % 1000 == 0) {
      state.PauseTiming();
      clear_pending_packets();
      state.ResumeTiming();
    }
  }
  if (call_ports_in_use() != 0) state.SkipWithError("legs left over");
  state.SetItemsProcessed(state.iterations());
  state.counters["events_per_call"] = double(posted) / double(call);
}
BENCHMARK(BM_CallLeg)->Unit(benchmark::kMicrosecond);

void BM_LiveLegs(benchmark::State& state) {
  constexpr int legs = 500;
  double bytes_per_leg = 0;
  for (auto _ : state) {
    call_env e;
    const size_t before = mallinfo2().uordblks;
    for (int call = 1; call <= legs; ++call) e.connect(call);
    bytes_per_leg = double(mallinfo2().uordblks - before) / legs;
    if (call_ports_in_use() != legs) state.SkipWithError("legs lost");
  }
  state.counters["bytes_per_leg"] = bytes_per_leg;
  state.counters["static_bytes_per_slot"] = double(sizeof(call_port));
}
BENCHMARK(BM_LiveLegs)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
