#include "media/vq_report.h"

#include <ctime>

#include "base/encoding.h"

namespace {

str utc_text(atimestamp ms) {
  const time_t t = time_t(ms / 1000);
  struct tm tm {};
  gmtime_r(&t, &tm);
  return str::sprintf("%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// value tenths as "%d.%d".
str tenths_text(int v) { return str::sprintf("%d.%d", v / 10, v % 10); }

// Eight lower-case hexadecimal digits (the formatter's %x gives four).
str ssrc_text(uint32_t ssrc) {
  return hex_encode(
      str::bytes({uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc)}));
}

// Percent of lost among all expected packets, in tenths.
int loss_tenths(uint32_t received, uint32_t lost) {
  const uint64_t expected = uint64_t(received) + lost;
  return expected ? int((uint64_t(lost) * 1000 + expected / 2) / expected) : 0;
}

void metric_blocks(str& out, const vq_metrics& m, int mos_lq, int mos_cq) {
  out += str::sprintf("PacketLoss:NLR=%s JDR=%s\r\n", tenths_text(loss_tenths(m.received, m.lost)),
                      tenths_text(m.discarded_permille));
  out += str::sprintf("Delay:RTD=%d IAJ=%d MAJ=%d\r\n", m.round_trip_delay, m.jitter_ms,
                      m.max_jitter_ms);
  const int estimate = vq_mos_tenths(m.received, m.lost, m.round_trip_delay / 2);
  out +=
      str::sprintf("QualityEst:MOSLQ=%s MOSCQ=%s\r\n", tenths_text(mos_lq >= 0 ? mos_lq : estimate),
                   tenths_text(mos_cq >= 0 ? mos_cq : estimate));
}

}  // namespace

int vq_mos_tenths(uint32_t received, uint32_t lost, int delay_ms) {
  const uint64_t expected = uint64_t(received) + lost;
  const double ppl = expected ? 100.0 * double(lost) / double(expected) : 0.0;
  const double bpl = 25.1;  // G.711 with concealment, random loss
  const double ie_eff = 95.0 * ppl / (ppl + bpl);
  const double d = delay_ms > 0 ? double(delay_ms) : 0.0;
  const double id = 0.024 * d + (d > 177.3 ? 0.11 * (d - 177.3) : 0.0);
  const double r = 93.2 - id - ie_eff;
  double mos = 1.0;
  if (r >= 100.0) {
    mos = 4.5;
  } else if (r > 0.0) {
    mos = 1.0 + 0.035 * r + r * (r - 60.0) * (100.0 - r) * 7e-6;
  }
  return int(mos * 10.0 + 0.5);
}

str vq_report_text(const vq_inputs& in) {
  const vq_sip_fields& s = in.sip;
  str out = "VQSessionReport: CallTerm\r\nLocalMetrics:\r\n";
  out += str::sprintf("Timestamps:START=%s STOP=%s\r\n", utc_text(s.start), utc_text(s.stop));
  out += str::sprintf("CallID:%s\r\nFromID:%s\r\nToID:%s\r\n", s.call_id, s.from, s.to);
  out += str::sprintf("SessionDesc:PT=%d PD=%s SR=8000 FD=%d FO=%d FPP=1 PPS=%d PLC=3\r\n",
                      in.payload_type, in.codec_name, in.frame_ms, in.frame_octets,
                      in.packets_per_second);
  out += str::sprintf("LocalAddr:IP=%s PORT=%d SSRC=0x%s\r\n", in.local_ip, in.local_port,
                      ssrc_text(in.local_ssrc));
  out += str::sprintf("RemoteAddr:IP=%s PORT=%d SSRC=0x%s\r\n", in.remote_ip, in.remote_port,
                      ssrc_text(in.remote_ssrc));
  metric_blocks(out, in.local, -1, -1);
  out += str::sprintf("x-UserAgent:%s\r\n", s.user_agent);
  out += str::sprintf("x-SIPmetrics:SVA=%s SRD=%d SFC=%d\r\n", s.service_access, s.post_dial_delay,
                      s.trunk_failures);
  out += str::sprintf("x-SIPterm:SDC=%s SDD=%d SDR=%s\r\n", s.end_code, s.bye_delay,
                      s.disconnect_reason);
  out += "RemoteMetrics:\r\n";
  if (in.remote_known) metric_blocks(out, in.remote, in.remote_mos_lq, in.remote_mos_cq);
  return out;
}
