// Serialisation of sip_message, placeholder expansion and the address replacement table.
#include <cstring>
#include <map>

#include "base/log.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"

namespace {

sip_local_info* g_local_info = nullptr;

// The replacement table of ip_replacement_list, filled once on first use (srv_run_mutex).
bool g_replacements_loaded = false;
std::map<str, str> g_replacements;

void load_replacements() {
  g_replacements_loaded = true;
  g_replacements.clear();
  sip_local_info* info = g_local_info;
  if (!info) return;
  str list = info->ip_replacement_list();
  for (size_t i = 0;; ++i) {
    str entry = list.get_field(i, " \t");
    if (entry.empty()) break;
    long slash = entry.find('/');
    if (slash < 0) continue;
    str left = entry.substr(0, slash);
    str right = entry.substr(slash + 1);
    if (right.empty() || ip_address_parse(left).empty()) continue;
    g_replacements[left] = right;
    log_printf(log_sip, 5, "SIP IP address representation: %s -> %s", left, right);
  }
}

bool has_placeholder(const str& text) {
  return std::memchr(text.cbuffer(), '{', text.length()) != nullptr &&
         text.find(str("{x-pre-")) >= 0;
}

void append_expanded(str& out, const str& text, const ip_port& destination,
                     transport_type transport) {
  if (has_placeholder(text)) {
    out += expand_placeholders(text, destination, transport);
  } else {
    out += text;
  }
}

str bracket_ipv6(const str& address) {
  if (address.contains_char(':') && address[0] != '[') return "[" + address + "]";
  return address;
}

void append_line(str& out, const char* name, const str& value) {
  out += name;
  out += value;
  out.append("\r\n", 2);
}

}  // namespace

void set_sip_local_info(sip_local_info* info) { g_local_info = info; }
sip_local_info* get_sip_local_info() { return g_local_info; }

void reset_ip_replacement_table() {
  g_replacements_loaded = false;
  g_replacements.clear();
}

str sip_message::replace_address(const str& address) {
  if (!g_replacements_loaded) load_replacements();
  if (g_replacements.empty()) return address;
  auto it = g_replacements.find(address);
  return it == g_replacements.end() ? address : it->second;
}

str expand_placeholders(const str& text, const ip_port& destination, transport_type transport) {
  static const str marker("{x-pre-");
  long at = text.find(marker);
  if (at < 0) return text;
  sip_local_info* info = g_local_info;
  str out;
  out.reserve(text.length() + 32);
  size_t pos = 0;
  while (at >= 0) {
    long close = text.find('}', size_t(at));
    if (close < 0) break;
    str word = text.substr(size_t(at) + 1, size_t(close) - size_t(at) - 1).get_field(0);
    str value;
    if (word == "x-pre-trans") {
      value = transport.serialize();
    } else if (word == "x-pre-adr") {
      if (info) {
        value = bracket_ipv6(
            sip_message::replace_address(info->local_sip_address(destination, transport)));
      }
    } else if (word == "x-pre-port") {
      if (info) value = str::sprintf("%u", unsigned(info->local_sip_port(destination, transport)));
    } else if (word == "x-pre-adrs") {
      if (info) {
        str media;
        if (destination.is_ipv6()) {
          str b6 = info->rtp_binding_ipv6();
          if (!b6.empty() && !ip_port(ip_address_parse(b6), 0).is_any()) media = b6;
        } else {
          str b4 = info->rtp_binding_ipv4();
          if (!b4.empty() && b4 != "0.0.0.0") media = b4;
        }
        if (media.empty()) media = info->local_sip_address(destination, transport);
        value = sip_message::replace_address(media);
      }
    } else if (word == "x-pre-ipv") {
      value = destination.is_ipv6() ? "IP6" : "IP4";
    } else if (word == "x-pre-http") {
      if (info) value = info->web_address(destination, false);
    } else if (word == "x-pre-https") {
      if (info) value = info->web_address(destination, true);
    } else {
      break;  // an unknown word ends the expansion
    }
    out += text.substr(pos, size_t(at) - pos);
    out += value;
    pos = size_t(close) + 1;
    at = text.find(marker, pos);
  }
  out += text.substr(pos);
  return out;
}

str sip_message::serialize(const ip_port& destination, transport_type tr) const {
  const bool short_form = g_local_info && g_local_info->short_header();

  // The body first: its length goes into Content-Length.
  str body;
  if (!sdps.empty() || !bodies.empty()) {
    const bool with_crypto = !is_request || tr == transport_type::tls;
    for (const sdp& s : sdps) append_expanded(body, s.serialize(with_crypto), destination, tr);
    for (const str& b : bodies) body += b;
  }

  str out;
  out.reserve(raw.length() + body.length() + 512);
  if (is_request) {
    out += method;
    out += ' ';
    append_expanded(out, request_uri.serialize(), destination, tr);
    out.append(" SIP/2.0\r\n", 10);
  } else {
    out.appendf("SIP/2.0 %d %s\r\n", code, reason);
  }
  for (const str& v : via) {
    out += short_form ? "v: " : "Via: ";
    append_expanded(out, v, destination, tr);
    out.append("\r\n", 2);
  }
  auto name_addrs = [&](const char* name, const std::vector<from_to_spec>& list) {
    for (const from_to_spec& f : list) {
      out += name;
      append_expanded(out, f.angle_content(), destination, tr);
      out.append("\r\n", 2);
    }
  };
  name_addrs("Route: ", route);
  name_addrs("Record-Route: ", record_route);
  name_addrs("Path: ", path);
  append_line(out, short_form ? "f: " : "From: ", from.angle_content());
  append_line(out, short_form ? "t: " : "To: ", to.angle_content());
  append_line(out, short_form ? "i: " : "Call-ID: ", call_id);
  out.appendf("CSeq: %u %s\r\n", cseq, cseq_method);
  if (is_request) out.appendf("Max-Forwards: %d\r\n", max_forwards);
  name_addrs(short_form ? "m: " : "Contact: ", contact);
  for (const header& h : other_headers) {
    out += h.name;
    out.append(": ", 2);
    append_expanded(out, h.value, destination, tr);
    out.append("\r\n", 2);
  }
  if (!expires.empty()) append_line(out, "Expires: ", expires);
  if (!content_type.empty()) append_line(out, short_form ? "c: " : "Content-Type: ", content_type);
  out.appendf(short_form ? "l: %u\r\n\r\n" : "Content-Length: %u\r\n\r\n",
              unsigned(body.length()));
  out += body;
  return out;
}
