// call_sdp: the SDP state of one call leg: its local, remote and relayed session
// descriptions, the codec lists negotiated from them, the SRTP keys of the SDES crypto lines,
// and the offer/answer state that the leg's SIP dialog drives.
//
// The leg owns one call_sdp. It sets the local RTP port and the codec preference, feeds every
// received SDP to set_remote_sdp, and before sending an SDP runs update_codecs,
// set_local_sdp, determine_send_codec and set_offer_answer_hint. Configuration is read from
// the settings (codec_preference, always_send_ptime, packet_size, search_audio).
//
// srv side: used under srv_run_mutex by the leg's thread.
#pragma once

#include <vector>

#include "base/str.h"
#include "media/codec.h"
#include "media/sdp.h"

enum class remote_sdp_result {
  rejected,     // no media described: the leg answers 415 "Unsupported Media Type"
  accepted,     // now the remote SDP
  pass_through  // kept as relayed: the leg allocates relay ports and updates its linked legs
};

struct call_sdp {
  str name;  // the leg's Call-ID, for the log texts

  sdp local;    // one audio m-line, addresses "{x-pre-adr}"
  sdp remote;   // as received
  sdp relayed;  // as received, c= lines "{x-pre-adrs}", for the linked leg

  codec_map codecs;                   // the peer's payload types
  std::vector<int> codec_preference;  // set_codecs; telephone-event last
  std::vector<int> available_codecs;  // update_codecs: the negotiated list in order
  int send_codec = -1;                // -1 until chosen
  str ptime;                          // the peer's "a=ptime" value, empty when none or unusable
  int packet_length;                  // ms; packet_size until the peer's ptime says otherwise
  int offer_answer_state = 0;         // 0 to 5, see advance_offer_answer_on_send
  int pass_through = 0;               // 0 to 3
  str media_destination;              // the peer's RTP address
  int rtcp_port = 0;                  // the peer's RTCP port
  str rtcp_address;                   // and address
  str remote_rtcp_xr;                 // the peer's "a=rtcp-xr" value, for the RTP engine
  bool codec_lock = false;            // accept relayed packets only in the send codec
  bool inband_dtmf = true;            // off when the peer sends telephone-event

  // SRTP (SDES). The local key is 16 bytes of key and 14 of salt; the remote key is what the
  // peer's accepted crypto line carried (empty when none). The peer's accepted line also sets
  // the tag and suite, since an answer must echo them.
  str srtp_local_key;
  int crypto_tag = 1;
  str crypto_suite;
  str remote_key;
  int auth_tag_length = 0;  // bytes: 10, 4 or 0 by the peer's suite

  // RTCP-XR items offered in the local SDP.
  bool xr_loss_rle = false, xr_dup_rle = false, xr_rcpt_times = false, xr_rcvr_rtt = false,
       xr_stat_summary = false, xr_voip_metrics = false;

  call_sdp();

  // The port of the local audio m-lines.
  void set_rtp_port(int port);
  // The codec preference from a space-separated list of payload type numbers and codec names;
  // an empty list gives the system default (codec_preference). lock becomes codec_lock.
  void set_codecs(const str& list, bool lock);
  // Builds available_codecs from the preference. hinted: the codec map of the leg named by the
  // codec hint (the leg whose codecs to prefer, so that media relays without transcoding);
  // nullptr when there is none.
  void update_codecs(const codec_map* hinted);
  // Rebuilds every local audio m-line from available_codecs, the key, ptime and the remote
  // direction (a peer's hold is mirrored, never started here).
  void set_local_sdp();
  // True once set_local_sdp gave an audio m-line of the local SDP its formats. The m-line the
  // leg starts with has none: sent as it is, it would offer or answer nothing but
  // "RTP/AVP 0", without rtpmap or direction lines.
  bool local_built() const;
  // Rewrites only the crypto line of the local audio m-lines from the current key (the first
  // attribute line; the protocol becomes RTP/SAVP). Without a key the lines go.
  void update_sdp_crypto();
  // A new local key (30 secure random bytes); the suite defaults to AES_CM_128_HMAC_SHA1_80.
  // update_sdp_crypto or set_local_sdp puts it into the SDP.
  void new_srtp_key();
  void increase_version() { local.increase_version(); }

  // Takes a received SDP (advancing the offer/answer state). Crypto lines count only when it
  // came over TLS (secure_transport). A non-audio SDP (or any while pass_through is 2) of a leg
  // with linked ports is kept as relayed and gives pass_through; the caller reads the peer's
  // addresses from s, since the relayed copy has its addresses replaced. An "image"/"udptl"
  // offer is treated like any other non-audio SDP.
  remote_sdp_result set_remote_sdp(const sdp& s, bool secure_transport, bool has_linked_ports);
  // send_codec from the first format of the local audio m-line, then codecs rebuilt from the
  // local SDP.
  void determine_send_codec();
  // local.kind: "offer" in state 3, "answer" in 4 and 5, empty otherwise.
  void set_offer_answer_hint();
  // The state after the leg sent an SDP with a message of that state code (a request or a
  // response code): 0, 2, 3 become 3 (offer sent); 1 becomes 4 below 200 (answer in a
  // provisional response), else 5; 4 becomes 5 at 200 or above; 5 stays.
  void advance_offer_answer_on_send(int state_code);
};
