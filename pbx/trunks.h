// The PBX's half of the trunks: every trunks row is mirrored into a trunk object of the SIP side
// (SetupTrunk, DeleteTrunk, sip/trunk_messages.h), which reports its registration back
// (TrunkStatus). Also the small trunk facts the call logic needs: the trunk's domain, a free
// line of it, and the caller number it presents for an account.
//
// ctrl side: everything runs under ctrl_run_mutex; messages leave through ctrl_ctx().post.
#pragma once

#include "base/str.h"
#include "sip/call_messages.h"
#include "sip/trunk_messages.h"

// The SetupTrunk message of a trunks row and its domain (key: the row number in decimal).
msg::setup_trunk trunk_setup_message(int trunk);
// Sends the trunk's row to the SIP side: SetupTrunk for a row with a name, DeleteTrunk for a
// deleted row or one whose name is empty.
void setup_trunk(int trunk);
// Start-up: every row set up, and the trunks table's trigger installed (trunk_trigger).
void init_trunks();
// The trigger of the trunks table: after every notified write of a row, setup_trunk.
void trunk_trigger(const str& table_name, int trunk);
// TrunkStatus: the status line, and its text in parentheses, go into the row's "status"
// column, written without notification so that the trigger does not set the trunk up again
// (which would register again and report again, for ever).
void trunk_status(const msg::trunk_status& in);
// The control queue's receiver for TrunkStatus; true when text was one.
bool trunks_on_soap(const str& text);

// The domain row of a trunk (its "domain" holds the row number; older rows hold the name).
int trunk_domain(int trunk);
// Whether the trunk has a line for a new call. A trunk without line appearances (colines rows)
// always has one and *line is 0; otherwise *line (when given) gets the first free colines row.
bool search_free_trunkline(int trunk, int* line = nullptr);
// The caller number the trunk presents for account: for an emergency call the extension's
// eani when set; with the trunk's use_epid the account's EPID (generated, stored and logged
// "Generated EPID %s for user %s" when it has none); otherwise the account's ani, then the
// domain's ani. Empty when none applies.
str get_trunk_ani(int trunk, int account, bool emergency);
// The trunk's credentials for the leg leg_id (SetDialogCredentials), so that the leg answers
// the provider's challenges to its own requests: the user is reg_user, else reg_account; the
// realm is the host of reg_account, else the registrar. Empty username when the trunk has none.
msg::set_dialog_credentials trunk_credentials(int trunk, const str& leg_id);
