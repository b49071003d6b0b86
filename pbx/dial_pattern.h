// The small pattern language of numbers as administrators write them (menu entries of the
// attendant, dial plan entries) and the substitution expressions they expand to: "!" pattern
// "!" replacement "!" flags, applied to a subject text "user@host" with POSIX extended regular
// expressions.
//
// Side-neutral functions of text, except that the compiled expressions are cached in one
// process-wide cache that is not locked: call them from the ctrl side only.
#pragma once

#include <regex.h>

#include <map>
#include <memory>

#include "base/str.h"

// The regular expression a written pattern stands for: "*" any number, digits with a trailing
// "*" a prefix, digits alone an exact number, alternatives of digits, "x" and bracket classes
// separated by "|"; anything else is taken as a regular expression already.
str expand_dial_pattern(const str& pattern);
// The replacement a written one stands for: empty, digits or "+" digits, each optionally ending
// in "*" (the rest of the dialled number), become a "sip:" URI at "\r"; anything else stays.
str expand_dial_replacement(const str& replacement);
// Applies a substitution expression (its first character is the delimiter; flag "i" ignores
// case) to subject. The result is the replacement with "\1".."\9" set to the groups of the
// match and "\c" for another character c set to vars[c] (or c itself when vars has none); it is
// empty when the pattern does not match or cannot be compiled (logged).
str regex_substitute(const str& expression, const str& subject,
                     const std::map<char, str>& vars = {});
// A substitution expression prepared once, for evaluating it many times: its compiled pattern
// (shared with the cache of regex_substitute) and its replacement. The patterns that
// expand_dial_pattern gives the simple written forms are matched without the regex engine,
// with the same results.
struct compiled_pattern;
class dial_expression {
 public:
  dial_expression() = default;
  explicit dial_expression(const str& expression);
  // As regex_substitute; empty for an expression that could not be prepared.
  str apply(const str& subject, const std::map<char, str>& vars = {}) const;
  // Whether the pattern matches subject.
  bool matches(const str& subject) const;

 private:
  bool match(const str& subject, regmatch_t* m) const;
  std::shared_ptr<const compiled_pattern> c_;
  str replacement_;
};
// Whether typing more digits after input could still match the written pattern (only for
// patterns of digits, "x", bracket classes, "|" and a trailing "*"; false for others).
bool dial_pattern_may_extend(const str& pattern, const str& input);
// The user part of a URI or name-addr ("<sip:123@host;user=phone>" gives "123").
str uri_user(const str& uri);
