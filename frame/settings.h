// The global system settings: a fixed, numbered set of named string values shared by both
// sides. Code reads them by index (ctrl_settings::setting) through ctrl_read_registry; names
// matter only for the settings file pbx.xml, backups and the web interface.
//
// Side-neutral: any thread of either side may read or write. One lock (config_mutex) guards the
// values; it is held only to copy a value in or out and to build the file text. Side effects of
// a write run after the lock is released.
#pragma once

#include <vector>

#include "base/str.h"

namespace ctrl_settings {

// Indexes 36 and 54 to 57 hold no setting.
enum setting : int {
  log_level = 0,
  log_filename = 1,
  log_length = 2,
  log_keep = 3,
  log_sip_register = 4,
  log_sip_subnot = 5,
  log_sip_options = 6,
  log_sip_dialog = 7,
  log_sip_watchlist = 8,
  log_sip_level = 9,
  log_sip_routing = 10,
  log_event_general = 11,
  log_event_sip = 12,
  log_event_media = 13,
  log_event_app = 14,
  log_event_email = 15,
  log_event_web = 16,
  log_event_register = 17,
  log_event_snmp = 18,
  log_event_ldap = 19,
  log_event_trunk = 20,
  log_event_soap = 21,
  log_event_tftp = 22,
  log_event_module11 = 23,  // no name: never read from or written to the file
  log_event_pstn = 24,
  log_event_tls = 25,
  reboot = 26,
  show_gain = 27,
  dtmf_gain = 28,
  tone_gain = 29,
  tone_thres = 30,
  tone_repeat = 31,
  affinity_mask = 32,
  mos_threshold = 33,
  email_cpu_limit = 34,
  email_trunk_change = 35,
  email_regstatus = 37,
  email_restart_system = 38,
  email_new_recording = 39,
  email_coline_allocation = 40,
  email_trunk_failover = 41,
  email_emergency_call = 42,
  email_rtp_timeout = 43,
  email_call_timeout = 44,
  email_address_change = 45,
  email_bye_no_media = 46,
  email_cpu_report = 47,
  email_blacklist_ip = 48,
  email_page_failure = 49,
  blacklist_expires = 50,
  blacklist_attempts = 51,
  blacklist_period = 52,
  version = 53,
  upgrade_url = 58,
  code_ipadr = 59,
  code_restore = 60,
  code_fabtest = 61,
  code_version = 62,
  sys_name = 63,
  max_loop = 64,
  extended_status = 65,
  trunk_reinvite = 66,
  ip_http_port = 67,
  ip_https_port = 68,
  ip_sip_udp_port = 69,
  ip_sip_tcp_port = 70,
  ip_sip_tls_port = 71,
  ip_snmp_port = 72,
  ip_snmp_community = 73,
  ip_tftp_port = 74,
  ip_ldap_port = 75,
  ip_replacement_list = 76,
  ip_routing_list = 77,
  c2d_root = 78,
  max_udp_invite = 79,
  tftp_write = 80,
  tftp_log = 81,
  pnp_use_mac = 82,
  port_begin = 83,
  port_end = 84,
  port_bind4 = 85,
  port_bind6 = 86,
  ip_manual_ip1 = 87,
  ip_manual_ip2 = 88,
  http_tls_web = 89,
  http_rate = 90,
  http_threads = 91,
  sip_rate = 92,
  sip_threads = 93,
  pw_user = 94,
  pw_pass = 95,
  pw_trusted = 96,
  password_policy = 97,
  allow_empty_passwords = 98,
  session_timeout = 99,
  timeout_connected = 100,
  timeout_hold = 101,
  timeout_conference = 102,
  allow_pass_through = 103,
  cookie_duration = 104,
  seize_timeout = 105,
  tcpcon_web = 106,
  tcpcon_sip = 107,
  soap_trusted_ip = 108,
  snmp_trusted_ip = 109,
  web_width = 110,
  write_dict = 111,
  cdr_keep = 112,
  cdr_list_size = 113,
  button_speed_on_idle = 114,
  button_speed_on_busy = 115,
  conf_terminate = 116,
  conf_list = 117,
  conf_mute = 118,
  conf_unmute = 119,
  conf_muteall = 120,
  conf_unmuteall = 121,
  min_expires = 122,
  max_expires = 123,
  save_registration = 124,
  cdr_email_size = 125,
  symmetrical_rtp = 126,
  jitter_advance = 127,
  ring180 = 128,
  packet_size = 129,
  rtcp_loss_rle = 130,
  rtcp_dup_rle = 131,
  rtcp_rcpt_times = 132,
  rtcp_rcvr_rtt = 133,
  rtcp_stat_summary = 134,
  rtcp_voip_metrics = 135,
  always_send_ptime = 136,
  max_regs = 137,
  short_header = 138,
  support_update = 139,
  search_audio = 140,
  codec_preference = 141,
  codec_lock = 142,
  mcast_addresses = 143,
  max_calls = 144,
  max_tar = 145,
  nat_udp = 146,
  nat_tcp = 147,
  soap_cdr_adr = 148,
  soap_mailbox_file = 149,
  language_audio = 150,
  language_tones = 151,
  language_web = 152,
  pnp_description = 153,
  ring_description = 154,
  sip_mcast_net = 155,
  message_management = 156,
  loop_detection = 157,
  offer_sdes = 158,
  inband_decoding = 159,
  max_call_duration = 160,
  max_rec_duration = 161,
  ani_dom_admin = 162,
  trunk_dom_admin = 163,
  dp_dom_admin = 164,
  ac_dom_admin = 165,
  perm_sip_pass = 166,
  multiple_hot_destking = 167,
  register_via_count = 168,
  send_recording = 169,
  cdr_type = 170,
  cdr_file_name = 171,
  cdr_field_seperator = 172,
  pref_http_scheme = 173,
  pref_http_address = 174,
  backup_program = 175,
  record_location = 176,
  record_compress = 177,
  hide_dom_alias = 178,
  cdr_format = 179,
  languages_web = 180,
  languages_tones = 181,
  languages_audio = 182,
  app_login_text = 183,
  app_footer = 184,
  app_link = 185,
  app_help = 186,
  app_user_agent = 187,
  app_product = 188,
  app_logo = 189,
  oem_lock = 190,
  timezone = 191,
  ntp_host = 192,
  ip_ntp_port = 193,
  tos_rtp = 194,
  tos_sip = 195,
  diversion_style = 196,
  code_record = 197,
  performance_limit = 198,
  email_list_performance = 199,
  bandwidth = 200,
  cellphone_timeout = 201,
  camp_enabled = 202,
  conf_expiry = 203,
  provision_domain_name = 204,
  email_from = 205,
  email_user = 206,
  email_pass = 207,
  email_smtp = 208,
  smtp_starttls = 209,
  email_global = 210,
  cdr_url_global = 211,
  usr_change_watch = 212,
  usr_change_sippass = 213,
  usr_change_webpass = 214,
  usr_change_iac = 215,
  usr_change_cfnat = 216,
  usr_change_mbe = 217,
  usr_change_tumpu = 218,
  usr_change_mnom = 219,
  usr_change_mea = 220,
  usr_change_sammbe = 221,
  usr_change_asam = 222,
  usr_change_adrbook = 223,
  pac_call_info = 224,
  crm_server_adr = 225,
  max_tcp_length = 226,
  web_client_delay = 227,
  max_ring_duration = 228,
  sangoma_port = 229,
  cdr_call_quality_report = 230,
  hosted_email_address = 231,
  override_thread_limit = 232,
  web_console_disabled = 233,
  syslog_server_ip = 234,
  thread_stack_size = 235,
  sip_log_collection = 236,
  sip_connections_per_address = 237,  // accepted SIP TCP/TLS connections per source address
  sip_first_message_timeout = 238,    // seconds an accepted connection has for its first message
  http_connections_per_address = 239,  // open HTTP/HTTPS connections per source address
  http_first_request_timeout = 240,    // seconds an accepted connection has for its first request
  setting_count = 241,
};

}  // namespace ctrl_settings

// Path of the settings file ("pbx.xml", relative to the working directory; --config replaces
// it) and of the factory-default configuration ("default.tar"; --default). Set at start-up,
// before init_config.
extern str config_file;
extern str default_file;

// Assigns every default, then reads config_file (a missing or malformed file leaves the
// defaults; a file that is there but empty, malformed or unreadable is first renamed to
// config_file + ".bad-YYYYMMDD-HHMMSS", logged at level 0, so no save overwrites it), then scans
// the audio_* directories of the working directory for the language lists languages_tones and
// languages_audio.
void init_config();

// The current value (a copy). codec_preference is read normalised by get_codec_list. An index
// outside 0..240 yields the empty string.
str ctrl_read_registry(int setting);
// Stores the value; when it differs from the stored one, runs the setting's side effects
// (logging settings, codec mapping, syslog destination, registered hooks) after the lock is
// released. With save, save_config runs afterwards, changed or not. Indexes outside 0..240 are
// ignored.
void ctrl_write_registry(int setting, const str& value, bool save = false);
// Stores the value; no side effect, no save.
void ctrl_write_setting(int setting, const str& value);

// The index of the setting named name (ignoring case), or setting_count when none.
int ctrl_variable_lookup(const str& name);
// The name of a setting; empty for indexes without one.
str ctrl_variable_lookup(ctrl_settings::setting setting);

// Writes every named setting to config_file. False when the file could not be written.
bool save_config();
// The exact bytes of the settings file for the current values.
str serialize_settings_file();

// The normalised codec list: list (the stored codec_preference when empty) split at spaces;
// payload type numbers and the names ulaw, alaw, gsm, g729, g726, g722 (any case); only types
// 0, 2, 3, 8, 9 and 18 kept; preferred (a decimal type, empty for none) moved to the front.
// Decimal types separated by single spaces.
str get_codec_list(const str& preferred, const str& list = str());

// Hooks: later subsystems register what a changed setting must do in their area (the media
// layer rebuilds its codec mapping on codec_preference; the SIP and web layers reopen their
// ports, ...). A hook runs on the writing thread, without config_mutex, after the built-in
// effects, only when the value changed. The writer is usually a ctrl thread (web, start-up), so
// a hook that must work under srv_run_mutex hands the work to the srv side (a zero-delay
// timeout on sip_thread_queue) instead of taking the other side's run mutex.
using setting_hook = void (*)(int setting, const str& value);
void add_setting_hook(int setting, setting_hook hook);
void clear_setting_hooks();  // tests

// The one-time data upgrade: record_start, record_end and mailbox_call found in the settings
// file are kept here until the start-up upgrade step takes them (then they are gone).
bool take_config_upgrade(const str& name, str& value);
