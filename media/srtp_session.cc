#include "media/srtp_session.h"

#include <srtp2/srtp.h>

#include <cstring>
#include <utility>

#include "base/log.h"

namespace {

bool library_ready() {
  static const bool ready = srtp_init() == srtp_err_status_ok;
  return ready;
}

// The crypto policy of a suite; SRTCP keeps the 80-bit tag for the 32-bit suite (RFC 4568).
// The suite decides: the tag length follows the peer's answer, which may not have come yet
// when we send with the suite we offered. Without a suite the tag length does.
bool set_policy(srtp_policy_t& p, const str& suite, int tag_length) {
  if (suite.empty() ? tag_length == 0 : suite == srtp_aes_0) {
    srtp_crypto_policy_set_aes_cm_128_null_auth(&p.rtp);
    srtp_crypto_policy_set_aes_cm_128_null_auth(&p.rtcp);
  } else if (suite.empty() ? tag_length == 4 : suite == srtp_aes_32) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&p.rtp);
    srtp_crypto_policy_set_rtcp_default(&p.rtcp);
  } else {
    srtp_crypto_policy_set_rtp_default(&p.rtp);
    srtp_crypto_policy_set_rtcp_default(&p.rtcp);
  }
  return true;
}

// A context for key (30 bytes), or nullptr.
srtp_t make_context(const str& key, const str& suite, int tag_length, bool outbound) {
  if (key.length() != 30 || !library_ready()) return nullptr;
  srtp_policy_t p;
  std::memset(&p, 0, sizeof p);
  set_policy(p, suite, tag_length);
  p.ssrc.type = outbound ? ssrc_any_outbound : ssrc_any_inbound;
  unsigned char material[30];
  std::memcpy(material, key.cbuffer(), sizeof material);
  p.key = material;
  p.window_size = 128;
  p.allow_repeat_tx = 1;  // a relayed packet may be sent again after a fall-back
  srtp_t ctx = nullptr;
  if (srtp_create(&ctx, &p) != srtp_err_status_ok) return nullptr;
  return ctx;
}

void release(srtp_t& ctx) {
  if (ctx) srtp_dealloc(ctx);
  ctx = nullptr;
}

srtp_result classify(srtp_err_status_t e) {
  if (e == srtp_err_status_ok) return srtp_result::ok;
  return e == srtp_err_status_auth_fail ? srtp_result::wrong_mac : srtp_result::rejected;
}

using protect_fn = srtp_err_status_t (*)(srtp_t, void*, int*);

bool run_protect(srtp_t ctx, protect_fn f, size_t trailer, str& packet) {
  const size_t n = packet.length();
  packet.extend(trailer);
  int len = int(n);
  if (f(ctx, packet.buffer(), &len) != srtp_err_status_ok) {
    packet.truncate(n);
    return false;
  }
  packet.truncate(size_t(len));
  return true;
}

srtp_result run_unprotect(srtp_t ctx, protect_fn f, str& packet) {
  int len = int(packet.length());
  const srtp_result r = classify(f(ctx, packet.buffer(), &len));
  if (r == srtp_result::ok) packet.truncate(size_t(len));
  return r;
}

}  // namespace

srtp_session::~srtp_session() {
  release(send_);
  release(receive_);
}

srtp_session::srtp_session(srtp_session&& o) noexcept { *this = std::move(o); }

srtp_session& srtp_session::operator=(srtp_session&& o) noexcept {
  if (this == &o) return *this;
  release(send_);
  release(receive_);
  send_ = std::exchange(o.send_, nullptr);
  receive_ = std::exchange(o.receive_, nullptr);
  send_key_ = std::move(o.send_key_);
  receive_key_ = std::move(o.receive_key_);
  send_suite_ = std::move(o.send_suite_);
  receive_suite_ = std::move(o.receive_suite_);
  wrong_mac_drops = std::exchange(o.wrong_mac_drops, 0);
  return *this;
}

bool srtp_session::sending_keyed(const call_sdp* media) const {
  return media && media->srtp_local_key.length() == 30;
}

bool srtp_session::receiving_keyed(const call_sdp* media) const {
  return media && media->remote_key.length() == 30;
}

bool srtp_session::sync_send(const call_sdp* media) {
  if (!sending_keyed(media)) {
    release(send_);
    send_key_.clear();
    return false;
  }
  // Compared in place: no allocation per packet.
  if (!send_ || media->srtp_local_key != send_key_ || media->crypto_suite != send_suite_) {
    release(send_);
    send_ = make_context(media->srtp_local_key, media->crypto_suite, media->auth_tag_length, true);
    if (send_)
      log_printf(log_media, 5, "SRTP sending with %s for %s", media->crypto_suite, media->name);
    send_key_ = media->srtp_local_key;
    send_suite_ = media->crypto_suite;
  }
  return true;
}

bool srtp_session::sync_receive(const call_sdp* media) {
  if (!receiving_keyed(media)) {
    release(receive_);
    receive_key_.clear();
    return false;
  }
  // Compared in place: no allocation per packet.
  if (!receive_ || media->remote_key != receive_key_ || media->crypto_suite != receive_suite_) {
    release(receive_);
    receive_ = make_context(media->remote_key, media->crypto_suite, media->auth_tag_length, false);
    if (receive_)
      log_printf(log_media, 5, "SRTP receiving with %s for %s", media->crypto_suite, media->name);
    receive_key_ = media->remote_key;
    receive_suite_ = media->crypto_suite;
  }
  return true;
}

void srtp_session::restart_receive() {
  release(receive_);
  receive_key_.clear();
}

bool srtp_session::protect_rtp(const call_sdp* media, str& packet) {
  if (!sync_send(media)) return true;
  return send_ && packet.length() >= 12 &&
         run_protect(send_, srtp_protect, SRTP_MAX_TRAILER_LEN, packet);
}

bool srtp_session::protect_rtcp(const call_sdp* media, str& packet) {
  if (!sync_send(media)) return true;
  return send_ && packet.length() >= 8 &&
         run_protect(send_, srtp_protect_rtcp, SRTP_MAX_TRAILER_LEN + 4, packet);
}

srtp_result srtp_session::unprotect_rtp(const call_sdp* media, str& packet) {
  if (!sync_receive(media)) return srtp_result::ok;
  if (!receive_) return srtp_result::rejected;
  const srtp_result r = run_unprotect(receive_, srtp_unprotect, packet);
  if (r == srtp_result::wrong_mac) {
    ++wrong_mac_drops;
    if (wrong_mac_drops == 10 || wrong_mac_drops == 100 || wrong_mac_drops == 1000)
      log_printf(log_media, 4, "Dropped %d SRTP packets with wrong MAC", wrong_mac_drops);
  }
  return r;
}

srtp_result srtp_session::unprotect_rtcp(const call_sdp* media, str& packet) {
  if (!sync_receive(media)) return srtp_result::ok;
  if (!receive_) return srtp_result::rejected;
  return run_unprotect(receive_, srtp_unprotect_rtcp, packet);
}
