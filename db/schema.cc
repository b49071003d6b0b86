#include "db/schema.h"

#include "base/file_system.h"
#include "base/log.h"

namespace {

// The result of a lookup by an unknown name: persistent, but without a name it never touches
// the disk, and without columns every write is dropped.
table unknown_table(true);

bool deferred(const str& dir) {
  return dir == "rates" || dir == "cdrt" || dir == "cdre" || dir == "cdri";
}

struct default_code {
  const str* column;
  const char* code;
};

const default_code default_codes[] = {
    {&domains_code_callcell, "*00"},      {&domains_code_pickup_cell, "*51"},
    {&domains_code_transfer_cell, "*52"}, {&domains_code_conference, "*53"},
    {&domains_code_connect, "*601"},      {&domains_code_seize, "*602"},
    {&domains_code_unseize, "*603"},      {&domains_code_credit, "*61"},
    {&domains_code_wakeup, "*62"},        {&domains_code_trace, "*63"},
    {&domains_code_agent_login, "*64"},   {&domains_code_agent_logout, "*65"},
    {&domains_code_redial, "*66"},        {&domains_code_bcide, "*67"},
    {&domains_code_bcidd, "*68"},         {&domains_code_return, "*69"},
    {&domains_code_cfr, "*70"},           {&domains_code_cfae, "*71"},
    {&domains_code_cfad, "*72"},          {&domains_code_cfbe, "*73"},
    {&domains_code_cfbd, "*74"},          {&domains_code_cfne, "*75"},
    {&domains_code_cfnd, "*76"},          {&domains_code_transfer, "*77"},
    {&domains_code_dnde, "*78"},          {&domains_code_dndd, "*79"},
    {&domains_code_cfaa, "*80"},          {&domains_code_barge, "*81"},
    {&domains_code_teach, "*82"},         {&domains_code_listen, "*83"},
    {&domains_code_cleanup, "*84"},       {&domains_code_park, "*85"},
    {&domains_code_retrieve, "*86"},      {&domains_code_pickup, "*87"},
    {&domains_code_banoe, "*88"},         {&domains_code_banod, "*89"},
    {&domains_code_intercom, "*90"},      {&domains_code_white, "*91"},
    {&domains_code_black, "*92"},         {&domains_code_vme, "*95"},
    {&domains_code_vmd, "*96"},           {&domains_code_govm, "*97"},
    {&domains_code_rec, "*98"},           {&domains_code_clrvm, "*99"},
};
static_assert(std::size(default_codes) == 44);

}  // namespace

const table_def* find_table_def(const str& dir) {
  for (size_t i = 0; i < table_def_count; i++) {
    if (dir == table_defs[i].dir) return &table_defs[i];
  }
  return nullptr;
}

table& get_table(const str& name) {
  const table_def* d = find_table_def(name);
  if (!d || name == "legs") {
    log_printf(log_general, 0, "Table %s not found", name);
    return unknown_table;
  }
  return *d->t;
}

bool table_exists(const str& name) {
  return find_table_def(name) != nullptr && name != "legs" && name != "webpages";
}

void clear_tables() {
  for (size_t i = 0; i < table_def_count; i++) {
    const table_def& d = table_defs[i];
    if (d.t == &macs || d.t == &cells || d.t == &legs) continue;
    d.t->delete_row();
  }
}

void define_table(const table_def& d) {
  if (d.no_create) d.t->dont_create();
  if (d.binary) d.t->use_binary();
  for (size_t c = 0; c < d.column_count; c++) {
    d.t->add_column(*d.columns[c].name, d.columns[c].indexed);
    if (d.columns[c].lookup) d.t->add_lookup(*d.columns[c].name);
  }
}

void init_tables() {
  for (size_t i = 0; i < table_def_count; i++) {
    const table_def& d = table_defs[i];
    if (deferred(str(d.dir))) continue;
    define_table(d);
    if (d.t == &adrbook) {
      // Loaded with the call records; until then new rows still get ids after the stored ones.
      if (d.t->size() == 0) {
        d.t->set_name(d.dir);
        d.t->read_index();
      }
      continue;
    }
    d.t->read_table(d.dir, 0, 0);
  }
}

static void init_deferred(table& t) {
  const table_def* d = nullptr;
  for (size_t i = 0; i < table_def_count; i++) {
    if (table_defs[i].t == &t) d = &table_defs[i];
  }
  if (!d) return;
  define_table(*d);
  if (t.size() == 0) {
    t.set_name(d->dir);
    t.read_index();
  }
}

void init_rate_table() { init_deferred(rates); }

void init_cdrs_tables() {
  init_deferred(trunk_cdr);
  init_deferred(ext_cdr);
  init_deferred(ivr_cdr);
}

void set_default_codes(int domain) {
  if (!domains.has_row(domain)) return;
  for (const auto& c : default_codes) domains.set(domain, *c.column, str(c.code), false, false);
  domains.write_row(domain, true);
}

void wiper_add(const str& context, const str& filename) {
  int id = wipers.first(wiper_filename, filename);
  if (id) {
    wipers.set(id, wiper_context, context, true, true);
    return;
  }
  id = wipers.add_row(false);
  wipers.set(id, wiper_filename, filename, false, false);
  wipers.set(id, wiper_context, context, false, false);
  wipers.write_row(id, true);
}

void wiper_clear(const str& context) {
  std::set<int> ids = wipers.search_list(wiper_context, context, table::all, 0, false);
  for (int id : ids) {
    str::remove_file(wipers.get(id, wiper_filename), false);
    wipers.delete_row(id);
  }
}

void wiper_clear() {
  for (const auto& [id, r] : wipers.rows()) {
    if (wipers.get(id, wiper_context) == "record") continue;
    str::remove_file(wipers.get(id, wiper_filename), false);
  }
  wipers.delete_row();
}

bool is_account_kind_table(const str& name) {
  static const char* const kinds[] = {"extensions", "attendants",  "callingcards", "hunts",
                                      "hoots",      "srvflags",    "ivrnodes",     "colines",
                                      "acds",       "conferences", "orbits"};
  for (const char* k : kinds) {
    if (name == k) return true;
  }
  return false;
}
