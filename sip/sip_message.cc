#include "sip/sip_message.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"

const str m_invite("INVITE"), m_ack("ACK"), m_cancel("CANCEL"), m_bye("BYE"), m_prack("PRACK"),
    m_update("UPDATE"), m_refer("REFER"), m_info("INFO"), m_message("MESSAGE"),
    m_publish("PUBLISH"), m_subscribe("SUBSCRIBE"), m_notify("NOTIFY"), m_register("REGISTER"),
    m_options("OPTIONS"), m_discover("DISCOVER"), m_log("LOG"), m_ping("PING"),
    m_service("SERVICE");
const str c_sip_20("SIP/2.0");

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// p[0..n) equals the lower-case literal lit, ignoring case.
inline bool ieq(const char* p, size_t n, const char* lit) {
  for (size_t i = 0; i < n; ++i) {
    if (lit[i] == 0 || lower(p[i]) != lit[i]) return false;
  }
  return lit[n] == 0;
}

enum header_kind {
  hk_other,
  hk_empty,
  hk_from,
  hk_to,
  hk_call_id,
  hk_cseq,
  hk_content_type,
  hk_content_length,
  hk_contact,
  hk_expires,
  hk_route,
  hk_record_route,
  hk_path,
  hk_via,
  hk_max_forwards,
};

header_kind classify(const str& name) {
  const char* p = name.cbuffer();
  const size_t n = name.length();
  switch (n) {
    case 0:
      return hk_empty;
    case 1:
      switch (lower(p[0])) {
        case 'f':
          return hk_from;
        case 't':
          return hk_to;
        case 'i':
          return hk_call_id;
        case 'c':
          return hk_content_type;
        case 'l':
          return hk_content_length;
        case 'm':
          return hk_contact;
        case 'v':
          return hk_via;
        default:
          return hk_other;
      }
    case 2:
      return ieq(p, n, "to") ? hk_to : hk_other;
    case 3:
      return ieq(p, n, "via") ? hk_via : hk_other;
    case 4:
      if (ieq(p, n, "from")) return hk_from;
      if (ieq(p, n, "cseq")) return hk_cseq;
      if (ieq(p, n, "path")) return hk_path;
      return hk_other;
    case 5:
      return ieq(p, n, "route") ? hk_route : hk_other;
    case 7:
      if (ieq(p, n, "call-id")) return hk_call_id;
      if (ieq(p, n, "contact")) return hk_contact;
      if (ieq(p, n, "expires")) return hk_expires;
      return hk_other;
    case 12:
      if (ieq(p, n, "content-type")) return hk_content_type;
      if (ieq(p, n, "max-forwards")) return hk_max_forwards;
      if (ieq(p, n, "record-route")) return hk_record_route;
      return hk_other;
    case 14:
      return ieq(p, n, "content-length") ? hk_content_length : hk_other;
    default:
      return hk_other;
  }
}

inline bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Strips linear white space from both ends of b[s..e) and returns the window.
str strip_window(const str& t, size_t s, size_t e) {
  const char* b = t.cbuffer();
  while (s < e && is_lws(b[s])) ++s;
  while (e > s && is_lws(b[e - 1])) --e;
  return t.substr(s, e - s);
}

// Decimal digits at the start (after white space), saturating; -1 when there are none.
int64_t leading_number(const str& s) {
  const char* p = s.cbuffer();
  const size_t n = s.length();
  size_t i = 0;
  while (i < n && (p[i] == ' ' || p[i] == '\t')) ++i;
  if (i >= n || p[i] < '0' || p[i] > '9') return -1;
  int64_t v = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    if (v < (int64_t(1) << 40)) v = v * 10 + (p[i] - '0');
  }
  return v;
}

// Splits at commas outside double quotes (and, with angles, outside <...>).
template <class F>
void split_commas(const str& value, bool angles, bool stop_at_empty, F&& add) {
  const char* b = value.cbuffer();
  const size_t n = value.length();
  size_t start = 0;
  bool in_quotes = false, in_angles = false;
  for (size_t i = 0; i <= n; ++i) {
    if (i < n) {
      char c = b[i];
      if (in_quotes) {
        if (c == '\\') {
          ++i;
        } else if (c == '"') {
          in_quotes = false;
        }
        continue;
      }
      if (c == '"') {
        in_quotes = true;
        continue;
      }
      if (angles) {
        if (c == '<') {
          in_angles = true;
        } else if (c == '>') {
          in_angles = false;
        }
        if (in_angles) continue;
      }
      if (c != ',') continue;
    }
    str entry = strip_window(value, start, std::min(i, n));
    start = i + 1;
    if (entry.empty()) {
      if (stop_at_empty) return;
      continue;
    }
    add(entry);
  }
}

bool name_matches(const str& name, const str& long_name, const str& short_name) {
  return (!long_name.empty() && name.icmp(long_name)) ||
         (!short_name.empty() && name.icmp(short_name));
}

// The media type of a Content-Type value: the part before ";", stripped.
str media_type(const str& content_type) {
  long semi = content_type.find(';');
  return (semi < 0 ? content_type : content_type.substr(0, semi)).strip();
}

// The value of parameter name of a Content-Type value, quotes removed.
str content_type_parameter(const str& content_type, const char* name) {
  const str wanted(name);
  size_t i = 0;
  const size_t n = content_type.length();
  long semi = content_type.find(';');
  if (semi < 0) return str();
  i = size_t(semi) + 1;
  while (i < n) {
    long next = content_type.find(';', i);
    size_t e = next < 0 ? n : size_t(next);
    str part = content_type.substr(i, e - i);
    long eq = part.find('=');
    if (eq >= 0 && part.substr(0, eq).strip().icmp(wanted)) {
      str v = part.substr(eq + 1).strip();
      if (v.length() >= 2 && v[0] == '"' && v[v.length() - 1] == '"') {
        v = v.substr(1, v.length() - 2);
      }
      return v;
    }
    i = e + 1;
  }
  return str();
}

}  // namespace

sip_message::sip_message(const str& text) : raw(text) { deassemble(); }

sip_message& sip_message::operator=(const str& text) {
  clear();
  raw = text;
  deassemble();
  return *this;
}

sip_message::sip_message(const str& m, const from_to_spec& f, const from_to_spec& t,
                         const str& cid, const str& cm)
    : method(m), from(f), to(t), call_id(cid), cseq_method(cm.empty() ? m : cm) {}

sip_message::sip_message(int c, const str& r, const sip_message& request)
    : is_request(false),
      port_name(request.port_name),
      method(c_sip_20),
      code(c),
      reason(r),
      from(request.from),
      to(request.to),
      call_id(request.call_id),
      cseq(request.cseq),
      cseq_method(request.cseq_method),
      max_forwards(0),
      call_port_index(request.call_port_index),
      via(request.via),
      record_route(request.record_route),
      path(request.path) {}

void sip_message::clear() {
  int mf = max_forwards;
  *this = sip_message();
  max_forwards = mf;
}

void sip_message::store_header(const str& line) {
  long colon = line.find(':');
  if (colon < 0) {
    store_header(line.strip(), str());
  } else {
    store_header(line.substr(0, colon).strip(), line.substr(colon + 1).strip());
  }
}

void sip_message::store_header(const str& name, const str& value) {
  store_header_at(name, value, true);
}

void sip_message::store_header_at(const str& name, const str& value, bool at_front) {
  switch (classify(name)) {
    case hk_empty:
    case hk_content_length:
      return;
    case hk_from:
      from = value;
      return;
    case hk_to:
      to = value;
      return;
    case hk_call_id:
      call_id = value;
      return;
    case hk_cseq: {
      // The number is the leading digits of the first token; a method glued to it (as a
      // continuation line leaves it) counts as the second token.
      str first = value.get_field(0);
      const char* p = first.cbuffer();
      size_t d = 0;
      uint64_t v = 0;
      while (d < first.length() && p[d] >= '0' && p[d] <= '9') {
        v = v * 10 + uint64_t(p[d] - '0');
        if (v > 0xffffffffu) v = 0xffffffffu;
        ++d;
      }
      cseq = static_cast<uint32_t>(v);
      cseq_method = (d > 0 && d < first.length()) ? first.substr(d) : value.get_field(1);
      return;
    }
    case hk_content_type:
      content_type = value;
      return;
    case hk_contact:
      add_contact(value);
      return;
    case hk_expires:
      expires = value;
      return;
    case hk_route:
      add_route(value);
      return;
    case hk_record_route:
      add_record_route(value);
      return;
    case hk_path:
      add_path(value);
      return;
    case hk_via:
      add_via(value);
      return;
    case hk_max_forwards:
      max_forwards = value.value();
      return;
    case hk_other:
      if (at_front) {
        other_headers.insert(other_headers.begin(), header(name, value));
      } else {
        other_headers.emplace_back(name, value);
      }
      return;
  }
}

void sip_message::add_via(const str& value) {
  split_commas(value, false, true, [this](const str& e) { via.push_back(e); });
}
void sip_message::add_route(const str& value) {
  split_commas(value, true, false, [this](const str& e) { route.emplace_back(e); });
}
void sip_message::add_record_route(const str& value) {
  split_commas(value, true, false, [this](const str& e) { record_route.emplace_back(e); });
}
void sip_message::add_path(const str& value) {
  split_commas(value, true, false, [this](const str& e) { path.emplace_back(e); });
}
void sip_message::add_contact(const str& value) {
  split_commas(value, true, false, [this](const str& e) { contact.emplace_back(e); });
}

void sip_message::deassemble() {
  if (raw.empty()) return;
  const str& t = raw;
  const char* b = t.cbuffer();
  const size_t n = t.length();

  // Line ends: CR LF, LF, CR or LF CR. Returns the end of the content, sets next.
  auto line_end = [b, n](size_t from, size_t& next) {
    size_t i = from;
    while (i < n && b[i] != '\r' && b[i] != '\n') ++i;
    next = i;
    if (i < n) {
      char c = b[i];
      next = i + 1;
      if (next < n && (b[next] == '\r' || b[next] == '\n') && b[next] != c) ++next;
    }
    return i;
  };

  size_t next;
  size_t e = line_end(0, next);
  str first = t.substr(0, e);
  str tok1 = first.get_field(0);
  if (tok1 == c_sip_20) {
    is_request = false;
    method = c_sip_20;
    code = first.get_field(1).value();
    reason = first.get_rest(2).strip();
  } else {
    is_request = true;
    method = tok1;
    request_uri = first.get_field(1);
    version = first.get_field(2);
    code = 0;
  }

  // Header lines, with continuation lines folded into the pending header.
  // Other headers go to the front one at a time (newest first). Appending and reversing once
  // gives the same order without moving the list for every header.
  const size_t others_before = other_headers.size();
  int64_t body_length = -1;
  size_t pos = next;
  size_t pending_start = 0, pending_end = 0;
  bool has_pending = false;
  str folded;  // the pending header when a continuation made it non-contiguous
  auto complete = [&]() {
    if (!has_pending) return;
    has_pending = false;
    str h = folded.empty() ? t.substr(pending_start, pending_end - pending_start) : folded;
    folded.clear();
    long colon = h.find(':');
    str name, value;
    if (colon < 0) {
      name = h.strip();
    } else {
      name = h.substr(0, colon).strip();
      value = h.substr(colon + 1).strip();
    }
    if (name.length() == 1 ? lower(name[0]) == 'l' : name.icmp("content-length")) {
      body_length = leading_number(value);
    } else {
      store_header_at(name, value, false);
    }
  };
  bool ended = false;
  while (pos < n) {
    size_t s = pos;
    size_t le = line_end(s, next);
    pos = next;
    if (le == s) {
      ended = true;
      break;
    }
    if (b[s] == ' ' || b[s] == '\t') {
      size_t c = s;
      while (c < le && (b[c] == ' ' || b[c] == '\t')) ++c;
      if (c == le || !has_pending) continue;
      if (folded.empty()) folded = t.substr(pending_start, pending_end - pending_start);
      folded.append(b + c, le - c);
      continue;
    }
    complete();
    has_pending = true;
    pending_start = s;
    pending_end = le;
  }
  complete();
  std::reverse(other_headers.begin() + others_before, other_headers.end());
  std::rotate(other_headers.begin(), other_headers.begin() + others_before, other_headers.end());

  if (ended && body_length > 0 && pos < n) {
    size_t len = std::min<size_t>(size_t(body_length), n - pos);
    store_body(t.substr(pos, len));
  } else if (body_length <= 0) {
    sdps.clear();
    bodies.clear();
  }
}

void sip_message::store_body(const str& body) {
  str type = media_type(content_type);
  long slash = type.find('/');
  str main_type = (slash < 0 ? type : type.substr(0, slash)).strip();
  auto classify_part = [this](const str& part) {
    if (media_type(content_type).icmp("application/sdp")) {
      sdps.emplace_back(part);
    } else {
      bodies.push_back(part);
    }
  };
  if (!main_type.icmp("multipart")) {
    classify_part(body);
    return;
  }
  str boundary = content_type_parameter(content_type, "boundary");
  if (boundary.empty()) {
    classify_part(body);
    return;
  }
  const str delimiter = str("--") + boundary;
  const char* b = body.cbuffer();
  const size_t n = body.length();
  // Delimiter lines start at the beginning of the body or of a line.
  auto find_delimiter = [&](size_t from) -> long {
    long at = body.find(delimiter, from);
    while (at >= 0) {
      if (at == 0 || b[at - 1] == '\n') return at;
      at = body.find(delimiter, size_t(at) + 1);
    }
    return -1;
  };
  long d = find_delimiter(0);
  while (d >= 0) {
    size_t after = size_t(d) + delimiter.length();
    if (after + 2 <= n && b[after] == '-' && b[after + 1] == '-') break;
    // Skip the rest of the delimiter line.
    while (after < n && b[after] != '\n') ++after;
    if (after < n) ++after;
    long next = find_delimiter(after);
    if (next < 0) break;
    // The line break before the next delimiter belongs to the delimiter.
    size_t part_end = size_t(next);
    if (part_end > after && b[part_end - 1] == '\n') --part_end;
    if (part_end > after && b[part_end - 1] == '\r') --part_end;
    str part = body.substr(after, part_end - after);
    str part_body;
    if (part.starts_with(str("\r\n"))) {
      part_body = part.substr(2);
    } else {
      long hend = part.find(str("\r\n\r\n"));
      str headers = hend < 0 ? part : part.substr(0, hend);
      part_body = hend < 0 ? str() : part.substr(size_t(hend) + 4);
      size_t i = 0;
      const size_t hn = headers.length();
      while (i < hn) {
        long nl = headers.find('\n', i);
        size_t le = nl < 0 ? hn : size_t(nl);
        str line = headers.substr(i, le - i);
        i = le + 1;
        long colon = line.find(':');
        if (colon >= 0 && line.substr(0, colon).strip() == "Content-Type") {
          content_type = line.substr(colon + 1).strip();
        }
      }
    }
    classify_part(part_body);
    d = next;
  }
}

str sip_message::get_header(const str& name) const {
  switch (classify(name)) {
    case hk_from:
      return from.content();
    case hk_to:
      return to.content();
    case hk_call_id:
      return call_id;
    case hk_cseq:
      return str::sprintf("%u %s", cseq, cseq_method);
    case hk_content_type:
      return content_type;
    case hk_expires:
      return expires;
    case hk_max_forwards:
      return str::sprintf("%d", max_forwards);
    case hk_content_length:
    case hk_contact:
    case hk_route:
    case hk_record_route:
    case hk_via:
      return str();
    default:
      return get_other_header(name, str());
  }
}

str sip_message::get_other_header(const str& long_name, const str& short_name) const {
  for (const header& h : other_headers) {
    if (name_matches(h.name, long_name, short_name)) return h.value;
  }
  return str();
}

std::vector<str> sip_message::get_other_headers(const str& long_name, const str& short_name,
                                                bool split, char separator) const {
  std::vector<str> out;
  for (const header& h : other_headers) {
    if (!name_matches(h.name, long_name, short_name)) continue;
    if (!split) {
      out.push_back(h.value);
      continue;
    }
    // Runs of the separator count as one; cutting stops at the first empty field.
    const char* b = h.value.cbuffer();
    const size_t n = h.value.length();
    size_t i = 0;
    while (i < n) {
      while (i < n && b[i] == separator) ++i;
      size_t s = i;
      while (i < n && b[i] != separator) ++i;
      str field = h.value.substr(s, i - s).strip();
      if (field.empty()) break;
      out.push_back(field);
    }
  }
  return out;
}

std::vector<header> sip_message::get_complete_headers(const str& long_name,
                                                      const str& short_name) const {
  std::vector<header> out;
  for (const header& h : other_headers) {
    if (name_matches(h.name, long_name, short_name)) out.push_back(h);
  }
  return out;
}

void sip_message::add_other_header(const str& long_name, const str& short_name,
                                   const str& value) {
  other_headers.emplace_back(long_name.empty() ? short_name : long_name, value);
}

void sip_message::add_list_element(const str& name, const std::vector<str>& values) {
  for (const str& v : values) other_headers.emplace_back(name, v);
}

void sip_message::remove_other_header(const str& long_name, const str& short_name) {
  other_headers.erase(std::remove_if(other_headers.begin(), other_headers.end(),
                                     [&](const header& h) {
                                       return name_matches(h.name, long_name, short_name);
                                     }),
                      other_headers.end());
}

void sip_message::set_other_header(const str& long_name, const str& short_name,
                                   const str& value) {
  remove_other_header(long_name, short_name);
  add_other_header(long_name, short_name, value);
}

void sip_message::set_other_headers(const str& long_name, const str& short_name,
                                    const std::vector<str>& values) {
  remove_other_header(long_name, short_name);
  for (const str& v : values) add_other_header(long_name, short_name, v);
}

str get_via_parameter(const str& via, const str& name) {
  long semi = via.find(';');
  if (semi < 0) return str();
  const size_t n = via.length();
  size_t i = size_t(semi) + 1;
  while (i < n) {
    long next = via.find(';', i);
    size_t e = next < 0 ? n : size_t(next);
    str part = via.substr(i, e - i);
    long eq = part.find('=');
    str pname = (eq < 0 ? part : part.substr(0, eq)).strip();
    if (pname.icmp(name)) return eq < 0 ? str() : part.substr(eq + 1).strip();
    i = e + 1;
  }
  return str();
}

bool sip_message::operator==(const sip_message& o) const {
  if (is_request != o.is_request) return false;
  if (is_request) {
    return method == o.method && call_id == o.call_id && cseq == o.cseq &&
           cseq_method == o.cseq_method && via.size() == o.via.size() &&
           route.size() == o.route.size() && from.tag() == o.from.tag() &&
           to.tag() == o.to.tag() && request_uri == o.request_uri;
  }
  if (via.empty() || o.via.empty()) {
    log_printf(log_sip, 2, "Message without via!");
    return false;
  }
  if (code != o.code || cseq != o.cseq || call_id != o.call_id || cseq_method != o.cseq_method ||
      via.size() != o.via.size()) {
    return false;
  }
  static const str branch("branch"), rseq("RSeq");
  return get_via_parameter(via[0], branch) == get_via_parameter(o.via[0], branch) &&
         from.tag() == o.from.tag() && to.tag() == o.to.tag() &&
         get_other_header(rseq, str()) == o.get_other_header(rseq, str());
}
