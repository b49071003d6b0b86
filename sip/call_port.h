// call_port: one leg of a back-to-back call, the SIP dialog with one remote user agent and its
// SDP. A call between two phones is two call ports that the PBX links; a call to a voicemail is
// one port whose media is played and recorded here.
//
// The port never routes calls and never decides what a call means. It reports every event to
// the PBX (sip/call_messages.h: GetDialogPolicy, GetDialogState, DialogResponse, DialogHangup,
// ...) and produces the SIP traffic that the state code the PBX sets demands
// (set_state_code). An incoming INVITE creates a port (admit_invite); an outgoing leg is
// created by the PBX's StartDialog and sends its INVITE.
//
// All ports live in the fixed table call_ports; the index (0..511) is the leg's identity in
// timers, linked sets and messages. A slot is free while its index is -1. call_port_map maps a
// SIP Call-ID to the ports that carry it.
//
// srv side: every function runs under srv_run_mutex (SIP socket thread, connection threads,
// SIP timer thread). Timers carry only the port index and check the range when they fire.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/clock.h"
#include "frame/timeout.h"
#include "media/audio_player.h"
#include "media/call_sdp.h"
#include "media/rtp_stream.h"
#include "sip/auth_policy.h"
#include "sip/digest_auth.h"
#include "sip/sip_message.h"
#include "sip/sip_transport.h"
#include "sip/transport_type.h"

constexpr int call_port_count = 512;

// Hangup reasons (DialogHangup's Reason).
extern const str hangup_bye, hangup_cancel, hangup_timeout, hangup_busy, hangup_nomedia,
    hangup_oneway, hangup_duration, hangup_reject;

class call_port {
 public:
  struct route_set {
    bool fixed = false;  // came from a 2xx or a request; no longer replaced
    std::vector<from_to_spec> routes;  // the last one is the remote Contact
  };

  // ---- Identity and dialog
  int index = -1;
  str call_id;
  from_to_spec local, remote;  // with the local and the remote tag
  bool incoming = false;
  str trunk;
  ip_port source;  // of the last request received
  transport_type transport;
  str port_name;
  std::map<str, route_set> route_sets;  // by remote tag; "" is the initial route set
  str outbound_proxy;
  bool force_outbound_proxy = false;
  str next_nonce;
  str identity, privacy_style;
  bool anonymous = false;
  str icid_value, orig_ioi;
  str contact_user;
  // Answering the challenges to this leg's requests.
  str auth_user, auth_password;
  stored_challenge challenge;
  // Checking the requests of an incoming leg (SetDialogPolicy).
  auth_credentials credentials;
  call_leg_auth auth;
  str trusted;  // addresses that need no challenge
  str registration, instance;

  // ---- Transaction memory
  sip_message last_invite;   // last INVITE sent; method empty once answered
  sip_message last_request;  // last other request sent; method empty once answered
  sip_message invite_to_answer;  // method empty when none is owed
  sip_message last_received;     // last other request received; method empty when none
  int last_code = 0;
  uint32_t last_code_cseq = 0;
  std::vector<sip_message> deferred;
  std::deque<sip_message> security_queue;
  bool trying_sent = false, policy_requested = false, policy_known = false,
       state_requested = false, state_known = false, initial_invite_done = false,
       invite_pending = false, hangup_sent = false, completed_elsewhere = false;

  // ---- Call state
  int state_code = 0;
  str state_reason;
  rtimestamp connect_time = 0, invite_time = 0, bye_time = 0;
  int post_dial_delay = -1, bye_delay = -1;
  str service_access;
  str disconnect_reason, reason_header, end_code;
  bool on_hold = false;
  bool supports_callerid = false, supports_100rel = false, supports_from_change = false,
       peer_telephone_event = false, peer_update = false;
  str user_agent;
  str refer_sub;
  std::set<int> linked;

  // ---- Set by the PBX
  bool ring_180 = false, play_loop = false, play_alert = false, analyse_dtmf = false,
       fax_detection = false, moderator = false, muted = false, secure = false,
       accept_redirect = false, cache = false;
  str picture, alert_info, diversion, related, sdes, sdp_dest, play_file, moh_file, conf_dest,
      record_file, record_mode, playback_speed;
  str listener, listener_mode;  // the leg that monitors this one (its index), and how
  int codec_hint = -1;
  int first_invite_timeout = 0;  // seconds; 0: the transaction default

  // ---- SDP and media
  call_sdp media;
  int rtp_port = 0;              // even; RTCP on the next (the bound port when the leg has sockets)
  rtimestamp sending_since = 0;  // when media sending started, the media time-out's first base
  bool media_only = false;       // created without SIP dialog (StartDialog without URI)
  bool sending = false;          // media sending started
  // How often the choice between relaying and transcoding must be made again.
  int media_mode_changes = 0;
  int trunk_failures = 0;  // the trunk's failure counter as this leg saw it
  bool first_invite_sent = false;

  // ---- Timers (sip timer queue; they carry the index)
  timeout ring_timer, rtp_timer, abs_timer;
  int rtp_timer_seconds = 0;
  // The PBX's named timers (SetDialogTimeout): by name (arg1), with the arg2 they report.
  struct dialog_timer {
    timeout t;
    str arg2;
  };
  std::map<str, dialog_timer> dialog_timers;

  // ---- Audio (sip/call_port_audio.cc): the play list, music on hold and the recording, made
  // on first use and hooked into the leg's stream; gone with the leg (a recording is then
  // finished and reported).
  std::shared_ptr<leg_audio> audio;
  // (Re)starts the play list of play_file with play_loop, play_alert and cache (empty: stops).
  void play();
  // The music-on-hold source (empty: stops).
  void set_moh(const str& file);
  // Starts (file not empty) or stops the recording; mode: see leg_audio::add_record_file.
  void set_recording(const str& file, const str& mode);
  void change_record_filename(const str& file);
  void set_playback_speed(const str& speed);
  // The music volume in 1/65536 (65536: as recorded); with a delta it moves per sample towards
  // the destination value.
  void set_moh_vol_val(int value);
  void set_moh_vol_delta(int delta);
  void set_moh_vol_dst(int dst);
  // MoveIVR: this leg takes over what from played, recorded and analysed for its application:
  // the play list where it stands (its end is reported as this leg's DialogEOF), the running
  // recording (this leg's own one is finished and reported first), the playback speed and the
  // DTMF analysis. The music on hold stays with its leg: it belongs to the hold, not to the
  // application. from is left playing and recording nothing.
  void take_ivr(call_port& from);

  // The leg's own SIP trace: every message it sent or received.
  str sip_log;

  // The leg's RTP stream (media/rtp_stream.h, the registry entry of its index); nullptr for a
  // free slot.
  rtp_stream* stream() const { return rtp_stream_of(index); }
  // From the stream: the last packet received (the start of sending while none came), the
  // packets received and sent.
  rtimestamp last_rtp_received() const;
  uint64_t rtp_received() const;
  uint64_t rtp_sent() const;
  // The stream's SDP destination from the remote SDP: media.media_destination with the port of
  // the remote audio m-line (or the port in the destination text of a media-only leg).
  void update_media_destination();

  bool is_ringing() const { return state_code >= 180 && state_code < 200; }
  bool is_connected() const { return state_code >= 200 && state_code < 300; }
  bool is_terminated() const { return state_code >= 300; }
  bool has_dialog() const { return !route_sets.empty(); }

  // Back to a free slot (index -1), every field reset.
  void clear();

  // ---- Entry points from the SIP layer
  void handle_dialog_request(sip_message& request);
  void handle_dialog_response(sip_message& response);

  // ---- Operations the PBX drives
  void set_state_code(int code, const str& reason);
  void send_invite();
  void send_update();
  void send_reinvite();
  void send_bye(const str& tag = str());
  void send_cancel();
  void send_hangup(const str& reason);
  void send_connected();
  void send_ringing();
  void send_invite_response(int code, const str& reason, bool with_sdp = true);
  void send_general_response(int code, const str& reason, const sip_message& request,
                             const str& header = str(), const str& value = str());
  void send_prack(const sip_message& response);
  void send_cid(const str& from, const str& to, bool silent);
  void notify_talk(const str& event);
  void send_notify(const str& event, const str& content_type, const str& body);
  void send_refer(const str& refer_to, const str& referred_by);
  void forward_info(const str& text);
  void send_aoc_info(const str& body);
  // Relays a telephone event (0..16) to the peer of this leg.
  void send_telephone_event(int event);
  // A digit event of this leg's media (0..16 or 'F', media/dtmf_receiver.h): 'F' is reported
  // (fax detection asked for it); any other event is reported when analyse DTMF is on and
  // relayed to the linked legs.
  void on_media_dtmf(int event);
  // DialogDTMF with the character of an event or character (dtmf_report_char); events
  // without a character are not reported.
  void handle_dtmf(int event);
  // Relays an event to every linked leg: as an INFO to those whose peer announced
  // "telephone-event" in Allow-Events while this leg's peer sends no RFC 4733 events, and
  // always to the linked leg's media (send_telephone_event).
  void send_telephony_event(int event);
  // An INFO "application/dtmf-relay" with the event (dtmf_relay_info_body).
  void send_dtmf_info(int event);
  // The hangup-tone detector of this leg's media has recognised a hangup tone.
  bool hangup_tone_detected() const;
  void set_trunk(const str& name) { trunk = name; }
  void set_initial_route(const std::vector<from_to_spec>& routes, const str& proxy,
                         const str& registration);
  void extract_routing(const sip_message& message);
  str show_routes() const;
  // The SDP to send: the local one, or the other leg's in pass-through modes 2 and 3.
  sdp outgoing_sdp() const;
  void set_codecs(const str& list, bool lock) { media.set_codecs(list, lock); }
  // Restarts the media timer for seconds (at least 10 unless seconds is 8, the hung-up wait).
  // After a hangup tone only the hung-up wait is armed.
  void arm_media_timer(int seconds);
  void start_sending();
  // Connected: the connect time, the maximum duration and the media timer.
  void start_connected_timers();
  // Hands the leg's media needs (hold, playing, recording, listeners, conference) to its stream,
  // which chooses between relaying and transcoding.
  // The leg ends its part in every bridge: the legs it was linked with no longer count it as
  // their other side (a transfer links them anew), and their media is decided again.
  void leave_links();
  void redetermine_media();
  // A new request to the remote party of this leg, with its route set applied on send.
  sip_message new_request(const str& method) const;
  // Hands a request to the transaction layer (identity, charging vector, routes, Contact,
  // credentials) and remembers it.
  void send_request(sip_message& request);

 private:
  friend int admit_invite(sip_message& request);
  void check_supported(const sip_message& m);
  bool apply_security_policy(const sip_message& request);
  bool process_sdp(const sip_message& m);
  void send_trying(const sip_message& request);
  void request_dialog_state(const sip_message& request);
  // The codec of the first format of the peer's audio offer; -1 when there is none.
  int offered_codec() const;
  void dispatch(sip_message& request);
  // A re-INVITE or UPDATE inside the dialog makes its Contact the remote target (the last entry
  // of the route set of its From tag).
  void refresh_target(const sip_message& request);
  void handle_dialog_invite_request(sip_message& request);
  void handle_cancel(sip_message& request);
  void handle_dialog_bye_request(sip_message& request);
  void handle_prack(sip_message& request);
  void handle_update(sip_message& request);
  void handle_dialog_info_request(sip_message& request);
  void handle_refer(sip_message& request);
  void handle_invite_response(sip_message& response);
  void send_response(sip_message& response);
  void add_common_headers(sip_message& m) const;
  void dialog_response(const sip_message& response);
  // The codec map of the leg the codec hint names; nullptr when there is none.
  const codec_map* hinted_codecs() const;
  // The codec list and the local SDP of the first answer, built when still missing.
  void prepare_local_sdp();
  // False (and the leg ended with 415, empty_log logged with the Call-ID) when no codec is left.
  bool codecs_left(const char* empty_log);

 public:
  // DialogHangup with reason and the voice-quality report.
  void hangup_report(const str& reason);
};

// The event of an application/dtmf-relay body's Signal line: a digit as such, "*" 10, "#" 11,
// "A".."D" 12..15, anything else 16; -1 without a Signal line.
int dtmf_relay_event(const str& body);

extern call_port call_ports[call_port_count];
extern std::multimap<str, int> call_port_map;

// The port at index, nullptr outside 0..511 or for a free slot.
call_port* get_port(int index);
// Takes the next free slot from the rotating cursor for call_id; -1 when all are in use.
int allocate_call_port(const str& call_id);
// The first port of call_id whose local tag equals local_tag (when non-empty) or whose remote
// tag equals remote_tag (when non-empty); -1 when none.
int find_port(const str& call_id, const str& local_tag, const str& remote_tag);
// Reports DialogEND and frees the slot (its linked ports forget it).
void erase_call_port(int index);
// Number of ports in use.
int call_ports_in_use();
// Frees every slot without reporting and forgets the INVITE rate (tests and benchmarks).
void reset_call_ports();
void reset_invite_rate();

// A new INVITE outside any port: loop detection, rate and CPU limits, allocation. Answers 482
// or 501 itself; returns the new port's index, -1 when refused.
int admit_invite(sip_message& request);

// Timer and transaction callbacks by index (out-of-range indexes are ignored). A hangup they
// start is reported (DialogHangup with its reason) when the dialog has ended: the answer to
// the BYE or CANCEL, or the end of that transaction.
void cancel_timeout_proc(int index);
void rtp_hangup(int index);
void abs_hangup(int index);
void ack_no_ok_timeout(int index);
void dialog_timeout_proc(const str& name, int index);

// Requests for the call legs (INVITE without port, and everything of a port) and responses to
// their requests. Returns false when the message is not for a call leg.
bool call_port_request(sip_message& request);
bool call_port_response(sip_message& response);

// The call legs' place in the SIP stack: new INVITEs and every message of a port go to the
// port, everything else to next.
class call_port_transaction_user : public forwarding_transaction_user {
 public:
  using forwarding_transaction_user::forwarding_transaction_user;
  void travel_forward(sip_message& request, const str& raw) override;
  void travel_backward(sip_message& response) override;
  // A challenge to a leg's request is answered with the leg's credentials; the request sent
  // again is then the leg's open one.
  bool check_authentication(const sip_message& response, const sip_message& request) override;
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    return find_port(call_id, local_tag, remote_tag);
  }
  bool has_connect_time(int index) override;
  void ack_no_ok_timeout(int index) override { ::ack_no_ok_timeout(index); }
  void send_hangup_timeout(int index) override;
};

// The end of the chain: a request inside a dialog that nobody knows (a To tag, no call leg, no
// binding) is answered 481 "Call/Transaction Does Not Exist"; anything else is dropped.
class no_dialog_user : public sip_transaction_user {
 public:
  void travel_forward(sip_message& request, const str& raw) override;
};

// Keeps the challenges answered for the legs' requests in the leg (so that its later
// requests carry credentials at once); everything else goes to next (may be nullptr).
class call_port_auth_hooks : public auth_hooks {
 public:
  explicit call_port_auth_hooks(auth_hooks* next) : next_(next) {}
  void send_response(const sip_message& response, const sip_message& request) override;
  void send_request(const sip_message& request) override;
  void store_call_port_challenge(int index, const stored_challenge& c) override;
  void store_trunk_challenge(const str& call_id, const stored_challenge& c) override;

 private:
  auth_hooks* next_;
};

// Installs the call legs in front of the current transaction user (new INVITEs and every
// message of a port go to the port, the rest on), their trace, and the store of the challenges
// answered for their requests in front of the current auth_hooks. Call it after
// install_registrar.
void install_call_ports();
// The srv queue's commands for the call legs (sip/call_messages.h); true when text was one.
bool call_port_on_soap(const str& text);
