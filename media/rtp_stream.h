// rtp_stream: the media state of one call leg: its RTP/RTCP sockets, its own RTP header state,
// what it has received, where it sends, and the relay of received packets to its linked legs.
//
// The streams live in a fixed registry by leg index (rtp_stream_of), so that the call legs of
// sip/ and the RTP thread reach the same stream without media/ knowing the legs. The leg opens
// its entry when it is allocated (rtp_stream_open, then allocate_ports) and closes it when it is
// erased (rtp_stream_close), which also closes the sockets.
//
// srv side: every function runs under srv_run_mutex (the RTP thread while handling packets,
// the SIP threads while the legs change the media routing).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/net.h"
#include "frame/clock.h"
#include "frame/timeout.h"
#include "media/call_sdp.h"
#include "media/codec_engine.h"
#include "media/outgoing_buffer.h"
#include "media/dtmf.h"
#include "media/dtmf_receiver.h"
#include "media/rtcp.h"
#include "media/rtp_packet.h"
#include "media/srtp_session.h"
#include "media/transparent_port.h"
#include "media/vq_report.h"

// The sockets of the media engine, behind a seam so that tests can script them. Descriptors
// are small non-negative integers (-1: none); failures are return values.
class rtp_socket_ops {
 public:
  virtual ~rtp_socket_ops() = default;
  // A UDP socket bound to local (its family is the address's); -1 when the port is in use or
  // the address unusable.
  virtual int open(const ip_port& local) = 0;
  virtual void set_tos(int fd, int tos) = 0;
  virtual bool send(int fd, const str& data, const ip_port& dest) = 0;
  // One waiting datagram; false when none is waiting.
  virtual bool receive(int fd, str& data, ip_port& source) = 0;
  virtual void close(int fd) = 0;
};

// The real UDP sockets (non-blocking reads; IPv6 sockets IPv6-only).
rtp_socket_ops& udp_rtp_sockets();

// The port range from the texts of port_begin and port_end: a missing value (empty, not a
// number, or not a port below 65535) becomes 49152 or 57344; when begin is not below end both
// become 49152 and 57344.
std::pair<int, int> rtp_port_range(const str& begin, const str& end);
// (random modulo (end - begin) + begin) with the lowest bit cleared.
int rtp_port_in_range(std::pair<int, int> range, uint32_t random);
// An even port from the configured range (read once from the settings).
int get_random_rtp_port();

constexpr int rtp_stream_count = 512;  // one per call port

class rtp_stream {
 public:
  int index = -1;                   // the leg's index; -1 while the registry entry is free
  str name;                         // the leg's Call-ID, for the log texts
  const call_sdp* media = nullptr;  // the leg's SDP state: codecs, send codec, packet length
  rtp_socket_ops* ops = nullptr;    // set by allocate_ports

  // ---- Sockets
  bool use_ipv4 = true, use_ipv6 = false;
  int rtp4 = -1, rtcp4 = -1, rtp6 = -1, rtcp6 = -1;
  int local_port = 0;    // the bound RTP port (RTCP on the next), 0 before allocate_ports
  ip_port bind4, bind6;  // the bind addresses (port 0), from port_bind4 and port_bind6

  // ---- Routing
  ip_port destination;        // where packets go
  ip_port learned_source;     // where the last packet came from
  ip_port sdp_destination;    // from the remote SDP
  bool symmetric_rtp = true;  // symmetrical_rtp
  std::set<int> linked;       // the legs whose packets this one relays (indexes)

  // ---- Mode
  bool pass_through = false;  // fed by packet relay (determine_pt_mode)
  bool sending = false;       // takes part in the 10 ms clock
  bool on_hold = false;       // set by the leg
  bool local_media = false;   // set by the leg: plays, records, has listeners or a conference

  // ---- Own header state
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;

  // ---- Receive state
  bool remote_ssrc_known = false;
  uint32_t remote_ssrc = 0;
  uint32_t extended_sequence = 32768;
  rtimestamp last_received = 0;  // rtimestamp of the last accepted packet
  bool media_received = false;
  uint64_t packets_received = 0, bytes_received = 0, packets_sent = 0, bytes_sent = 0;
  uint64_t rtcp_received = 0;
  rtimestamp last_sent = 0;
  int telephone_event_pt = -1;  // learned from incoming packets

  // ---- Media-aware sending (media/rtp_send.cc)
  // One outgoing buffer per source (the linked legs whose media this leg sends).
  outgoing_buffer obufs[2];
  int elapsed_ms = 0;  // since the last packet of the 10 ms clock
  int hold_calls = 0;  // send_rtp calls while on hold
  int suppressed = 0;  // silent packets not sent since the last one sent
  codec encoder;       // the send codec's coder state
  // The in-band tones of events sent to a peer without telephone-event.
  dtmf_synthesizer send_tones;
  // Adds the leg's own audio (a played file, music on hold) to a mixed unit of 80 samples
  // with saturation; the leg's player sets it (media/audio_player.h). Unset: nothing is added.
  std::function<void(int16_t* unit)> add_local_audio;
  // Every accepted packet's payload with its codec (-1: unknown payload type), for the leg's
  // recording; unset: nothing is taken.
  std::function<void(int codec, const str& payload)> take_received;
  // ---- Digits and tones of the received audio (the leg sets its flags and callbacks)
  dtmf_receiver dtmf;

  // The packet length in ms: the SDP's (packet_size or the peer's ptime), 20 without one.
  int packet_length() const;

  // Fresh header state (random sequence 16384 + 15 bits, timestamp a random number times 80,
  // random SSRC), receive state and counters; symmetric RTP from symmetrical_rtp.
  void init();
  // Binds the RTP and RTCP sockets of the families in use to a random even port and the next,
  // up to 10 attempts; on failure "Could not allocate new ports!" is logged and false returned
  // (the stream stays without sockets). The sockets get the type of service of tos_rtp.
  bool allocate_ports(rtp_socket_ops& socket_ops);
  void close_ports();
  bool has_sockets() const { return rtp4 >= 0 || rtp6 >= 0; }

  // The destination from the remote SDP; recomputes the destination.
  void set_sdp_dest(const ip_port& dest);
  // With symmetric RTP the learned source when valid, else the SDP destination; a change
  // selects the socket family of the new address and is logged.
  void set_destination();

  // Whether this leg is fed by packet relay: allow_pass_through not "false", no local media,
  // not on hold, fewer than two linked legs and exactly one of its two outgoing buffers in use
  // (the buffers first follow the linked legs: one is allocated for each new source, a source
  // that left frees its; the end of a hold empties them). A change is logged; entering
  // media-aware mode restarts the 10 ms clock. True when in pass-through.
  bool determine_pt_mode();
  // Leaves pass-through for media-aware mode and starts sending.
  void fall_back_to_media_aware();
  // Takes part in the 10 ms clock (which is started when it is not running).
  void start_sending();

  // Every datagram of the RTP socket. Drops what is not RTP, a second SSRC within 100 ms of
  // the last packet (a later one re-keys the SRTP receive context), packets that fail SRTP
  // verification and duplicates; learns the source and the telephone-event payload type;
  // relays the packet to the linked legs that are in pass-through.
  void on_rtp(const str& packet, const ip_port& source, rtimestamp received, unsigned flags);
  // Every datagram of the RTCP socket (media/rtcp.cc): verified when keyed ("Discard SRTCP
  // packet from %s with wrong MAC"), then its sender and extended reports feed the monitor.
  void on_rtcp(const str& packet, const ip_port& source, rtimestamp received);

  // Sends payload under a new 12-byte header of this leg (its payload type for codec, own
  // sequence, timestamp and SSRC), then advances sequence by 1 and timestamp by packet length
  // times 8. False (and nothing advanced) without destination or socket.
  bool send_rtp_passthrough(bool marker, int payload_type, const str& payload);
  // 4 zero bytes on every enabled socket, counted as a sent packet.
  void send_rtp_keep_alive();

  // ---- Outgoing buffers (source: a linked leg's index and stream number)
  // The first unused buffer claimed for the source; nullptr when both are in use.
  outgoing_buffer* allocate_obuf(int port, int stream);
  outgoing_buffer* find_obuf(int port, int stream);
  void free_obuf(int port, int stream);
  void clear_jitter(int port, int stream);
  int obufs_in_use() const;
  // One 10 ms unit of the source into its buffer (allocated when missing); false when it was
  // dropped (no buffer free, or 15 units buffered).
  bool add_audio(int port, int stream, int codec, uint32_t timestamp, const str& unit);
  // A telephone-event payload of the source (event, end bit, duration; source_ts: the event's
  // RTP timestamp) into its buffer; events above 15 are ignored.
  void set_oob(int port, int stream, const str& payload, uint32_t source_ts);
  // What a media-aware leg does with a packet of a source: audio cut into units (split_units)
  // with their timestamps, a telephone event as an out-of-band event.
  void take_media(int port, int codec, const rtp_header& h);

  // ---- Media-aware send path (the 10 ms clock calls send_rtp)
  // One packet: nothing without destination; on hold the timestamp advances by 80 and every
  // 100th call sends comfort noise; a buffered telephone event goes out of band; otherwise
  // packet-length worth of 10 ms units in the send codec.
  void send_rtp();
  // packet_length / 10 units of get_10ms in the send codec; a packet of nothing but empty
  // units of the shortcut is suppressed, except that after 50 suppressed ones the next is sent.
  void send_rtp_inband();
  // The event of b: RFC 4733 packets when the peer negotiated telephone-event (timestamp of the
  // event's start, marker on its first packet, the end packet three times), else its in-band
  // tone.
  void send_rtp_outband(outgoing_buffer& b);
  void send_dtmf_tone(outgoing_buffer& b);
  // ---- Events of the leg itself (a digit the leg received in an INFO), 100 ms long
  // RFC 4733 event 0..15. A media-aware leg makes it the out-of-band event of its first
  // source's buffer (one claimed for the leg itself when it has none), which the 10 ms clock
  // sends and ends after 100 ms. A leg in pass-through sends it with own_event; when the peer
  // did not negotiate telephone-event it falls back to media-aware mode, which plays the tone.
  // False when the event is out of range or no buffer is free.
  bool send_event(int event);
  // The pass-through sender: one packet per packet length on the 10 ms clock's queue, all with
  // the timestamp at the event's start, the first with the marker; once the duration reaches
  // 100 ms the end packet three times. The leg's timestamp then moves past the event.
  struct event_sender {
    int event = -1;  // -1: idle
    int payload_type = -1;
    uint32_t start = 0;
    int duration = 0;  // samples
    timeout timer;
  } own_event;
  // One packet of own_event (the timer's step).
  void send_own_event();

  // Payload type 13 with the fixed comfort-noise payload.
  void send_comfort_noise();
  // One 10 ms unit in codec. The shortcut (one buffer in use, no local media): an empty buffer
  // gives encoded silence and sets empty; a 10 ms unit already in codec is taken unchanged.
  // Otherwise the sources are decoded, mixed with saturation at +-32767 together with the leg's
  // own audio, and encoded.
  str get_10ms(int codec, bool& empty);

  // ---- Relay ports of a pass-through SDP (media/transparent_port.h), by stream number
  std::map<int, transparent_port> transparent_ports;
  // One relay port per m-line of the peer's SDP that has a port, its destination from that
  // m-line (its own c= line, else the session's); the relayed copy of the SDP names the relay
  // port instead of the peer's. Ports of streams the SDP no longer has are closed. False when a
  // port could not be bound or the stream has no sockets (such a stream keeps the peer's port).
  bool open_transparent_ports(const sdp& peer, sdp& relayed);
  void close_transparent_ports();
  // A datagram on the relay port of stream: handed on; the linked leg's relay port of the same
  // stream follows its source.
  void on_transparent(int stream, const str& data, const ip_port& source);

  // ---- SRTP, RTCP and the voice-quality report (media/srtp_session.h, rtcp.h, vq_report.h;
  // the functions below are defined in media/rtcp.cc)
  srtp_session srtp;
  rtcp_monitor monitor;
  // The first RTCP report in 5 s, then every 5 s while the stream has sockets.
  void start_rtcp();
  // Sender report (a report block once the peer's SSRC is known, SDES CNAME, and when the peer
  // asked for rtcp-xr an extended report with the blocks the local SDP offered, statistics
  // summary and VoIP metrics, and the receiver reference time) to the RTCP destination, as
  // SRTCP when keyed. False when nothing could be sent.
  bool send_rtcp_sr();
  // A sender report and a BYE with reason.
  bool send_rtcp_bye(const str& reason);
  // The remote SDP's RTCP address (a=rtcp, or the RTP port + 1); invalid when unknown.
  ip_port rtcp_destination() const;
  // The RFC 6035 report from the counters and the monitor, with the leg's SIP fields.
  str get_vq_report(const vq_sip_fields& sip) const;

 private:
  // The receive hook of on_rtp: verifies and decrypts packet (h re-read from it) and feeds the
  // monitor; false when the packet must be dropped.
  bool receive_secured(str& packet, rtp_header& h, rtimestamp received);
  bool send_rtcp(str compound);
  // The sender report of this stream now (payload bytes without the 12-byte headers).
  rtcp_sr_fields sender_fields() const;
  bool send_datagram(const str& data);
  // Sends payload under the leg's own header, then advances the sequence by one; counted.
  bool send_own(bool marker, int payload_type, uint32_t ts, const str& payload);
  // The peer's payload type of the send codec (the system default when the peer has none).
  int send_payload_type() const;
  void sync_sources();
  bool was_on_hold = false;  // on_hold at the last determine_pt_mode
  bool open_pair(bool ipv6, int port);
  void close_pair(bool ipv6);
  void relay(const rtp_header& h);
};

// The registry entry of a leg index; nullptr outside 0..511 or while it is free.
rtp_stream* rtp_stream_of(int index);
// (Re)initialises the entry of index for a leg (closing what an earlier leg left); nullptr
// outside 0..511.
rtp_stream* rtp_stream_open(int index, const str& name, const call_sdp* media);
// Closes the sockets, forgets the links to and from it and frees the entry.
void rtp_stream_close(int index);

// The RTP thread's socket hooks (frame/rtp_loop.h): every bound stream's sockets are watched;
// a ready RTP socket goes to on_rtp, an RTCP socket to on_rtcp.
void rtp_streams_fill(read_set& watch);
void rtp_streams_serve(const read_set& ready);
