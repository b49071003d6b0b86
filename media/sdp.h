// sdp and m_line: one session description and its media sections, parsed from and written to
// the text of an application/sdp body.
//
// Parsing never rejects input: what is missing stays empty. Lines are kept as windows on the
// parsed text. serialize writes the fields in a fixed order with CR LF line ends; the address
// family is the placeholder "{x-pre-ipv}" (and addresses may be "{x-pre-adr}" or
// "{x-pre-adrs}"), which the transport fills in when the message leaves.
//
// Side-neutral value types.
#pragma once

#include <vector>

#include "base/str.h"

extern const str sdp_recvonly, sdp_sendonly, sdp_inactive, sdp_sendrecv;  // "a=..." lines
extern const str sdp_crypto;                                              // "a=crypto"
extern const str sdp_offer, sdp_answer;
extern const str sdp_audio, sdp_video, sdp_image;
extern const str sdp_rtp_avp, sdp_rtp_savp, sdp_udptl, sdp_tcp, sdp_t38;
extern const str srtp_aes_80, srtp_aes_32, srtp_aes_0;  // "AES_CM_128_HMAC_SHA1_80", ...

class m_line {
 public:
  str media;                    // "audio", "video", "image"
  str port;                     // as written, e.g. "49170" or "49170/2"
  str protocol;                 // "RTP/AVP", "RTP/SAVP", "udptl", "tcp"
  std::vector<str> formats;     // payload type numbers or "t38"
  std::vector<str> attributes;  // whole "a=", "c=" and "b=" lines except direction lines
  // The whole direction line; inherited from the session level, "a=sendrecv" by default. Not
  // serialized: set_local_sdp writes the direction as an attribute line.
  str direction = sdp_sendrecv;

  // The value of the first "a=<name>:<value>" line ("" for a bare "a=<name>"), empty when none.
  str get_attribute(const str& name) const;
  // The values of all such lines, in order.
  std::vector<str> get_attributes(const str& name) const;
  // The encoding name of "a=rtpmap:<pt> <name>", e.g. "PCMU/8000"; empty when none.
  str get_rtpmap(int pt) const;
  // Removes pt from the formats with its "a=rtpmap" and "a=fmtp" lines.
  void remove_rtpmap(int pt);
  // The "a=ptime" value, empty when none.
  str get_ptime() const { return get_attribute("ptime"); }
};

class sdp {
 public:
  str kind;  // "offer", "answer" or empty: a hint for the SIP layer, not serialized
  str username = "-";
  str session_id;  // random decimal by default
  str version;     // equal to session_id by default
  str origin;      // address of the o= line
  str timing = "0 0";
  str session_name = "-";
  str bandwidth;                // b= value, written only when not empty
  str connection;               // address of the session c= line
  std::vector<str> attributes;  // session "a=" lines, direction lines excepted
  std::vector<m_line> media;

  // The defaults above, no m-line.
  sdp();
  // Parses text (see operator=).
  explicit sdp(const str& text) : sdp() { *this = text; }
  // Starts from the defaults and takes what the text has: o= fields 1, 2, 3 and 6; s=, t=, b=
  // whole; the third field of c=; session "a=" lines; each m= section with the lines that
  // follow it up to the next one. A session direction line is inherited by the m-lines.
  sdp& operator=(const str& text);

  // The text, lines ended by CR LF; crypto lines only with with_crypto. Empty when empty().
  str serialize(bool with_crypto) const;
  // Back to the defaults (a new session id).
  void clear() { *this = sdp(); }
  // No m-line and neither an origin nor a connection address: nothing was described.
  bool empty() const { return media.empty() && origin.empty() && connection.empty(); }
  // The port of the first m-line of that media, empty when none.
  str get_port(const str& media_name) const;
  // The direction of the first audio m-line without "a=", "sendrecv" when there is none.
  str get_sdp_state() const;
  // Sets the direction of every audio m-line to "a=" + state.
  void set_sdp_state(const str& state);
  // The version plus one, as decimal text of any length; a version that is not decimal
  // becomes "1".
  void increase_version();
};
