#include "web/http_date.h"

#include <time.h>

#include "frame/clock.h"

namespace {

const char* const week_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Two decimal digits of text at i (a time field); -1 when they are not digits.
int two_digits(const str& text, size_t i) {
  uint8_t a = text[i], b = text[i + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

}  // namespace

str http_date(int64_t unix_s) {
  time_t t = static_cast<time_t>(unix_s);
  struct tm tm;
  gmtime_r(&t, &tm);
  return str::sprintf("%S, %s %S %d %s:%s:%s GMT", week_days[tm.tm_wday], str(tm.tm_mday, 2),
                      months[tm.tm_mon], tm.tm_year + 1900, str(tm.tm_hour, 2), str(tm.tm_min, 2),
                      str(tm.tm_sec, 2));
}

str http_date_now(int64_t offset_s) { return http_date(get_time(wall_now()) + offset_s); }

bool http_date_parse(const str& text, int64_t& unix_s) {
  // "Www, DD Mon YYYY HH:MM:SS GMT"
  const str t = text.strip();
  if (t.length() != 29 || t[3] != ',' || !t.ends_with(" GMT")) return false;
  struct tm tm = {};
  tm.tm_mday = two_digits(t, 5);
  tm.tm_mon = -1;
  for (int m = 0; m < 12; m++)
    if (t.substr(8, 3) == months[m]) tm.tm_mon = m;
  str year = t.substr(12, 4);
  tm.tm_hour = two_digits(t, 17);
  tm.tm_min = two_digits(t, 20);
  tm.tm_sec = two_digits(t, 23);
  if (tm.tm_mday < 1 || tm.tm_mon < 0 || !year.is_number() || tm.tm_hour < 0 || tm.tm_min < 0 ||
      tm.tm_sec < 0 || t[19] != ':' || t[22] != ':')
    return false;
  tm.tm_year = year.value() - 1900;
  unix_s = timegm(&tm);
  return true;
}
