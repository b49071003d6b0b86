// Serialisation of sip_message, placeholder expansion and the address replacement table.
#include <cstring>
#include <map>

#include "base/log.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"
#include "sip/text_writer.h"

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

str bracket_ipv6(const str& address) {
  if (address.contains_char(':') && address[0] != '[') return "[" + address + "]";
  return address;
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

namespace {

// Expands the placeholders of what was written since mark, in place.
void expand_since(text_writer& w, size_t mark, const ip_port& destination,
                  transport_type transport) {
  const char* p = w.data() + mark;
  const size_t n = w.length() - mark;
  if (n == 0 || !std::memchr(p, '{', n)) return;
  str written = w.to_str(mark);
  if (written.find(str("{x-pre-")) < 0) return;
  str expanded = expand_placeholders(written, destination, transport);
  w.truncate(mark);
  w.put(expanded);
}

void put_expanded(text_writer& w, const str& text, const ip_port& destination,
                  transport_type transport) {
  size_t mark = w.length();
  w.put(text);
  expand_since(w, mark, destination, transport);
}

}  // namespace

str sip_message::serialize(const ip_port& destination, transport_type tr) const {
  const bool short_form = g_local_info && g_local_info->short_header();

  text_writer w(raw.length() + 512);
  if (is_request) {
    w.put(method);
    w.put(' ');
    put_expanded(w, request_uri.serialize(), destination, tr);
    w.put(" SIP/2.0\r\n");
  } else {
    w.put("SIP/2.0 ");
    w.put_int(code);
    w.put(' ');
    w.put(reason);
    w.put("\r\n");
  }
  for (const str& v : via) {
    if (short_form) {
      w.put("v: ");
    } else {
      w.put("Via: ");
    }
    put_expanded(w, v, destination, tr);
    w.put("\r\n");
  }
  auto name_addrs = [&](const char* name, size_t name_length,
                        const std::vector<from_to_spec>& list) {
    for (const from_to_spec& f : list) {
      w.put(name, name_length);
      size_t mark = w.length();
      f.write_angle_content(w);
      expand_since(w, mark, destination, tr);
      w.put("\r\n");
    }
  };
  name_addrs("Route: ", 7, route);
  name_addrs("Record-Route: ", 14, record_route);
  name_addrs("Path: ", 6, path);
  if (short_form) {
    w.put("f: ");
  } else {
    w.put("From: ");
  }
  from.write_angle_content(w);
  w.put(short_form ? "\r\nt: " : "\r\nTo: ", short_form ? 5 : 6);
  to.write_angle_content(w);
  w.put(short_form ? "\r\ni: " : "\r\nCall-ID: ", short_form ? 5 : 11);
  w.put(call_id);
  w.put("\r\nCSeq: ");
  w.put_unsigned(cseq);
  w.put(' ');
  w.put(cseq_method);
  w.put("\r\n");
  if (is_request) {
    w.put("Max-Forwards: ");
    w.put_int(max_forwards);
    w.put("\r\n");
  }
  if (short_form) {
    name_addrs("m: ", 3, contact);
  } else {
    name_addrs("Contact: ", 9, contact);
  }
  for (const header& h : other_headers) {
    w.put(h.name);
    w.put(": ");
    put_expanded(w, h.value, destination, tr);
    w.put("\r\n");
  }
  if (!expires.empty()) {
    w.put("Expires: ");
    w.put(expires);
    w.put("\r\n");
  }
  if (!content_type.empty()) {
    if (short_form) {
      w.put("c: ");
    } else {
      w.put("Content-Type: ");
    }
    w.put(content_type);
    w.put("\r\n");
  }
  if (short_form) {
    w.put("l: ");
  } else {
    w.put("Content-Length: ");
  }
  if (sdps.empty() && bodies.empty()) {
    w.put("0\r\n\r\n");
    return w.to_str();
  }
  // The body: every SDP (its crypto lines only in responses and over TLS), then the others.
  const bool with_crypto = !is_request || tr == transport_type::tls;
  text_writer body;
  for (const sdp& s : sdps) put_expanded(body, s.serialize(with_crypto), destination, tr);
  for (const str& b : bodies) body.put(b);
  w.put_unsigned(body.length());
  w.put("\r\n\r\n");
  w.put(body.data(), body.length());
  return w.to_str();
}
