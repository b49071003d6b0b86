// rtcp: the RTCP packets of a leg (RFC 3550 sender report, SDES, BYE; RFC 3611 extended report)
// and the monitor that collects what the RTCP reports and the voice-quality report need: the
// receive statistics of the peer's stream and what the peer's own reports said.
//
// Our sender report carries one reception report block about the peer's stream once its SSRC
// is known. Our extended report carries the statistics summary block (RFC 3611 section 4.6),
// the VoIP metrics block (4.7), a receiver reference time block (4.4), whose answer in the
// peer's DLRR block gives the round trip, and, once the peer sent a receiver reference time
// block of its own, the DLRR block (4.5) that answers it. Of the peer's reports we read sender
// reports, statistics summary, VoIP metrics, receiver reference time and DLRR blocks.
//
// The builders and the reader are side-neutral value functions; rtcp_monitor belongs to one
// rtp_stream (srv side, RTP thread under srv_run_mutex).
#pragma once

#include <cstdint>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/timeout.h"

constexpr int rtcp_interval_seconds = 5;

// What the peer's RTCP reported.
struct rtcp_peer_report {
  bool sender_report = false;  // an SR (type 200) arrived
  uint32_t sr_ntp_middle = 0;  // the middle 32 bits of its NTP time (our LSR)
  rtimestamp sr_received = 0;  // when it arrived
  uint32_t sr_packets = 0, sr_octets = 0;
  bool summary = false;  // statistics summary block (XR block type 6)
  uint32_t lost = 0, duplicates = 0, mean_jitter = 0, max_jitter = 0;  // jitter: RTP ticks
  bool voip_metrics = false;  // VoIP metrics block (XR block type 7)
  int loss_rate = 0, discard_rate = 0, round_trip_delay = 0, end_system_delay = 0, r_factor = 127,
      mos_lq = 127, mos_cq = 127;            // as carried (127: unavailable)
  bool report_block = false;                 // a report block about our stream (in an SR or RR)
  uint32_t cumulative_lost = 0, jitter = 0;  // from it; jitter in RTP ticks
  // The round trip, from a report block's LSR and DLSR (or an XR DLRR block) answering ours.
  int network_delay_ms = -1;
  // The peer's last receiver reference time block (XR block type 4), for our DLRR answer: the
  // SSRC of its report, the middle 32 bits of its NTP time (LRR) and of ours when it arrived.
  bool reference_time = false;
  uint32_t rrt_ssrc = 0, rrt_ntp_middle = 0, rrt_arrival_middle = 0;
};

// One reception report block (RFC 3550 section 6.4.1).
struct rtcp_report_block {
  uint32_t ssrc = 0;
  int fraction_lost = 0;          // in 1/256
  uint32_t cumulative_lost = 0;   // 24 bits
  uint32_t highest_sequence = 0;  // extended
  uint32_t jitter = 0;            // RTP ticks
  uint32_t lsr = 0, dlsr = 0;     // dlsr in 1/65536 s
};

// Receive statistics of the peer's stream (RFC 3550 appendix A.1 and A.8) and the peer's reports.
class rtcp_monitor {
 public:
  // One received RTP packet: its sequence, its RTP timestamp and the local arrival time.
  void on_rtp(uint16_t sequence, uint32_t rtp_timestamp, rtimestamp arrival);
  uint32_t received() const { return received_; }
  uint32_t first_sequence() const { return base_; }
  uint32_t highest_sequence() const { return max_; }  // extended
  // Expected minus received, never below 0.
  uint32_t lost() const;
  // Interarrival jitter in RTP ticks (8 per ms): current, and the minimum, maximum, mean and
  // standard deviation of its values after each packet but the first (0 before there are any).
  uint32_t jitter() const { return jitter_ >> 4; }
  uint32_t min_jitter() const { return received_ > 1 ? min_jitter_ : 0; }
  uint32_t max_jitter() const { return max_jitter_; }
  uint32_t mean_jitter() const;
  uint32_t deviation_jitter() const;
  // Loss over the whole stream in 1/256 (the VoIP metrics loss rate).
  int loss_rate() const;
  // The reception report block about the peer's stream remote_ssrc at now: the fraction lost
  // since the previous call (which this call starts anew), cumulative loss, extended highest
  // sequence, jitter, and LSR and DLSR from the peer's last sender report.
  rtcp_report_block report_block(uint32_t remote_ssrc, rtimestamp now);
  void reset() { *this = rtcp_monitor(); }

  rtcp_peer_report peer;
  timeout timer;  // the 5 s report timer on rtp_thread_queue

 private:
  bool started_ = false;
  uint32_t base_ = 0, max_ = 0, received_ = 0;
  uint32_t jitter_ = 0, max_jitter_ = 0;  // jitter_: scaled by 16 (appendix A.8)
  uint32_t min_jitter_ = UINT32_MAX;
  uint64_t jitter_sum_ = 0, jitter_squares_ = 0;
  int64_t last_transit_ = 0;
  uint32_t expected_prior_ = 0, received_prior_ = 0;  // at the previous report block
};

// The 64-bit NTP time of a wall-clock time (ms since 1970).
uint64_t ntp_time(atimestamp wall_ms);

struct rtcp_sr_fields {
  uint32_t ssrc = 0;
  uint64_t ntp = 0;
  uint32_t rtp_timestamp = 0;
  uint32_t packets = 0, octets = 0;
  str cname;
  bool has_block = false;  // block is sent
  rtcp_report_block block;
};
// A sender report (with the report block when has_block), followed by an SDES packet with the
// CNAME.
str rtcp_sender_report(const rtcp_sr_fields& f);
// An extended report of ssrc about the source remote_ssrc: the statistics summary block (loss,
// duplicates and jitter; no TTL) when summary, the VoIP metrics block when voip (the monitor's
// loss, round trip and MOS; what is not measured is reported unavailable), always the receiver
// reference time block with our NTP time ntp, and the DLRR block answering the peer's receiver
// reference time when one arrived (its delay since then measured with ntp).
str rtcp_xr(uint32_t ssrc, uint32_t remote_ssrc, const rtcp_monitor& m, uint64_t ntp, bool summary,
            bool voip);
// A BYE of ssrc with the reason text (at most 255 bytes), padded to 32 bits.
str rtcp_bye(uint32_t ssrc, const str& reason);
// Reads a compound packet into peer; false when it is not RTCP (version, lengths). our_ssrc
// selects the report blocks about our stream; now_ntp (ntp_time of now) measures round trips.
bool rtcp_read(const str& compound, rtimestamp received, uint32_t our_ssrc, uint64_t now_ntp,
               rtcp_peer_report& peer);
