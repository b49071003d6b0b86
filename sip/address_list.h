// The IP address access list (black and white list) through which every received SIP packet,
// accepted connection, SNMP and TFTP datagram is filtered, the failure table that counts
// unauthenticated requests per source address and blocks addresses that exceed the limit, and
// the PBX side's handling of such blocks (the accesslist rows, the log line, the administrator
// mail).
//
// Lists: per prefix length a map from the leading address bits (as a text of '0'/'1') to
// white (true) or black (false). IPv4 prefix lengths 32, 30, 29, 28, 27, 26, 25, 24, 16, 8 and
// 0; IPv6 128, 64 and 0; other lengths are not stored. The longest stored prefix that matches
// decides. Addresses are passed in binary form (4 or 16 bytes); an IPv4-mapped IPv6 address is
// treated as its IPv4 address, since dual-stack sockets report IPv4 peers so.
//
// Locking and sides: the lists and the failure table are shared by both sides and guarded by
// bw_mutex, held for the whole of each operation and never while calling out. The report of a
// block (or of a success) to the PBX side is posted after bw_mutex is released. The access-list
// maintenance functions at the end belong to the ctrl side (they edit the accesslist rows under
// ctrl_run_mutex) and reach the rows through access_list_store.
#pragma once

#include <vector>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/mutex.h"
#include "frame/timeout.h"

extern mutex bw_mutex;

// ---- Address lists (any side) ---------------------------------------------------------------

// Adds (or replaces) the entry for the first prefix_bits bits of address. False (nothing
// stored) for an address that is not 4 or 16 bytes or a prefix length that is not kept.
bool bw_add_source(const str& address, int prefix_bits, bool white);
// Removes that entry; false when there was none.
bool bw_sub_source(const str& address, int prefix_bits);
// True when traffic from address may pass: the longest matching entry is white, or there is
// none. False for a black entry and for an address that is not 4 or 16 bytes.
bool bw_valid_source(const str& address);
// True when some entry on the address's prefixes is white.
bool bw_white_source(const str& address);
// Empties the lists and the failure table.
void bw_clear();
// Number of stored entries (all prefix lengths, both families).
size_t bw_entry_count();

// ---- Counting unauthenticated requests (srv side callers, any thread) -----------------------

// Records an attempt of address (binary form). context names the service ("sip", "web").
// A white-listed address is not recorded. Success removes the address's failure record and
// reports it as not blocked. A failure starts a record or counts up; when the count reaches
// setting blacklist_attempts the exact address is added as black and reported as blocked.
// Records whose first failure lies blacklist_period milliseconds or more in the past are
// dropped before and after each attempt, so that the limit applies to attempts within that
// period.
void authentication_result(const rtimestamp& now, const str& address, bool success,
                           const str& context);
// The receive path's entry: every received request other than SERVICE, OPTIONS and PING counts
// as a failed attempt of its source (context "sip") until the source succeeds.
void count_unauthenticated_request(const str& method, const str& address);

// The current failure count of address (0 without a record); for tests and status pages.
int bw_failure_count(const str& address);
// Number of failure records.
size_t bw_failure_records();

// How a block or success reaches the PBX side. The default posts the BlackListAdr message
// (soap_black_list_adr_request) with out_post; tests install a recorder. nullptr restores the
// default.
using blacklist_report_fn = void (*)(const str& address, bool blocked, const str& reason);
void set_blacklist_report(blacklist_report_fn fn);

// The BlackListAdr message: Adr (readable address), State ("true" when blocked), Reason.
str soap_black_list_adr_request(const str& readable_address, bool blocked, const str& reason);

// ---- ctrl side: the accesslist rows ----------------------------------------------------------

// One accesslist row in the form the maintenance works with.
struct access_row {
  int id = 0;
  str adr;   // address text
  str mask;  // prefix length in bits (decimal)
  str type;  // "true" white, "false" black
  str reason;
  str expires;  // empty: permanent; else the Unix time (seconds) the automatic block was made
};

// The accesslist table as the maintenance needs it. Implemented over the table store by the
// PBX side; tests use an in-memory fake.
class access_list_store {
 public:
  virtual ~access_list_store() = default;
  virtual std::vector<access_row> rows() = 0;
  // Writes the row; id 0 creates a new one. Returns the id.
  virtual int write(const access_row& r) = 0;
  virtual void remove(int id) = 0;
};

// How the administrator mail leaves. The default logs the mail text (group e-mail, level 3)
// until the mail spool takes it; nullptr restores the default.
using admin_mail_fn = void (*)(const str& subject, const str& text);
void set_admin_mail(admin_mail_fn fn);

// Puts every row into the lists (start-up, and after the web administration changed rows).
void access_list_load(access_list_store& store);

// The BlackListAdr handler: when blocked, logs "Address %s has been blacklisted", sends the
// administrator mail when setting email_blacklist_ip is "true", and stores the black row
// (reusing a row for the same address and mask) with expires = now. A report of a success
// changes nothing.
void black_list_adr(const str& readable_address, bool blocked, const str& reason,
                    access_list_store& store, atimestamp now);

// The ctrl side's entry for a received message: when text is a BlackListAdr message (any
// namespace prefixes), hands its fields to black_list_adr and returns true; false otherwise.
bool soap_on_black_list_adr(const str& text, access_list_store& store, atimestamp now);

// Removes every row with an expires time more than blacklist_expires seconds before now from
// the lists and the store. Runs periodically on the ctrl timer. Returns the number removed.
int access_list_expire(access_list_store& store, atimestamp now);

// Runs access_list_expire(*store, wall_now()) every period_ms on queue (the ctrl timer queue,
// http_thread_queue, in the process), starting one period from now. store is not owned and must
// outlive the schedule; nullptr stops it.
void access_list_schedule_expiry(access_list_store* store, timeout_queue& queue, int64_t period_ms);
