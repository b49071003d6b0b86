// The messages between a call leg (call port) and the PBX call logic (the envelope and the
// writer and reader: frame/soap_message.h).
//
//   srv -> ctrl (out_post):    GetDialogPolicy, GetDialogState, DialogResponse, DialogHangup,
//                              DialogRefer, DialogHold, DialogDTMF, DialogEOF,
//                              DialogTimoutReport, DialogRec, CMC, DialogEND, UpdateCallID,
//                              FileWritten
//   ctrl -> srv (pbxsrv_post): SetDialogPolicy, SetDialogState, StartDialog, SetCodecs,
//                              SendRefer, SendReinvite, SetRecording, ChangeRecordFilename,
//                              FaxDetection, SetPlayfile, SetMohFile, ChangeRTPDest,
//                              ConnectCalls, SetDialogTimeout, ClearDialogTimeout,
//                              SetPlaybackSpeed, SendNotify, SendNotifyTalk,
//                              PlayConferenceAnnoucement, SetDialogCID, SetListener,
//                              SetDialogCredentials, MoveIVR
//
// Identifiers. The events name the leg by its port index in decimal (0 to 511) in the child
// "Call-ID"; the commands name it in the child "CallID" (the port index, or, for a leg the PBX
// starts, the SIP Call-ID it chose; UpdateCallID tells it which port that Call-ID got). The
// element names are the queue's own, spellings included ("DialogTimoutReport",
// "PlayConferenceAnnoucement"), and the children are written in the order of the tables.
//
// Values are texts: numbers in decimal, flags "true"/"false", and an empty text where a value
// is absent. Children marked optional are written only when not empty; every other child is
// always written, so a reader that misses one sees a fault (soap_read logs and refuses it).
//
// Side-neutral declarations: the PBX side may include this header.
#pragma once

#include <array>
#include <tuple>

#include "base/str.h"
#include "frame/soap_message.h"

namespace msg {

// ---- Events: srv -> ctrl ----

// The first request of an incoming leg whose policy is not known: may the caller be served,
// and must it authenticate? from is the P-Preferred-Identity or else the From; transport the
// source address.
struct get_dialog_policy {
  str call_id, from, to, transport, trunk;
  static constexpr const char* soap_name = "GetDialogPolicy";
  static constexpr auto soap_fields() {
    using m = get_dialog_policy;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"From", &m::from}, f{"To", &m::to},
                      f{"Transport", &m::transport}, f{"Trunk", &m::trunk}};
  }
  bool operator==(const get_dialog_policy&) const = default;
};

// The first request of an incoming leg once its policy is known: what shall the leg do?
// sip_id is the SIP Call-ID, codec the codec number of the offer, trunk the trunk the INVITE
// came on ("lo" for the loopback trunk), id the registration it came through; privacy is
// "true" or empty (the element is present only when the caller asked for privacy).
struct get_dialog_state {
  str call_id, sip_id, from, to, uri, transport, codec, trunk, replaces, identity, id, privacy;
  static constexpr const char* soap_name = "GetDialogState";
  static constexpr auto soap_fields() {
    using m = get_dialog_state;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id},
                      f{"SIP-ID", &m::sip_id},
                      f{"From", &m::from},
                      f{"To", &m::to},
                      f{"URI", &m::uri},
                      f{"Transport", &m::transport},
                      f{"Codec", &m::codec},
                      f{"Trunk", &m::trunk, true},
                      f{"Replaces", &m::replaces, true},
                      f{"Identity", &m::identity, true},
                      f{"Id", &m::id, true},
                      f{"Privacy", &m::privacy, true}};
  }
  bool operator==(const get_dialog_state&) const = default;
};

// A response to an INVITE (except a followed redirect): its CSeq number and method, code and
// reason (explanation), the direction of the leg's remote SDP ("sendrecv", "sendonly",
// "recvonly", "inactive"), the Contact when there is exactly one, and whether it had SDP.
struct dialog_response {
  str call_id, cseq, code, method, state, redirect, explanation, has_sdp;
  static constexpr const char* soap_name = "DialogResponse";
  static constexpr auto soap_fields() {
    using m = dialog_response;
    using f = soap_field<m>;
    return std::array{
        f{"Call-ID", &m::call_id},         f{"CSeq", &m::cseq},     f{"Code", &m::code},
        f{"Method", &m::method},           f{"State", &m::state},   f{"Redirect", &m::redirect},
        f{"Explanation", &m::explanation}, f{"HasSdp", &m::has_sdp}};
  }
  bool operator==(const dialog_response&) const = default;
};

// The leg ended: the reason word and the leg's voice-quality report.
struct dialog_hangup {
  str call_id, reason, report;
  static constexpr const char* soap_name = "DialogHangup";
  static constexpr auto soap_fields() {
    using m = dialog_hangup;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"Reason", &m::reason}, f{"Report", &m::report}};
  }
  bool operator==(const dialog_hangup&) const = default;
};

// A REFER arrived on the leg.
struct dialog_refer {
  str call_id, refer_to, referred_by, user_agent;
  static constexpr const char* soap_name = "DialogRefer";
  static constexpr auto soap_fields() {
    using m = dialog_refer;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"ReferTo", &m::refer_to},
                      f{"ReferredBy", &m::referred_by}, f{"UserAgent", &m::user_agent}};
  }
  bool operator==(const dialog_refer&) const = default;
};

// A re-INVITE of a connected leg: state is the new remote media direction.
struct dialog_hold {
  str call_id, state;
  static constexpr const char* soap_name = "DialogHold";
  static constexpr auto soap_fields() {
    using m = dialog_hold;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"State", &m::state}};
  }
  bool operator==(const dialog_hold&) const = default;
};

// A digit reported on a leg that analyses DTMF.
struct dialog_dtmf {
  str call_id, dtmf;
  static constexpr const char* soap_name = "DialogDTMF";
  static constexpr auto soap_fields() {
    using m = dialog_dtmf;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"DTMF", &m::dtmf}};
  }
  bool operator==(const dialog_dtmf&) const = default;
};

// A play list with play alert set ended.
struct dialog_eof {
  str call_id, file;
  static constexpr const char* soap_name = "DialogEOF";
  static constexpr auto soap_fields() {
    using m = dialog_eof;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"File", &m::file}};
  }
  bool operator==(const dialog_eof&) const = default;
};

// A recording was written and closed (the audio thread reports it): the file's name; failed
// is "true" instead when a write of it failed (the partial file is gone, the rest is dropped).
struct file_written {
  str file, failed;
  static constexpr const char* soap_name = "FileWritten";
  static constexpr auto soap_fields() {
    using m = file_written;
    using f = soap_field<m>;
    return std::array{f{"File", &m::file}, f{"Failed", &m::failed, true}};
  }
  bool operator==(const file_written&) const = default;
};

// A dialog timer the PBX set (SetDialogTimeout) fired; the arguments it was set with.
struct dialog_timeout_report {
  str call_id, arg1, arg2;
  static constexpr const char* soap_name = "DialogTimoutReport";
  static constexpr auto soap_fields() {
    using m = dialog_timeout_report;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"Arg1", &m::arg1}, f{"Arg2", &m::arg2}};
  }
  bool operator==(const dialog_timeout_report&) const = default;
};

// An INFO with a Record header: its value.
struct dialog_rec {
  str call_id, record;
  static constexpr const char* soap_name = "DialogRec";
  static constexpr auto soap_fields() {
    using m = dialog_rec;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"Record", &m::record}};
  }
  bool operator==(const dialog_rec&) const = default;
};

// An INFO with an X-ClientCode header: the cost-centre code.
struct cmc {
  str call_id, code;
  static constexpr const char* soap_name = "CMC";
  static constexpr auto soap_fields() {
    using m = cmc;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}, f{"Code", &m::code}};
  }
  bool operator==(const cmc&) const = default;
};

// The port was erased: the index is free for another leg after this.
struct dialog_end {
  str call_id;
  static constexpr const char* soap_name = "DialogEND";
  static constexpr auto soap_fields() {
    using m = dialog_end;
    using f = soap_field<m>;
    return std::array{f{"Call-ID", &m::call_id}};
  }
  bool operator==(const dialog_end&) const = default;
};

// The port index that a StartDialog's Call-ID got: the events of that leg name it by port.
struct update_call_id {
  str call_id, port;
  static constexpr const char* soap_name = "UpdateCallID";
  static constexpr auto soap_fields() {
    using m = update_call_id;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Port", &m::port}};
  }
  bool operator==(const update_call_id&) const = default;
};

// ---- Commands: ctrl -> srv ----

// The answer to GetDialogPolicy: found "false" alone, or "true" with the trusted addresses
// (a list), the credentials the caller must prove, the challenge refresh and whether the
// caller is a trunk ("true"/"false"); hangup_tone "true" when the call came on an analog trunk
// (the leg listens for the hangup tone, as StartDialog's legs on one do).
struct set_dialog_policy {
  str call_id, found, trusted, realm, username, password, challenge_refresh, trunk, hangup_tone;
  static constexpr const char* soap_name = "SetDialogPolicy";
  static constexpr auto soap_fields() {
    using m = set_dialog_policy;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id},
                      f{"Found", &m::found},
                      f{"Trusted", &m::trusted, true},
                      f{"Realm", &m::realm, true},
                      f{"Username", &m::username, true},
                      f{"Password", &m::password, true},
                      f{"ChallengeRefresh", &m::challenge_refresh, true},
                      f{"Trunk", &m::trunk, true},
                      f{"HangupTone", &m::hangup_tone, true}};
  }
  bool operator==(const set_dialog_policy&) const = default;
};

// What a leg plays and how it answers: the answer to GetDialogState, and sent at any time
// after. cache is "true" or empty; ring180 is "true" with code 180, "false" with 183, empty
// otherwise; picture only when there is one. duration (optional, last) limits the leg.
struct set_dialog_state {
  str call_id, play_file, play_loop, play_alert, conf_dest, analyse_dtmf, cache, state_code,
      ring180, state_reason, picture, moderator, duration;
  static constexpr const char* soap_name = "SetDialogState";
  static constexpr auto soap_fields() {
    using m = set_dialog_state;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id},         f{"PlayFile", &m::play_file},
                      f{"PlayLoop", &m::play_loop},     f{"PlayAlert", &m::play_alert},
                      f{"ConfDest", &m::conf_dest},     f{"AnalyseDTMF", &m::analyse_dtmf},
                      f{"Cache", &m::cache, true},      f{"StateCode", &m::state_code},
                      f{"Ring180", &m::ring180, true},  f{"StateReason", &m::state_reason},
                      f{"Picture", &m::picture, true},  f{"Moderator", &m::moderator},
                      f{"Duration", &m::duration, true}};
  }
  bool operator==(const set_dialog_state&) const = default;
};

// A new leg: with a URI an outgoing SIP call, without one a media-only leg sending to
// media_destination. other_side is the linked leg's port index. hangup_tone "true": the leg's
// trunk (an analog gateway) wants the far end's busy or constant tone to end the call. Only
// call_id is required.
struct start_dialog {
  str call_id, uri, from, to, outbound_proxy, alert_info, trunk, registration, identity, clip,
      privacy_style, secure, accept_redirect, other_side, username, password, media_destination,
      diversion, picture, codec, codec_lock, analyse_dtmf, hangup_tone;
  static constexpr const char* soap_name = "StartDialog";
  static constexpr auto soap_fields() {
    using m = start_dialog;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id},
                      f{"URI", &m::uri, true},
                      f{"From", &m::from, true},
                      f{"To", &m::to, true},
                      f{"OutboundProxy", &m::outbound_proxy, true},
                      f{"AlertInfo", &m::alert_info, true},
                      f{"Trunk", &m::trunk, true},
                      f{"Registration", &m::registration, true},
                      f{"Identity", &m::identity, true},
                      f{"CLIP", &m::clip, true},
                      f{"PrivacyStyle", &m::privacy_style, true},
                      f{"Secure", &m::secure, true},
                      f{"AcceptRedirect", &m::accept_redirect, true},
                      f{"OtherSide", &m::other_side, true},
                      f{"Username", &m::username, true},
                      f{"Password", &m::password, true},
                      f{"MediaDestination", &m::media_destination, true},
                      f{"Diversion", &m::diversion, true},
                      f{"Picture", &m::picture, true},
                      f{"Codec", &m::codec, true},
                      f{"CodecLock", &m::codec_lock, true},
                      f{"AnalyseDTMF", &m::analyse_dtmf, true},
                      f{"HangupTone", &m::hangup_tone, true}};
  }
  bool operator==(const start_dialog&) const = default;
};

// Renegotiate the leg's codecs: codecs is the list of codec numbers, codec_lock a flag.
struct set_codecs {
  str call_id, codecs, codec_lock;
  static constexpr const char* soap_name = "SetCodecs";
  static constexpr auto soap_fields() {
    using m = set_codecs;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Codecs", &m::codecs},
                      f{"CodecLock", &m::codec_lock}};
  }
  bool operator==(const set_codecs&) const = default;
};

// Send a REFER on the leg.
struct send_refer {
  str call_id, refer_to, referred_by;
  static constexpr const char* soap_name = "SendRefer";
  static constexpr auto soap_fields() {
    using m = send_refer;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"ReferTo", &m::refer_to},
                      f{"ReferredBy", &m::referred_by}};
  }
  bool operator==(const send_refer&) const = default;
};

// Send a re-INVITE with the leg's current media.
struct send_reinvite {
  str call_id;
  static constexpr const char* soap_name = "SendReinvite";
  static constexpr auto soap_fields() {
    using m = send_reinvite;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}};
  }
  bool operator==(const send_reinvite&) const = default;
};

// Start recording the leg into file (mode: which directions), or stop with an empty file.
struct set_recording {
  str call_id, file, mode;
  static constexpr const char* soap_name = "SetRecording";
  static constexpr auto soap_fields() {
    using m = set_recording;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"File", &m::file}, f{"Mode", &m::mode}};
  }
  bool operator==(const set_recording&) const = default;
};

// The running recording is kept under another file name.
struct change_record_filename {
  str call_id, file;
  static constexpr const char* soap_name = "ChangeRecordFilename";
  static constexpr auto soap_fields() {
    using m = change_record_filename;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"File", &m::file}};
  }
  bool operator==(const change_record_filename&) const = default;
};

// Switch the detection of fax tones on the leg on or off.
struct fax_detection {
  str call_id, enable;
  static constexpr const char* soap_name = "FaxDetection";
  static constexpr auto soap_fields() {
    using m = fax_detection;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Enable", &m::enable}};
  }
  bool operator==(const fax_detection&) const = default;
};

// Play a file (or prompt list) on the leg, with the flags of SetDialogState.
struct set_playfile {
  str call_id, file, loop, alert, cache;
  static constexpr const char* soap_name = "SetPlayfile";
  static constexpr auto soap_fields() {
    using m = set_playfile;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"File", &m::file}, f{"Loop", &m::loop},
                      f{"Alert", &m::alert}, f{"Cache", &m::cache}};
  }
  bool operator==(const set_playfile&) const = default;
};

// The music-on-hold source of the leg; an empty file stops it.
struct set_moh_file {
  str call_id, file;
  static constexpr const char* soap_name = "SetMohFile";
  static constexpr auto soap_fields() {
    using m = set_moh_file;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"File", &m::file}};
  }
  bool operator==(const set_moh_file&) const = default;
};

// Send the leg's RTP to another address ("ip:port").
struct change_rtp_dest {
  str call_id, destination;
  static constexpr const char* soap_name = "ChangeRTPDest";
  static constexpr auto soap_fields() {
    using m = change_rtp_dest;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Destination", &m::destination}};
  }
  bool operator==(const change_rtp_dest&) const = default;
};

// Bridge the media of the leg with the leg other_side.
struct connect_calls {
  str call_id, other_side;
  static constexpr const char* soap_name = "ConnectCalls";
  static constexpr auto soap_fields() {
    using m = connect_calls;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"OtherSide", &m::other_side}};
  }
  bool operator==(const connect_calls&) const = default;
};

// A timer on the leg named arg1: after timeout milliseconds, DialogTimoutReport with arg1 and
// arg2. A timer of the same name is replaced; the leg's timers end with it.
struct set_dialog_timeout {
  str call_id, timeout, arg1, arg2;
  static constexpr const char* soap_name = "SetDialogTimeout";
  static constexpr auto soap_fields() {
    using m = set_dialog_timeout;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Timeout", &m::timeout}, f{"Arg1", &m::arg1},
                      f{"Arg2", &m::arg2}};
  }
  bool operator==(const set_dialog_timeout&) const = default;
};

// Cancel the leg's timer named arg1 (every timer of the leg when arg1 is empty).
struct clear_dialog_timeout {
  str call_id, arg1;
  static constexpr const char* soap_name = "ClearDialogTimeout";
  static constexpr auto soap_fields() {
    using m = clear_dialog_timeout;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Arg1", &m::arg1}};
  }
  bool operator==(const clear_dialog_timeout&) const = default;
};

// The speed at which the leg plays its file.
struct set_playback_speed {
  str call_id, speed;
  static constexpr const char* soap_name = "SetPlaybackSpeed";
  static constexpr auto soap_fields() {
    using m = set_playback_speed;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Speed", &m::speed}};
  }
  bool operator==(const set_playback_speed&) const = default;
};

// Send a NOTIFY in the leg's dialog.
struct send_notify {
  str call_id, event, content_type, body;
  static constexpr const char* soap_name = "SendNotify";
  static constexpr auto soap_fields() {
    using m = send_notify;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Event", &m::event},
                      f{"ContentType", &m::content_type}, f{"Body", &m::body}};
  }
  bool operator==(const send_notify&) const = default;
};

// Send a NOTIFY of the given event that asks the phone to act on the call (e.g. "talk").
struct send_notify_talk {
  str call_id, event;
  static constexpr const char* soap_name = "SendNotifyTalk";
  static constexpr auto soap_fields() {
    using m = send_notify_talk;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Event", &m::event}};
  }
  bool operator==(const send_notify_talk&) const = default;
};

// Play a file into the conference the leg is in.
struct play_conference_announcement {
  str call_id, file;
  static constexpr const char* soap_name = "PlayConferenceAnnoucement";
  static constexpr auto soap_fields() {
    using m = play_conference_announcement;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"File", &m::file}};
  }
  bool operator==(const play_conference_announcement&) const = default;
};

// A new caller identity on the leg; silent "true": no update is sent to the phone.
struct set_dialog_cid {
  str call_id, from, to, silent;
  static constexpr const char* soap_name = "SetDialogCID";
  static constexpr auto soap_fields() {
    using m = set_dialog_cid;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"From", &m::from}, f{"To", &m::to},
                      f{"Silent", &m::silent}};
  }
  bool operator==(const set_dialog_cid&) const = default;
};

// Attach the leg listener to this leg in the given mode, or detach it (empty mode).
struct set_listener {
  str call_id, listener, mode;
  static constexpr const char* soap_name = "SetListener";
  static constexpr auto soap_fields() {
    using m = set_listener;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Listener", &m::listener}, f{"Mode", &m::mode}};
  }
  bool operator==(const set_listener&) const = default;
};

// The credentials with which the leg answers a challenge to a request it sends itself (a
// re-INVITE, a BYE, a REFER): a leg that came in on a trunk gets the trunk's, so that the
// provider's challenges inside the call are answered. The realm is the trunk's; the leg
// answers whatever realm the challenge names, as the trunk's registration does.
struct set_dialog_credentials {
  str call_id, realm, username, password;
  static constexpr const char* soap_name = "SetDialogCredentials";
  static constexpr auto soap_fields() {
    using m = set_dialog_credentials;
    using f = soap_field<m>;
    return std::array{f{"CallID", &m::call_id}, f{"Realm", &m::realm}, f{"Username", &m::username},
                      f{"Password", &m::password}};
  }
  bool operator==(const set_dialog_credentials&) const = default;
};

// An attended transfer put the leg `to` in the place of the leg `from`: what `from` played,
// recorded and analysed for its application (its IVR state) goes on on `to`. Both name legs
// like CallID does.
struct move_ivr {
  str from, to;
  static constexpr const char* soap_name = "MoveIVR";
  static constexpr auto soap_fields() {
    using m = move_ivr;
    using f = soap_field<m>;
    return std::array{f{"From", &m::from}, f{"To", &m::to}};
  }
  bool operator==(const move_ivr&) const = default;
};

// Every kind by direction, for dispatchers and tests that must cover them all.
using call_events =
    std::tuple<get_dialog_policy, get_dialog_state, dialog_response, dialog_hangup, dialog_refer,
               dialog_hold, dialog_dtmf, dialog_eof, dialog_timeout_report, dialog_rec, cmc,
               dialog_end, update_call_id, file_written>;
using call_commands =
    std::tuple<set_dialog_policy, set_dialog_state, start_dialog, set_codecs, send_refer,
               send_reinvite, set_recording, change_record_filename, fax_detection, set_playfile,
               set_moh_file, change_rtp_dest, connect_calls, set_dialog_timeout,
               clear_dialog_timeout, set_playback_speed, send_notify, send_notify_talk,
               play_conference_announcement, set_dialog_cid, set_listener, set_dialog_credentials,
               move_ivr>;

}  // namespace msg
