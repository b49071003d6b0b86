// Admission of accepted SIP TCP/TLS connections by source address: at most `limit`
// connections open per address, and the connections of one address taken into service at
// most one per `gap` (the accept pacing of setting sip_rate), so that one address that
// connects in a burst cannot slow the connections of another.
//
// Side-neutral value type; the process keeps one (sip_admission in frame/threads.h) that the
// srv side uses under srv_run_mutex.
//
// Contract: admit() either refuses a connection (the address has reached its limit) or
// counts it and returns the time its service may start: now for the first connection of an
// address, else gap after the start given to the previous one (never before now). Every
// admitted connection is given back with release(). Exempt addresses (white access-list
// entries) are neither limited nor paced, and not counted.
#pragma once

#include <cstddef>
#include <map>

#include "base/str.h"
#include "frame/clock.h"

class connection_admission {
 public:
  struct decision {
    bool admitted = false;
    rtimestamp start = 0;  // when the connection's service may begin
  };

  // address: binary form (ip_port::address). limit <= 0: no limit; gap <= 0: no pacing.
  decision admit(const str& address, bool exempt, int limit, rtimestamp gap, rtimestamp now);
  // An admitted connection of address ended (exempt ones too: ignored when not counted).
  void release(const str& address, rtimestamp now);

  // Connections of address counted as open.
  int open(const str& address) const;
  // Addresses with an entry (open connections or pacing still running).
  size_t addresses() const { return entries_.size(); }
  void clear() { entries_.clear(); }

 private:
  struct entry {
    int open = 0;
    rtimestamp next_start = 0;  // the earliest start of the address's next connection
  };
  // Drops the entries without open connections whose pacing has run out.
  void sweep(rtimestamp now);

  std::map<str, entry> entries_;
  size_t admitted_since_sweep_ = 0;
};
