// SIP parsing benchmark: parse a message, read the fields a proxy or user agent reads on
// every message (method, Request-URI host, top Via branch, From and To tags, Call-ID, CSeq,
// first Contact URI), then serialise it again. Over the valid RFC 4475 messages and a set of
// everyday messages (REGISTER, INVITE with SDP, 200 OK, BYE). The same work runs with libosip2
// and sofia-sip in the same binary when they are available, and the ratios are printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/ip_port.h"
#include "bench/ratio_reporter.h"
#include "sip/sip_message.h"

#ifdef HAVE_OSIP2
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>
#endif
#ifdef HAVE_SOFIA
#include <sofia-sip/msg.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#endif

namespace {

std::vector<std::string> rfc4475_valid() {
  std::string here = __FILE__;
  std::string dir = here.substr(0, here.rfind('/')) + "/../tests/testdata/rfc4475/";
  std::vector<std::string> out;
  for (const char* name : {"wsinv", "intmeth", "esc01", "escnull", "esc02", "lwsdisp", "longreq",
                           "dblreq", "semiuri", "transports", "mpart01", "unreason", "noreason"}) {
    std::ifstream in(dir + name + ".dat", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    if (s.empty()) continue;
    str buffer(s.data(), s.size());
    str framed = get_first_packet(buffer, true);  // dblreq: its first message only
    out.emplace_back(framed.cbuffer(), framed.length());
  }
  return out;
}

std::string crlf(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}

std::vector<std::string> typical() {
  std::vector<std::string> out;
  out.push_back(crlf(
      "REGISTER sip:pbx.example.com SIP/2.0\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1---7a6a8c0e2c5d8f1b;rport\n"
      "Max-Forwards: 70\n"
      "Contact: <sip:201@192.168.1.20:5060;rinstance=9d5a8e1c2b3f4a6d;transport=UDP>\n"
      "To: \"Reception\" <sip:201@pbx.example.com>\n"
      "From: \"Reception\" <sip:201@pbx.example.com>;tag=4e9f8d1c\n"
      "Call-ID: ZmE3YjI5ZDFkNjE0YjdiOTc0ZjE3MzA4NmFlZmJhNjQ.\n"
      "CSeq: 2 REGISTER\n"
      "Expires: 3600\n"
      "Allow: INVITE, ACK, CANCEL, BYE, NOTIFY, REFER, MESSAGE, OPTIONS, INFO, SUBSCRIBE\n"
      "Supported: replaces, norefersub, extended-refer, timer, outbound, path, X-cisco-serviceuri\n"
      "User-Agent: Deskphone 5.3.1\n"
      "Authorization: Digest username=\"201\",realm=\"pbx.example.com\",nonce=\"d1f4a7c2\","
      "uri=\"sip:pbx.example.com\",response=\"6629fae49393a05397450978507c4ef1\",algorithm=MD5\n"
      "Allow-Events: presence, kpml, talk\n"
      "Content-Length: 0\n\n"));
  out.push_back(
      crlf("INVITE sip:202@pbx.example.com SIP/2.0\n"
           "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1---3f2c1b0a99887766;rport\n"
           "Max-Forwards: 70\n"
           "Contact: <sip:201@192.168.1.20:5060;transport=UDP>\n"
           "To: <sip:202@pbx.example.com>\n"
           "From: \"Reception\" <sip:201@pbx.example.com>;tag=8a7b6c5d\n"
           "Call-ID: OTk4ZjE3YjNlNmNhYTRiMjEzOGY0ZGQ1NzM3ZWI5ZDY.\n"
           "CSeq: 1 INVITE\n"
           "Allow: INVITE, ACK, CANCEL, BYE, NOTIFY, REFER, MESSAGE, OPTIONS, INFO, SUBSCRIBE\n"
           "Content-Type: application/sdp\n"
           "Supported: replaces, norefersub, extended-refer, timer, outbound, path\n"
           "User-Agent: Deskphone 5.3.1\n"
           "Allow-Events: presence, kpml, talk\n"
           "Content-Length: #CL#\n\n"
           "v=0\n"
           "o=- 13279541 13279542 IN IP4 192.168.1.20\n"
           "s=Deskphone\n"
           "c=IN IP4 192.168.1.20\n"
           "t=0 0\n"
           "m=audio 56432 RTP/AVP 0 8 9 18 101\n"
           "a=rtpmap:0 PCMU/8000\n"
           "a=rtpmap:8 PCMA/8000\n"
           "a=rtpmap:9 G722/8000\n"
           "a=rtpmap:18 G729/8000\n"
           "a=fmtp:18 annexb=no\n"
           "a=rtpmap:101 telephone-event/8000\n"
           "a=fmtp:101 0-15\n"
           "a=sendrecv\n"));
  // The Content-Length of the INVITE is filled in from its body.
  std::string& invite = out.back();
  size_t body_length = invite.size() - (invite.find("\r\n\r\n") + 4);
  invite.replace(invite.find("#CL#"), 4, std::to_string(body_length));
  out.push_back(crlf(
      "SIP/2.0 200 OK\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1---3f2c1b0a99887766;rport=5060;"
      "received=192.168.1.20\n"
      "Record-Route: <sip:192.168.1.1;lr>\n"
      "Contact: <sip:202@192.168.1.30:5060>\n"
      "To: <sip:202@pbx.example.com>;tag=as6c1d2e3f\n"
      "From: \"Reception\" <sip:201@pbx.example.com>;tag=8a7b6c5d\n"
      "Call-ID: OTk4ZjE3YjNlNmNhYTRiMjEzOGY0ZGQ1NzM3ZWI5ZDY.\n"
      "CSeq: 1 INVITE\n"
      "Server: PBX 1.0\n"
      "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO\n"
      "Supported: replaces, timer\n"
      "Content-Length: 0\n\n"));
  out.push_back(
      crlf("BYE sip:202@192.168.1.30:5060 SIP/2.0\n"
           "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1---aa11bb22cc33dd44;rport\n"
           "Max-Forwards: 70\n"
           "Route: <sip:192.168.1.1;lr>\n"
           "Contact: <sip:201@192.168.1.20:5060;transport=UDP>\n"
           "To: <sip:202@pbx.example.com>;tag=as6c1d2e3f\n"
           "From: \"Reception\" <sip:201@pbx.example.com>;tag=8a7b6c5d\n"
           "Call-ID: OTk4ZjE3YjNlNmNhYTRiMjEzOGY0ZGQ1NzM3ZWI5ZDY.\n"
           "CSeq: 2 BYE\n"
           "User-Agent: Deskphone 5.3.1\n"
           "Content-Length: 0\n\n"));
  return out;
}

const std::vector<std::string>& messages(int set) {
  static const std::vector<std::string> rfc = rfc4475_valid();
  static const std::vector<std::string> everyday = typical();
  return set == 0 ? rfc : everyday;
}

size_t total_bytes(int set) {
  size_t n = 0;
  for (const std::string& m : messages(set)) n += m.size();
  return n;
}

// ---- telmond ----------------------------------------------------------------------------------
void run_telmond(benchmark::State& state) {
  const auto& msgs = messages(static_cast<int>(state.range(0)));
  std::vector<str> texts;
  for (const std::string& m : msgs) texts.emplace_back(m.data(), m.size());
  const ip_port dest(ip_address_parse("192.0.2.1"), 5060);
  static const str branch("branch");
  for (auto _ : state) {
    for (const str& text : texts) {
      sip_message m(text);
      benchmark::DoNotOptimize(m.method.length());
      benchmark::DoNotOptimize(m.request_uri.get_host().length());
      if (!m.via.empty()) benchmark::DoNotOptimize(get_via_parameter(m.via[0], branch).length());
      benchmark::DoNotOptimize(m.from.tag().length());
      benchmark::DoNotOptimize(m.to.tag().length());
      benchmark::DoNotOptimize(m.call_id.length());
      benchmark::DoNotOptimize(m.cseq);
      benchmark::DoNotOptimize(m.cseq_method.length());
      if (!m.contact.empty()) {
        benchmark::DoNotOptimize(m.contact[0].addr_spec().get_host().length());
      }
      str out = m.serialize(dest, transport_type::udp);
      benchmark::DoNotOptimize(out.length());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(total_bytes(int(state.range(0)))));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(msgs.size()));
}

// Parsing only, without serialisation: what a receiver pays to look at a message.
void run_telmond_parse_only(benchmark::State& state) {
  const auto& msgs = messages(static_cast<int>(state.range(0)));
  std::vector<str> texts;
  for (const std::string& m : msgs) texts.emplace_back(m.data(), m.size());
  static const str branch("branch");
  for (auto _ : state) {
    for (const str& text : texts) {
      sip_message m(text);
      benchmark::DoNotOptimize(m.request_uri.get_host().length());
      if (!m.via.empty()) benchmark::DoNotOptimize(get_via_parameter(m.via[0], branch).length());
      benchmark::DoNotOptimize(m.from.tag().length());
      benchmark::DoNotOptimize(m.to.tag().length());
      benchmark::DoNotOptimize(m.call_id.length());
      if (!m.contact.empty()) {
        benchmark::DoNotOptimize(m.contact[0].addr_spec().get_host().length());
      }
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(msgs.size()));
}

#ifdef HAVE_OSIP2
void run_osip2(benchmark::State& state) {
  static bool initialised = [] {
    parser_init();
    // Its error trace would cost it time on the torture messages it refuses.
    for (int level = 0; level < END_TRACE_LEVEL; ++level) {
      osip_trace_disable_level(static_cast<osip_trace_level_t>(level));
    }
    return true;
  }();
  (void)initialised;
  const auto& msgs = messages(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& text : msgs) {
      osip_message_t* sip = nullptr;
      osip_message_init(&sip);
      if (osip_message_parse(sip, text.data(), text.size()) == 0) {
        if (sip->sip_method) benchmark::DoNotOptimize(sip->sip_method[0]);
        if (sip->req_uri && sip->req_uri->host) benchmark::DoNotOptimize(sip->req_uri->host[0]);
        osip_via_t* via = nullptr;
        if (osip_message_get_via(sip, 0, &via) >= 0 && via) {
          osip_generic_param_t* b = nullptr;
          osip_via_param_get_byname(via, const_cast<char*>("branch"), &b);
          if (b) benchmark::DoNotOptimize(b->gvalue);
        }
        osip_generic_param_t* tag = nullptr;
        if (sip->from) osip_from_get_tag(sip->from, &tag);
        benchmark::DoNotOptimize(tag);
        tag = nullptr;
        if (sip->to) osip_to_get_tag(sip->to, &tag);
        benchmark::DoNotOptimize(tag);
        if (sip->call_id) benchmark::DoNotOptimize(sip->call_id->number);
        if (sip->cseq) {
          benchmark::DoNotOptimize(sip->cseq->number);
          benchmark::DoNotOptimize(sip->cseq->method);
        }
        osip_contact_t* contact = nullptr;
        if (osip_message_get_contact(sip, 0, &contact) >= 0 && contact && contact->url) {
          benchmark::DoNotOptimize(contact->url->host);
        }
        char* out = nullptr;
        size_t len = 0;
        if (osip_message_to_str(sip, &out, &len) == 0) {
          benchmark::DoNotOptimize(len);
          osip_free(out);
        }
      }
      osip_message_free(sip);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(total_bytes(int(state.range(0)))));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(msgs.size()));
}
#endif

#ifdef HAVE_SOFIA
void run_sofia(benchmark::State& state) {
  const auto& msgs = messages(static_cast<int>(state.range(0)));
  msg_mclass_t const* mclass = sip_default_mclass();
  for (auto _ : state) {
    for (const std::string& text : msgs) {
      msg_t* msg = msg_make(mclass, 0, text.data(), static_cast<ssize_t>(text.size()));
      if (!msg) continue;
      sip_t* sip = sip_object(msg);
      if (sip) {
        if (sip->sip_request) {
          benchmark::DoNotOptimize(sip->sip_request->rq_method_name);
          benchmark::DoNotOptimize(sip->sip_request->rq_url->url_host);
        }
        if (sip->sip_via) benchmark::DoNotOptimize(sip->sip_via->v_branch);
        if (sip->sip_from) benchmark::DoNotOptimize(sip->sip_from->a_tag);
        if (sip->sip_to) benchmark::DoNotOptimize(sip->sip_to->a_tag);
        if (sip->sip_call_id) benchmark::DoNotOptimize(sip->sip_call_id->i_id);
        if (sip->sip_cseq) {
          benchmark::DoNotOptimize(sip->sip_cseq->cs_seq);
          benchmark::DoNotOptimize(sip->sip_cseq->cs_method_name);
        }
        if (sip->sip_contact) benchmark::DoNotOptimize(sip->sip_contact->m_url->url_host);
        size_t len = 0;
        char* out = msg_as_string(msg_home(msg), msg, nullptr, 0, &len);
        benchmark::DoNotOptimize(out);
        benchmark::DoNotOptimize(len);
      }
      msg_destroy(msg);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(total_bytes(int(state.range(0)))));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(msgs.size()));
}
#endif

}  // namespace

BENCHMARK(run_telmond)->Arg(0)->Arg(1)->ArgName("set");
BENCHMARK(run_telmond_parse_only)->Arg(0)->Arg(1)->ArgName("set");
#ifdef HAVE_OSIP2
BENCHMARK(run_osip2)->Arg(0)->Arg(1)->ArgName("set");
#endif
#ifdef HAVE_SOFIA
BENCHMARK(run_sofia)->Arg(0)->Arg(1)->ArgName("set");
#endif

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter(ratio_reporter::measure::cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nset 0 = valid RFC 4475 messages (%zu), set 1 = everyday messages (%zu)\n",
              messages(0).size(), messages(1).size());
  for (int set = 0; set < 2; ++set) {
    std::string suffix = "/set:" + std::to_string(set);
    const double ours = reporter.time("run_telmond" + suffix);
    if (ours <= 0) continue;
    for (const char* peer : {"run_osip2", "run_sofia"}) {
      const double theirs = reporter.time(peer + suffix);
      if (theirs <= 0) continue;
      std::printf("set %d: %s takes %.2fx the CPU time of telmond\n", set, peer + 4, theirs / ours);
    }
  }
  benchmark::Shutdown();
  return 0;
}
