// vq_report: the voice-quality session report of a leg (RFC 6035 "VQSessionReport: CallTerm"),
// the text the leg sends to the PBX with DialogHangup. Lines end with CR LF.
//
// Side-neutral value types and one formatter; rtp_stream::get_vq_report fills the media part
// from its counters and monitor, the leg passes the SIP part.
#pragma once

#include <cstdint>

#include "base/str.h"
#include "frame/clock.h"

// What the leg knows (SIP side).
struct vq_sip_fields {
  str call_id, from, to;
  str local_ip;  // the media address the leg announced; empty: the stream's bind address
  atimestamp start = 0, stop = 0;  // wall clock, ms since 1970
  str user_agent;                  // ours, "name/version"
  str service_access;              // SVA
  int post_dial_delay = 0;         // SRD, ms
  int trunk_failures = 0;          // SFC
  str end_code;                    // SDC: "OK", "AM", "NM", "CO", "OR", ...
  int bye_delay = 0;               // SDD, ms
  str disconnect_reason;           // SDR
};

struct vq_metrics {
  uint32_t received = 0, lost = 0;  // packets
  int discarded_permille = 0;       // JDR
  int round_trip_delay = 0;         // ms
  int jitter_ms = 0;                // mean interarrival jitter
  int max_jitter_ms = 0;
};

struct vq_inputs {
  vq_sip_fields sip;
  int payload_type = 0;
  str codec_name;
  int frame_ms = 20, frame_octets = 160, packets_per_second = 50;
  str local_ip, remote_ip;
  int local_port = 0, remote_port = 0;
  uint32_t local_ssrc = 0, remote_ssrc = 0;
  vq_metrics local;
  bool remote_known = false;  // the peer sent an extended report
  vq_metrics remote;
  int remote_mos_lq = -1, remote_mos_cq = -1;  // tenths, as the peer measured (-1: not given)
};

// The listening quality estimate (MOS, in tenths) of a loss fraction and delay: a reduced
// E-model (ITU-T G.107) for G.711 with packet loss concealment.
int vq_mos_tenths(uint32_t received, uint32_t lost, int delay_ms);
// The whole report text.
str vq_report_text(const vq_inputs& in);
