#include "pbx/call_records.h"

#include "db/schema.h"
#include "frame/clock.h"
#include "frame/settings.h"

namespace {

const str* counter_of(const str& type) {
  if (type == cdr_ivr) return &cobj_duration_ivr;
  if (type == cdr_ringing) return &cobj_duration_ring;
  if (type == cdr_talking) return &cobj_duration_talk;
  return nullptr;
}

// Adds the milliseconds from the time in column since to now to the counter column.
void add_since(int cobj, const str& since, const str& counter, atimestamp now) {
  const atimestamp start = atimestamp_parse(cobjs.get(cobj, since));
  if (!start || now <= start) return;
  const int64_t total = cobjs.get(cobj, counter).value64() + (now - start);
  cobjs.set(cobj, counter, str::from_int64(total), false);
}

}  // namespace

void begin_cdr_segment(int cobj, const str& type) {
  if (!cobjs.has_row(cobj)) return;
  const str current = cobjs.get(cobj, cobj_segment_type);
  if (current == type) return;
  const atimestamp now = wall_now();
  if (const str* counter = counter_of(current)) add_since(cobj, cobj_segment_start, *counter, now);
  cobjs.set(cobj, cobj_segment_start, atimestamp_serialize(now), false);
  cobjs.set(cobj, cobj_segment_type, type, false);
  cobjs.write_row(cobj);
  if (!type.empty()) return;
  close_cdr_hold(cobj);
  write_ivr_cdr_record(cobj);
}

void close_cdr_hold(int cobj) {
  if (cobjs.get(cobj, cobj_hold_start).empty()) return;
  add_since(cobj, cobj_hold_start, cobj_duration_hold, wall_now());
  cobjs.set(cobj, cobj_hold_start, str(), false);
  cobjs.write_row(cobj);
}

void write_ivr_cdr_record(int cobj) {
  static const std::pair<const str*, const str*> columns[] = {
      {&ivr_cdr_primary_cid, &cobj_cid},
      {&ivr_cdr_type, &cobj_ivr_type},
      {&ivr_cdr_user, &cobj_ivr_user},
      {&ivr_cdr_extension, &cobj_ivr_extension},
      {&ivr_cdr_from, &cobj_from},
      {&ivr_cdr_to, &cobj_to},
      {&ivr_cdr_domain, &cobj_domain},
      {&ivr_cdr_language, &cobj_lang},
      {&ivr_cdr_time_start, &cobj_segment_start},
      {&ivr_cdr_duration_ivr, &cobj_duration_ivr},
      {&ivr_cdr_duration_ring, &cobj_duration_ring},
      {&ivr_cdr_duration_talk, &cobj_duration_talk},
      {&ivr_cdr_duration_hold, &cobj_duration_hold},
      {&ivr_cdr_reason, &cobj_termination_reason},
  };
  const int row = ivr_cdr.add_row(false);
  for (const auto& [to, from] : columns) ivr_cdr.set(row, *to, cobjs.get(cobj, *from), false);
  ivr_cdr.write_row(row);
  remove_expired_ivr_cdrs(cdr_keep_ms(ctrl_read_registry(ctrl_settings::cdr_keep)));
}

int64_t cdr_keep_ms(const str& setting) {
  static const std::pair<char, int64_t> units[] = {
      {'s', 1000}, {'m', 60000}, {'h', 3600000}, {'d', 86400000}, {'w', 604800000}};
  const str s = setting.strip();
  if (s.empty()) return 0;
  const char last = s[s.length() - 1];
  const bool bare = last >= '0' && last <= '9';  // days
  int64_t unit_ms = bare ? 86400000 : 0;
  for (const auto& [unit, ms] : units)
    if (last == unit) unit_ms = ms;
  const str digits = bare ? s : s.leftstr(s.length() - 1);
  if (!unit_ms || !digits.is_number() || digits.value64() <= 0) return 0;
  return digits.value64() * unit_ms;
}

void remove_expired_ivr_cdrs(int64_t keep_ms) {
  if (keep_ms <= 0) return;
  const atimestamp oldest = wall_now() - keep_ms;
  for (int r = ivr_cdr.first(); r;) {
    const atimestamp at = atimestamp_parse(ivr_cdr.get(r, ivr_cdr_time_start));
    if (at >= oldest) break;
    const int next = ivr_cdr.next(r);
    ivr_cdr.delete_row(r);
    r = next;
  }
}
