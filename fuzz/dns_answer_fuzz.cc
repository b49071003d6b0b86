// libFuzzer target: DNS answers as the SIP socket thread receives them. Decoding any datagram
// gives either false or records whose texts keep the cache's line format (one record per line,
// a fixed number of fields per type, addresses that parse). Fed to a resolver with a matching
// outstanding query, the datagram either completes it once, leaving a readable cache entry, or
// is dropped with the query still waiting.
#include <cstddef>
#include <cstdint>

#include "base/ip_port.h"
#include "sip/dns_resolver.h"

namespace {

int completions = 0;
void on_done(int) { completions++; }

class null_transport : public dns_transport {
 public:
  bool send(const str&, const ip_port&) override { return true; }
};

int field_count(const str& line) {
  int n = 0;
  while (!line.get_field(static_cast<size_t>(n)).empty()) n++;
  return n;
}

void check_record(dns_type type, const str& data) {
  if (data.empty() || data.find('\n') >= 0 || data.find('\r') >= 0) __builtin_trap();
  switch (type) {
    case dns_type::a:
      if (ip_address_parse(data).length() != 4) __builtin_trap();
      break;
    case dns_type::aaaa:
      if (ip_address_parse(data).length() != 16) __builtin_trap();
      break;
    case dns_type::srv:
      if (field_count(data) != 4) __builtin_trap();
      break;
    case dns_type::naptr:
      if (field_count(data) != 6) __builtin_trap();
      break;
    default:
      if (field_count(data) != 1) __builtin_trap();
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  dns_answer answer;
  if (!dns_decode_answer(input, answer)) return 0;
  for (const dns_record& r : answer.records) {
    if (r.name.empty() || r.name.find(' ') >= 0) __builtin_trap();
    check_record(r.type, r.data);
  }
  if (answer.question_name.empty()) return 0;
  dns_type type = answer.question_type;
  if (type != dns_type::a && type != dns_type::aaaa && type != dns_type::srv &&
      type != dns_type::naptr) {
    return 0;
  }

  timeout_queue queue;
  null_transport transport;
  dns_resolver resolver(&queue);
  resolver.set_transport(&transport);
  const ip_port server = ip_port::from_text(str("192.0.2.53:53"));
  resolver.set_servers({server});
  completions = 0;
  resolver.request_dns(answer.question_name, type, callback_argument(on_done, 0));
  int id = resolver.query_id(answer.question_name, type);
  if (id < 0) return 0;  // a name that cannot be asked for fails at once
  // Give the datagram the query's id so that it reaches the matching logic.
  str datagram =
      str::bytes({static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 255)}) + input.substr(2);
  resolver.on_pdu_available(datagram, server);
  resolver.on_pdu_available(datagram, server);  // a repetition never completes twice
  if (completions > 1) __builtin_trap();
  str result;
  if (completions == 1) {
    if (resolver.pending_queries() != 0) __builtin_trap();
    if (!resolver.cache_lookup(answer.question_name, type, result)) __builtin_trap();
    for (size_t i = 0; !result.empty(); i++) {
      long nl = result.find('\n');
      str line = nl < 0 ? result : result.leftstr(static_cast<size_t>(nl));
      check_record(type, line);
      result = nl < 0 ? str() : result.substr(static_cast<size_t>(nl) + 1);
    }
  } else if (resolver.pending_queries() != 1) {
    __builtin_trap();
  }
  return 0;
}
