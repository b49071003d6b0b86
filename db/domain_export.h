// Domain export and import: one tenant's configuration as a tar archive holding domain.xml and
// the audio files its rows refer to, so that a domain can be moved between systems.
//
// domain.xml: <?xml version="1.0"?> CR LF <domain> with, in order, <domains> (the domain row,
// default_dialplan and moh by name), <alias> per domain alias, <adrbook> per domain-wide
// address-book entry, <users> per account (row without alias/domain/id, <primary>/<pd> and
// <alias>/<ad> for its names, <body> with the kind-specific row; for extensions also their
// address book and voicemail messages), <trunks> per trunk, <dial_plan> per dial plan with its
// <dial_plan_entry> rules (trunk by name), <button_list> per button profile with its <buttons>.
// Audio files travel as "audio/N.ext" and the exported values point at those names.
//
// Side: ctrl (reads and writes tables under ctrl_run_mutex).
#pragma once

#include "base/str.h"

// The archive of the domain with that record id; empty when the domain does not exist.
str save_domain(int domain);

// Imports an archive made by save_domain into an existing (normally new and empty) domain,
// which keeps its own name. Names are turned back into record ids (trunks and dial plans of the
// domain, global dial plans, music-on-hold sources); audio files are stored under recordings/
// with new names. An archive larger than max_bytes (0: the setting max_tar), a refused tar or
// a domain.xml whose root is not "domain" imports nothing. Returns whether it imported.
bool load_domain(int domain, const str& archive, size_t max_bytes = 0);
