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

header_kind classify(const char* p, size_t n) {
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

header_kind classify(const str& name) { return classify(name.cbuffer(), name.length()); }

inline bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// p[0..name.length()) equals name, ignoring ASCII case.
inline bool str_window_icmp(const char* p, const str& name) {
  const char* q = name.cbuffer();
  for (size_t i = 0; i < name.length(); ++i) {
    if (lower(p[i]) != lower(q[i])) return false;
  }
  return true;
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

// Splits at commas outside double quotes (and, with angles, outside <...>); entries stripped.
// The common single-entry value is handed on as it is, without another window.
template <class F>
void split_commas(str value, bool angles, bool stop_at_empty, F&& add) {
  const char* b = value.cbuffer();
  const size_t n = value.length();
  auto emit = [&](size_t es, size_t ee, bool last) {
    while (es < ee && is_lws(b[es])) ++es;
    while (ee > es && is_lws(b[ee - 1])) --ee;
    if (es == ee) return !stop_at_empty;
    if (last) {
      add(std::move(value).substr(es, ee - es));
    } else {
      add(value.substr(es, ee - es));
    }
    return true;
  };
  if (!std::memchr(b, ',', n)) {
    emit(0, n, true);
    return;
  }
  const bool plain = !std::memchr(b, '"', n) && (!angles || !std::memchr(b, '<', n));
  size_t start = 0;
  if (plain) {
    for (;;) {
      const char* comma = static_cast<const char*>(std::memchr(b + start, ',', n - start));
      if (!comma) break;
      size_t c = size_t(comma - b);
      if (!emit(start, c, false)) return;
      start = c + 1;
    }
    emit(start, n, true);
    return;
  }
  bool in_quotes = false, in_angles = false;
  for (size_t i = 0; i < n; ++i) {
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
    if (!emit(start, i, false)) return;
    start = i + 1;
  }
  emit(start, n, true);
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

sip_message::sip_message(const str& m, const from_to_spec& f, const from_to_spec& t, const str& cid,
                         const str& cm)
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
  const char* b = line.cbuffer();
  const size_t n = line.length();
  const char* colon = static_cast<const char*>(std::memchr(b, ':', n));
  size_t c = colon ? size_t(colon - b) : n;
  size_t ns = 0, ne = c, vs = colon ? c + 1 : n, ve = n;
  while (ns < ne && is_lws(b[ns])) ++ns;
  while (ne > ns && is_lws(b[ne - 1])) --ne;
  while (vs < ve && is_lws(b[vs])) ++vs;
  while (ve > vs && is_lws(b[ve - 1])) --ve;
  store_range(line, ns, ne, vs, ve, true);
}

void sip_message::store_header(const str& name, const str& value) {
  header_kind k = classify(name);
  if (k == hk_other) {
    other_headers.insert(other_headers.begin(), header(name, value));
  } else {
    store_typed(k, str(value));
  }
}

// The header whose name is base[ns, ne) and value base[vs, ve) (both stripped).
void sip_message::store_range(const str& base, size_t ns, size_t ne, size_t vs, size_t ve,
                              bool at_front) {
  header_kind k = classify(base.cbuffer() + ns, ne - ns);
  if (k != hk_other) {
    store_typed(k, base.substr(vs, ve - vs));
  } else if (at_front) {
    other_headers.insert(other_headers.begin(),
                         header(base.substr(ns, ne - ns), base.substr(vs, ve - vs)));
  } else {
    other_headers.emplace_back(base.substr(ns, ne - ns), base.substr(vs, ve - vs));
  }
}

void sip_message::store_typed(int kind, str&& value) {
  switch (static_cast<header_kind>(kind)) {
    case hk_empty:
    case hk_content_length:
    case hk_other:
      return;
    case hk_from:
      from = std::move(value);
      return;
    case hk_to:
      to = std::move(value);
      return;
    case hk_call_id:
      call_id = std::move(value);
      return;
    case hk_cseq: {
      // The number is the leading digits of the first token; a method glued to it (as a
      // continuation line leaves it) counts as the second token.
      const char* p = value.cbuffer();
      const size_t n = value.length();
      size_t i = 0;
      while (i < n && p[i] == ' ') ++i;
      uint64_t v = 0;
      size_t d = i;
      while (d < n && p[d] >= '0' && p[d] <= '9') {
        v = v * 10 + uint64_t(p[d] - '0');
        if (v > 0xffffffffu) v = 0xffffffffu;
        ++d;
      }
      cseq = static_cast<uint32_t>(v);
      size_t ms = d;
      if (d == i || d >= n || p[d] == ' ' || p[d] == '\r' || p[d] == '\n') {
        // The method is the second space-separated token.
        while (ms < n && p[ms] != ' ' && p[ms] != '\r' && p[ms] != '\n') ++ms;
        while (ms < n && p[ms] == ' ') ++ms;
      }
      size_t me = ms;
      while (me < n && p[me] != ' ' && p[me] != '\r' && p[me] != '\n') ++me;
      cseq_method = std::move(value).substr(ms, me - ms);
      return;
    }
    case hk_content_type:
      content_type = std::move(value);
      return;
    case hk_contact:
      split_commas(std::move(value), true, false,
                   [this](str&& e) { contact.emplace_back(std::move(e)); });
      return;
    case hk_expires:
      expires = std::move(value);
      return;
    case hk_route:
      split_commas(std::move(value), true, false,
                   [this](str&& e) { route.emplace_back(std::move(e)); });
      return;
    case hk_record_route:
      split_commas(std::move(value), true, false,
                   [this](str&& e) { record_route.emplace_back(std::move(e)); });
      return;
    case hk_path:
      split_commas(std::move(value), true, false,
                   [this](str&& e) { path.emplace_back(std::move(e)); });
      return;
    case hk_via:
      split_commas(std::move(value), false, true, [this](str&& e) { via.push_back(std::move(e)); });
      return;
    case hk_max_forwards:
      max_forwards = value.value();
      return;
  }
}

void sip_message::add_via(const str& value) {
  split_commas(value, false, true, [this](str&& e) { via.push_back(std::move(e)); });
}
void sip_message::add_route(const str& value) {
  split_commas(value, true, false, [this](str&& e) { route.emplace_back(std::move(e)); });
}
void sip_message::add_record_route(const str& value) {
  split_commas(value, true, false, [this](str&& e) { record_route.emplace_back(std::move(e)); });
}
void sip_message::add_path(const str& value) {
  split_commas(value, true, false, [this](str&& e) { path.emplace_back(std::move(e)); });
}
void sip_message::add_contact(const str& value) {
  split_commas(value, true, false, [this](str&& e) { contact.emplace_back(std::move(e)); });
}

void sip_message::deassemble() {
  if (raw.empty()) return;
  const str& t = raw;
  const char* b = t.cbuffer();
  const size_t n = t.length();

  // Line ends: CR LF, LF, CR or LF CR. Returns the end of the content, sets next. Lines are
  // found with memchr (LF, then a CR before it), faster than a byte loop or a word-wise scan.
  auto line_end = [b, n](size_t from, size_t& next) {
    const char* lf = static_cast<const char*>(std::memchr(b + from, '\n', n - from));
    size_t limit = lf ? size_t(lf - b) : n;
    const char* cr = static_cast<const char*>(std::memchr(b + from, '\r', limit - from));
    size_t i = cr ? size_t(cr - b) : limit;
    next = i;
    if (i < n) {
      char c = b[i];
      next = i + 1;
      if (next < n && (b[next] == '\r' || b[next] == '\n') && b[next] != c) ++next;
    }
    return i;
  };

  size_t next;
  const size_t e = line_end(0, next);
  // Start line: tokens separated by runs of spaces.
  size_t tok[3][2];
  size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    while (i < e && b[i] == ' ') ++i;
    tok[k][0] = i;
    while (i < e && b[i] != ' ') ++i;
    tok[k][1] = i;
  }
  if (tok[0][1] - tok[0][0] == 7 && std::memcmp(b + tok[0][0], "SIP/2.0", 7) == 0) {
    is_request = false;
    method = c_sip_20;
    code = t.substr(tok[1][0], tok[1][1] - tok[1][0]).value();
    size_t rs = tok[2][0], re = e;
    while (re > rs && is_lws(b[re - 1])) --re;
    reason = t.substr(rs, re - rs);
  } else {
    is_request = true;
    method = t.substr(tok[0][0], tok[0][1] - tok[0][0]);
    request_uri = t.substr(tok[1][0], tok[1][1] - tok[1][0]);
    version = t.substr(tok[2][0], tok[2][1] - tok[2][0]);
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
    const str& h = folded.empty() ? t : folded;
    const char* hb = h.cbuffer();
    size_t hs = folded.empty() ? pending_start : 0;
    size_t he = folded.empty() ? pending_end : folded.length();
    size_t c = hs;
    while (c < he && hb[c] != ':') ++c;  // header names are short: no memchr call
    const bool colon = c < he;
    size_t ns = hs, ne = c, vs = colon ? c + 1 : he, ve = he;
    while (ns < ne && is_lws(hb[ns])) ++ns;
    while (ne > ns && is_lws(hb[ne - 1])) --ne;
    while (vs < ve && is_lws(hb[vs])) ++vs;
    while (ve > vs && is_lws(hb[ve - 1])) --ve;
    const size_t nl = ne - ns;
    if (nl == 1 ? lower(hb[ns]) == 'l' : (nl == 14 && classify(hb + ns, nl) == hk_content_length)) {
      body_length = leading_number(h.substr(vs, ve - vs));
    } else {
      store_range(h, ns, ne, vs, ve, false);
    }
    if (!folded.empty()) folded.clear();
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

void sip_message::add_other_header(const str& long_name, const str& short_name, const str& value) {
  other_headers.emplace_back(long_name.empty() ? short_name : long_name, value);
}

void sip_message::add_list_element(const str& name, const std::vector<str>& values) {
  for (const str& v : values) other_headers.emplace_back(name, v);
}

void sip_message::remove_other_header(const str& long_name, const str& short_name) {
  other_headers.erase(
      std::remove_if(other_headers.begin(), other_headers.end(),
                     [&](const header& h) { return name_matches(h.name, long_name, short_name); }),
      other_headers.end());
}

void sip_message::set_other_header(const str& long_name, const str& short_name, const str& value) {
  remove_other_header(long_name, short_name);
  add_other_header(long_name, short_name, value);
}

void sip_message::set_other_headers(const str& long_name, const str& short_name,
                                    const std::vector<str>& values) {
  remove_other_header(long_name, short_name);
  for (const str& v : values) add_other_header(long_name, short_name, v);
}

str get_via_parameter(const str& via, const str& name) {
  const char* b = via.cbuffer();
  const size_t n = via.length();
  const char* semi = static_cast<const char*>(std::memchr(b, ';', n));
  if (!semi) return str();
  size_t i = size_t(semi - b) + 1;
  while (i < n) {
    size_t e = i;
    while (e < n && b[e] != ';') ++e;
    size_t ns = i, eq = i;
    while (eq < e && b[eq] != '=') ++eq;
    size_t ne = eq;
    while (ns < ne && is_lws(b[ns])) ++ns;
    while (ne > ns && is_lws(b[ne - 1])) --ne;
    if (ne - ns == name.length() && str_window_icmp(b + ns, name)) {
      if (eq >= e) return str();
      size_t vs = eq + 1, ve = e;
      while (vs < ve && is_lws(b[vs])) ++vs;
      while (ve > vs && is_lws(b[ve - 1])) --ve;
      return via.substr(vs, ve - vs);
    }
    i = e + 1;
  }
  return str();
}

bool sip_message::operator==(const sip_message& o) const {
  if (is_request != o.is_request) return false;
  if (is_request) {
    return method == o.method && call_id == o.call_id && cseq == o.cseq &&
           cseq_method == o.cseq_method && via.size() == o.via.size() &&
           route.size() == o.route.size() && from.tag() == o.from.tag() && to.tag() == o.to.tag() &&
           request_uri == o.request_uri;
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
