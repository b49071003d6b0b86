#include "frame/connection_admission.h"

#include <algorithm>

namespace {

// Entries of closed connections are kept until their pacing runs out, so that an address
// cannot escape the pacing by closing and reconnecting; they are swept after this many
// admissions.
constexpr size_t sweep_every = 1024;

}  // namespace

connection_admission::decision connection_admission::admit(const str& address, bool exempt,
                                                           int limit, rtimestamp gap,
                                                           rtimestamp now) {
  decision d;
  if (exempt) {
    d.admitted = true;
    d.start = now;
    return d;
  }
  if (++admitted_since_sweep_ >= sweep_every) sweep(now);
  entry& e = entries_[address];
  if (limit > 0 && e.open >= limit) return d;
  e.open++;
  d.admitted = true;
  d.start = std::max(now, e.next_start);
  e.next_start = gap > 0 ? d.start + gap : 0;
  return d;
}

void connection_admission::release(const str& address, rtimestamp now) {
  auto it = entries_.find(address);
  if (it == entries_.end() || it->second.open == 0) return;
  if (--it->second.open == 0 && it->second.next_start <= now) entries_.erase(it);
}

int connection_admission::open(const str& address) const {
  auto it = entries_.find(address);
  return it == entries_.end() ? 0 : it->second.open;
}

void connection_admission::sweep(rtimestamp now) {
  admitted_since_sweep_ = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.open == 0 && it->second.next_start <= now) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}
