#include "media/sdp.h"

#include <algorithm>

#include "base/random.h"

const str sdp_recvonly("a=recvonly"), sdp_sendonly("a=sendonly"), sdp_inactive("a=inactive"),
    sdp_sendrecv("a=sendrecv");
const str sdp_crypto("a=crypto");
const str sdp_offer("offer"), sdp_answer("answer");
const str sdp_audio("audio"), sdp_video("video"), sdp_image("image");
const str sdp_rtp_avp("RTP/AVP"), sdp_rtp_savp("RTP/SAVP"), sdp_udptl("udptl"), sdp_tcp("tcp"),
    sdp_t38("t38");
const str srtp_aes_80("AES_CM_128_HMAC_SHA1_80"), srtp_aes_32("AES_CM_128_HMAC_SHA1_32"),
    srtp_aes_0("AES_CM_128_HMAC_SHA1_0");

namespace {

// The fields of text separated by single spaces (empty fields kept, so that a written line
// reads back the same), at most max of them: the last one takes the rest.
std::vector<str> split_spaces(const str& text, size_t max) {
  std::vector<str> out;
  size_t start = 0;
  while (out.size() + 1 < max) {
    long space = text.find(' ', start);
    if (space < 0) break;
    out.push_back(text.substr(start, size_t(space) - start));
    start = size_t(space) + 1;
  }
  out.push_back(text.substr(start));
  return out;
}

bool is_direction(const str& line) {
  return line == sdp_sendrecv || line == sdp_sendonly || line == sdp_recvonly ||
         line == sdp_inactive;
}

// "a=crypto:..." (the text before the first ":" is "a=crypto").
bool is_crypto(const str& line) {
  long colon = line.find(':');
  return (colon < 0 ? line : line.substr(0, size_t(colon))) == sdp_crypto;
}

// The value of line when it is "a=<name>" or "a=<name>:<value>"; false otherwise.
bool attribute_value(const str& line, const str& name, str& value) {
  if (!line.starts_with(str("a=")) || line.substr(2, name.length()) != name) return false;
  str rest = line.substr(2 + name.length());
  if (!rest.empty() && rest[0] != ':') return false;
  value = rest.substr(rest.empty() ? 0 : 1);
  return true;
}

// The payload type an "a=rtpmap:" or "a=fmtp:" value is about.
int pt_of(const str& value) {
  str pt = value.get_field(0);
  return pt.is_number() && pt.length() <= 3 ? pt.value() : -1;
}

}  // namespace

str m_line::get_attribute(const str& name) const {
  str value;
  for (const str& a : attributes)
    if (attribute_value(a, name, value)) return value;
  return str();
}

std::vector<str> m_line::get_attributes(const str& name) const {
  std::vector<str> out;
  str value;
  for (const str& a : attributes)
    if (attribute_value(a, name, value)) out.push_back(value);
  return out;
}

str m_line::get_rtpmap(int pt) const {
  for (const str& v : get_attributes("rtpmap"))
    if (pt_of(v) == pt) return v.get_field(1);
  return str();
}

void m_line::remove_rtpmap(int pt) {
  formats.erase(std::remove_if(formats.begin(), formats.end(),
                               [pt](const str& f) { return f.is_number() && f.value() == pt; }),
                formats.end());
  attributes.erase(
      std::remove_if(attributes.begin(), attributes.end(),
                     [pt](const str& a) {
                       str v;
                       return (attribute_value(a, "rtpmap", v) || attribute_value(a, "fmtp", v)) &&
                              pt_of(v) == pt;
                     }),
      attributes.end());
}

sdp::sdp() : session_id(str::sprintf("%u", random_uint32())), version(session_id) {}

sdp& sdp::operator=(const str& text) {
  *this = sdp();
  str session_direction = sdp_sendrecv;
  size_t i = 0, n = text.length();
  while (i < n) {
    size_t start = i;
    while (i < n && text[i] != '\r' && text[i] != '\n') ++i;
    str line = text.substr(start, i - start);
    if (i < n) ++i;
    if (line.length() < 2 || line[1] != '=') continue;  // also the LF of CR LF
    if (line.starts_with(str("m="))) {
      std::vector<str> f = split_spaces(line.substr(2), 4);
      f.resize(4);
      m_line m;
      m.media = f[0];
      m.port = f[1];
      m.protocol = f[2];
      // Formats tolerate runs of spaces.
      for (str rest = f[3]; !rest.get_field(0).empty(); rest = rest.get_rest(1))
        m.formats.push_back(rest.get_field(0));
      m.direction = session_direction;
      media.push_back(std::move(m));
    } else if (!media.empty()) {
      if (is_direction(line)) {
        media.back().direction = line;
      } else {
        media.back().attributes.push_back(line);
      }
    } else {
      str value = line.substr(2);
      switch (line[0]) {
        case 'o': {
          std::vector<str> f = split_spaces(value, 7);
          f.resize(7);
          username = f[0];
          session_id = f[1];
          version = f[2];
          origin = f[5];
          break;
        }
        case 's':
          session_name = value;
          break;
        case 't':
          timing = value;
          break;
        case 'b':
          bandwidth = value;
          break;
        case 'c':
          connection = value.get_field(2);
          break;
        case 'a':
          if (is_direction(line)) {
            session_direction = line;
          } else {
            attributes.push_back(line);
          }
          break;
        default:
          break;
      }
    }
  }
  return *this;
}

str sdp::serialize(bool with_crypto) const {
  if (empty()) return str();
  str out;
  out.reserve(256);
  out.appendf("v=0\r\no=%s %s %s IN {x-pre-ipv} %s\r\n", username, session_id, version, origin);
  out.appendf("s=%s\r\nc=IN {x-pre-ipv} %s\r\n", session_name, connection);
  if (!bandwidth.empty()) out.appendf("b=%s\r\n", bandwidth);
  out.appendf("t=%s\r\n", timing);
  auto put_line = [&](const str& line) {
    if (with_crypto || !is_crypto(line)) out.appendf("%s\r\n", line);
  };
  for (const str& a : attributes) put_line(a);
  for (const m_line& m : media) {
    out.appendf("m=%s %s %s", m.media, m.port, m.protocol);
    if (m.formats.empty()) out += " 0";
    for (const str& f : m.formats) out.appendf(" %s", f);
    out += str_crlf;
    for (const str& a : m.attributes) put_line(a);
  }
  return out;
}

str sdp::get_port(const str& media_name) const {
  for (const m_line& m : media)
    if (m.media == media_name) return m.port;
  return str();
}

str sdp::get_sdp_state() const {
  for (const m_line& m : media)
    if (m.media == sdp_audio) return m.direction.substr(2);
  return "sendrecv";
}

void sdp::set_sdp_state(const str& state) {
  for (m_line& m : media)
    if (m.media == sdp_audio) m.direction = "a=" + state;
}

void sdp::increase_version() {
  bool digits = !version.empty();
  for (size_t i = 0; i < version.length(); ++i)
    if (version[i] < '0' || version[i] > '9') digits = false;
  if (!digits) {
    version = "1";
    return;
  }
  str v = version;
  char* p = v.buffer();
  size_t i = v.length();
  while (i > 0 && p[i - 1] == '9') p[--i] = '0';
  if (i > 0) {
    ++p[i - 1];
    version = v;
  } else {
    version = "1" + v;
  }
}
