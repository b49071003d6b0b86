#include "frame/settings.h"

#include <time.h>

#include <array>
#include <mutex>

#include "base/file_system.h"
#include "base/xml_tree.h"
#include "frame/clock.h"
#include "frame/log.h"

str config_file("pbx.xml");
str default_file("default.tar");

namespace {

struct setting_default {
  const char* name;
  const char* value;
};

// Name and default of every index. The branding texts (183 to 188) name this system.
constexpr setting_default defaults[ctrl_settings::setting_count] = {
    {"log_level", "5"},                               // 0
    {"log_filename", "log-$.txt"},                    // 1
    {"log_length", "100"},                            // 2
    {"log_keep", "3"},                                // 3
    {"log_sip_register", "false"},                    // 4
    {"log_sip_subnot", "false"},                      // 5
    {"log_sip_options", "false"},                     // 6
    {"log_sip_dialog", "false"},                      // 7
    {"log_sip_watchlist", ""},                        // 8
    {"log_sip_level", "7"},                           // 9
    {"log_sip_routing", "false"},                     // 10
    {"log_event_general", "true"},                    // 11
    {"log_event_sip", "true"},                        // 12
    {"log_event_media", "true"},                      // 13
    {"log_event_app", "true"},                        // 14
    {"log_event_email", "true"},                      // 15
    {"log_event_web", "true"},                        // 16
    {"log_event_register", "true"},                   // 17
    {"log_event_snmp", "true"},                       // 18
    {"log_event_ldap", "true"},                       // 19
    {"log_event_trunk", "true"},                      // 20
    {"log_event_soap", "true"},                       // 21
    {"log_event_tftp", "true"},                       // 22
    {"", ""},                                         // 23
    {"log_event_pstn", "true"},                       // 24
    {"log_event_tls", "true"},                        // 25
    {"reboot", ""},                                   // 26
    {"show_gain", "false"},                           // 27
    {"dtmf_gain", "512"},                             // 28
    {"tone_gain", "256"},                             // 29
    {"tone_thres", "50"},                             // 30
    {"tone_repeat", "5"},                             // 31
    {"affinity_mask", ""},                            // 32
    {"mos_threshold", "30"},                          // 33
    {"email_cpu_limit", "true"},                      // 34
    {"email_trunk_change", "true"},                   // 35
    {"", ""},                                         // 36
    {"email_regstatus", "true"},                      // 37
    {"email_restart_system", "true"},                 // 38
    {"email_new_recording", "true"},                  // 39
    {"email_coline_allocation", "true"},              // 40
    {"email_trunk_failover", "true"},                 // 41
    {"email_emergency_call", "true"},                 // 42
    {"email_rtp_timeout", "true"},                    // 43
    {"email_call_timeout", "true"},                   // 44
    {"email_address_change", "true"},                 // 45
    {"email_bye_no_media", "true"},                   // 46
    {"email_cpu_report", "true"},                     // 47
    {"email_blacklist_ip", "true"},                   // 48
    {"email_page_failure", "true"},                   // 49
    {"blacklist_expires", "3600"},                    // 50
    {"blacklist_attempts", "4"},                      // 51
    {"blacklist_period", "1000"},                     // 52
    {"version", ""},                                  // 53
    {"", ""},                                         // 54
    {"", ""},                                         // 55
    {"", ""},                                         // 56
    {"", ""},                                         // 57
    {"upgrade_url", ""},                              // 58
    {"code_ipadr", ""},                               // 59
    {"code_restore", ""},                             // 60
    {"code_fabtest", ""},                             // 61
    {"code_version", "*#5550100#"},                   // 62
    {"sys_name", ""},                                 // 63
    {"max_loop", "10"},                               // 64
    {"extended_status", ""},                          // 65
    {"trunk_reinvite", "false"},                      // 66
    {"ip_http_port", "80"},                           // 67
    {"ip_https_port", "443"},                         // 68
    {"ip_sip_udp_port", "5060"},                      // 69
    {"ip_sip_tcp_port", "5060"},                      // 70
    {"ip_sip_tls_port", "5061"},                      // 71
    {"ip_snmp_port", "161"},                          // 72
    {"ip_snmp_community", "public"},                  // 73
    {"ip_tftp_port", "69"},                           // 74
    {"ip_ldap_port", "389"},                          // 75
    {"ip_replacement_list", ""},                      // 76
    {"ip_routing_list", ""},                          // 77
    {"c2d_root", ""},                                 // 78
    {"max_udp_invite", "10"},                         // 79
    {"tftp_write", "false"},                          // 80
    {"tftp_log", "true"},                             // 81
    {"pnp_use_mac", "true"},                          // 82
    {"port_begin", "49152"},                          // 83
    {"port_end", "64512"},                            // 84
    {"port_bind4", ""},                               // 85
    {"port_bind6", ""},                               // 86
    {"ip_manual_ip1", ""},                            // 87
    {"ip_manual_ip2", ""},                            // 88
    {"http_tls_web", ""},                             // 89
    {"http_rate", "5"},                               // 90
    {"http_threads", "1000"},                         // 91
    {"sip_rate", "2"},                                // 92
    {"sip_threads", "10000"},                         // 93
    {"pw_user", "admin"},                             // 94
    {"pw_pass", ""},                                  // 95
    {"pw_trusted", "127.0.0.1 [::1]"},                // 96
    {"password_policy", "medium"},                    // 97
    {"allow_empty_passwords", "false"},               // 98
    {"session_timeout", "3600"},                      // 99
    {"timeout_connected", "120"},                     // 100
    {"timeout_hold", "3600"},                         // 101
    {"timeout_conference", "3600"},                   // 102
    {"allow_pass_through", "true"},                   // 103
    {"cookie_duration", "2592000"},                   // 104
    {"seize_timeout", "60"},                          // 105
    {"tcpcon_web", "10"},                             // 106
    {"tcpcon_sip", "256"},                            // 107
    {"soap_trusted_ip", "localhost"},                 // 108
    {"snmp_trusted_ip", ""},                          // 109
    {"web_width", "984"},                             // 110
    {"write_dict", "false"},                          // 111
    {"cdr_keep", "7d"},                               // 112
    {"cdr_list_size", "30"},                          // 113
    {"button_speed_on_idle", "false"},                // 114
    {"button_speed_on_busy", "false"},                // 115
    {"conf_terminate", "*9"},                         // 116
    {"conf_list", "*0"},                              // 117
    {"conf_mute", "*1"},                              // 118
    {"conf_unmute", "*2"},                            // 119
    {"conf_muteall", "*7"},                           // 120
    {"conf_unmuteall", "*8"},                         // 121
    {"min_expires", "30"},                            // 122
    {"max_expires", "360"},                           // 123
    {"save_registration", "false"},                   // 124
    {"cdr_email_size", "1000"},                       // 125
    {"symmetrical_rtp", "true"},                      // 126
    {"jitter_advance", "true"},                       // 127
    {"ring180", "false"},                             // 128
    {"packet_size", "20"},                            // 129
    {"rtcp_loss_rle", "false"},                       // 130
    {"rtcp_dup_rle", "false"},                        // 131
    {"rtcp_rcpt_times", "false"},                     // 132
    {"rtcp_rcvr_rtt", "true"},                        // 133
    {"rtcp_stat_summary", "false"},                   // 134
    {"rtcp_voip_metrics", "true"},                    // 135
    {"always_send_ptime", "false"},                   // 136
    {"max_regs", "5"},                                // 137
    {"short_header", "false"},                        // 138
    {"support_update", "false"},                      // 139
    {"search_audio", "false"},                        // 140
    {"codec_preference", "0 8 9 18 2 3"},             // 141
    {"codec_lock", "true"},                           // 142
    {"mcast_addresses", ""},                          // 143
    {"max_calls", ""},                                // 144
    {"max_tar", "2097152"},                           // 145
    {"nat_udp", "30"},                                // 146
    {"nat_tcp", "180"},                               // 147
    {"soap_cdr_adr", ""},                             // 148
    {"soap_mailbox_file", ""},                        // 149
    {"language_audio", "en"},                         // 150
    {"language_tones", "en"},                         // 151
    {"language_web", "en"},                           // 152
    {"pnp_description", "pnp.xml"},                   // 153
    {"ring_description", "ringtones.xml"},            // 154
    {"sip_mcast_net", "false"},                       // 155
    {"message_management", "false"},                  // 156
    {"loop_detection", "true"},                       // 157
    {"offer_sdes", "true"},                           // 158
    {"inband_decoding", "true"},                      // 159
    {"max_call_duration", "7200"},                    // 160
    {"max_rec_duration", "3600"},                     // 161
    {"ani_dom_admin", "true"},                        // 162
    {"trunk_dom_admin", "true"},                      // 163
    {"dp_dom_admin", "true"},                         // 164
    {"ac_dom_admin", "true"},                         // 165
    {"perm_sip_pass", "true"},                        // 166
    {"multiple_hot_destking", "false"},               // 167
    {"register_via_count", "true"},                   // 168
    {"send_recording", "true"},                       // 169
    {"cdr_type", ""},                                 // 170
    {"cdr_file_name", "$c/$m/$d.csv"},                // 171
    {"cdr_field_seperator", ","},                     // 172
    {"pref_http_scheme", "http"},                     // 173
    {"pref_http_address", ""},                        // 174
    {"backup_program", ""},                           // 175
    {"record_location", "$r/$o/$a/$d-$t-$i-$n.wav"},  // 176
    {"record_compress", "false"},                     // 177
    {"hide_dom_alias", "false"},                      // 178
    {"cdr_format", "$w$5e$10c$5d"},                   // 179
    {"languages_web", "en"},                          // 180
    {"languages_tones", "en"},                        // 181
    {"languages_audio", "en"},                        // 182
    {"app_login_text", "Welcome to telmond"},         // 183
    {"app_footer", "telmond"},                        // 184
    {"app_link", "/"},                                // 185
    {"app_help", "/help"},                            // 186
    {"app_user_agent", "telmond"},                    // 187
    {"app_product", "telmond"},                       // 188
    {"app_logo", ""},                                 // 189
    {"oem_lock", "true"},                             // 190
    {"timezone", "GMT"},                              // 191
    {"ntp_host", "pool.ntp.org"},                     // 192
    {"ip_ntp_port", ""},                              // 193
    {"tos_rtp", "ef"},                                // 194
    {"tos_sip", "cs5"},                               // 195
    {"diversion_style", ""},                          // 196
    {"code_record", "false"},                         // 197
    {"performance_limit", "50"},                      // 198
    {"email_list_performance", ""},                   // 199
    {"bandwidth", ""},                                // 200
    {"cellphone_timeout", "20"},                      // 201
    {"camp_enabled", "true"},                         // 202
    {"conf_expiry", "86400"},                         // 203
    {"provision_domain_name", "false"},               // 204
    {"email_from", ""},                               // 205
    {"email_user", ""},                               // 206
    {"email_pass", ""},                               // 207
    {"email_smtp", ""},                               // 208
    {"smtp_starttls", "true"},                        // 209
    {"email_global", "false"},                        // 210
    {"cdr_url_global", "true"},                       // 211
    {"usr_change_watch", "true"},                     // 212
    {"usr_change_sippass", "true"},                   // 213
    {"usr_change_webpass", "true"},                   // 214
    {"usr_change_iac", "true"},                       // 215
    {"usr_change_cfnat", "true"},                     // 216
    {"usr_change_mbe", "true"},                       // 217
    {"usr_change_tumpu", "true"},                     // 218
    {"usr_change_mnom", "true"},                      // 219
    {"usr_change_mea", "true"},                       // 220
    {"usr_change_sammbe", "true"},                    // 221
    {"usr_change_asam", "true"},                      // 222
    {"usr_change_adrbook", "true"},                   // 223
    {"pac_call_info", "true"},                        // 224
    {"crm_server_adr", ""},                           // 225
    {"max_tcp_length", "16777216"},                   // 226
    {"web_client_delay", "60"},                       // 227
    {"max_ring_duration", "60"},                      // 228
    {"sangoma_port", "7783"},                         // 229
    {"cdr_call_quality_report", "false"},             // 230
    {"hosted_email_address", ""},                     // 231
    {"override_thread_limit", "false"},               // 232
    {"web_console_disabled", "false"},                // 233
    {"syslog_server_ip", ""},                         // 234
    {"thread_stack_size", "4"},                       // 235
    {"sip_log_collection", "true"},                   // 236
    {"sip_connections_per_address", "100"},           // 237
    {"sip_first_message_timeout", "10"},              // 238
    {"http_connections_per_address", "64"},           // 239
    {"http_first_request_timeout", "10"},             // 240
};

struct settings_state {
  std::mutex config_mutex;  // guards names and values
  std::array<str, ctrl_settings::setting_count> names;
  std::array<str, ctrl_settings::setting_count> values;
  std::vector<std::pair<str, str>> upgrade;  // record_start, record_end, mailbox_call

  std::mutex hooks_mutex;
  std::array<std::vector<setting_hook>, ctrl_settings::setting_count> hooks;

  std::mutex save_mutex;  // one save at a time, so files are written in the order of saves

  settings_state() { assign_defaults(); }
  void assign_defaults() {
    for (int i = 0; i < ctrl_settings::setting_count; ++i) {
      names[i] = defaults[i].name;
      values[i] = defaults[i].value;
    }
  }
};

settings_state& state() {
  static settings_state* s = new settings_state;  // never destroyed: threads read at exit
  return *s;
}

bool valid_index(int setting) { return setting >= 0 && setting < ctrl_settings::setting_count; }

str read_stored(int setting) {
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  return s.values[setting];
}

// The built-in effects of a changed value, then the hooks the other subsystems registered.
void apply_side_effects(int setting, const str& value) {
  using namespace ctrl_settings;
  switch (setting) {
    case log_level:
      set_log_level(value.value());
      break;
    case log_filename:
      set_log_file(value);
      break;
    case log_length:
      set_log_length(value.value());
      break;
    case syslog_server_ip:
      set_syslog_server_ip(value);
      break;
    default:
      if (setting >= log_event_general && setting <= log_event_tls)
        apply_log_switch(setting, value);
      break;
  }
  std::vector<setting_hook> hooks;
  {
    settings_state& s = state();
    std::lock_guard<std::mutex> g(s.hooks_mutex);
    hooks = s.hooks[setting];
  }
  for (setting_hook h : hooks) h(setting, value);
}

// Adds the language of each audio_<code> directory that has the file to the list.
void scan_audio_directories() {
  str tones, audio;
  for (const str& dir : str::get_dir(".", true)) {
    if (!dir.starts_with(str("audio_"))) continue;
    str code = dir.substr(6);
    if (code.empty() || code == "moh") continue;
    if (str::file_size(dir + "/ringback.wav") > 0) {
      if (!tones.empty()) tones += ' ';
      tones += code;
    }
    if (str::file_size(dir + "/bi_1.wav") > 0) {
      if (!audio.empty()) audio += ' ';
      audio += code;
    }
  }
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  if (!tones.empty()) s.values[ctrl_settings::languages_tones] = tones;
  if (!audio.empty()) s.values[ctrl_settings::languages_audio] = audio;
}

// A settings file that is there but cannot be used (empty, cut off, another root element, not
// readable) would be replaced by the defaults at the next save. It is moved aside first,
// bytes untouched, so the operator can take the settings back from it.
void keep_unreadable_config(const char* why) {
  time_t now = static_cast<time_t>(wall_now() / 1000);
  struct tm tm;
  localtime_r(&now, &tm);
  str kept = config_file + str::sprintf(".bad-%d%s%s-%s%s%s", tm.tm_year + 1900,
                                        str(tm.tm_mon + 1, 2), str(tm.tm_mday, 2),
                                        str(tm.tm_hour, 2), str(tm.tm_min, 2), str(tm.tm_sec, 2));
  if (fs().rename(config_file, kept)) {
    log_printf(log_general, 0,
               "Settings file %s cannot be used because %S: it was kept as %s, starting with "
               "default settings",
               config_file, why, kept);
  } else {
    log_printf(log_general, 0,
               "Settings file %s cannot be used because %S, and it could not be kept as %s: "
               "starting with default settings",
               config_file, why, kept);
  }
}

int codec_of_token(const str& token) {
  bool digits = !token.empty();
  for (size_t i = 0; i < token.length(); ++i)
    if (token[i] < '0' || token[i] > '9') digits = false;
  if (digits) return token.length() <= 9 ? token.value() : -1;
  static const struct {
    const char* name;
    int type;
  } names[] = {{"ulaw", 0}, {"alaw", 8}, {"gsm", 3}, {"g729", 18}, {"g726", 2}, {"g722", 9}};
  for (const auto& n : names)
    if (token.icmp(n.name)) return n.type;
  return -1;
}

}  // namespace

void init_config() {
  settings_state& s = state();
  {
    std::lock_guard<std::mutex> g(s.config_mutex);
    s.assign_defaults();
    s.upgrade.clear();
  }
  str text;
  file_system::status read = fs().read(config_file, text);
  xml_tree root;
  if (read == file_system::status::ok && xml_tree::parse(text, root) &&
      root.name() == "pbx-config") {
    for (const xml_tree& child : root.children()) {
      int index = ctrl_variable_lookup(child.name());
      std::lock_guard<std::mutex> g(s.config_mutex);
      if (index < ctrl_settings::setting_count)
        s.values[index] = child.body();
      else if (child.name() == "record_start" || child.name() == "record_end" ||
               child.name() == "mailbox_call")
        s.upgrade.emplace_back(child.name(), child.body());
    }
  } else if (read != file_system::status::not_found) {
    keep_unreadable_config(text.empty() && read == file_system::status::ok ? "it is empty"
                                                                           : "it is not valid");
  }
  scan_audio_directories();
}

str ctrl_read_registry(int setting) {
  if (!valid_index(setting)) return str();
  if (setting == ctrl_settings::codec_preference)
    return get_codec_list(str(), read_stored(setting));
  return read_stored(setting);
}

void ctrl_write_registry(int setting, const str& value, bool save) {
  if (!valid_index(setting)) return;
  bool changed;
  {
    settings_state& s = state();
    std::lock_guard<std::mutex> g(s.config_mutex);
    changed = s.values[setting] != value;
    if (changed) s.values[setting] = value;
  }
  if (changed) apply_side_effects(setting, value);
  if (save) save_config();
}

void ctrl_write_setting(int setting, const str& value) {
  if (!valid_index(setting)) return;
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  s.values[setting] = value;
}

int ctrl_variable_lookup(const str& name) {
  if (name.empty()) return ctrl_settings::setting_count;
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  for (int i = 0; i < ctrl_settings::setting_count; ++i)
    if (s.names[i].icmp(name)) return i;
  return ctrl_settings::setting_count;
}

str ctrl_variable_lookup(ctrl_settings::setting setting) {
  if (!valid_index(setting)) return str();
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  return s.names[setting];
}

str serialize_settings_file() {
  settings_state& s = state();
  xml_tree root("pbx-config");
  {
    std::lock_guard<std::mutex> g(s.config_mutex);
    root.children().reserve(ctrl_settings::setting_count);
    for (int i = 0; i < ctrl_settings::setting_count; ++i)
      if (!s.names[i].empty()) root.add_child(s.names[i], s.values[i]);
  }
  str out = c_xml_declaration;
  root.serialise_to(out);
  return out;
}

bool save_config() {
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.save_mutex);
  return serialize_settings_file().write_file(config_file);
}

str get_codec_list(const str& preferred, const str& list) {
  str source = list.empty() ? read_stored(ctrl_settings::codec_preference) : list;
  int pref = preferred.strip().empty() ? -1 : codec_of_token(preferred.strip());
  std::vector<int> front, back;
  for (size_t i = 0;; ++i) {
    str token = source.get_field(i);
    if (token.empty()) break;
    int type = codec_of_token(token);
    if (type != 0 && type != 2 && type != 3 && type != 8 && type != 9 && type != 18) continue;
    (type == pref ? front : back).push_back(type);
  }
  str out;
  for (const std::vector<int>* v : {&front, &back})
    for (int type : *v) {
      if (!out.empty()) out += ' ';
      out += str::sprintf("%d", type);
    }
  return out;
}

void add_setting_hook(int setting, setting_hook hook) {
  if (!valid_index(setting) || !hook) return;
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.hooks_mutex);
  s.hooks[setting].push_back(hook);
}

void clear_setting_hooks() {
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.hooks_mutex);
  for (auto& h : s.hooks) h.clear();
}

bool take_config_upgrade(const str& name, str& value) {
  settings_state& s = state();
  std::lock_guard<std::mutex> g(s.config_mutex);
  for (auto it = s.upgrade.begin(); it != s.upgrade.end(); ++it)
    if (it->first == name) {
      value = it->second;
      s.upgrade.erase(it);
      return true;
    }
  return false;
}
