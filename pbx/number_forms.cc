#include "pbx/number_forms.h"

#include "base/global_number.h"
#include "base/log.h"
#include "db/schema.h"

namespace {

bool all_digits(const str& s) {
  for (size_t i = 0; i < s.length(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

str get_global_number(const str& country_code, const str& area_code, const str& number) {
  const str global = to_global_number(country_code, area_code, number);
  if (!global.empty()) return global;
  log_printf(log_application, 5, "Cannot convert number %s into global format", number);
  return number;
}

str get_global_number(int domain, const str& number) {
  return get_global_number(domains.get(domain, domains_country_code),
                           domains.get(domain, domains_area_code), number);
}

// The area code is left out only where the shorter number converts back to the same global
// number; otherwise the national form (national prefix and the whole national number) is used.
str get_local_number(int domain, const str& number) {
  const str cc = domains.get(domain, domains_country_code);
  const str ac = domains.get(domain, domains_area_code);
  if (!number.starts_with("+") || cc.empty() || !all_digits(cc)) return number;
  const bool nanpa = cc == "1";
  const str rest = number.substr(1);
  if (!rest.starts_with(cc)) return (nanpa ? "011" : "00") + rest;
  const str national = rest.substr(cc.length());
  const str area = nanpa ? ac : ac.lstrip('0');
  if (!area.empty() && area != "-" && national.starts_with(area)) {
    const str subscriber = national.substr(area.length());
    const bool converts_back = nanpa ? subscriber.length() == 7 && area.length() == 3 &&
                                           !subscriber.starts_with("555") &&
                                           !subscriber.starts_with("011")
                                     : subscriber.length() >= 6 && subscriber[0] != '0';
    if (converts_back && all_digits(subscriber)) return subscriber;
  }
  return (nanpa ? "1" : "0") + national;
}

int account_by_global_number(const str& number) {
  for (int a = user_alias.first(); a; a = user_alias.next(a)) {
    int domain = user_alias.get(a, user_alias_domain).value();
    if (get_global_number(domain, user_alias.get(a, user_alias_name)) != number) continue;
    int account = user_alias.get(a, user_alias_user).value();
    if (users.has_row(account)) return account;
  }
  return 0;
}
