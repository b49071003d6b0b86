#include "base/global_number.h"

namespace {

bool all_digits(const str& s) {
  for (size_t i = 0; i < s.length(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// North American numbering plan (country code "1").
str global_nanpa(const str& area_code, const str& n) {
  const size_t len = n.length();
  if (len == 3 && n.substr(1) == "11") return n;
  if (len >= 7 && n.starts_with("011")) return "+" + n.substr(3);
  if (len == 11 && n[0] == '1') return "+" + n;
  if (len == 10) return "+1" + n;
  if (len == 7 && n.starts_with("555")) return "+1" + n;
  if (len == 8 && n.starts_with("1555")) return "+" + n;
  if (len == 7 && area_code.length() == 3) return "+1" + area_code + n;
  return str();
}

}  // namespace

str to_global_number(const str& country_code, const str& area_code, const str& number) {
  if (number.length() < 6 || !all_digits(number)) return number;
  if (country_code == "1") return global_nanpa(area_code, number);
  if (country_code.empty() || !all_digits(country_code)) return number;
  if (number.starts_with("00")) return "+" + number.substr(2);
  if (number.starts_with("0")) return "+" + country_code + number.substr(1);
  if (area_code == "-") return "+" + country_code + number;
  if (!area_code.empty()) return "+" + country_code + area_code.lstrip('0') + number;
  return str();
}
