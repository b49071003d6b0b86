#include "db/persistence.h"

#include <malloc.h>
#include <pthread.h>

#include <chrono>
#include <thread>

#include "base/file_system.h"
#include "base/log.h"
#include "base/random.h"
#include "db/config_script.h"
#include "db/file_writer.h"
#include "db/schema.h"
#include "frame/mutex.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "frame/startup.h"

namespace {

// "2.0.4" -> 204: major * 100 + minor * 10 + patch.
int version_number(const str& v) {
  return v.get_field(0, '.').value() * 100 + v.get_field(1, '.').value() * 10 +
         v.get_field(2, '.').value();
}

void fix_domains() {
  for (const auto& entry : domains.rows()) {
    int id = entry.first;
    bool changed = false;
    auto fill = [&](const str& column, const str& value) {
      if (!domains.get(id, column).empty()) return;
      domains.set(id, column, value, false, false);
      changed = true;
    };
    fill(domains_code_connect, "*601");
    fill(domains_code_seize, "*602");
    fill(domains_code_unseize, "*603");
    fill(domains_prov_user, "admin");
    fill(domains_prov_pass, random_token(12));
    fill(domains_prov_pin, random_digits(6));
    if (changed) domains.write_row(id, true);
  }
}

void fix_aliases() {
  std::vector<int> ids;
  for (const auto& [id, r] : user_alias.rows()) ids.push_back(id);
  for (int id : ids) {
    str name = user_alias.get(id, user_alias_name);
    int user = user_alias.get(id, user_alias_user).value();
    int domain = user_alias.get(id, user_alias_domain).value();
    if (!users.has_row(user)) {
      log_printf(log_general, 1, "User alias %s points to non-existing user %d: Removing alias.",
                 name, user);
      user_alias.delete_row(id);
    } else if (!domains.has_row(domain)) {
      log_printf(log_general, 1, "User alias %s points to non-existing domain %d: Removing alias.",
                 name, domain);
      user_alias.delete_row(id);
    }
  }
}

void fix_users() {
  std::vector<int> ids;
  for (const auto& [id, r] : users.rows()) ids.push_back(id);
  for (int id : ids) {
    str type = users.get(id, users_type_name);
    int kind_id = users.get(id, users_type_index).value();
    if (is_account_kind_table(type) && get_table(type).has_row(kind_id)) continue;
    log_printf(log_general, 1, "Database sanity check: Deleting user %d (%s)", id, type);
    users.delete_row(id);
  }
}

void fix_colines() {
  std::vector<int> ids;
  for (const auto& [id, r] : colines.rows()) ids.push_back(id);
  for (int id : ids) {
    if (!trunks.has_row(colines.get(id, coline_trunk).value())) {
      log_printf(log_general, 1, "Database sanity check: Deleting coline %d", id);
      colines.delete_row(id);
      continue;
    }
    colines.set(id, coline_seized_user, str(), false, false);
    colines.set(id, coline_seized_timestamp, str(), false, false);
    colines.set(id, coline_leg, str(), false, false);
    colines.write_row(id, false);
  }
}

void fix_mohs() {
  if (mohs.size() != 0) return;
  int id = mohs.add_row(false);
  mohs.set(id, mohs_name, "File moh.wav", false, false);
  mohs.set(id, mohs_type, "file", false, false);
  mohs.set(id, mohs_file, "moh.wav", false, false);
  mohs.set(id, mohs_string, "moh.wav", false, false);
  mohs.write_row(id, true);
}

void fix_messages() {
  std::vector<int> ids;
  for (const auto& [id, r] : messages.rows()) ids.push_back(id);
  for (int id : ids) {
    str file = messages.get(id, messages_filename);
    if (file.empty()) file = str::sprintf("recordings/msg%d.wav", id);
    if (fs().size(file) >= 0) continue;
    log_printf(log_general, 1, "Deleting message %d because the associated file %s is not present",
               id, file);
    messages.delete_row(id);
  }
}

// Settings of an older layout move into every domain once: the settings file is written
// without them in the same start, so a later per-domain change is never overwritten.
void fix_old_settings() {
  static const str* const columns[] = {&domains_record_start, &domains_record_end,
                                       &domains_mailbox_call};
  bool moved = false;
  for (const str* column : columns) {
    str value;
    if (!take_config_upgrade(*column, value)) continue;
    for (const auto& [id, r] : domains.rows()) domains.set(id, *column, value, true, true);
    moved = true;
  }
  if (moved) save_config();
}

void fix_version() {
  if (version_number(ctrl_read_registry(ctrl_settings::version)) >= 200) return;
  if (extensions.size() > 0) log_printf(log_general, 0, "Upgrading from 1.x to 2.0");
  ctrl_write_registry(ctrl_settings::version, "2.0.4", true);
}

}  // namespace

void fix_upgrades() {
  wiper_clear();
  fix_domains();
  // Accounts first, so that the aliases of an account removed here go in the same run.
  fix_users();
  fix_aliases();
  fix_colines();
  fix_mohs();
  fix_messages();
  fix_old_settings();
  fix_version();
}

int create_default_domain(const str& name) {
  int id = domains.add_row(false);
  domains.set(id, domains_name, name, false, false);
  domains.write_row(id, false);
  set_default_codes(id);
  return id;
}

void clear_call_rows() {
  legs.delete_row();
  cobjs.delete_row();
}

void db_load_tables() {
  init_tables();
  clear_call_rows();
  fix_upgrades();
}

void init_setup() {
  init_setup(startup_options.has_default ? startup_options.default_file : str(), http_root);
}

void init_setup(const str& default_file, const str& web_dir) {
  if (domains.size() == 0) {
    if (!default_file.empty() && ctrl_read_registry(ctrl_settings::sys_name).empty()) {
      switch (restore_default_config(default_file, web_dir)) {
        case restore_result::tar:
          db_load_tables();  // a tar image replaced the files: read them
          break;
        case restore_result::refused:
          return;  // the operator's archive stays the one to fix; no domain takes its place
        case restore_result::nothing:
        case restore_result::script:
          break;
      }
      // The parsed script (several times the size of its text) and the file texts the writer
      // has done with are freed, but between the rows created meanwhile; the free pages go back
      // to the system.
      flush_file_writer();
      malloc_trim(0);
    }
    if (domains.size() == 0) {
      log_printf(log_general, 0, "No domain found, creating default domain");
      create_default_domain("localhost");
    }
  }
}

void db_startup(const str& default_file, const str& web_dir) {
  db_load_tables();
  init_setup(default_file, web_dir);
  init_cdrs_tables();
  init_rate_table();
}

void load_cdr_tables() {
  table* const deferred[] = {&trunk_cdr, &ext_cdr, &ivr_cdr, &rates, &adrbook};
  for (table* t : deferred) {
    const table_def* d = nullptr;
    for (size_t i = 0; i < table_def_count; i++) {
      if (table_defs[i].t == t) d = &table_defs[i];
    }
    if (!d) continue;
    define_table(*d);
    t->read_table(d->dir, 10, 100);
    if (t->size() > 0) {
      log_printf(log_general, 5, "Table %s: Finished reading %d rows", t->get_name(), t->size());
    }
  }
}

void fill_db_startup_hooks(startup_hooks& hooks) {
  // From the first load on, changed rows reach their files through the writer thread; a
  // reload reads the tables back only after the queue is empty.
  hooks.init_tables = [] {
    init_tables();
    start_file_writer();
  };
  hooks.flush_files = flush_file_writer;
  hooks.clear_call_rows = clear_call_rows;
  hooks.fix_upgrades = fix_upgrades;
  hooks.init_setup = [] { init_setup(); };
  hooks.init_cdrs_tables = init_cdrs_tables;
  hooks.init_rate_table = init_rate_table;
  hooks.load_cdr_tables = load_cdr_tables;
}

void start_cdr_table_loader(int delay_seconds) {
  std::thread loader([delay_seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(delay_seconds));
    mutex_lock hold(ctrl_run_mutex);
    load_cdr_tables();
  });
  pthread_setname_np(loader.native_handle(), "cdr-loader");
  loader.detach();
}
