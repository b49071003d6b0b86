#include "pbx/dial_pattern.h"

#include <regex.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/log.h"

namespace {

bool all_digits(const str& s) {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.length(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Digits, "x"/"X" and bracket classes only, brackets closed.
bool simple_alternative(const str& s) {
  if (s.empty()) return false;
  bool in_class = false;
  for (size_t i = 0; i < s.length(); i++) {
    char c = static_cast<char>(s[i]);
    if (in_class) {
      if (c == ']') in_class = false;
    } else if (c == '[') {
      in_class = true;
    } else if (!(c >= '0' && c <= '9') && c != 'x' && c != 'X') {
      return false;
    }
  }
  return !in_class;
}

std::vector<str> split(const str& s, char sep) {
  std::vector<str> out;
  size_t from = 0;
  for (size_t i = 0; i <= s.length(); i++) {
    if (i == s.length() || s[i] == static_cast<uint8_t>(sep)) {
      out.push_back(s.substr(from, i - from));
      from = i + 1;
    }
  }
  return out;
}

struct compiled {
  regex_t re;
  bool ok = false;
  ~compiled() {
    if (ok) regfree(&re);
  }
};

// Expressions compiled once; the cache is emptied when it grows past a few hundred entries.
const compiled& compile(const str& pattern, bool icase) {
  static std::unordered_map<std::string, std::unique_ptr<compiled>> cache;
  std::string key = std::string(icase ? "i" : "c") + std::string(pattern.view());
  auto it = cache.find(key);
  if (it != cache.end()) return *it->second;
  if (cache.size() > 512) cache.clear();
  auto c = std::make_unique<compiled>();
  c->ok = regcomp(&c->re, pattern.c_str(), REG_EXTENDED | (icase ? REG_ICASE : 0)) == 0;
  if (!c->ok) log_printf(log_application, 3, "Cannot compile the expression %s", pattern);
  return *cache.emplace(key, std::move(c)).first->second;
}

// The characters one position of a simple pattern accepts: a class text ("0-9" for "x").
struct position {
  char literal = 0;
  str klass;  // bracket content, or empty for a literal
};

bool accepts(const position& p, char c) {
  if (p.klass.empty()) return p.literal == c;
  const str& k = p.klass;
  bool negate = k[0] == '^';
  bool hit = false;
  for (size_t i = negate ? 1 : 0; i < k.length(); i++) {
    if (i + 2 < k.length() && k[i + 1] == '-') {
      if (c >= static_cast<char>(k[i]) && c <= static_cast<char>(k[i + 2])) hit = true;
      i += 2;
    } else if (static_cast<char>(k[i]) == c) {
      hit = true;
    }
  }
  return hit != negate;
}

std::vector<position> positions(const str& alt) {
  std::vector<position> out;
  for (size_t i = 0; i < alt.length(); i++) {
    position p;
    char c = static_cast<char>(alt[i]);
    if (c == 'x' || c == 'X') {
      p.klass = "0-9";
    } else if (c == '[') {
      long end = alt.find(']', i);
      p.klass = alt.substr(i + 1, end - i - 1);
      i = end;
    } else {
      p.literal = c;
    }
    out.push_back(p);
  }
  return out;
}

}  // namespace

str expand_dial_pattern(const str& pattern) {
  if (pattern == "*") return "^(\\+?[0-9]*)@.*";
  bool star = pattern.ends_with("*");
  str body = star ? pattern.leftstr(pattern.length() - 1) : pattern;
  if (body.starts_with("+") && all_digits(body.substr(1))) {
    return star ? "^\\" + body + "([0-9]*)@.*" : "^(\\" + body + ")@.*";
  }
  if (all_digits(body)) return star ? "^" + body + "([0-9]*)@.*" : "^(" + body + ")@.*";
  std::vector<str> alts = split(pattern, '|');
  for (const str& a : alts)
    if (!simple_alternative(a)) return pattern;
  str out = "^(";
  for (size_t n = 0; n < alts.size(); n++) {
    if (n) out += '|';
    const str& a = alts[n];
    for (size_t i = 0; i < a.length();) {
      char c = static_cast<char>(a[i]);
      if (c == 'x' || c == 'X') {
        size_t k = i;
        while (k < a.length() && (a[k] == 'x' || a[k] == 'X')) k++;
        out += "[0-9]";
        if (k - i >= 2) out.appendf("{%d}", static_cast<int>(k - i));
        i = k;
      } else {
        out += c;
        i++;
      }
    }
  }
  return out + ")@.*";
}

str expand_dial_replacement(const str& replacement) {
  if (replacement.empty()) return "sip:\\1@\\r;user=phone";
  bool star = replacement.ends_with("*");
  str body = star ? replacement.leftstr(replacement.length() - 1) : replacement;
  str rest = star ? str("\\1") : str();
  if (body.starts_with("+") && all_digits(body.substr(1)))
    return "sip:\\" + body + rest + "@\\r;user=phone";
  if (all_digits(body)) return "sip:" + body + rest + "@\\r;user=phone";
  return replacement;
}

str regex_substitute(const str& expression, const str& subject, const std::map<char, str>& vars) {
  if (expression.length() < 3) return str();
  char delimiter = static_cast<char>(expression[0]);
  std::vector<str> parts = split(expression.substr(1), delimiter);
  if (parts.size() < 2) return str();
  const str& pattern = parts[0];
  const str& replacement = parts[1];
  bool icase = parts.size() > 2 && parts[2].contains_char('i');
  const compiled& c = compile(pattern, icase);
  if (!c.ok) return str();
  regmatch_t m[10];
  if (regexec(&c.re, subject.c_str(), 10, m, 0) != 0) return str();
  str out;
  for (size_t i = 0; i < replacement.length(); i++) {
    char ch = static_cast<char>(replacement[i]);
    if (ch != '\\' || i + 1 == replacement.length()) {
      out += ch;
      continue;
    }
    char v = static_cast<char>(replacement[++i]);
    if (v >= '1' && v <= '9') {
      const regmatch_t& g = m[v - '0'];
      if (g.rm_so >= 0) out += subject.substr(g.rm_so, g.rm_eo - g.rm_so);
    } else if (auto it = vars.find(v); it != vars.end()) {
      out += it->second;
    } else {
      out += v;
    }
  }
  return out;
}

bool dial_pattern_may_extend(const str& pattern, const str& input) {
  bool star = pattern.ends_with("*");
  str body = star ? pattern.leftstr(pattern.length() - 1) : pattern;
  for (const str& alt : split(body, '|')) {
    if (!simple_alternative(alt) && !(alt.empty() && star)) return false;
    std::vector<position> p = positions(alt);
    if (input.length() >= p.size() && !star) continue;
    bool fits = true;
    for (size_t i = 0; i < input.length() && i < p.size() && fits; i++)
      fits = accepts(p[i], static_cast<char>(input[i]));
    if (fits) return true;
  }
  return false;
}

str uri_user(const str& uri) {
  str u = uri;
  long open = u.find('<');
  if (open >= 0) {
    long close = u.find('>', open);
    u = u.substr(open + 1, close > open ? close - open - 1 : u.length());
  }
  u = u.strip();
  long colon = u.find(':');
  if (u.istarts_with("sip:") || u.istarts_with("sips:") || u.istarts_with("tel:"))
    u = u.substr(colon + 1);
  long end = u.length();
  for (char c : {'@', ';', '>'}) {
    long at = u.find(c);
    if (at >= 0 && at < end) end = at;
  }
  return u.leftstr(end);
}
