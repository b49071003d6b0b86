#include "db/config_script.h"

#include <cstring>
#include <map>
#include <pugixml.hpp>

#include "base/file_system.h"
#include "base/log.h"
#include "db/file_writer.h"
#include "db/schema.h"
#include "db/tar.h"
#include "db/xml_text.h"
#include "frame/settings.h"

namespace {

// The tables of a complete configuration, in script order.
const char* const exported_tables[] = {
    "domains",    "domain_alias", "users",       "user_alias", "extensions",
    "attendants", "callingcards", "hunts",       "hoots",      "srvflags",
    "ivrnodes",   "acds",         "conferences", "dial_plan",  "dial_plan_entry",
    "adrbook",    "trunks",       "colines",     "mohs",
};

void write_and_save(int setting, const str& value) { ctrl_write_registry(setting, value, true); }

config_setting_writer setting_writer = write_and_save;

// An element name without namespace prefix.
const char* local_name(const pugi::xml_node& n) {
  const char* name = n.name();
  const char* colon = std::strchr(name, ':');
  return colon ? colon + 1 : name;
}

bool is(const pugi::xml_node& n, const char* name) { return str(local_name(n)).icmp(name); }

str text_of(const pugi::xml_node& n) {
  str out;
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  }
  return out;
}

constexpr unsigned parse_flags =
    pugi::parse_escapes | pugi::parse_cdata | pugi::parse_ws_pcdata | pugi::parse_fragment;

// A directory below the working directory that DeleteDirectory may erase.
bool deletable_directory(const str& path) {
  str p = path.strip().rstrip('/');
  return !p.empty() && p != "." && tar_safe_name(p);
}

void apply_set_entry(const pugi::xml_node& n) {
  str name(n.attribute("table").value());
  int id = str(n.attribute("row").value()).value();
  if (!table_exists(name) || id <= 0) return;
  table& t = get_table(name);
  std::vector<std::pair<str, str>> values;
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && is(c, "Column")) {
      values.emplace_back(str(c.attribute("name").value()), text_of(c));
    }
  }
  if (values.empty()) {
    t.delete_row(id);
    return;
  }
  for (const auto& [column, value] : values) t.set(id, column, value, false, false);
  t.write_row(id, true);
}

// Rows set between two waits for the file writer. A large script (tens of thousands of
// accounts) is applied far faster than the writer replaces files; without a wait the queued
// file texts of the whole script would be in memory at once, and the string buffers they took
// stay with the process afterwards.
constexpr int entries_per_flush = 1000;

void apply_elements(const pugi::xml_node& parent) {
  int entries = 0;
  for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element) continue;
    if (is(n, "DeleteTable")) {
      str name(n.attribute("table").value());
      if (table_exists(name)) get_table(name).delete_row();
    } else if (is(n, "SetSetting")) {
      int s = ctrl_variable_lookup(str(n.attribute("name").value()));
      if (s < ctrl_settings::setting_count) setting_writer(s, text_of(n));
    } else if (is(n, "DeleteDirectory")) {
      str dir = text_of(n).strip().rstrip('/');
      if (deletable_directory(dir)) erase_directory(dir);
    } else if (is(n, "SetEntry")) {
      apply_set_entry(n);
      if (++entries % entries_per_flush == 0) flush_file_writer();
    }
  }
}

}  // namespace

void set_config_setting_writer(config_setting_writer writer) {
  setting_writer = writer ? writer : write_and_save;
}

str serialize_config() {
  str out = "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<Config>";
  for (int i = 0; i < ctrl_settings::setting_count; i++) {
    str name = ctrl_variable_lookup(static_cast<ctrl_settings::setting>(i));
    if (name.empty()) continue;
    out += "<SetSetting name=\"";
    out += xml_attribute_value(name);
    out += "\">";
    append_xml_escaped(out, ctrl_read_registry(i));
    out += "</SetSetting>";
  }
  for (const char* name : exported_tables) out += get_table(str(name)).serialize();
  out += "</Config>";
  return out;
}

void process_config(const str& text) {
  pugi::xml_document doc;
  // A document that breaks off keeps the elements parsed before the fault.
  doc.load_buffer(text.cbuffer(), text.length(), parse_flags, pugi::encoding_utf8);
  apply_elements(doc);
}

void on_config_available(int status, const str& body) {
  if (status < 200 || status > 299) {
    log_printf(log_web, 2, "Loading Configuration: Server returned %d", status);
    return;
  }
  pugi::xml_document doc;
  doc.load_buffer(body.cbuffer(), body.length(), parse_flags, pugi::encoding_utf8);
  for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element && is(n, "Config")) apply_elements(n);
  }
}

restore_result restore_default_config(const str& file, const str& web_dir) {
  if (file.empty()) {
    log_printf(log_general, 0,
               "Cannot restore default configuration because there is no filename for this.");
    return restore_result::nothing;
  }
  str content;
  if (!str::read_file(file, content, false) || content.empty()) {
    if (!web_dir.empty()) {
      str path = web_dir.ends_with("/") ? web_dir + file : web_dir + "/" + file;
      if (!str::read_file(path, content, false)) content.clear();
    }
  }
  if (content.empty()) {
    log_printf(log_general, 0,
               "Cannot restore default configuration because the default configuration cannot "
               "be found.");
    return restore_result::nothing;
  }
  log_printf(log_general, 0, "Restoring default configuration");
  restore_result applied;
  if (content.starts_with("<?xml")) {
    on_config_available(200, content);
    applied = restore_result::script;
  } else if (put_tar(content, no_tar_limit)) {
    // The operator named this file: max_tar guards uploads, not the command line. put_tar
    // returns with every file on disk, so the restored pbx.xml is read here, and replaces the
    // settings in memory before they are written back.
    init_config();
    applied = restore_result::tar;
  } else {
    log_printf(log_general, 0,
               "Cannot restore default configuration from %s: the archive was refused, starting "
               "without creating anything in its place",
               file);
    return restore_result::refused;
  }
  save_config();
  return applied;
}
