#include "media/call_sdp.h"

#include <algorithm>

#include "base/encoding.h"
#include "base/log.h"
#include "base/random.h"
#include "frame/settings.h"

namespace {

bool contains(const std::vector<int>& v, int x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

// A payload type number (0 to 127) of text, -1 for anything else.
int payload_type(const str& text) {
  return text.is_number() && text.length() <= 3 && text.value() <= 127 ? text.value() : -1;
}

// Maps each static payload type (0 to 95) of the m-line's formats that the system knows.
void add_static_formats(const m_line& m, codec_map& map) {
  for (const str& f : m.formats) {
    int pt = payload_type(f);
    if (pt >= 0 && pt <= 95 && get_local_codec(pt) >= 0) map.add(pt, get_local_codec(pt));
  }
}

// Maps the payload type of an "a=rtpmap" value unless its codec has one already.
void add_rtpmap(const str& value, codec_map& map) {
  int pt = payload_type(value.get_field(0));
  int codec = get_local_codec(value.get_field(1));
  if (pt >= 0 && codec >= 0 && map.find_remote(codec) < 0) map.add(pt, codec);
}

// A port number at the start of text ("49170/2" gives 49170); 0 when out of range.
int port_of(const str& text) {
  int port = text.value();
  return port >= 0 && port <= 65535 ? port : 0;
}

bool is_rtp(const m_line& m) { return m.protocol == sdp_rtp_avp || m.protocol == sdp_rtp_savp; }

// A codec of a preference list entry: a static payload type or a codec name; -1 when unknown.
int codec_of_entry(const str& entry) {
  if (entry.is_number()) return entry.length() <= 3 ? get_local_codec(entry.value()) : -1;
  str e = entry.tolower();
  if (e == "g729a") e = "g729";
  static const struct {
    const char* name;
    int codec;
  } short_names[] = {{"ulaw", codec_ulaw}, {"alaw", codec_alaw},           {"gsm", codec_gsm},
                     {"g729", codec_g729}, {"g726-32", codec_g726},        {"g722", codec_g722},
                     {"cn", codec_cn},     {"telephone-event", codec_dtmf}};
  for (const auto& s : short_names)
    if (e == s.name) return s.codec;
  return find_codec(e);
}

// The remote key of a crypto value "<tag> <suite> inline:<key>[|...]" with one of our suites;
// false for anything else.
bool accept_crypto(const str& value, str& key, int& tag_length, str& suite, int& tag) {
  str s = value.get_field(1);
  int length = s == srtp_aes_80 ? 10 : s == srtp_aes_32 ? 4 : s == srtp_aes_0 ? 0 : -1;
  str params = value.get_field(2);
  if (length < 0 || !params.starts_with(str("inline:")) || payload_type(value.get_field(0)) < 0)
    return false;
  str b64 = params.substr(7);
  long bar = b64.find('|');
  if (bar >= 0) b64.truncate(size_t(bar));
  str k;
  if (!base64_decode(b64, k) || k.length() != 30) return false;
  key = k;
  tag_length = length;
  suite = s;
  tag = value.get_field(0).value();
  return true;
}

}  // namespace

call_sdp::call_sdp() : packet_length(ctrl_read_registry(ctrl_settings::packet_size).value()) {
  local.origin = "{x-pre-adr}";
  local.connection = "{x-pre-adr}";
  m_line audio;
  audio.media = sdp_audio;
  audio.port = "0";
  audio.protocol = sdp_rtp_avp;
  local.media.push_back(audio);
}

void call_sdp::set_rtp_port(int port) {
  for (m_line& m : local.media)
    if (m.media == sdp_audio) m.port = str::sprintf("%d", port);
}

void call_sdp::set_codecs(const str& list, bool lock) {
  str source = list.empty() ? ctrl_read_registry(ctrl_settings::codec_preference) : list;
  codec_preference.clear();
  for (size_t i = 0;; ++i) {
    str entry = source.get_field(i);
    if (entry.empty()) break;
    int codec = codec_of_entry(entry);
    if (codec >= 0 && codec != codec_dtmf && !contains(codec_preference, codec))
      codec_preference.push_back(codec);
  }
  codec_preference.push_back(codec_dtmf);
  codec_lock = lock;
  log_printf(log_media, 7, "set_codecs: for %s codecs \"%s\", codec_preference count %d", name,
             source, int(codec_preference.size()));
}

void call_sdp::update_codecs(const codec_map* hinted) {
  available_codecs.clear();
  // While a remote offer is answered, only what the peer listed.
  auto supported = [this](int codec) {
    return offer_answer_state != 1 || codecs.find_remote(codec) >= 0;
  };
  bool dtmf = false;
  if (hinted) {
    for (int c : codec_preference) {
      if (!supported(c) || hinted->find_remote(c) < 0) continue;
      if (c == codec_dtmf) {
        dtmf = true;
      } else {
        available_codecs.push_back(c);
        log_printf(log_media, 7, "update_codecs for %s: adding codec %s to available list", name,
                   get_codec_name(c));
      }
      break;
    }
  }
  for (int c : codec_preference) {
    if (!supported(c)) {
      log_printf(log_media, 8, "update_codecs for %s: Other side does not support codec %s", name,
                 get_codec_name(c));
    } else if (c == codec_dtmf) {
      dtmf = true;
    } else if (!contains(available_codecs, c)) {
      available_codecs.push_back(c);
    }
  }
  if (dtmf && !available_codecs.empty()) available_codecs.push_back(codec_dtmf);
  log_printf(log_media, 7,
             "update_codecs for %s: codec_preference size %d, available codecs size %d", name,
             int(codec_preference.size()), int(available_codecs.size()));
}

void call_sdp::set_local_sdp() {
  // The remote hold, mirrored.
  str direction = "sendrecv";
  for (const m_line& m : remote.media) {
    if (m.media != sdp_audio) continue;
    if (m.direction == sdp_sendonly) direction = "recvonly";
    if (m.direction == sdp_recvonly) direction = "sendonly";
    if (m.direction == sdp_inactive) direction = "inactive";
  }
  str send_ptime = ptime;
  if (send_ptime.empty() && ctrl_read_registry(ctrl_settings::always_send_ptime) == "true")
    send_ptime = ctrl_read_registry(ctrl_settings::packet_size);
  str xr;
  const std::pair<bool, const char*> items[] = {{xr_loss_rle, "pkt-loss-rle"},
                                                {xr_dup_rle, "pkt-dup-rle"},
                                                {xr_rcpt_times, "pkt-rcpt-times"},
                                                {xr_rcvr_rtt, "rcvr-rtt=all"},
                                                {xr_stat_summary, "stat-summary=loss,dup,jitt"},
                                                {xr_voip_metrics, "voip-metrics"}};
  for (const auto& [on, item] : items)
    if (on) xr += (xr.empty() ? str("a=rtcp-xr:") : str_space) + item;

  for (m_line& m : local.media) {
    if (m.media != sdp_audio) continue;
    m.formats.clear();
    m.attributes.clear();
    for (int c : available_codecs) {
      int pt = codecs.find_remote(c);
      if (pt < 0) pt = get_remote_codec(c);
      if (pt < 0) continue;
      m.formats.push_back(str::sprintf("%d", pt));
      m.attributes.push_back(str::sprintf("a=rtpmap:%d %s", pt, get_codec_name(c)));
      if (c == codec_dtmf) m.attributes.push_back(str::sprintf("a=fmtp:%d 0-16", pt));
      if (c == codec_g729) m.attributes.push_back(str::sprintf("a=fmtp:%d annexb=no", pt));
    }
    if (!send_ptime.empty()) m.attributes.push_back("a=ptime:" + send_ptime);
    if (!xr.empty()) m.attributes.push_back(xr);
    m.direction = "a=" + direction;
    m.attributes.push_back(m.direction);
  }
  update_sdp_crypto();
}

bool call_sdp::local_built() const {
  for (const m_line& m : local.media)
    if (m.media == sdp_audio && !m.formats.empty()) return true;
  return false;
}

void call_sdp::update_sdp_crypto() {
  for (m_line& m : local.media) {
    if (m.media != sdp_audio) continue;
    std::erase_if(m.attributes, [](const str& a) { return a.starts_with(str("a=crypto:")); });
    if (srtp_local_key.empty()) continue;
    m.attributes.insert(m.attributes.begin(),
                        str::sprintf("a=crypto:%d %s inline:%s", crypto_tag, crypto_suite,
                                     base64_encode(srtp_local_key)));
    m.protocol = sdp_rtp_savp;
  }
}

void call_sdp::new_srtp_key() {
  srtp_local_key = random_secure_bytes(30);
  if (crypto_suite.empty()) crypto_suite = srtp_aes_80;
}

remote_sdp_result call_sdp::set_remote_sdp(const sdp& s, bool secure_transport,
                                           bool has_linked_ports) {
  if (s.media.empty()) return remote_sdp_result::rejected;
  offer_answer_state = offer_answer_state == 3 ? 2 : 1;

  const bool search_audio = ctrl_read_registry(ctrl_settings::search_audio).is_true();
  bool any_audio = false, all_audio = true;
  for (const m_line& m : s.media) {
    if (m.media == sdp_audio) {
      any_audio = true;
    } else {
      all_audio = false;
    }
  }
  const bool audio = search_audio ? any_audio : all_audio;

  if ((!audio || pass_through == 2) && has_linked_ports) {
    relayed = s;
    pass_through = pass_through == 2 ? 3 : 2;
    relayed.connection = "{x-pre-adrs}";
    for (m_line& m : relayed.media) {
      for (str& a : m.attributes)
        if (a.starts_with(str("c="))) a = "c=IN {x-pre-ipv} {x-pre-adrs}";
      // The parsed direction is no attribute line: the copy writes it, or a held stream
      // would reach the other peer as sendrecv.
      m.attributes.push_back(m.direction);
    }
    return remote_sdp_result::pass_through;
  }

  remote = s;
  codecs.clear();
  media_destination = s.connection;
  remote_key.clear();
  ptime.clear();
  // Our media is audio: other m-lines of a mixed SDP (search_audio) are not looked at.
  for (const m_line& m : s.media) {
    if (m.media != sdp_audio || !is_rtp(m)) continue;
    add_static_formats(m, codecs);
    bool key_taken = false, has_rtcp = false;
    for (const str& a : m.attributes) {
      long colon = a.find(':');
      if (a.starts_with(str("c="))) {
        media_destination = a.substr(2).get_field(2);
        continue;
      }
      if (colon < 0) continue;
      str attr = a.substr(2, size_t(colon) - 2);
      str value = a.substr(size_t(colon) + 1);
      if (attr == "crypto" && secure_transport && !key_taken) {
        key_taken = accept_crypto(value, remote_key, auth_tag_length, crypto_suite, crypto_tag);
      } else if (attr == "rtpmap") {
        add_rtpmap(value, codecs);
      } else if (attr == "ptime") {
        ptime = value.strip();
        int ms = ptime.is_number() && ptime.length() <= 4 ? ptime.value() : 0;
        if (ms > 0 && ms % 10 == 0) {
          packet_length = ms;
          log_printf(log_media, 7, "Set packet length to %d", ms);
        } else {
          log_printf(log_media, 3, "Cannot process ptime %s", ptime);
          packet_length = ctrl_read_registry(ctrl_settings::packet_size).value();
          ptime.clear();
        }
      } else if (attr == "rtcp-xr") {
        remote_rtcp_xr = value;
      } else if (attr == "rtcp") {
        has_rtcp = true;
        rtcp_port = port_of(value.get_field(0));
        str type = value.get_field(2);
        rtcp_address = value.get_field(1) == "IN" && (type == "IP4" || type == "IP6")
                           ? value.get_field(3)
                           : media_destination;
      }
    }
    if (!has_rtcp) {
      rtcp_port = port_of(m.port) + 1;
      rtcp_address = media_destination;
    }
  }

  if (codecs.find_remote(codec_dtmf) >= 0) inband_dtmf = false;
  if (offer_answer_state == 2) {
    for (int c : available_codecs) {
      if (c == codec_dtmf || codecs.find_remote(c) < 0) continue;
      send_codec = c;
      log_printf(log_media, 6, "Codec %s is chosen for call id %s", get_codec_name(c), name);
      break;
    }
  }
  if (media_destination == "0.0.0.0") remote.set_sdp_state("sendonly");
  return remote_sdp_result::accepted;
}

void call_sdp::determine_send_codec() {
  for (const m_line& m : local.media) {
    if (m.media != sdp_audio) continue;
    if (!m.formats.empty()) {
      int pt = payload_type(m.formats[0]);
      int codec = codecs.find_local(pt) >= 0 ? codecs.find_local(pt) : get_local_codec(pt);
      if (codec >= 0) {
        send_codec = codec;
        log_printf(log_media, 6, "Codec %s is chosen for call id %s", get_codec_name(codec), name);
      }
    }
    codecs.clear();
    add_static_formats(m, codecs);
    for (const str& v : m.get_attributes("rtpmap")) add_rtpmap(v, codecs);
  }
}

void call_sdp::set_offer_answer_hint() {
  local.kind = offer_answer_state == 3                              ? sdp_offer
               : offer_answer_state == 4 || offer_answer_state == 5 ? sdp_answer
                                                                    : str();
}

void call_sdp::advance_offer_answer_on_send(int state_code) {
  switch (offer_answer_state) {
    case 0:
    case 2:
    case 3:
      offer_answer_state = 3;
      break;
    case 1:
      offer_answer_state = state_code < 200 ? 4 : 5;
      break;
    case 4:
      if (state_code >= 200) offer_answer_state = 5;
      break;
    default:
      break;
  }
}
