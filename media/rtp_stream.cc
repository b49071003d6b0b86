#include "media/rtp_stream.h"

#include "base/log.h"
#include "base/random.h"
#include "frame/net.h"
#include "frame/settings.h"
#include "media/audio_player.h"
#include "media/rtp_clock.h"

namespace {

rtp_stream streams[rtp_stream_count];

class udp_sockets : public rtp_socket_ops {
 public:
  int open(const ip_port& local) override { return udp_open(local); }
  void set_tos(int fd, int tos) override { set_socket_tos(fd, tos); }
  bool send(int fd, const str& data, const ip_port& dest) override {
    return udp_send(fd, data, dest);
  }
  bool receive(int fd, str& data, ip_port& source) override {
    return udp_receive(fd, data, source);
  }
  void close(int fd) override { close_socket(fd); }
};

// A port number from a setting's text; fallback when it is missing or no port (the RTCP port
// above it must exist too).
int setting_or(const str& text, int fallback) {
  const str t = text.strip();
  const int v = t.is_number() && t.length() <= 5 ? t.value() : 0;
  return v > 0 && v < 65535 ? v : fallback;
}

// The bind address of a family from its setting: the address when it is one of that family,
// else the any-address.
ip_port bind_address(int setting, bool ipv6) {
  str a = ip_address_parse(ctrl_read_registry(setting).strip());
  if (a.length() != (ipv6 ? 16u : 4u)) a = any_address(ipv6);
  return ip_port(a, 0);
}

str codec_text(int codec) { return codec >= 0 ? get_codec_name(codec) : str(); }

}  // namespace

rtp_socket_ops& udp_rtp_sockets() {
  static udp_sockets s;
  return s;
}

// ---- Ports --------------------------------------------------------------------------------

std::pair<int, int> rtp_port_range(const str& begin, const str& end) {
  int b = setting_or(begin, 49152);
  int e = setting_or(end, 57344);
  if (b >= e) {
    b = 49152;
    e = 57344;
  }
  return {b, e};
}

int rtp_port_in_range(std::pair<int, int> range, uint32_t random) {
  const uint32_t span = uint32_t(range.second - range.first);
  return int(random % span + uint32_t(range.first)) & ~1;
}

int get_random_rtp_port() {
  static const std::pair<int, int> range = rtp_port_range(
      ctrl_read_registry(ctrl_settings::port_begin), ctrl_read_registry(ctrl_settings::port_end));
  return rtp_port_in_range(range, random_uint32());
}

// ---- One stream ---------------------------------------------------------------------------

int rtp_stream::packet_length() const {
  return media && media->packet_length > 0 ? media->packet_length : 20;
}

void rtp_stream::init() {
  sequence = uint16_t(16384 + random_below(32768));
  timestamp = random_uint32() * 80u;
  ssrc = random_uint32();
  remote_ssrc_known = false;
  remote_ssrc = 0;
  extended_sequence = 32768;
  last_received = last_sent = 0;
  media_received = false;
  packets_received = bytes_received = packets_sent = bytes_sent = rtcp_received = 0;
  telephone_event_pt = -1;
  dtmf.init();
  symmetric_rtp = ctrl_read_registry(ctrl_settings::symmetrical_rtp).is_true();
}

bool rtp_stream::open_pair(bool ipv6, int port) {
  const ip_port& base = ipv6 ? bind6 : bind4;
  const int rtp = ops->open(ip_port(base.address, uint16_t(port)));
  if (rtp < 0) return false;
  const int rtcp = ops->open(ip_port(base.address, uint16_t(port + 1)));
  if (rtcp < 0) {
    ops->close(rtp);
    return false;
  }
  const int tos = tos_from_text(ctrl_read_registry(ctrl_settings::tos_rtp));
  if (tos >= 0) {
    ops->set_tos(rtp, tos);
    ops->set_tos(rtcp, tos);
  }
  (ipv6 ? rtp6 : rtp4) = rtp;
  (ipv6 ? rtcp6 : rtcp4) = rtcp;
  return true;
}

void rtp_stream::close_pair(bool ipv6) {
  int& rtp = ipv6 ? rtp6 : rtp4;
  int& rtcp = ipv6 ? rtcp6 : rtcp4;
  if (ops && rtp >= 0) ops->close(rtp);
  if (ops && rtcp >= 0) ops->close(rtcp);
  rtp = rtcp = -1;
}

bool rtp_stream::allocate_ports(rtp_socket_ops& socket_ops) {
  close_ports();
  ops = &socket_ops;
  bind4 = bind_address(ctrl_settings::port_bind4, false);
  bind6 = bind_address(ctrl_settings::port_bind6, true);
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int port = get_random_rtp_port();
    if (use_ipv4 && !open_pair(false, port)) continue;
    if (use_ipv6 && !open_pair(true, port)) {
      close_pair(false);
      continue;
    }
    local_port = port;
    start_rtcp();
    return true;
  }
  log_printf(log_media, 2, "Could not allocate new ports!");
  return false;
}

void rtp_stream::close_ports() {
  monitor.timer.clear();
  close_transparent_ports();
  close_pair(false);
  close_pair(true);
}

void rtp_stream::set_sdp_dest(const ip_port& dest) {
  sdp_destination = dest;
  set_destination();
}

void rtp_stream::set_destination() {
  const ip_port next = symmetric_rtp && learned_source.valid() ? learned_source : sdp_destination;
  if (next == destination) return;
  destination = next;
  if (destination.valid() && ops && local_port) {
    // The pair of the destination's family carries the media; the other one goes.
    const bool ipv6 = destination.is_ipv6();
    use_ipv6 = ipv6;
    use_ipv4 = !ipv6;
    if ((ipv6 ? rtp6 : rtp4) < 0) open_pair(ipv6, local_port);
    close_pair(!ipv6);
  }
  const int codec = media ? media->send_codec : -1;
  if (codec >= 0) {
    log_printf(log_media, 5, "Sending RTP for %s to %s, codec %s", name, destination.readable(),
               codec_text(codec));
  } else {
    log_printf(log_media, 5, "Sending RTP for %s to %s, codec not set yet", name,
               destination.readable());
  }
}

bool rtp_stream::determine_pt_mode() {
  sync_sources();
  // What the sources sent during a hold is stale when it ends.
  if (was_on_hold && !on_hold)
    for (outgoing_buffer& b : obufs) b.clear();
  was_on_hold = on_hold;
  const bool pt = ctrl_read_registry(ctrl_settings::allow_pass_through) != "false" &&
                  !local_media && !on_hold && linked.size() < 2 && obufs_in_use() == 1;
  if (pt != pass_through) {
    pass_through = pt;
    if (pt) {
      log_printf(log_media, 5, "%s: RTP pass-through mode", name);
    } else {
      log_printf(log_media, 5, "%s: Media-aware pass-through mode", name);
      restart_rtp_clock();
    }
  }
  return pass_through;
}

void rtp_stream::fall_back_to_media_aware() {
  pass_through = false;
  start_sending();
}

void rtp_stream::start_sending() {
  sending = true;
  restart_rtp_clock();
}

// ---- Receive path -------------------------------------------------------------------------

void rtp_stream::on_rtp(const str& datagram, const ip_port& source, rtimestamp received, unsigned) {
  rtp_header h;
  if (!rtp_parse(datagram, h)) return;
  // Another sender: a stream that just sent is kept; after 100 ms of silence the new one wins.
  if (remote_ssrc_known && h.ssrc != remote_ssrc) {
    if (received - last_received < 100 * ns_per_ms) return;
    log_printf(log_media, 5, "Tuning to new SSRC");
    srtp.restart_receive();
  }
  str packet = datagram;
  if (!receive_secured(packet, h, received)) return;
  remote_ssrc_known = true;
  remote_ssrc = h.ssrc;
  // The extended sequence number: a step back of more than half the range is a wrap.
  uint32_t next = (extended_sequence & 0xffff0000u) | h.sequence;
  if (next < extended_sequence && extended_sequence - next > 32768) next += 0x10000;
  if (media_received && next == extended_sequence) return;
  extended_sequence = next;
  if (source != learned_source) {
    learned_source = source;
    set_destination();
  }
  ++packets_received;
  bytes_received += packet.length();
  media_received = true;
  last_received = received;
  if (telephone_event_pt < 0 && h.payload.length() == 4 && h.payload[0] <= 11) {
    telephone_event_pt = h.payload_type;
    log_printf(log_media, 5, "Received RFC4733 DTMF on codec %d", h.payload_type);
  }
  // A peer whose SDP lists telephone-event sends its digits as events: its audio is not searched
  // for tones (which would cost a decode and nine filters per packet).
  int events_pt = telephone_event_pt;
  if (events_pt < 0 && media && !media->inband_dtmf) events_pt = media->codecs.find_remote(codec_dtmf);
  dtmf.on_packet(h, media ? media->codecs.find_local(h.payload_type) : -1, events_pt, local_media);
  if (take_received) {
    take_received(media ? media->codecs.find_local(h.payload_type) : -1, h.payload);
  }
  relay(h);
}

void rtp_stream::relay(const rtp_header& h) {
  const int codec = media ? media->codecs.find_local(h.payload_type) : -1;
  for (int other : linked) {
    rtp_stream* dest = rtp_stream_of(other);
    if (!dest) continue;
    if (dest->pass_through && dest->packet_length() != packet_length()) {
      log_printf(log_media, 4,
                 "Different packet size (%d and %d), callid %s, falling back to transcoding",
                 packet_length(), dest->packet_length(), name);
      dest->fall_back_to_media_aware();
    } else if (dest->pass_through) {
      const call_sdp* dm = dest->media;
      const int pt = dm ? dm->codecs.find_remote(codec) : -1;
      if (pt >= 0 && (!dm->codec_lock || codec == dm->send_codec || codec == codec_dtmf ||
                      codec == codec_cn)) {
        dest->send_rtp_passthrough(h.marker, pt, h.payload);
        continue;
      }
      if (!dm || dm->send_codec < 0) continue;
      log_printf(log_media, 4,
                 "Different Codecs (local %s, remote %s), callid %s, falling back to transcoding",
                 codec_text(codec), codec_text(dm->send_codec), name);
      dest->fall_back_to_media_aware();
    }
    dest->take_media(index, codec, h);  // media-aware: buffered for the 10 ms clock
  }
}

// ---- Send paths ---------------------------------------------------------------------------

bool rtp_stream::send_datagram(const str& plain) {
  if (!ops || !destination.valid()) return false;
  str data = plain;  // SRTP when keyed (a keep-alive is no RTP and goes plain)
  if (data.length() >= rtp_min_header && !srtp.protect_rtp(media, data)) return false;
  bool sent = false;
  if (use_ipv4 && rtp4 >= 0 && destination.is_ipv4()) sent |= ops->send(rtp4, data, destination);
  if (use_ipv6 && rtp6 >= 0 && destination.is_ipv6()) sent |= ops->send(rtp6, data, destination);
  return sent;
}

bool rtp_stream::send_rtp_passthrough(bool marker, int payload_type, const str& payload) {
  if (!ops || !destination.valid() || !has_sockets()) return false;
  str packet = rtp_write_header(marker, payload_type, sequence, timestamp, ssrc);
  packet += payload;
  send_datagram(packet);
  ++sequence;
  timestamp += uint32_t(packet_length() * 8);
  ++packets_sent;
  bytes_sent += packet.length();
  last_sent = clock_now();
  return true;
}

void rtp_stream::send_rtp_keep_alive() {
  if (send_datagram(str('\0', 4))) {
    ++packets_sent;
    bytes_sent += 4;
    last_sent = clock_now();
  }
}

// ---- Registry and the RTP thread ----------------------------------------------------------

rtp_stream* rtp_stream_of(int index) {
  if (index < 0 || index >= rtp_stream_count || streams[index].index < 0) return nullptr;
  return &streams[index];
}

rtp_stream* rtp_stream_open(int index, const str& name, const call_sdp* media) {
  if (index < 0 || index >= rtp_stream_count) return nullptr;
  rtp_stream_close(index);
  rtp_stream& s = streams[index];
  s.index = index;
  s.name = name;
  s.media = media;
  s.init();
  return &s;
}

void rtp_stream_close(int index) {
  if (index < 0 || index >= rtp_stream_count) return;
  rtp_stream& s = streams[index];
  s.close_ports();
  for (int other : s.linked) {
    if (rtp_stream* o = rtp_stream_of(other)) o->linked.erase(index);
  }
  for (rtp_stream& o : streams) o.free_obuf(index, 0);
  s = rtp_stream();
}

void rtp_streams_fill(read_set& watch) {
  for (const rtp_stream& s : streams) {
    if (s.index < 0) continue;
    for (int fd : {s.rtp4, s.rtcp4, s.rtp6, s.rtcp6}) watch.add(fd);
    for (const auto& [stream, relay] : s.transparent_ports) watch.add(relay.fd);
  }
  moh_rtps_fill(watch);  // the music sources share the thread
}

void rtp_streams_serve(const read_set& ready) {
  moh_rtps_serve(ready);
  for (rtp_stream& s : streams) {
    for (int which = 0; which < 4 && s.index >= 0; ++which) {
      const int fd = which == 0 ? s.rtp4 : which == 1 ? s.rtcp4 : which == 2 ? s.rtp6 : s.rtcp6;
      if (!ready.ready(fd)) continue;
      // A bounded batch per socket, so that one busy leg cannot starve the others.
      str data;
      ip_port source;
      for (int n = 0; n < 16 && s.index >= 0 && s.ops && s.ops->receive(fd, data, source); ++n) {
        if (data.empty()) continue;  // an ICMP refusal of an earlier send
        if (which % 2 == 0) {
          s.on_rtp(data, source, clock_now(), 0);
        } else {
          s.on_rtcp(data, source, clock_now());
        }
      }
    }
    for (auto& [stream, relay] : s.transparent_ports) {
      if (!ready.ready(relay.fd)) continue;
      str data;
      ip_port source;
      for (int n = 0; n < 16 && s.ops && s.ops->receive(relay.fd, data, source); ++n)
        if (!data.empty()) s.on_transparent(stream, data, source);
    }
  }
}

// ---- Relay ports of a pass-through SDP ----------------------------------------------------

bool rtp_stream::open_transparent_ports(const sdp& peer, sdp& relayed) {
  bool all = ops != nullptr;
  for (auto it = transparent_ports.begin(); it != transparent_ports.end();) {
    if (it->first < int(peer.media.size()) && ops) {
      ++it;
      continue;
    }
    if (ops) it->second.close(*ops);
    it = transparent_ports.erase(it);
  }
  for (size_t n = 0; ops && n < peer.media.size() && n < relayed.media.size(); ++n) {
    const m_line& m = peer.media[n];
    str address = peer.connection;
    for (const str& a : m.attributes)
      if (a.starts_with(str("c="))) address = a.substr(2).get_field(2);
    const ip_port to(ip_address_parse(address), uint16_t(m.port.value()));
    if (!to.valid() || to.port == 0) {  // a refused stream needs no relay
      if (auto it = transparent_ports.find(int(n)); it != transparent_ports.end()) {
        it->second.close(*ops);
        transparent_ports.erase(it);
      }
      continue;
    }
    transparent_port& relay = transparent_ports[int(n)];
    if (relay.fd >= 0 && relay.ipv6 != to.is_ipv6()) relay.close(*ops);
    if (!relay.open(*ops, to.is_ipv6() ? bind6 : bind4)) {
      all = false;
      continue;
    }
    relay.set_destination(to);
    relayed.media[n].port = str::sprintf("%d", relay.port);
  }
  return all;
}

void rtp_stream::close_transparent_ports() {
  for (auto& [stream, relay] : transparent_ports)
    if (ops) relay.close(*ops);
  transparent_ports.clear();
}

void rtp_stream::on_transparent(int stream, const str& data, const ip_port& source) {
  auto it = transparent_ports.find(stream);
  if (it == transparent_ports.end() || !ops) return;
  transparent_port* partner = nullptr;
  if (linked.size() == 1) {
    if (rtp_stream* other = rtp_stream_of(*linked.begin())) {
      auto p = other->transparent_ports.find(stream);
      if (p != other->transparent_ports.end()) partner = &p->second;
    }
  }
  it->second.relay(*ops, data, source, partner);
}
