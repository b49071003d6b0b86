// Framing, the Via rewrite for received requests and the receive entry process_pdu.
#include <cstring>

#include "base/log.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"

namespace {

sip_receive_hooks* g_hooks = nullptr;

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

}  // namespace

uint64_t framing_content_length(const char* b, size_t n) {
  size_t i = 0;
  while (i < n) {
    size_t s = i;
    while (i < n && b[i] != '\r' && b[i] != '\n') ++i;
    size_t e = i;
    while (i < n && (b[i] == '\r' || b[i] == '\n')) ++i;
    const char* colon = static_cast<const char*>(std::memchr(b + s, ':', e - s));
    if (!colon) continue;
    size_t ne = size_t(colon - b);
    while (ne > s && (b[ne - 1] == ' ' || b[ne - 1] == '\t')) --ne;
    size_t ns = s;
    while (ns < ne && (b[ns] == ' ' || b[ns] == '\t')) ++ns;
    size_t len = ne - ns;
    bool match = false;
    if (len == 1) {
      match = lower(b[ns]) == 'l';
    } else if (len == 14) {
      static const char k[] = "content-length";
      match = true;
      for (size_t k2 = 0; k2 < 14 && match; ++k2) match = lower(b[ns + k2]) == k[k2];
    }
    if (!match) continue;
    size_t v = size_t(colon - b) + 1;
    while (v < e && (b[v] == ' ' || b[v] == '\t')) ++v;
    uint64_t value = 0;
    for (; v < e && b[v] >= '0' && b[v] <= '9'; ++v) {
      if (value < (uint64_t(1) << 40)) value = value * 10 + uint64_t(b[v] - '0');
    }
    return value;
  }
  return 0;
}

void set_sip_receive_hooks(sip_receive_hooks* hooks) { g_hooks = hooks; }
sip_receive_hooks* get_sip_receive_hooks() { return g_hooks; }

str get_first_packet(str& buffer, bool remove) {
  const char* b = buffer.cbuffer();
  const size_t n = buffer.length();
  size_t start = 0;
  while (start < n && (b[start] == ' ' || b[start] == '\t' || b[start] == '\r' ||
                       b[start] == '\n' || b[start] == 0)) {
    ++start;
  }
  // The end of the header block: CR LF CR LF, CR CR or LF LF, whichever comes first.
  size_t body = 0;
  bool found = false;
  for (size_t i = start; i + 1 < n; ++i) {
    char c = b[i];
    if (c != '\r' && c != '\n') continue;
    if (c == '\r' && b[i + 1] == '\n' && i + 3 < n && b[i + 2] == '\r' && b[i + 3] == '\n') {
      body = i + 4;
      found = true;
      break;
    }
    if (b[i + 1] == c) {
      body = i + 2;
      found = true;
      break;
    }
  }
  if (!found) return str();
  uint64_t length = framing_content_length(b + start, body - start);
  if (length > n - body) return str();
  size_t end = body + size_t(length);
  str message = buffer.substr(start, end - start);
  if (remove) buffer = buffer.substr(end);
  return message;
}

void add_via_received(sip_message& message, const ip_port& source) {
  if (message.via.empty()) return;
  const str top = message.via[0];
  const char* b = top.cbuffer();
  const size_t n = top.length();
  // Sent-by: after the protocol token and white space, before the first ";".
  size_t i = 0;
  while (i < n && (b[i] == ' ' || b[i] == '\t')) ++i;
  while (i < n && b[i] != ' ' && b[i] != '\t' && b[i] != ';') ++i;
  while (i < n && (b[i] == ' ' || b[i] == '\t')) ++i;
  long semi = top.find(';', i);
  const size_t sent_by_end = semi < 0 ? n : size_t(semi);
  str sent_by = top.substr(i, sent_by_end - i).strip();
  str host;
  if (!sent_by.empty() && sent_by[0] == '[') {
    long close = sent_by.find(']');
    host = close < 0 ? sent_by.substr(1) : sent_by.substr(1, size_t(close) - 1);
  } else {
    long colon = sent_by.find(':');
    host = colon < 0 ? sent_by : sent_by.substr(0, colon);
  }
  const str source_address = source.readable_address();
  const bool differs = source.is_ipv6() ? !host.icmp(source_address) : host != source_address;

  bool changed = false;
  bool had_rport = false;
  str rebuilt = top.substr(0, sent_by_end);
  size_t p = sent_by_end;
  while (p < n) {
    ++p;  // the ";"
    long next = top.find(';', p);
    size_t e = next < 0 ? n : size_t(next);
    str param = top.substr(p, e - p);
    if (param.strip().empty()) break;
    long eq = param.find('=');
    if ((eq < 0 ? param : param.substr(0, eq)).strip().icmp("rport")) {
      had_rport = true;
      changed = true;
      rebuilt.appendf(";rport=%u", unsigned(source.port));
    } else {
      rebuilt += ';';
      rebuilt += param;
    }
    p = e;
  }
  if (!had_rport && differs && source.is_ipv4()) {
    rebuilt.appendf(";rport=%u", unsigned(source.port));
    changed = true;
  }
  if (differs) {
    rebuilt += ";received=";
    rebuilt += source_address;
    message.received = source_address;
    changed = true;
  }
  if (changed) message.via[0] = rebuilt;
}

void process_pdu(const str& port_name, const str& packet, const ip_port& source,
                 transport_type transport) {
  if (packet.length() < 5) return;
  sip_receive_hooks* hooks = g_hooks;
  if (hooks && !hooks->valid_source(source)) {
    log_printf(log_sip, 9, "Traffic from %s ignored", source.readable());
    return;
  }
  sip_message message(packet);
  message.peer = source;
  message.transport = transport;
  message.port_name = port_name;
  if (!hooks) return;
  if (message.is_request && message.method != m_service && message.method != m_options &&
      message.method != m_ping) {
    hooks->report_request(source);
  }
  hooks->count_received();

  const bool keep_alive_notify = message.is_request && message.method == m_notify &&
                                 message.get_other_header("Event", "o").icmp("keep-alive") &&
                                 !message.via.empty() && transport == transport_type::udp;
  const bool ping = message.is_request && message.method == m_ping && !message.via.empty();
  if (keep_alive_notify || ping) {
    sip_message answer(200, "Keep Alive", message);
    hooks->send_on_interface(port_name, source, answer.serialize(source, transport), transport);
    return;
  }

  const str& local_tag = message.is_request ? message.to.tag() : message.from.tag();
  const str& remote_tag = message.is_request ? message.from.tag() : message.to.tag();
  message.call_port_index = hooks->find_call_port(message.call_id, local_tag, remote_tag);
  hooks->trace(message.call_port_index, message, "Rx", transport, source);
  if (hooks->message_repetition(message, transport)) {
    log_printf(log_sip, 9, "Message repetition, packet dropped");
    return;
  }
  if (message.is_request) {
    add_via_received(message, source);
    hooks->travel_forward(message, message.raw);
  } else {
    hooks->travel_backward(message);
  }
}
