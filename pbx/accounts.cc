#include "pbx/accounts.h"

#include "db/schema.h"

str id_text(int id) { return str::sprintf("%d", id); }

int domain_by_name(const str& host) {
  if (host.empty()) return 0;
  str h = host.tolower();
  for (int d = domains.first(); d; d = domains.next(d))
    if (domains.get(d, domains_name).tolower() == h) return d;
  for (int a = domain_alias.first(); a; a = domain_alias.next(a))
    if (domain_alias.get(a, domain_alias_name).tolower() == h)
      return domain_alias.get(a, domain_alias_domain).value();
  return 0;
}

int account_by_name(const str& user, int domain) {
  if (user.empty() || !domain) return 0;
  int a = user_alias.first(user_alias_name, user, user_alias_domain, id_text(domain));
  if (!a) return 0;
  int account = user_alias.get(a, user_alias_user).value();
  return users.has_row(account) ? account : 0;
}

str account_name(int account) {
  int a = user_alias.first(user_alias_user, id_text(account));
  return a ? user_alias.get(a, user_alias_name) : id_text(account);
}

str account_type(int account) { return users.get(account, users_type_name); }
bool is_extension(int account) { return account_type(account) == "extensions"; }

int extension_row(int account) {
  str index = users.get(account, users_type_index);
  return index.empty() ? account : index.value();
}

int account_domain(int account) { return users.get(account, users_domain).value(); }

str account_uri(int account) {
  return str("sip:") + account_name(account) + "@" +
         domains.get(account_domain(account), domains_name);
}

int setting_value(ctrl_settings::setting s, int fallback) {
  str v = ctrl_read_registry(s).strip();
  return v.is_number() ? v.value() : fallback;
}

std::vector<str> words(const str& list) {
  std::vector<str> out;
  size_t i = 0;
  while (i < list.length()) {
    while (i < list.length() && list[i] == ' ') i++;
    const size_t start = i;
    while (i < list.length() && list[i] != ' ') i++;
    if (i > start) out.push_back(list.substr(start, i - start));
  }
  return out;
}
