// The accesslist table of the data store as the access-list maintenance sees it
// (access_list_store of sip/address_list.h).
//
// It lives on the PBX side, which owns the tables, so that the SIP side includes nothing of the
// data store. Typical wiring at start-up (ctrl side):
//   static access_list_table store;
//   access_list_load(store);
//   access_list_schedule_expiry(&store, http_thread_queue, 60000);
// and the BlackListAdr dispatcher calls black_list_adr(adr, state, reason, store, wall_now()).
//
// ctrl side: every call must be made under ctrl_run_mutex, as for every table operation.
#pragma once

#include <vector>

#include "db/schema.h"
#include "db/table.h"
#include "sip/address_list.h"

class access_list_table : public access_list_store {
 public:
  explicit access_list_table(table& t = accesslist) : t_(t) {}

  std::vector<access_row> rows() override {
    std::vector<access_row> out;
    for (int id = t_.first(); id != 0; id = t_.next(id)) {
      access_row r;
      r.id = id;
      r.adr = t_.get(id, accesslist_adr);
      r.mask = t_.get(id, accesslist_mask);
      r.type = t_.get(id, accesslist_type);
      r.reason = t_.get(id, accesslist_reason);
      r.expires = t_.get(id, accesslist_expires);
      out.push_back(r);
    }
    return out;
  }

  // The row is written to its file once, after all columns are set.
  int write(const access_row& r) override {
    int id = r.id != 0 && t_.has_row(r.id) ? r.id : t_.add_row(false);
    t_.set(id, accesslist_adr, r.adr, false);
    t_.set(id, accesslist_mask, r.mask, false);
    t_.set(id, accesslist_type, r.type, false);
    t_.set(id, accesslist_reason, r.reason, false);
    t_.set(id, accesslist_expires, r.expires, false);
    t_.write_row(id);
    return id;
  }

  void remove(int id) override { t_.delete_row(id); }

 private:
  table& t_;
};
