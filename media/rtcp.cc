#include "media/rtcp.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "base/log.h"
#include "media/codec_engine.h"
#include "media/rtp_stream.h"
#include "media/vq_report.h"

namespace {

void put16(str& out, uint32_t v) {
  out += char(v >> 8);
  out += char(v);
}

void put32(str& out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xffff);
}

uint32_t get16(const str& s, size_t at) { return uint32_t(s[at]) << 8 | s[at + 1]; }
uint32_t get32(const str& s, size_t at) { return get16(s, at) << 16 | get16(s, at + 2); }

// The common header: version 2, count, type and the length in 32-bit words minus one.
void header(str& out, int count, int type, size_t bytes) {
  out += char(0x80 | count);
  out += char(type);
  put16(out, uint32_t(bytes / 4 - 1));
}

// A round trip in ms from the middle 32 bits of our NTP time now, of the time we sent the
// report answered (LSR, LRR) and of the delay since the peer received it (1/65536 s units);
// nothing when it is implausible (negative or above 10 s).
void round_trip(uint32_t now_middle, uint32_t last, uint32_t delay, rtcp_peer_report& peer) {
  if (!last) return;
  const uint32_t rtt = now_middle - last - delay;
  if (rtt < (10u << 16)) peer.network_delay_ms = int((uint64_t(rtt) * 1000) >> 16);
}

// Report blocks from offset at of an SR or RR with count blocks.
void read_report_blocks(const str& p, size_t at, int count, uint32_t our_ssrc, uint32_t now_middle,
                        rtcp_peer_report& peer) {
  for (int i = 0; i < count && at + 24 <= p.length(); ++i, at += 24) {
    if (get32(p, at) != our_ssrc) continue;
    peer.report_block = true;
    peer.cumulative_lost = get32(p, at + 4) & 0xffffff;
    peer.jitter = get32(p, at + 12);
    round_trip(now_middle, get32(p, at + 16), get32(p, at + 20), peer);
  }
}

// XR blocks of one extended report (after its SSRC).
void read_xr_blocks(const str& p, uint32_t now_middle, rtcp_peer_report& peer) {
  size_t at = 8;
  while (at + 4 <= p.length()) {
    const int type = p[at];
    const size_t bytes = (get16(p, at + 2) + 1) * 4;
    if (at + bytes > p.length()) return;
    if (type == 6 && bytes >= 40) {  // statistics summary
      peer.summary = true;
      peer.lost = get32(p, at + 12);
      peer.duplicates = get32(p, at + 16);
      peer.max_jitter = get32(p, at + 24);
      peer.mean_jitter = get32(p, at + 28);
    } else if (type == 7 && bytes >= 36) {  // VoIP metrics
      peer.voip_metrics = true;
      peer.loss_rate = p[at + 8];
      peer.discard_rate = p[at + 9];
      peer.round_trip_delay = int(get16(p, at + 16));
      peer.end_system_delay = int(get16(p, at + 18));
      peer.r_factor = p[at + 24];
      peer.mos_lq = p[at + 26];
      peer.mos_cq = p[at + 27];
    } else if (type == 4 && bytes >= 12) {  // receiver reference time, answered by our DLRR
      peer.reference_time = true;
      peer.rrt_ssrc = get32(p, 4);
      peer.rrt_ntp_middle = get32(p, at + 4) << 16 | get32(p, at + 8) >> 16;
      peer.rrt_arrival_middle = now_middle;
    } else if (type == 5) {  // DLRR
      for (size_t sub = at + 4; sub + 12 <= at + bytes; sub += 12)
        round_trip(now_middle, get32(p, sub + 4), get32(p, sub + 8), peer);
    }
    at += bytes;
  }
}

// The 5 s report of a stream (send_rtcp_update). A relaying stream that sent nothing for 5 s
// also sends a comfort-noise packet, so that NAT bindings and the peer's media time-out keep
// the path open.
void tick(int index) {
  rtp_stream* s = rtp_stream_of(index);
  if (!s || !s->has_sockets()) return;
  s->send_rtcp_sr();
  if (s->pass_through && clock_now() - s->last_sent > s2ticks(rtcp_interval_seconds)) {
    const int pt = s->media ? s->media->codecs.find_remote(codec_cn) : -1;
    s->send_rtp_passthrough(false, pt >= 0 ? pt : comfort_noise_payload_type, comfort_noise());
  }
  s->start_rtcp();
}

}  // namespace

// ---- Monitor ------------------------------------------------------------------------------

void rtcp_monitor::on_rtp(uint16_t sequence, uint32_t rtp_timestamp, rtimestamp arrival) {
  // Arrival in RTP ticks (8 kHz).
  const int64_t arrival_ticks = arrival / (ns_per_ms / 8);
  const int64_t transit = arrival_ticks - int64_t(rtp_timestamp);
  if (!started_) {
    started_ = true;
    base_ = max_ = 0x10000u + sequence;  // room for a first step back
    received_ = 1;
    last_transit_ = transit;
    return;
  }
  uint32_t ext = (max_ & 0xffff0000u) | sequence;
  if (ext < max_ && max_ - ext > 32768) ext += 0x10000;
  if (ext > max_ && ext - max_ > 32768) ext -= 0x10000;
  if (ext > max_) max_ = ext;
  if (ext < base_) base_ = ext;
  ++received_;
  int64_t d = transit - last_transit_;
  last_transit_ = transit;
  if (d < 0) d = -d;
  jitter_ += uint32_t(d - ((int64_t(jitter_) + 8) >> 4));
  max_jitter_ = std::max(max_jitter_, jitter());
  min_jitter_ = std::min(min_jitter_, jitter());
  jitter_sum_ += jitter();
  jitter_squares_ += uint64_t(jitter()) * jitter();
}

uint32_t rtcp_monitor::lost() const {
  if (!started_) return 0;
  const uint32_t expected = max_ - base_ + 1;
  return expected > received_ ? expected - received_ : 0;
}

int rtcp_monitor::loss_rate() const {
  const uint64_t expected = started_ ? uint64_t(max_ - base_ + 1) : 0;
  return expected ? int(std::min<uint64_t>(255, uint64_t(lost()) * 256 / expected)) : 0;
}

rtcp_report_block rtcp_monitor::report_block(uint32_t remote_ssrc, rtimestamp now) {
  rtcp_report_block b;
  b.ssrc = remote_ssrc;
  const uint32_t expected = started_ ? max_ - base_ + 1 : 0;
  const uint32_t expected_interval = expected - expected_prior_;
  const uint32_t received_interval = received_ - received_prior_;
  expected_prior_ = expected;
  received_prior_ = received_;
  if (expected_interval > received_interval)
    b.fraction_lost =
        int(uint64_t(expected_interval - received_interval) * 256 / expected_interval);
  b.cumulative_lost = std::min<uint32_t>(lost(), 0xffffff);
  b.highest_sequence = started_ ? max_ - 0x10000u : 0;  // without the room for a step back
  b.jitter = jitter();
  if (peer.sender_report) {
    b.lsr = peer.sr_ntp_middle;
    b.dlsr = uint32_t(uint64_t(now - peer.sr_received) * 65536 / ns_per_second);
  }
  return b;
}

uint32_t rtcp_monitor::mean_jitter() const {
  return received_ > 1 ? uint32_t(jitter_sum_ / (received_ - 1)) : 0;
}

uint32_t rtcp_monitor::deviation_jitter() const {
  if (received_ < 2) return 0;
  const double n = received_ - 1, mean = double(jitter_sum_) / n;
  return uint32_t(std::lround(std::sqrt(std::max(0.0, double(jitter_squares_) / n - mean * mean))));
}

// ---- Packets ------------------------------------------------------------------------------

uint64_t ntp_time(atimestamp wall_ms) {
  const uint64_t seconds = uint64_t(wall_ms / 1000) + 2208988800u;
  const uint64_t fraction = (uint64_t(wall_ms % 1000) << 32) / 1000;
  return seconds << 32 | fraction;
}

str rtcp_sender_report(const rtcp_sr_fields& f) {
  str out;
  header(out, f.has_block ? 1 : 0, 200, f.has_block ? 52 : 28);
  put32(out, f.ssrc);
  put32(out, uint32_t(f.ntp >> 32));
  put32(out, uint32_t(f.ntp));
  put32(out, f.rtp_timestamp);
  put32(out, f.packets);
  put32(out, f.octets);
  if (f.has_block) {
    const rtcp_report_block& b = f.block;
    put32(out, b.ssrc);
    put32(out, uint32_t(b.fraction_lost) << 24 | (b.cumulative_lost & 0xffffff));
    put32(out, b.highest_sequence);
    put32(out, b.jitter);
    put32(out, b.lsr);
    put32(out, b.dlsr);
  }
  // SDES: one chunk, CNAME item, a terminating zero and padding to 32 bits.
  const str cname = f.cname.leftstr(255);
  const size_t chunk = (4 + 2 + cname.length() + 1 + 3) / 4 * 4;
  header(out, 1, 202, 4 + chunk);
  put32(out, f.ssrc);
  out += char(1);
  out += char(cname.length());
  out += cname;
  out += str('\0', int(chunk - 4 - 2 - cname.length()));
  return out;
}

str rtcp_xr(uint32_t ssrc, uint32_t remote_ssrc, const rtcp_monitor& m, uint64_t ntp, bool summary,
            bool voip) {
  str out;
  const bool dlrr = m.peer.reference_time;
  header(out, 0, 207, 8 + (summary ? 40 : 0) + (voip ? 36 : 0) + 12 + (dlrr ? 16 : 0));
  put32(out, ssrc);
  if (summary) {
    out += char(6);     // statistics summary
    out += char(0xe0);  // loss, duplicate and jitter reports; no TTL
    put16(out, 9);
    put32(out, remote_ssrc);
    put16(out, m.first_sequence() & 0xffff);
    put16(out, (m.highest_sequence() + 1) & 0xffff);
    put32(out, m.lost());
    put32(out, 0);  // duplicates are dropped before they reach the monitor's count
    put32(out, m.min_jitter());
    put32(out, m.max_jitter());
    put32(out, m.mean_jitter());
    put32(out, m.deviation_jitter());
    put32(out, 0);  // TTL fields unused
  }
  if (voip) {
    const int rtt = std::max(m.peer.network_delay_ms, 0);
    const bool heard = m.received() > 0;
    out += char(7);  // VoIP metrics
    out += char(0);
    put16(out, 8);
    put32(out, remote_ssrc);
    out += char(m.loss_rate());
    out += char(0);  // discard rate: no jitter buffer discards late packets
    put16(out, 0);   // burst and gap density
    put32(out, 0);   // burst and gap duration
    put16(out, uint32_t(std::min(rtt, 0xffff)));
    put16(out, 0);           // end system delay: not measured
    put32(out, 0x7f7f7f10);  // signal, noise, RERL unavailable; Gmin 16
    put16(out, 0x7f7f);      // R factors unavailable
    out += char(heard ? vq_mos_tenths(m.received(), m.lost(), 0) : 127);        // MOS-LQ
    out += char(heard ? vq_mos_tenths(m.received(), m.lost(), rtt / 2) : 127);  // MOS-CQ
    put32(out, 0);  // receiver configuration, jitter buffer nominal: no jitter buffer
    put32(out, 0);  // jitter buffer maximum and absolute maximum
  }
  out += char(4);  // receiver reference time
  out += char(0);
  put16(out, 2);
  put32(out, uint32_t(ntp >> 32));
  put32(out, uint32_t(ntp));
  if (dlrr) {
    out += char(5);
    out += char(0);
    put16(out, 3);
    put32(out, m.peer.rrt_ssrc);
    put32(out, m.peer.rrt_ntp_middle);
    put32(out, uint32_t(ntp >> 16) - m.peer.rrt_arrival_middle);  // 1/65536 s since it arrived
  }
  return out;
}

str rtcp_bye(uint32_t ssrc, const str& reason) {
  const str text = reason.leftstr(255);
  const size_t bytes = (8 + 1 + text.length() + 3) / 4 * 4;
  str out;
  header(out, 1, 203, bytes);
  put32(out, ssrc);
  out += char(text.length());
  out += text;
  out += str('\0', int(bytes - 9 - text.length()));
  return out;
}

bool rtcp_read(const str& compound, rtimestamp received, uint32_t our_ssrc, uint64_t now_ntp,
               rtcp_peer_report& peer) {
  const uint32_t now_middle = uint32_t(now_ntp >> 16);
  size_t at = 0;
  bool any = false;
  while (at + 4 <= compound.length()) {
    if ((compound[at] >> 6) != 2) return false;
    const size_t bytes = (get16(compound, at + 2) + 1) * 4;
    if (at + bytes > compound.length()) return false;
    const str p = compound.substr(at, bytes);
    const int type = p[1];
    if (type == 200 && bytes >= 28) {
      peer.sender_report = true;
      peer.sr_ntp_middle = get32(p, 10);
      peer.sr_received = received;
      peer.sr_packets = get32(p, 20);
      peer.sr_octets = get32(p, 24);
      read_report_blocks(p, 28, p[0] & 31, our_ssrc, now_middle, peer);
    } else if (type == 201) {
      read_report_blocks(p, 8, p[0] & 31, our_ssrc, now_middle, peer);
    } else if (type == 207) {
      read_xr_blocks(p, now_middle, peer);
    }
    any = true;
    at += bytes;
  }
  return any;
}

// ---- The stream's RTCP --------------------------------------------------------------------

void rtp_stream::start_rtcp() {
  monitor.timer.callback(rtp_thread_queue, s2ticks(rtcp_interval_seconds),
                         callback_argument(tick, index));
}

ip_port rtp_stream::rtcp_destination() const {
  if (media && media->rtcp_port > 0) {
    const str a = ip_address_parse(media->rtcp_address);
    if (a.length() == 4 || a.length() == 16) return ip_port(a, uint16_t(media->rtcp_port));
  }
  if (sdp_destination.valid()) return ip_port(sdp_destination.address, sdp_destination.port + 1);
  return ip_port();
}

bool rtp_stream::send_rtcp(str compound) {
  const ip_port to = rtcp_destination();
  if (!ops || !to.valid()) return false;
  if (!srtp.protect_rtcp(media, compound)) return false;
  const int fd = to.is_ipv6() ? rtcp6 : rtcp4;
  return fd >= 0 && ops->send(fd, compound, to);
}

rtcp_sr_fields rtp_stream::sender_fields() const {
  rtcp_sr_fields f;
  f.ssrc = ssrc;
  f.ntp = ntp_time(wall_now());
  f.rtp_timestamp = timestamp;
  f.packets = uint32_t(packets_sent);
  f.octets = uint32_t(bytes_sent > packets_sent * 12 ? bytes_sent - packets_sent * 12 : 0);
  f.cname = name;
  return f;
}

bool rtp_stream::send_rtcp_sr() {
  rtcp_sr_fields f = sender_fields();
  if (remote_ssrc_known) {
    f.has_block = true;
    f.block = monitor.report_block(remote_ssrc, clock_now());
  }
  str compound = rtcp_sender_report(f);
  // A peer that sent a receiver reference time block reads extended reports and waits for the
  // DLRR answer, whether or not our reports of its own are switched on.
  const bool summary = media && media->xr_stat_summary, voip = media && media->xr_voip_metrics;
  const bool wanted = (summary || voip) && media && !media->remote_rtcp_xr.empty();
  if ((wanted || monitor.peer.reference_time) && remote_ssrc_known)
    compound += rtcp_xr(ssrc, remote_ssrc, monitor, f.ntp, summary, voip);
  return send_rtcp(compound);
}

bool rtp_stream::send_rtcp_bye(const str& reason) {
  return send_rtcp(rtcp_sender_report(sender_fields()) + rtcp_bye(ssrc, reason));
}

void rtp_stream::on_rtcp(const str& datagram, const ip_port& source, rtimestamp received) {
  ++rtcp_received;
  str packet = datagram;
  const srtp_result r = srtp.unprotect_rtcp(media, packet);
  if (r == srtp_result::wrong_mac) {
    log_printf(log_media, 4, "Discard SRTCP packet from %s with wrong MAC", source.readable());
    return;
  }
  if (r != srtp_result::ok) return;
  rtcp_read(packet, received, ssrc, ntp_time(wall_now()), monitor.peer);
}

bool rtp_stream::receive_secured(str& packet, rtp_header& h, rtimestamp received) {
  if (srtp.unprotect_rtp(media, packet) != srtp_result::ok || !rtp_parse(packet, h)) return false;
  monitor.on_rtp(h.sequence, h.timestamp, received);
  return true;
}

str rtp_stream::get_vq_report(const vq_sip_fields& sip) const {
  vq_inputs in;
  in.sip = sip;
  const int codec = media ? media->send_codec : -1;
  in.codec_name = codec >= 0 ? get_codec_name(codec) : str("PCMU");
  in.payload_type = media && codec >= 0 ? media->codecs.find_remote(codec) : 0;
  if (in.payload_type < 0) in.payload_type = 0;
  in.frame_ms = packet_length();
  in.frame_octets = packet_length() * 8;
  in.packets_per_second = 1000 / packet_length();
  const ip_port& local = use_ipv6 ? bind6 : bind4;
  in.local_ip = sip.local_ip.empty() ? local.readable_address() : sip.local_ip;
  in.local_port = local_port;
  in.local_ssrc = ssrc;
  in.remote_ip = destination.valid() ? destination.readable_address() : str();
  in.remote_port = destination.port;
  in.remote_ssrc = remote_ssrc;
  in.local.received = monitor.received();
  in.local.lost = monitor.lost();
  in.local.round_trip_delay = monitor.peer.network_delay_ms > 0 ? monitor.peer.network_delay_ms : 0;
  in.local.jitter_ms = int(monitor.mean_jitter() / 8);
  in.local.max_jitter_ms = int(monitor.max_jitter() / 8);
  const rtcp_peer_report& p = monitor.peer;
  in.remote_known = p.summary || p.voip_metrics || p.report_block;
  in.remote.lost = p.summary ? p.lost : p.cumulative_lost;
  in.remote.received = packets_sent > in.remote.lost ? uint32_t(packets_sent) - in.remote.lost : 0;
  in.remote.round_trip_delay = in.local.round_trip_delay;
  if (p.voip_metrics) {
    in.remote.round_trip_delay = p.round_trip_delay;
    in.remote.discarded_permille = p.discard_rate * 1000 / 256;
    if (p.mos_lq != 127) in.remote_mos_lq = p.mos_lq;
    if (p.mos_cq != 127) in.remote_mos_cq = p.mos_cq;
  }
  in.remote.jitter_ms = int((p.summary ? p.mean_jitter : p.jitter) / 8);
  in.remote.max_jitter_ms = int((p.summary ? p.max_jitter : p.jitter) / 8);
  return vq_report_text(in);
}
