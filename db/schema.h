// The schema of the PBX data store: every table (a global object, named after its directory
// except trunk_cdr/ext_cdr/ivr_cdr and auto_callbacks), every column-name constant
// (table_column, or the longer name where one is established), and the start-up definition and
// loading of the tables.
//
// Side: ctrl. Everything here runs under ctrl_run_mutex, like the table store itself.
#pragma once

#include <cstddef>

#include "db/table.h"

// One column of a table definition, in definition order.
struct column_def {
  const str* name;
  bool indexed;
  bool lookup = false;  // not indexed on disk, but searched by name at run time (add_lookup)
};

// One table of the schema, in list order (the order of creation and loading).
struct table_def {
  const char* dir;
  table* t;
  bool persistent;
  bool binary;     // rows stored in TLVB form
  bool no_create;  // set() on a missing row does not create it
  const column_def* columns;
  size_t column_count;
};
extern const table_def table_defs[];
extern const size_t table_def_count;
// The definition of the table with that directory name, or nullptr.
const table_def* find_table_def(const str& dir);

extern table domains;          // domains
extern table domain_alias;     // domain_alias
extern table users;            // users
extern table user_alias;       // user_alias
extern table extensions;       // extensions
extern table login;            // login
extern table macs;             // macs
extern table cells;            // cells
extern table attendants;       // attendants
extern table auto_callbacks;   // autocallback
extern table callingcards;     // callingcards
extern table hunts;            // hunts
extern table hoots;            // hoots
extern table srvflags;         // srvflags
extern table ivrnodes;         // ivrnodes
extern table acds;             // acds
extern table conferences;      // conferences
extern table orbits;           // orbits
extern table schedules;        // schedules
extern table wipers;           // wipers
extern table registrations;    // registrations
extern table regidx;           // regidx
extern table dial_plan;        // dial_plan
extern table dial_plan_entry;  // dial_plan_entry
extern table cobjs;            // cobjs
extern table legs;             // legs
extern table messages;         // messages
extern table adrbook;          // adrbook
extern table trunks;           // trunks
extern table rates;            // rates
extern table trunk_cdr;        // cdrt
extern table ext_cdr;          // cdre
extern table ivr_cdr;          // cdri
extern table colines;          // colines
extern table lamps;            // lamps
extern table mohs;             // mohs
extern table button_lists;     // button_lists
extern table buttons;          // buttons
extern table pnp_parms;        // pnp_parms
extern table accesslist;       // accesslist
extern table webpages;         // webpages
extern table certificates;     // certificates

// domains
extern const str domains_name;
extern const str domains_display_name;
extern const str domains_cfn_timeout;
extern const str domains_mb_timeout;
extern const str domains_mb_size;
extern const str domains_mb_pinsize;
extern const str domains_mb_enter_pin;
extern const str domains_trust_callerid;
extern const str domains_disa_callid;
extern const str domains_mb_prefix;
extern const str domains_max_mb_duration;
extern const str domains_code_park;
extern const str domains_code_retrieve;
extern const str domains_code_pickup;
extern const str domains_code_connect;
extern const str domains_code_return;
extern const str domains_code_redial;
extern const str domains_code_cfr;
extern const str domains_code_cfaa;
extern const str domains_code_cfae;
extern const str domains_code_cfad;
extern const str domains_code_cfbe;
extern const str domains_code_cfbd;
extern const str domains_code_cfne;
extern const str domains_code_cfnd;
extern const str domains_code_bcide;
extern const str domains_code_bcidd;
extern const str domains_code_banoe;
extern const str domains_code_banod;
extern const str domains_code_dnde;
extern const str domains_code_dndd;
extern const str domains_code_agent_login;
extern const str domains_code_agent_logout;
extern const str domains_code_clrvm;
extern const str domains_code_intercom;
extern const str domains_code_govm;
extern const str domains_code_rec;
extern const str domains_code_transfer;
extern const str domains_code_conference;
extern const str domains_code_trace;
extern const str domains_code_vme;
extern const str domains_code_vmd;
extern const str domains_code_barge;
extern const str domains_code_listen;
extern const str domains_code_teach;
extern const str domains_code_white;
extern const str domains_code_black;
extern const str domains_code_page;
extern const str domains_code_seize;
extern const str domains_code_unseize;
extern const str domains_code_callcell;
extern const str domains_code_wakeup;
extern const str domains_code_credit;
extern const str domains_code_cleanup;
extern const str domains_code_pickup_cell;
extern const str domains_code_transfer_cell;
extern const str domains_email_from;
extern const str domains_email_user;
extern const str domains_email_pass;
extern const str domains_email_smtp;
extern const str domains_email_starttls;
extern const str domains_email_cdr;
extern const str domains_default_dialplan;
extern const str domains_max_accounts;
extern const str domains_max_extensions;
extern const str domains_max_calls;
extern const str domains_mailbox_escape;
extern const str domains_record_annoucement;
extern const str domains_lang_audio;
extern const str domains_lang_tones;
extern const str domains_moh;
extern const str domains_tz;
extern const str domains_dp;
extern const str domains_country_code;
extern const str domains_area_code;
extern const str domains_language_web;
extern const str domains_voicemail;
extern const str domains_from_style;
extern const str domains_to_style;
extern const str domains_canonical_names;
extern const str domains_park_reminder;
extern const str domains_emergency_numbers;
extern const str domains_rec_hunt;
extern const str domains_rec_acd;
extern const str domains_rec_extension;
extern const str domains_rec_internal;
extern const str domains_rec_external;
extern const str domains_rec_emergency;
extern const str domains_reset_dnd;
extern const str domains_reset_hot;
extern const str domains_reset_block_cid;
extern const str domains_camp_enabled;
extern const str domains_last_cmc;
extern const str domains_mailbox_call;
extern const str domains_record_start;
extern const str domains_record_end;
extern const str domains_park_call;
extern const str domains_end_call;
extern const str domains_prov_user;
extern const str domains_prov_pass;
extern const str domains_prov_pin;
extern const str domains_charge_beep;
extern const str domains_cdr_adr;
extern const str domains_ani;
extern const str domains_max_regs;
extern const str domains_credit;
extern const str domains_7digit_cell;
extern const str domains_email_black_call;
extern const str domains_ringback_file;
extern const str domains_cmc_mode;
extern const str domains_hide_user_alias;
extern const str domains_acct_list_size;
extern const str domains_display_mac;
extern const str domains_hyper_link;
extern const str domains_display_cell;
extern const str domains_display_email;
extern const str domains_play_envelope;
extern const str domains_midnight_logout;
extern const str domains_welcome_email;
extern const str domains_delete_alias;
// domain_alias
extern const str domain_alias_domain;
extern const str domain_alias_name;
// users
extern const str users_alias;
extern const str users_domain;
extern const str users_type_name;
extern const str users_type_index;
extern const str users_disabled;
extern const str users_dialog_state;
extern const str users_dialog_version;
extern const str users_dialog_subscribe;
extern const str users_dial_plan;
extern const str users_param1;
extern const str users_param2;
extern const str users_param3;
extern const str users_epid;
extern const str users_ani;
extern const str users_email_cdr;
extern const str users_credit;
extern const str users_ringback_file;
extern const str users_cdr_time;
// user_alias
extern const str user_alias_user;
extern const str user_alias_domain;
extern const str user_alias_name;
extern const str user_alias_display_name;
// extensions
extern const str extensions_password;
extern const str extensions_web_password;
extern const str extensions_admin;
extern const str extensions_dial_plan;
extern const str extensions_first_name;
extern const str extensions_last_name;
extern const str extensions_auth_adr;
extern const str extensions_mb_enable;
extern const str extensions_mb_timeout;
extern const str extensions_mb_pin;
extern const str extensions_mb_size;
extern const str extensions_email_address;
extern const str extensions_email_vmail;
extern const str extensions_vmail_option;
extern const str extensions_email_missed;
extern const str extensions_email_mb_full;
extern const str extensions_email_all;
extern const str extensions_email_status;
extern const str extensions_email_black_call;
extern const str extensions_block_cid;
extern const str extensions_anonymous;
extern const str extensions_cfr;
extern const str extensions_cfa;
extern const str extensions_cfb;
extern const str extensions_cfn;
extern const str extensions_cfn_timeout;
extern const str extensions_cfd;
extern const str extensions_dnd;
extern const str extensions_vm_indicator;
extern const str extensions_ua_type;
extern const str extensions_mwi;
extern const str extensions_name_use;
extern const str extensions_personal;
extern const str extensions_personal_greetings;
extern const str extensions_call_return;
extern const str extensions_call_redial;
extern const str extensions_mac;
extern const str extensions_mailbox_copy;
extern const str extensions_barge;
extern const str extensions_listen;
extern const str extensions_teach;
extern const str extensions_disturb;
extern const str extensions_intercom;
extern const str extensions_permission_call;
extern const str extensions_callcell;
extern const str extensions_change_redirect;
extern const str extensions_cleanup;
extern const str extensions_log_register;
extern const str extensions_rec_extension;
extern const str extensions_rec_internal;
extern const str extensions_rec_external;
extern const str extensions_rec_emergency;
extern const str extensions_available_timestamp;
extern const str extensions_tz;
extern const str extensions_language_web;
extern const str extensions_language_audio;
extern const str extensions_buddies;
extern const str extensions_presence_buddies;
extern const str extensions_lines;
extern const str extensions_callwaiting;
extern const str extensions_cell_display;
extern const str extensions_cell_mwi;
extern const str extensions_cell_time;
extern const str extensions_cell_night;
extern const str extensions_cell_hunt;
extern const str extensions_cell_acd;
extern const str extensions_cell_connect;
extern const str extensions_cell_click2dial;
extern const str extensions_hours_mon;
extern const str extensions_hours_tue;
extern const str extensions_hours_wed;
extern const str extensions_hours_thu;
extern const str extensions_hours_fri;
extern const str extensions_hours_sat;
extern const str extensions_hours_sun;
extern const str extensions_hours_holiday;
extern const str extensions_picture;
extern const str extensions_codecs;
extern const str extensions_mailbox_escape;
extern const str extensions_profile;
extern const str extensions_orbits;
extern const str extensions_pickup;
extern const str extensions_active_calls;
extern const str extensions_emergency_destination;
extern const str extensions_emergency_ani;
extern const str extensions_wakeup;
extern const str extensions_show_acds;
extern const str extensions_pacusers;
extern const str extensions_max_regs;
extern const str extensions_adrbook_pref;
extern const str extensions_adrbook_local_extns;
extern const str extensions_position;
extern const str extensions_showwac;
extern const str extensions_no_vpa;
// login
extern const str login_extension;
extern const str login_group;
extern const str login_start;
extern const str login_end;
extern const str login_reason;
// macs
extern const str macs_adr;
extern const str macs_user;
// cells
extern const str cells_number;
extern const str cells_user;
// attendants
extern const str attendants_excluded;
extern const str attendants_wavfile_0;
extern const str attendants_wavfile_1;
extern const str attendants_wavfile_2;
extern const str attendants_wavfile_3;
extern const str attendants_wavfile_4;
extern const str attendants_wavfile_5;
extern const str attendants_condition_1;
extern const str attendants_condition_2;
extern const str attendants_condition_3;
extern const str attendants_condition_4;
extern const str attendants_condition_5;
extern const str attendants_flag;
extern const str attendants_night;
extern const str attendants_timeout;
extern const str attendants_operator;
extern const str attendants_name_trigger;
extern const str attendants_min_digits;
extern const str attendants_first_lang;
extern const str attendants_second_lang;
extern const str attendants_code_0;
extern const str attendants_code_1;
extern const str attendants_code_2;
extern const str attendants_code_3;
extern const str attendants_code_4;
extern const str attendants_code_5;
extern const str attendants_code_6;
extern const str attendants_code_7;
extern const str attendants_code_8;
extern const str attendants_code_9;
extern const str attendants_input_0;
extern const str attendants_input_1;
extern const str attendants_input_2;
extern const str attendants_input_3;
extern const str attendants_input_4;
extern const str attendants_input_5;
extern const str attendants_input_6;
extern const str attendants_input_7;
extern const str attendants_input_8;
extern const str attendants_input_9;
extern const str attendants_prompt_0;
extern const str attendants_prompt_1;
extern const str attendants_prompt_2;
extern const str attendants_prompt_3;
extern const str attendants_prompt_4;
extern const str attendants_prompt_5;
extern const str attendants_prompt_6;
extern const str attendants_prompt_7;
extern const str attendants_prompt_8;
extern const str attendants_prompt_9;
extern const str attendants_def_gap;
extern const str attendants_gap_0;
extern const str attendants_gap_1;
extern const str attendants_gap_2;
extern const str attendants_gap_3;
extern const str attendants_gap_4;
extern const str attendants_gap_5;
extern const str attendants_gap_6;
extern const str attendants_gap_7;
extern const str attendants_gap_8;
extern const str attendants_gap_9;
extern const str attendants_completion;
extern const str attendants_record_code;
extern const str attendants_record_ext;
extern const str attendants_verify;
extern const str attendants_admin_account;
extern const str attendants_hangup;
extern const str attendants_display;
extern const str attendants_say_enter_extension;
extern const str attendants_say_dial_by_name;
extern const str attendants_say_stay_in_line;
extern const str attendants_answer_wait;
extern const str attendants_welcome_loop;
extern const str attendants_special_keys;
extern const str attendants_play_def;
extern const str attendants_def_file;
// autocallback
extern const str auto_callback_fuser;
extern const str auto_callback_tuser;
extern const str auto_callback_number;
extern const str auto_callback_timestamp;
extern const str auto_callback_active;
// callingcards
extern const str callingcards_block_cid;
extern const str callingcards_num_id;
extern const str callingcards_intern;
extern const str callingcards_callback;
extern const str callingcards_threshold;
extern const str callingcards_autodial;
// hunts
extern const str hunts_st1_ext;
extern const str hunts_st1_dur;
extern const str hunts_st2_ext;
extern const str hunts_st2_dur;
extern const str hunts_st3_ext;
extern const str hunts_st3_dur;
extern const str hunts_st4_ext;
extern const str hunts_melody;
extern const str hunts_from_header;
extern const str hunts_display;
extern const str hunts_flag;
extern const str hunts_night;
extern const str hunts_rec;
extern const str hunts_moh;
// hoots
extern const str hoots_extensions;
extern const str hoots_display;
extern const str hoots_perm;
extern const str hoots_mode;
extern const str hoots_address;
extern const str hoots_codec;
extern const str hoots_record;
// srvflags
extern const str srvflags_state;
extern const str srvflags_last_state;
extern const str srvflags_display;
extern const str srvflags_allow_ext;
extern const str srvflags_mode;
extern const str srvflags_mon;
extern const str srvflags_tue;
extern const str srvflags_wed;
extern const str srvflags_thu;
extern const str srvflags_fri;
extern const str srvflags_sat;
extern const str srvflags_sun;
extern const str srvflags_holidays;
extern const str srvflags_sound;
// ivrnodes
extern const str ivrnodes_wavfile;
extern const str ivrnodes_match;
extern const str ivrnodes_match_from;
extern const str ivrnodes_match_to;
extern const str ivrnodes_soap_uri;
extern const str ivrnodes_admin_account;
extern const str ivrnodes_name;
extern const str ivrnodes_timeout;
extern const str ivrnodes_mute;
// acds
extern const str acd_wavfile0;
extern const str acd_wavfile1;
extern const str acd_wavfile2;
extern const str acd_wavfile3;
extern const str acd_wavfile4;
extern const str acd_wavfile5;
extern const str acd_wavfile6;
extern const str acd_wavfile7;
extern const str acd_wavfile8;
extern const str acd_wavfile9;
extern const str acd_agents;
extern const str acd_all_agents;
extern const str acd_escalation_agents;
extern const str acd_escalation_time;
extern const str acd_gap_time;
extern const str acd_distribution;
extern const str acd_recover_time;
extern const str acd_melody;
extern const str acd_email_connect_flag;
extern const str acd_email_connect_content;
extern const str acd_im_destinations;
extern const str acd_timeout;
extern const str acd_redirect;
extern const str acd_key0;
extern const str acd_key1;
extern const str acd_key2;
extern const str acd_key3;
extern const str acd_key4;
extern const str acd_key5;
extern const str acd_key6;
extern const str acd_key7;
extern const str acd_key8;
extern const str acd_key9;
extern const str acd_flag;
extern const str acd_night;
extern const str acd_admin_account;
extern const str acd_speed_limit;
extern const str acd_last_state;
extern const str acd_from_header;
extern const str acd_display;
extern const str acd_algorithm;
extern const str acd_insert_front;
extern const str acd_delay;
extern const str acd_usage;
extern const str acd_jump_in;
extern const str acd_connect_type;
extern const str acd_wait_time;
extern const str acd_wait_target;
extern const str acd_moh;
extern const str acd_manager;
extern const str acd_ringback;
extern const str acd_add_cmc;
extern const str acd_add_adrbook;
extern const str acd_minstaff;
extern const str acd_rec;
extern const str acd_pull_policy;
extern const str acd_read_pos;
extern const str acd_logout;
extern const str acd_priority;
extern const str acd_max_calls;
extern const str acd_multiple_calls;
extern const str acd_soap_welcome;
extern const str acd_primary_logged_out;
extern const str acd_all_logged_out;
extern const str acd_all_unregistered;
// conferences
extern const str conferences_name;
extern const str conferences_type;
extern const str conferences_pin;
extern const str conferences_user_pin;
extern const str conferences_length;
extern const str conferences_intro;
extern const str conferences_lang;
// orbits
extern const str orbits_name;
extern const str orbits_moh;
extern const str orbits_reminder_duration;
// schedules
extern const str schedules_confid;
extern const str schedules_name;
extern const str schedules_user_pin;
extern const str schedules_mod_pin;
extern const str schedules_start;
extern const str schedules_end;
extern const str schedules_moderator;
extern const str schedules_emails;
extern const str schedules_record;
extern const str schedules_mod_enter;
extern const str schedules_mod_exit;
// wipers
extern const str wiper_context;
extern const str wiper_filename;
extern const str wiper_info;
// registrations
extern const str registrations_domain;
extern const str registrations_from;
extern const str registrations_to;
extern const str registrations_fuser;
extern const str registrations_tuser;
extern const str registrations_rdate;
extern const str registrations_adate;
extern const str registrations_contact;
extern const str registrations_instance;
extern const str registrations_callid;
extern const str registrations_event;
extern const str registrations_parameter;
extern const str registrations_www;
extern const str registrations_user_agent;
extern const str registrations_adr;
extern const str registrations_state;
extern const str registrations_dialog_version;
extern const str registrations_buttons;
extern const str registrations_vs;
// regidx
extern const str regidx_tuser;
extern const str regidx_reg;
extern const str regidx_event;
// dial_plan
extern const str dial_plan_name;
extern const str dial_plan_domain;
extern const str dial_plan_global;
// dial_plan_entry
extern const str dial_plan_entry_id;
extern const str dial_plan_entry_preference;
extern const str dial_plan_entry_trunk;
extern const str dial_plan_entry_pattern;
extern const str dial_plan_entry_replacement;
extern const str dial_plan_entry_cmc;
// cobjs
extern const str cobj_cid;
extern const str cobj_primary_leg;
extern const str cobj_from;
extern const str cobj_to;
extern const str cobj_segment_start;
extern const str cobj_segment_type;
extern const str cobj_duration_ivr;
extern const str cobj_duration_ring;
extern const str cobj_duration_talk;
extern const str cobj_hold_start;
extern const str cobj_duration_hold;
extern const str cobj_termination_reason;
extern const str cobj_state;
extern const str cobj_ivr_type;
extern const str cobj_ivr_state;
extern const str cobj_ivr_files;
extern const str cobj_ivr_var1;
extern const str cobj_ivr_var2;
extern const str cobj_ivr_var3;
extern const str cobj_ivr_var4;
extern const str cobj_ivr_var5;
extern const str cobj_ivr_var6;
extern const str cobj_ivr_var7;
extern const str cobj_ivr_user;
extern const str cobj_ivr_extension;
extern const str cobj_domain;
extern const str cobj_clip;
extern const str cobj_lang;
extern const str cobj_history;
extern const str cobj_diversion;
extern const str cobj_loop;
extern const str cobj_cmc;
extern const str cobj_priority;
extern const str cobj_co_preference;
// legs
extern const str leg_reference;
extern const str leg_call_id;
extern const str leg_sip_id;
extern const str leg_extension;
extern const str leg_trunk;
extern const str leg_registration;
extern const str leg_inbound;
extern const str leg_from;
extern const str leg_to;
extern const str leg_state;
extern const str leg_start;
extern const str leg_connect;
extern const str leg_dtmf_digits;
extern const str leg_dtmf_stamp;
extern const str leg_connect_symbol;
extern const str leg_group_party;
extern const str leg_charge_user;
extern const str leg_charge_remote_party;
extern const str leg_charge_price;
extern const str leg_charge_duration;
extern const str leg_charge_cost;
extern const str leg_secure;
extern const str leg_codec;
extern const str leg_tap;
extern const str leg_listener;
extern const str leg_source;
extern const str leg_rec;
extern const str leg_picture;
extern const str leg_dp_prio;
extern const str leg_cqdr;
extern const str leg_tapi;
extern const str leg_number;
extern const str leg_disconnect_reason;
extern const str leg_redirect_num;
extern const str leg_call_type;
// messages
extern const str messages_user;
extern const str messages_from;
extern const str messages_to;
extern const str messages_start;
extern const str messages_duration;
extern const str messages_new;
extern const str messages_attribute;
extern const str messages_type;
extern const str messages_filename;
extern const str messages_comment;
extern const str messages_callid;
// adrbook
extern const str adrbook_domain;
extern const str adrbook_user;
extern const str adrbook_number;
extern const str adrbook_first_name;
extern const str adrbook_last_name;
extern const str adrbook_speed;
extern const str adrbook_display_number;
extern const str adrbook_type;
extern const str adrbook_cmc;
extern const str adrbook_comment;
extern const str adrbook_expires;
extern const str adrbook_agent;
// trunks
extern const str trunks_name;
extern const str trunks_type;
extern const str trunks_to;
extern const str trunks_domain;
extern const str trunks_uuid;
extern const str trunks_direction;
extern const str trunks_disabled;
extern const str trunks_global;
extern const str trunks_reg_display;
extern const str trunks_reg_account;
extern const str trunks_reg_registrar;
extern const str trunks_reg_keep;
extern const str trunks_reg_user;
extern const str trunks_reg_pass;
extern const str trunks_require;
extern const str trunks_icid_value;
extern const str trunks_outbound_proxy;
extern const str trunks_ani;
extern const str trunks_dial_extension;
extern const str trunks_prefix;
extern const str trunks_status;
extern const str trunks_minor;
extern const str trunks_trusted;
extern const str trunks_redirect;
extern const str trunks_rfcrtp;
extern const str trunks_use_uuid;
extern const str trunks_ring180;
extern const str trunks_failover;
extern const str trunks_privacy;
extern const str trunks_glob;
extern const str trunks_request_timeout;
extern const str trunks_codecs;
extern const str trunks_codec_lock;
extern const str trunks_expires;
extern const str trunks_send_email;
extern const str trunks_from_user;
extern const str trunks_tel;
extern const str trunks_analog;
extern const str trunks_use_epid;
extern const str trunks_dtmf;
extern const str trunks_currency;
extern const str trunks_associated_addresses;
extern const str trunks_interoffice;
extern const str trunks_dialplan;
// rates
extern const str rate_trunk;
extern const str rate_name;
extern const str rate_prefix;
extern const str rate_price;
extern const str rate_period;
extern const str rate_upfront;
// cdrt
extern const str trunk_cdr_primary_cid;
extern const str trunk_cdr_from;
extern const str trunk_cdr_to;
extern const str trunk_cdr_direction;
extern const str trunk_cdr_remote_party;
extern const str trunk_cdr_local_party;
extern const str trunk_cdr_trunk;
extern const str trunk_cdr_cost;
extern const str trunk_cdr_domain;
extern const str trunk_cdr_start;
extern const str trunk_cdr_connect;
extern const str trunk_cdr_end;
extern const str trunk_cdr_ipadr;
extern const str trunk_cdr_quality_report;
extern const str trunk_cdr_cmc;
extern const str trunk_cdr_rec_location;
extern const str trunk_cdr_type;
extern const str trunk_cdr_ivr_ext;
// cdre
extern const str ext_cdr_primary_cid;
extern const str ext_cdr_call_id;
extern const str ext_cdr_from;
extern const str ext_cdr_to;
extern const str ext_cdr_direction;
extern const str ext_cdr_extension;
extern const str ext_cdr_redirect;
extern const str ext_cdr_domain;
extern const str ext_cdr_start;
extern const str ext_cdr_connect;
extern const str ext_cdr_end;
extern const str ext_cdr_ipadr;
extern const str ext_cdr_quality_report;
extern const str ext_cdr_call_type;
extern const str ext_cdr_cmc;
extern const str ext_cdr_rec_location;
extern const str ext_cdr_type;
// cdri
extern const str ivr_cdr_primary_cid;
extern const str ivr_cdr_type;
extern const str ivr_cdr_user;
extern const str ivr_cdr_extension;
extern const str ivr_cdr_from;
extern const str ivr_cdr_to;
extern const str ivr_cdr_domain;
extern const str ivr_cdr_language;
extern const str ivr_cdr_time_start;
extern const str ivr_cdr_duration_ivr;
extern const str ivr_cdr_duration_ring;
extern const str ivr_cdr_duration_talk;
extern const str ivr_cdr_duration_hold;
extern const str ivr_cdr_reason;
// colines
extern const str coline_trunk;
extern const str coline_type;
extern const str coline_leg;
extern const str coline_seized_user;
extern const str coline_seized_timestamp;
// lamps
extern const str lamp_user;
extern const str lamp_state;
extern const str lamp_from;
extern const str lamp_to;
extern const str lamp_number;
// mohs
extern const str mohs_name;
extern const str mohs_type;
extern const str mohs_file;
extern const str mohs_string;
extern const str mohs_domain;
// button_lists
extern const str button_lists_name;
extern const str button_lists_domain;
extern const str button_lists_user;
// buttons
extern const str buttons_profile;
extern const str buttons_number;
extern const str buttons_type;
extern const str buttons_parameter;
extern const str buttons_user;
extern const str buttons_line;
extern const str buttons_label;
// pnp_parms
extern const str pnp_parms_name;
extern const str pnp_parms_value;
extern const str pnp_parms_active;
extern const str pnp_parms_display;
extern const str pnp_parms_vendor;
// accesslist
extern const str accesslist_adr;
extern const str accesslist_mask;
extern const str accesslist_type;
extern const str accesslist_reason;
extern const str accesslist_expires;
// webpages
extern const str webpages_name;
extern const str webpages_domain;
extern const str webpages_user;
extern const str webpages_content;
extern const str webpages_timestamp;
extern const str webpages_editor;
// certificates
extern const str certificate_private;
extern const str certificate_public;
extern const str certificate_subject;
extern const str certificate_type;

// The table with that directory name: any table of the schema except legs. An unknown name is
// logged ("Table %s not found") and yields an unnamed, empty table without columns, so callers
// never receive a null table.
table& get_table(const str& name);
// True for the tables that may be read and written by name from outside (configuration import,
// account import, web lookups): the names of get_table except webpages.
bool table_exists(const str& name);
// True for the kind-specific tables an account row may point at (extensions, attendants,
// hunts, ...).
bool is_account_kind_table(const str& name);
// delete_row() on every table except macs, cells and legs (deletes their row files).
void clear_tables();
// Defines the columns and flags of one table (idempotent: an existing column only has its
// index adjusted).
void define_table(const table_def& d);
// For every table in list order except rates and the call-record tables: flags, columns and
// load (adrbook is defined but loaded later with the call records). Safe to run again on a
// configuration reload: it then reloads the rows.
void init_tables();
// Columns of rates and of the call-record tables (which switch to TLVB). Their rows are loaded
// later by load_cdr_tables; until then they are empty but hand out ids after the stored ones.
void init_rate_table();
void init_cdrs_tables();
// Writes the 44 default feature codes into a domain row (no file write per cell; the row is
// written once with notification).
void set_default_codes(int domain);

// The wipers table: files to delete later, grouped by context.
void wiper_add(const str& context, const str& filename);
void wiper_clear(const str& context);
// Deletes every registered file except those of the context "record", then every row.
void wiper_clear();
