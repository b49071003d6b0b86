// srtp_session: the SRTP and SRTCP contexts of one RTP stream (RFC 3711 through libsrtp2).
//
// The send context protects the packets the leg sends (its own and relayed ones) with the local
// key; the receive context verifies and decrypts what the peer sends with the remote key. Keys
// are the SDES form of the leg's SDP state (call_sdp): 16 bytes of master key followed by 14 of
// master salt. The contexts follow the SDP state: each call compares the keys it was built from
// with the current ones and rebuilds a context whose key changed, so a re-INVITE with a new key
// needs no further call. Without a key a direction passes packets unchanged.
//
// Roll-over counter: the receive context keeps libsrtp's packet index estimation (RFC 3711
// section 3.3.1: the index closest to the highest one seen, with a replay window), instead of
// trying a fixed list of roll-over counter offsets against the tag. Both accept the same
// in-order and moderately reordered traffic; the estimation needs one HMAC per packet instead
// of up to six, and a packet that it places in the wrong roll-over period is dropped as a
// wrong MAC rather than rescued by a later offset.
//
// srv side: used by the RTP thread under srv_run_mutex. Movable, not copyable.
#pragma once

#include "base/str.h"
#include "media/call_sdp.h"

struct srtp_ctx_t_;

enum class srtp_result {
  ok,         // verified and decrypted (or passed plain without a key)
  wrong_mac,  // authentication failed: drop and count
  rejected    // replayed, malformed or a library failure: drop silently
};

class srtp_session {
 public:
  srtp_session() = default;
  ~srtp_session();
  srtp_session(srtp_session&& o) noexcept;
  srtp_session& operator=(srtp_session&& o) noexcept;
  srtp_session(const srtp_session&) = delete;
  srtp_session& operator=(const srtp_session&) = delete;

  // Packets dropped for a wrong MAC (RTP only); "Dropped %d SRTP packets with wrong MAC" is
  // logged when it reaches 10, 100 and 1000.
  int wrong_mac_drops = 0;

  // Protects packet in place (the tag appended); media may be nullptr (no key). False when a
  // key is set but the packet could not be protected: it must not be sent.
  bool protect_rtp(const call_sdp* media, str& packet);
  bool protect_rtcp(const call_sdp* media, str& packet);
  // Verifies and decrypts packet in place (the tag removed).
  srtp_result unprotect_rtp(const call_sdp* media, str& packet);
  srtp_result unprotect_rtcp(const call_sdp* media, str& packet);

  // Forgets the receive context, so that the next packet starts a fresh one from the remote key
  // (the peer changed its SSRC).
  void restart_receive();
  bool sending_keyed(const call_sdp* media) const;
  bool receiving_keyed(const call_sdp* media) const;

 private:
  bool sync_send(const call_sdp* media);
  bool sync_receive(const call_sdp* media);

  srtp_ctx_t_* send_ = nullptr;
  srtp_ctx_t_* receive_ = nullptr;
  str send_key_, receive_key_, send_suite_, receive_suite_;  // what the contexts came from
};
