#include "pbx/dial_pattern.h"

#include <regex.h>
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
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

// The shapes expand_dial_pattern gives the simple written forms. They match the user part of
// "user@host" as a whole, so they are decided without the regex engine: group 1 is the user
// part (exact, any, alternatives) or what follows the literal (prefix).
enum class shape { regex, any, exact, prefix, alternatives };

// One position of an alternative: a literal digit, or a bracket class of digits and ranges.
struct digit_position {
  char lo, hi;
};

}  // namespace

struct compiled_pattern {
  regex_t re;
  bool ok = false;
  bool icase = false;
  shape form = shape::regex;
  std::string literal;  // exact and prefix
  std::string anchor;   // regex: the literal text every match starts with (may be empty)
  std::vector<std::vector<digit_position>> alternatives;  // alternatives
  ~compiled_pattern() {
    if (ok) regfree(&re);
  }
};

namespace {

bool digits_only(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// An optional "\+" and digits: the literal ("+" and digits); false for anything else.
bool plus_digits(std::string_view s, std::string& literal) {
  literal.clear();
  if (s.starts_with("\\+")) {
    literal = "+";
    s.remove_prefix(2);
  }
  if (s.empty() || !digits_only(s)) return false;
  literal += s;
  return true;
}

// One alternative of digits, "[0-9]" optionally with "{k}", and classes of digits and ranges.
bool parse_alternative(std::string_view a, std::vector<digit_position>& out) {
  out.clear();
  for (size_t i = 0; i < a.size();) {
    if (a[i] >= '0' && a[i] <= '9') {
      out.push_back({a[i], a[i]});
      i++;
      continue;
    }
    if (a[i] != '[') return false;
    const size_t end = a.find(']', i);
    if (end == std::string_view::npos) return false;
    std::string_view klass = a.substr(i + 1, end - i - 1);
    i = end + 1;
    // Only one range or one digit per class; anything richer is left to the regex engine.
    digit_position p;
    if (klass.size() == 3 && klass[1] == '-' && digits_only(klass.substr(0, 1)) &&
        digits_only(klass.substr(2)) && klass[0] <= klass[2]) {
      p = {klass[0], klass[2]};
    } else if (klass.size() == 1 && digits_only(klass)) {
      p = {klass[0], klass[0]};
    } else {
      return false;
    }
    int count = 1;
    if (i < a.size() && a[i] == '{') {
      const size_t close = a.find('}', i);
      if (close == std::string_view::npos || close == i + 1) return false;
      std::string_view n = a.substr(i + 1, close - i - 1);
      if (!digits_only(n) || n.size() > 3) return false;
      count = std::atoi(std::string(n).c_str());
      i = close + 1;
    }
    for (int k = 0; k < count; k++) out.push_back(p);
  }
  return !out.empty();
}

// The run of plain characters after a leading "^" (an escaped character stands for itself, a
// group is entered); its last character, or the whole group, is left out when a quantifier
// follows it. Empty for a pattern with alternation anywhere.
std::string leading_literal(std::string_view p) {
  std::string out;
  if (!p.starts_with("^") || p.find('|') != std::string_view::npos) return out;
  std::vector<size_t> groups;
  auto quantified = [&](size_t i) { return i + 1 < p.size() && std::strchr("*+?{", p[i + 1]); };
  for (size_t i = 1; i < p.size(); i++) {
    char c = p[i];
    if (c == '(') {
      groups.push_back(out.size());
      continue;
    }
    if (c == ')' && !groups.empty()) {
      if (quantified(i)) {
        out.resize(groups.back());
        break;
      }
      groups.pop_back();
      continue;
    }
    if (c == '\\' && i + 1 < p.size() && !std::isalnum(static_cast<unsigned char>(p[i + 1]))) {
      c = p[++i];
    } else if (std::strchr(".[]()*+?{}|^$\\", c)) {
      break;
    }
    if (quantified(i)) break;
    out += c;
  }
  return out;
}

void recognise(compiled_pattern& c, std::string_view p) {
  c.anchor = leading_literal(p);
  constexpr std::string_view tail = "@.*";
  if (p == "^(\\+?[0-9]*)@.*") {
    c.form = shape::any;
    return;
  }
  if (!p.starts_with("^") || !p.ends_with(tail)) return;
  p.remove_prefix(1);
  p.remove_suffix(tail.size());
  constexpr std::string_view rest = "([0-9]*)";
  if (p.ends_with(rest) && plus_digits(p.substr(0, p.size() - rest.size()), c.literal)) {
    c.form = shape::prefix;
    return;
  }
  if (!p.starts_with("(") || !p.ends_with(")")) return;
  p = p.substr(1, p.size() - 2);
  if (plus_digits(p, c.literal)) {
    c.form = shape::exact;
    return;
  }
  std::vector<digit_position> alt;
  for (size_t from = 0;;) {
    const size_t bar = p.find('|', from);
    if (!parse_alternative(p.substr(from, bar == std::string_view::npos ? p.npos : bar - from),
                           alt)) {
      c.alternatives.clear();
      return;
    }
    c.alternatives.push_back(alt);
    if (bar == std::string_view::npos) break;
    from = bar + 1;
  }
  c.form = shape::alternatives;
}

// Group 1 of a pattern of a simple shape on subject; false when it does not match.
bool match_shape(const compiled_pattern& c, std::string_view subject, regmatch_t& group) {
  const size_t at = subject.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view user = subject.substr(0, at);
  group.rm_so = 0;
  group.rm_eo = static_cast<regoff_t>(at);
  switch (c.form) {
    case shape::any:
      return digits_only(user.starts_with("+") ? user.substr(1) : user);
    case shape::exact:
      return user == c.literal;
    case shape::prefix:
      group.rm_so = static_cast<regoff_t>(c.literal.size());
      return user.starts_with(c.literal) && digits_only(user.substr(c.literal.size()));
    case shape::alternatives:
      for (const auto& alt : c.alternatives) {
        if (alt.size() != user.size()) continue;
        size_t i = 0;
        while (i < alt.size() && user[i] >= alt[i].lo && user[i] <= alt[i].hi) i++;
        if (i == alt.size()) return true;
      }
      return false;
    case shape::regex:
      break;
  }
  return false;
}

// Expressions compiled once; the cache is emptied when it grows past a few hundred entries
// (prepared expressions keep theirs alive).
std::shared_ptr<const compiled_pattern> compile(const str& pattern, bool icase) {
  static std::unordered_map<std::string, std::shared_ptr<const compiled_pattern>> cache;
  std::string key = std::string(icase ? "i" : "c") + std::string(pattern.view());
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  if (cache.size() > 512) cache.clear();
  auto c = std::make_shared<compiled_pattern>();
  c->ok = regcomp(&c->re, pattern.c_str(), REG_EXTENDED | (icase ? REG_ICASE : 0)) == 0;
  if (!c->ok) log_printf(log_application, 3, "Cannot compile the expression %s", pattern);
  c->icase = icase;
  if (c->ok) recognise(*c, pattern.view());
  return cache.emplace(key, std::move(c)).first->second;
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

dial_expression::dial_expression(const str& expression) {
  if (expression.length() < 3) return;
  char delimiter = static_cast<char>(expression[0]);
  std::vector<str> parts = split(expression.substr(1), delimiter);
  if (parts.size() < 2) return;
  replacement_ = parts[1];
  c_ = compile(parts[0], parts.size() > 2 && parts[2].contains_char('i'));
}

bool dial_expression::match(const str& subject, regmatch_t* m) const {
  if (!c_ || !c_->ok) return false;
  if (c_->form == shape::regex) {
    const std::string& a = c_->anchor;
    if (subject.length() < a.size()) return false;
    if (!a.empty() && (c_->icase ? strncasecmp(subject.c_str(), a.c_str(), a.size())
                                 : std::memcmp(subject.c_str(), a.c_str(), a.size())) != 0)
      return false;
    return regexec(&c_->re, subject.c_str(), 10, m, 0) == 0;
  }
  for (int i = 0; i < 10; i++) m[i].rm_so = m[i].rm_eo = -1;
  return match_shape(*c_, subject.view(), m[1]);
}

bool dial_expression::matches(const str& subject) const {
  regmatch_t m[10];
  return match(subject, m);
}

str dial_expression::apply(const str& subject, const std::map<char, str>& vars) const {
  regmatch_t m[10];
  if (!match(subject, m)) return str();
  str out;
  for (size_t i = 0; i < replacement_.length(); i++) {
    char ch = static_cast<char>(replacement_[i]);
    if (ch != '\\' || i + 1 == replacement_.length()) {
      out += ch;
      continue;
    }
    char v = static_cast<char>(replacement_[++i]);
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

str regex_substitute(const str& expression, const str& subject, const std::map<char, str>& vars) {
  return dial_expression(expression).apply(subject, vars);
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
