// transparent_port: a relay port for a stream that the media engine does not take apart (the
// video, image or any other m-line of an SDP that a leg relays in pass-through).
//
// The leg that received such an SDP opens one relay port per m-line (rtp_stream::
// transparent_port, by stream number). The relayed copy of the SDP names the relay port, so the
// linked leg's peer sends that stream there, and the port hands every datagram on unchanged to
// its destination: the address and port of that m-line in the SDP of the leg's own peer
// ("Passthrough: Setting destination to %s"). The linked leg's relay port of the same stream
// number is the partner: the datagrams arriving here come from the peer the partner sends to,
// so when their source is not the partner's destination, the partner follows the peer's actual
// address ("Passthrough: Changing destination"), as symmetric RTP does for audio.
//
// srv side: the RTP thread under srv_run_mutex, like rtp_stream.
#pragma once

#include <cstdint>

#include "base/ip_port.h"
#include "base/str.h"

class rtp_socket_ops;

class transparent_port {
 public:
  int fd = -1;        // -1 until open
  int port = 0;       // the bound port
  bool ipv6 = false;  // the family of the bound address, which the destination must share
  ip_port destination;
  uint64_t relayed = 0;  // datagrams handed on

  // Binds a random even port of the RTP range on bind's address, up to 10 attempts; false when
  // none could be bound. An open port stays as it is.
  bool open(rtp_socket_ops& ops, const ip_port& bind);
  void close(rtp_socket_ops& ops);
  // The destination from the peer's SDP; logged when it changes.
  void set_destination(const ip_port& d);
  // One datagram that arrived from source: partner (may be null) follows source, then the
  // datagram goes to the destination. False when it could not be sent.
  bool relay(rtp_socket_ops& ops, const str& data, const ip_port& source,
             transparent_port* partner);
};
