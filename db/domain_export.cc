#include "db/domain_export.h"

#include <map>
#include <set>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "base/xml_tree.h"
#include "db/schema.h"
#include "db/tar.h"
#include "db/xml_text.h"
#include "frame/settings.h"

namespace {

// Columns that name audio files, per kind table.
bool audio_column(const table& t, const str& column) {
  if (&t == &attendants) {
    return column == "wavfile" || column == "wf1" || column == "wf2" || column == "wf3" ||
           column == "wf4" || column == "wf5";
  }
  if (&t == &acds) return column.starts_with("wavfile");
  if (&t == &ivrnodes) return column == "wavfile";
  return false;
}

const char* const extension_runtime_columns[] = {"dial_plan", "email_status", "vm_indicator",
                                                 "dnd",       "call_return",  "call_redial",
                                                 "avail",     "active_calls"};

str extension_of(const str& file) {
  long dot = -1;
  for (size_t i = 0; i < file.length(); i++) {
    if (file[i] == '.') dot = static_cast<long>(i);
    if (file[i] == '/') dot = -1;
  }
  return dot < 0 ? str("wav") : file.substr(static_cast<size_t>(dot) + 1);
}

class exporter {
 public:
  explicit exporter(int domain) : domain_(domain), dom_(str::from_int64(domain)) {}

  str run() {
    str& x = xml_;
    x = "<?xml version=\"1.0\"?>\r\n<domain>";
    std::map<str, str> subst;
    subst[str("default_dialplan")] = plan_name(domains.get(domain_, domains_default_dialplan));
    int moh = domains.get(domain_, domains_moh).value();
    subst[str("moh")] = mohs.has_row(moh) ? mohs.get(moh, mohs_name) : str();
    element(str("domains"), domains, domain_, {}, subst);
    for (int id : domain_alias.search_list(domain_alias_domain, dom_, table::all, 0, false)) {
      x += "<alias>";
      append_xml_escaped(x, domain_alias.get(id, domain_alias_name));
      x += "</alias>";
    }
    for (int id :
         adrbook.search_list(adrbook_domain, dom_, adrbook_user, str(), table::all, 0, false)) {
      element(str("adrbook"), adrbook, id, {"domain", "user"});
    }
    for (int id : users.search_list(users_domain, dom_, table::all, 0, false)) account(id);
    for (int id : trunks.search_list(trunks_domain, dom_, table::all, 0, false)) {
      element(str("trunks"), trunks, id, {"domain"});
    }
    for (int id : dial_plan.search_list(dial_plan_domain, dom_, table::all, 0, false)) {
      x += "<dial_plan>";
      columns(dial_plan, id, {"domain"}, {});
      for (int e : dial_plan_entry.search_list(dial_plan_entry_id, str::from_int64(id), table::all,
                                               0, false)) {
        std::map<str, str> s;
        s[str("trunk")] = trunk_name(dial_plan_entry.get(e, dial_plan_entry_trunk));
        element(str("dial_plan_entry"), dial_plan_entry, e, {"id"}, s);
      }
      x += "</dial_plan>";
    }
    for (int id : button_lists.search_list(button_lists_domain, dom_, table::all, 0, false)) {
      x += "<button_list>";
      columns(button_lists, id, {"domain"}, {});
      for (int b :
           buttons.search_list(buttons_profile, str::from_int64(id), table::all, 0, false)) {
        element(str("buttons"), buttons, b, {"profile"});
      }
      x += "</button_list>";
    }
    x += "</domain>";
    std::vector<tar_entry> entries;
    entries.push_back(tar_entry{str("domain.xml"), false, x});
    for (auto& e : audio_) entries.push_back(std::move(e));
    return tar_write(entries);
  }

 private:
  str plan_name(const str& id) {
    int d = id.value();
    return dial_plan.has_row(d) ? dial_plan.get(d, dial_plan_name) : str();
  }
  str trunk_name(const str& id) {
    int t = id.value();
    return trunks.has_row(t) ? trunks.get(t, trunks_name) : str();
  }
  // Adds an audio file to the archive; returns its name there (or the value when there is no
  // such file).
  str audio(const str& file) {
    auto known = audio_names_.find(file);
    if (known != audio_names_.end()) return known->second;
    str data;
    if (file.empty() || !str::read_file(file, data, false) || data.empty()) return file;
    str name = str::sprintf("audio/%d.", static_cast<int>(audio_.size()) + 1) + extension_of(file);
    audio_.push_back(tar_entry{name, false, data});
    audio_names_[file] = name;
    return name;
  }
  void columns(const table& t, int id, std::set<std::string> skip,
               const std::map<str, str>& subst) {
    for (const auto& [name, c] : t.columns()) {
      if (skip.count(std::string(name.view()))) continue;
      auto s = subst.find(name);
      str v = s != subst.end() ? s->second : t.get(id, name);
      if (audio_column(t, name)) v = audio(v);
      if (v.empty()) continue;
      xml_ += '<';
      xml_ += name;
      xml_ += '>';
      append_xml_escaped(xml_, v);
      xml_ += "</";
      xml_ += name;
      xml_ += '>';
    }
  }
  void element(const str& tag, const table& t, int id, std::set<std::string> skip,
               const std::map<str, str>& subst = {}) {
    xml_ += "<" + tag + ">";
    columns(t, id, std::move(skip), subst);
    xml_ += "</" + tag + ">";
  }
  void account(int user) {
    str& x = xml_;
    str type = users.get(user, users_type_name);
    int kind_id = users.get(user, users_type_index).value();
    x += "<users>";
    std::map<str, str> s;
    s[str("dial_plan")] = plan_name(users.get(user, users_dial_plan));
    columns(users, user, {"alias", "domain", "id"}, s);
    // Names: the primary alias (the users row's alias, else the first one) and the others.
    std::set<int> aliases =
        user_alias.search_list(user_alias_user, str::from_int64(user), table::all, 0, false);
    int primary = users.get(user, users_alias).value();
    if (!aliases.count(primary)) primary = aliases.empty() ? 0 : *aliases.begin();
    x += "<primary>";
    append_xml_escaped(x, user_alias.get(primary, user_alias_name));
    x += "</primary><pd>";
    append_xml_escaped(x, user_alias.get(primary, user_alias_display_name));
    x += "</pd>";
    str names, displays;
    for (int a : aliases) {
      if (a == primary) continue;
      if (!names.empty()) names += ' ';
      names += user_alias.get(a, user_alias_name);
      if (!displays.empty()) displays += ' ';
      displays += user_alias.get(a, user_alias_display_name);
    }
    if (!names.empty()) {
      x += "<alias>";
      append_xml_escaped(x, names);
      x += "</alias><ad>";
      append_xml_escaped(x, displays);
      x += "</ad>";
    }
    if (!is_account_kind_table(type)) {
      log_printf(log_general, 0, "Cannot serialize type %s", type);
    } else if (type == "extensions") {
      x += "<body>";
      std::set<std::string> skip;
      for (const char* c : extension_runtime_columns) skip.insert(c);
      columns(extensions, kind_id, skip, {});
      str u = str::from_int64(user);
      for (int a : adrbook.search_list(adrbook_user, u, table::all, 0, false)) {
        element(str("adrbook"), adrbook, a, {"domain", "user"});
      }
      for (int m : messages.search_list(messages_user, u, table::all, 0, false)) {
        str file = messages.get(m, messages_filename);
        if (file.empty()) file = str::sprintf("recordings/msg%d.wav", m);
        std::map<str, str> ms;
        ms[str("filename")] = audio(file);
        element(str("messages"), messages, m, {"user"}, ms);
      }
      x += "</body>";
    } else {
      table& t = get_table(type);
      std::map<str, str> ks;
      if (&t == &colines) ks[str("trunk")] = trunk_name(colines.get(kind_id, coline_trunk));
      element(str("body"), t, kind_id, {}, ks);
    }
    x += "</users>";
  }

  int domain_;
  str dom_;
  str xml_;
  std::vector<tar_entry> audio_;
  std::map<str, str> audio_names_;
};

class importer {
 public:
  importer(int domain, const std::vector<tar_entry>& files)
      : domain_(domain), dom_(str::from_int64(domain)) {
    for (const tar_entry& e : files) {
      if (!e.directory) files_[e.name] = e.data;
    }
  }

  void run(const xml_tree& root) {
    for (const xml_tree& n : root.children()) {
      const str& tag = n.name();
      if (tag == "domains") {
        domain_row(n);
      } else if (tag == "adrbook") {
        int id = new_row(adrbook, n, {"domain", "user"});
        adrbook.set(id, adrbook_domain, dom_, true, true);
      } else if (tag == "users") {
        account(n);
      } else if (tag == "trunks") {
        int id = new_row(trunks, n, {"domain"});
        trunks.set(id, trunks_domain, dom_, true, true);
      } else if (tag == "dial_plan") {
        dial_plan_section(n);
      } else if (tag == "button_list") {
        button_list_section(n);
      }
    }
    resolve();
  }

 private:
  // A value that names an archived audio file becomes the name of the stored copy.
  str audio(const str& value, const str& target = str()) {
    auto f = files_.find(value);
    if (f == files_.end() || !value.starts_with("audio/")) return value;
    str name = target.empty() ? str::sprintf("recordings/d%d_", domain_) + value.substr(6) : target;
    write_whole_file(name, f->second);
    return name;
  }
  // Columns of a row from an element's children (only elements without children of their own).
  void set_columns(table& t, int id, const xml_tree& n, std::set<std::string> skip) {
    for (const xml_tree& c : n.children()) {
      if (!c.children().empty() || skip.count(std::string(c.name().view()))) continue;
      str v = c.body();
      if (audio_column(t, c.name())) v = audio(v);
      t.set(id, c.name(), v, false, false);
    }
  }
  int new_row(table& t, const xml_tree& n, std::set<std::string> skip) {
    int id = t.add_row(false);
    set_columns(t, id, n, std::move(skip));
    t.write_row(id, true);
    return id;
  }
  void domain_row(const xml_tree& n) {
    set_columns(domains, domain_, n, {"name"});
    domain_dial_plan_ = n.child_body(str("default_dialplan"));
    domain_moh_ = n.child_body(str("moh"));
    domains.set(domain_, domains_default_dialplan, str(), false, false);
    domains.set(domain_, domains_moh, str(), false, false);
    domains.write_row(domain_, true);
  }
  void add_alias(int user, const str& name, const str& display, bool primary) {
    if (name.empty()) return;
    int a = user_alias.add_row(false);
    user_alias.set(a, user_alias_user, str::from_int64(user), false, false);
    user_alias.set(a, user_alias_domain, dom_, false, false);
    user_alias.set(a, user_alias_name, name, false, false);
    user_alias.set(a, user_alias_display_name, display, false, false);
    user_alias.write_row(a, true);
    if (primary) users.set(user, users_alias, str::from_int64(a), true, true);
  }
  void account(const xml_tree& n) {
    str type = n.child_body(str("type"));
    if (!is_account_kind_table(type)) {
      log_printf(log_general, 0, "Cannot load type %s", type);
      return;
    }
    table& kind = get_table(type);
    int kind_id = kind.add_row(false);
    int user = users.add_row(false);
    set_columns(users, user, n, {"alias", "domain", "id", "primary", "pd", "ad"});
    users.set(user, users_domain, dom_, false, false);
    users.set(user, users_type_index, str::from_int64(kind_id), false, false);
    users.write_row(user, true);
    str dp = users.get(user, users_dial_plan);
    if (!dp.empty()) account_dial_plans_.emplace_back(user, dp);
    add_alias(user, n.child_body(str("primary")), n.child_body(str("pd")), true);
    str names = n.child_body(str("alias")), displays = n.child_body(str("ad"));
    for (size_t i = 0;; i++) {
      str name = names.get_field(i);
      if (name.empty()) break;
      add_alias(user, name, displays.get_field(i), false);
    }
    const xml_tree* body = n.find(str("body"));
    if (body) {
      set_columns(kind, kind_id, *body, {});
      if (&kind == &colines) colines_.push_back(kind_id);
      for (const xml_tree& c : body->children()) {
        if (c.name() == "adrbook" && &kind == &extensions) {
          int a = new_row(adrbook, c, {"domain", "user"});
          adrbook.set(a, adrbook_domain, dom_, false, false);
          adrbook.set(a, adrbook_user, str::from_int64(user), true, true);
        } else if (c.name() == "messages" && &kind == &extensions) {
          int m = messages.add_row(false);
          set_columns(messages, m, c, {"user", "filename"});
          messages.set(m, messages_user, str::from_int64(user), false, false);
          str file = audio(c.child_body(str("filename")), str::sprintf("recordings/msg%d.wav", m));
          messages.set(m, messages_filename, file, false, false);
          messages.write_row(m, true);
        }
      }
    }
    kind.write_row(kind_id, true);
  }
  void dial_plan_section(const xml_tree& n) {
    int id = new_row(dial_plan, n, {"domain"});
    dial_plan.set(id, dial_plan_domain, dom_, true, true);
    for (const xml_tree& c : n.children()) {
      if (c.name() != "dial_plan_entry") continue;
      int e = new_row(dial_plan_entry, c, {"id"});
      dial_plan_entry.set(e, dial_plan_entry_id, str::from_int64(id), true, true);
      rules_.push_back(e);
    }
  }
  void button_list_section(const xml_tree& n) {
    int id = new_row(button_lists, n, {"domain"});
    button_lists.set(id, button_lists_domain, dom_, true, true);
    for (const xml_tree& c : n.children()) {
      if (c.name() != "buttons") continue;
      int b = new_row(buttons, c, {"profile"});
      buttons.set(b, buttons_profile, str::from_int64(id), true, true);
    }
  }
  str trunk_id(const str& name) {
    if (name.empty()) return str();
    int t = trunks.first(trunks_domain, dom_, trunks_name, name);
    return t ? str::from_int64(t) : str();
  }
  str dial_plan_id(const str& name) {
    if (name.empty()) return str();
    int d = dial_plan.first(dial_plan_domain, dom_, dial_plan_name, name);
    if (!d) {
      for (int g : dial_plan.search_list(dial_plan_global, "true", table::all, 0, false)) {
        if (dial_plan.get(g, dial_plan_name) == name) {
          d = g;
          break;
        }
      }
    }
    return d ? str::from_int64(d) : str();
  }
  void resolve() {
    for (int e : rules_) {
      dial_plan_entry.set(e, dial_plan_entry_trunk,
                          trunk_id(dial_plan_entry.get(e, dial_plan_entry_trunk)), true, true);
    }
    for (int c : colines_) {
      colines.set(c, coline_trunk, trunk_id(colines.get(c, coline_trunk)), true, true);
    }
    for (const auto& [user, name] : account_dial_plans_) {
      users.set(user, users_dial_plan, dial_plan_id(name), true, true);
    }
    domains.set(domain_, domains_default_dialplan, dial_plan_id(domain_dial_plan_), false, false);
    int moh = domain_moh_.empty() ? 0 : mohs.first(mohs_name, domain_moh_);
    domains.set(domain_, domains_moh, moh ? str::from_int64(moh) : str(), false, false);
    domains.write_row(domain_, true);
  }

  int domain_;
  str dom_;
  std::map<str, str> files_;
  str domain_dial_plan_, domain_moh_;
  std::vector<int> rules_, colines_;
  std::vector<std::pair<int, str>> account_dial_plans_;
};

}  // namespace

str save_domain(int domain) {
  if (!domains.has_row(domain)) return str();
  return exporter(domain).run();
}

bool load_domain(int domain, const str& archive, size_t max_bytes) {
  if (!domains.has_row(domain)) return false;
  std::vector<tar_entry> entries;
  if (!tar_read_logged(archive, max_bytes, entries)) return false;
  const tar_entry* xml = nullptr;
  for (const tar_entry& e : entries) {
    if (e.name == "domain.xml") xml = &e;
  }
  xml_tree root;
  if (!xml || !xml_tree::parse(xml->data, root) || root.name() != "domain") return false;
  importer(domain, entries).run(root);
  return true;
}
