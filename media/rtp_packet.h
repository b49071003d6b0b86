// rtp_packet: the fixed header of an RTP packet (RFC 3550), read from a received datagram and
// written for a relayed one.
//
// Side-neutral value functions; the payload window shares the packet's buffer.
#pragma once

#include <cstdint>

#include "base/str.h"

constexpr size_t rtp_min_header = 12;

struct rtp_header {
  int version = 0;
  int csrc_count = 0;
  bool padding = false;
  bool extension = false;
  bool marker = false;
  int payload_type = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  size_t header_length = 0;  // 12 + 4 per CSRC (+ 4 + 4 per extension word)
  str payload;               // everything after the header (padding included)
};

// Reads the header of packet into h. False when the packet is not RTP: shorter than 12 bytes,
// a first byte of 0 or 1 (STUN and the like share the port), a version other than 2, or a CSRC
// list or extension that runs past the end of the packet.
bool rtp_parse(const str& packet, rtp_header& h);

// The 12-byte header of a packet we send: 0x80 (version 2, no padding, extension or CSRC),
// marker and payload type, then sequence, timestamp and SSRC in network order.
str rtp_write_header(bool marker, int payload_type, uint16_t sequence, uint32_t timestamp,
                     uint32_t ssrc);
