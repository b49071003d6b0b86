#include "sip/address_list.h"

#include <deque>
#include <unordered_map>
#include <utility>

#include "base/ip_port.h"
#include "base/log.h"
#include "base/xml_tree.h"
#include "frame/queues.h"
#include "frame/settings.h"
#include "sip/sip_message.h"
#include "sip/sip_messages.h"

mutex bw_mutex("bw_mutex");

namespace {

constexpr int v4_lengths[] = {32, 30, 29, 28, 27, 26, 25, 24, 16, 8, 0};
constexpr int v6_lengths[] = {128, 64, 0};
constexpr size_t v4_count = sizeof(v4_lengths) / sizeof(v4_lengths[0]);
constexpr size_t v6_count = sizeof(v6_lengths) / sizeof(v6_lengths[0]);

using prefix_map = std::unordered_map<str, bool, str_hash>;

struct failure_record {
  rtimestamp first = 0;
  int count = 0;
};

// Everything below is guarded by bw_mutex.
prefix_map v4_maps[v4_count];
prefix_map v6_maps[v6_count];
std::unordered_map<str, failure_record, str_hash> failures;
std::deque<std::pair<rtimestamp, str>> failure_times;  // ordered by time

blacklist_report_fn report_fn = nullptr;

// The expiry schedule (ctrl side; touched only on its queue's thread and when (re)started).
access_list_store* expiry_store = nullptr;
timeout_queue* expiry_queue = nullptr;
int64_t expiry_period_ms = 0;
timeout expiry_timer;
admin_mail_fn mail_fn = nullptr;

// IPv4-mapped IPv6 addresses as their 4-byte form; anything else unchanged.
str canonical(const str& address) {
  if (address.length() == 16) return ip_port(address, 0).unmapped().address;
  return address;
}

str bit_string(const str& address) {
  str bits;
  bits.reserve(address.length() * 8);
  for (size_t i = 0; i < address.length(); i++) {
    for (int b = 7; b >= 0; b--) bits += ((address[i] >> b) & 1) ? '1' : '0';
  }
  return bits;
}

// The map of that family and prefix length, or nullptr when it is not kept.
prefix_map* map_for(size_t address_length, int prefix_bits) {
  if (address_length == 4) {
    for (size_t i = 0; i < v4_count; i++)
      if (v4_lengths[i] == prefix_bits) return &v4_maps[i];
  } else if (address_length == 16) {
    for (size_t i = 0; i < v6_count; i++)
      if (v6_lengths[i] == prefix_bits) return &v6_maps[i];
  }
  return nullptr;
}

// Visits the entries on the address's prefixes, longest first, until fn returns true.
template <class F>
void for_each_entry(const str& address, F fn) {
  str bits = bit_string(address);
  const bool v4 = address.length() == 4;
  const int* lengths = v4 ? v4_lengths : v6_lengths;
  prefix_map* maps = v4 ? v4_maps : v6_maps;
  const size_t count = v4 ? v4_count : v6_count;
  for (size_t i = 0; i < count; i++) {
    auto it = maps[i].find(bits.leftstr(static_cast<size_t>(lengths[i])));
    if (it != maps[i].end() && fn(it->second)) return;
  }
}

bool white_locked(const str& address) {
  bool white = false;
  for_each_entry(address, [&](bool w) { return white = w; });
  return white;
}

int setting_int(int setting) { return ctrl_read_registry(setting).value(); }

// Drops the failure records whose first failure lies period or more before now.
void expire_failures_locked(rtimestamp now, rtimestamp period) {
  while (!failure_times.empty() && now - failure_times.front().first >= period) {
    auto it = failures.find(failure_times.front().second);
    // The record may be younger than this list entry (removed by a success and started again).
    if (it != failures.end() && it->second.first == failure_times.front().first) {
      failures.erase(it);
    }
    failure_times.pop_front();
  }
}

void default_report(const str& address, bool blocked, const str& reason) {
  out_post(soap_black_list_adr_request(ip_address_readable(address), blocked, reason));
}

void default_mail(const str& subject, const str& text) {
  log_printf(log_email, 3, "%s: %s", subject, text);
}

}  // namespace

bool bw_add_source(const str& address, int prefix_bits, bool white) {
  str a = canonical(address);
  mutex_lock lock(bw_mutex);
  prefix_map* m = map_for(a.length(), prefix_bits);
  if (!m) return false;
  (*m)[bit_string(a).leftstr(static_cast<size_t>(prefix_bits))] = white;
  return true;
}

bool bw_sub_source(const str& address, int prefix_bits) {
  str a = canonical(address);
  mutex_lock lock(bw_mutex);
  prefix_map* m = map_for(a.length(), prefix_bits);
  return m && m->erase(bit_string(a).leftstr(static_cast<size_t>(prefix_bits))) > 0;
}

bool bw_valid_source(const str& address) {
  str a = canonical(address);
  if (a.length() != 4 && a.length() != 16) return false;
  mutex_lock lock(bw_mutex);
  bool valid = true;
  for_each_entry(a, [&](bool white) {
    valid = white;
    return true;
  });
  return valid;
}

bool bw_white_source(const str& address) {
  str a = canonical(address);
  if (a.length() != 4 && a.length() != 16) return false;
  mutex_lock lock(bw_mutex);
  return white_locked(a);
}

void bw_clear() {
  mutex_lock lock(bw_mutex);
  for (auto& m : v4_maps) m.clear();
  for (auto& m : v6_maps) m.clear();
  failures.clear();
  failure_times.clear();
}

size_t bw_entry_count() {
  mutex_lock lock(bw_mutex);
  size_t n = 0;
  for (auto& m : v4_maps) n += m.size();
  for (auto& m : v6_maps) n += m.size();
  return n;
}

void authentication_result(const rtimestamp& now, const str& address, bool success,
                           const str& context) {
  str a = canonical(address);
  if (a.length() != 4 && a.length() != 16) return;
  // Settings are read before bw_mutex is taken: config_mutex is never taken inside it.
  const int attempts = setting_int(ctrl_settings::blacklist_attempts);
  const rtimestamp period = ms2ticks(setting_int(ctrl_settings::blacklist_period));
  bool report = false;
  bool blocked = false;
  {
    mutex_lock lock(bw_mutex);
    if (white_locked(a)) return;
    expire_failures_locked(now, period);
    if (success) {
      failures.erase(a);
      report = true;
    } else {
      auto it = failures.find(a);
      if (it == failures.end()) {
        failures.emplace(a, failure_record{now, 1});
        failure_times.emplace_back(now, a);
        it = failures.find(a);
      } else {
        it->second.count++;
      }
      if (it->second.count >= attempts) {
        failures.erase(it);
        (*map_for(a.length(), a.length() == 4 ? 32 : 128))[bit_string(a)] = false;
        report = blocked = true;
      }
    }
    expire_failures_locked(now, period);
  }
  if (report) (report_fn ? report_fn : default_report)(a, blocked, context);
}

void count_unauthenticated_request(const str& method, const str& address) {
  if (method == m_service || method == m_options || method == m_ping) return;
  authentication_result(clock_now(), address, false, "sip");
}

int bw_failure_count(const str& address) {
  mutex_lock lock(bw_mutex);
  auto it = failures.find(canonical(address));
  return it == failures.end() ? 0 : it->second.count;
}

size_t bw_failure_records() {
  mutex_lock lock(bw_mutex);
  return failures.size();
}

void set_blacklist_report(blacklist_report_fn fn) { report_fn = fn; }

str soap_black_list_adr_request(const str& readable_address, bool blocked, const str& reason) {
  return soap_write(msg::black_list_adr{readable_address, blocked ? str_t : str_f, reason});
}

void set_admin_mail(admin_mail_fn fn) { mail_fn = fn; }

void access_list_load(access_list_store& store) {
  for (const access_row& r : store.rows()) {
    str address = ip_address_parse(r.adr);
    int bits = r.mask.empty() ? static_cast<int>(address.length() * 8) : r.mask.value();
    bw_add_source(address, bits, r.type == "true");
  }
}

void black_list_adr(const str& readable_address, bool blocked, const str& reason,
                    access_list_store& store, atimestamp now) {
  if (!blocked) return;
  str address = ip_address_parse(readable_address);
  if (address.empty()) return;
  log_printf(log_general, 2, "Address %s has been blacklisted", readable_address);
  if (ctrl_read_registry(ctrl_settings::email_blacklist_ip) == "true") {
    int minutes = (setting_int(ctrl_settings::blacklist_expires) + 30) / 60;
    str text = str::sprintf(
        "The IP address %s has been blacklisted for %d minutes because there were %d "
        "unsuccessful authentication attempts (%s).",
        readable_address, minutes, setting_int(ctrl_settings::blacklist_attempts), reason);
    (mail_fn ? mail_fn : default_mail)(str::sprintf("Address %s blacklisted", readable_address),
                                       text);
  }
  str mask(static_cast<int>(address.length() * 8), 0);
  access_row row;
  for (const access_row& r : store.rows()) {
    if (ip_address_parse(r.adr) == address && r.mask == mask) {
      row = r;
      break;
    }
  }
  row.adr = readable_address;
  row.mask = mask;
  row.reason = reason;
  row.expires = str::from_int64(get_time(now));
  row.type = str_f;
  store.write(row);
}

bool soap_on_black_list_adr(const str& text, access_list_store& store, atimestamp now) {
  msg::black_list_adr m;
  if (!soap_read(text, m)) return false;
  black_list_adr(m.adr, m.state == "true", m.reason, store, now);
  return true;
}

int access_list_expire(access_list_store& store, atimestamp now) {
  const int64_t limit = setting_int(ctrl_settings::blacklist_expires);
  const int64_t now_s = get_time(now);
  int removed = 0;
  for (const access_row& r : store.rows()) {
    if (r.expires.empty() || now_s - r.expires.value64() <= limit) continue;
    str address = ip_address_parse(r.adr);
    int bits = r.mask.empty() ? static_cast<int>(address.length() * 8) : r.mask.value();
    bw_sub_source(address, bits);
    store.remove(r.id);
    removed++;
  }
  return removed;
}

namespace {

void run_expiry() {
  if (!expiry_store || !expiry_queue) return;
  access_list_expire(*expiry_store, wall_now());
  expiry_timer.callback(*expiry_queue, ms2ticks(expiry_period_ms), callback_argument(run_expiry));
}

}  // namespace

void access_list_schedule_expiry(access_list_store* store, timeout_queue& queue,
                                 int64_t period_ms) {
  expiry_timer.clear();
  expiry_store = store;
  expiry_queue = &queue;
  expiry_period_ms = period_ms;
  if (store) expiry_timer.callback(queue, ms2ticks(period_ms), callback_argument(run_expiry));
}
