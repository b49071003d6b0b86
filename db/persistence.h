// Start-up of the PBX data store: loading the tables in order, the start-up repairs of stored
// data (fix_upgrades), the first-start default configuration, and the deferred, throttled
// loading of the large tables.
//
// Side: ctrl. Everything runs under ctrl_run_mutex (at start-up the process is still single
// threaded). Paths are relative to the working directory, which the process has entered.
#pragma once

#include "base/str.h"

struct startup_hooks;

// Fills the data store's start-up hooks of the frame: init_tables, clear_call_rows,
// fix_upgrades, init_setup, init_cdrs_tables, init_rate_table and load_cdr_tables. This is the
// one line the composition root needs: fill_db_startup_hooks(frame_hooks()).
void fill_db_startup_hooks(startup_hooks& hooks);

// The data store's part of start-up, after init_config() and before the server threads run:
//   1. init_tables() (every configuration table loaded, adrbook defined);
//   2. the rows of legs and cobjs are deleted (calls from before a restart are gone);
//   3. fix_upgrades();
//   4. when the domains table is empty: with a default_file (--default) and an empty sys_name
//      the default configuration is restored, else (or when that applied nothing) a default
//      domain is created ("No domain found, creating default domain"); an archive that was
//      refused leaves the tables empty, so the operator sees the refusal and nothing else;
//   5. init_cdrs_tables() and init_rate_table().
// web_dir: the built-in web files, searched for default_file when the working directory does
// not hold it. The large tables stay empty until load_cdr_tables() runs (see
// start_cdr_table_loader).
void db_startup(const str& default_file, const str& web_dir = str());

// Steps 1 to 3 of db_startup (also the data store's part of a configuration reload).
void db_load_tables();

// The same steps one by one, for the frame's start-up hooks (frame/startup.h):
//   init_tables (schema.h), clear_call_rows, fix_upgrades, init_setup, init_cdrs_tables and
//   init_rate_table (schema.h), load_cdr_tables.
// clear_call_rows deletes every row of legs and cobjs (calls from before a restart are gone).
void clear_call_rows();
// At start-up, when the domains table is empty: restores the default configuration
// named by --default (when given and sys_name is empty; searched in the working directory,
// then in the web files of --http-dir), or else creates a default domain "localhost", logging
// "No domain found, creating default domain". A refused archive creates nothing.
void init_setup();
// init_setup with explicit arguments (empty default_file: no --default).
void init_setup(const str& default_file, const str& web_dir);

// The start-up repairs: wipers, missing domain codes and provisioning credentials, dangling
// aliases, accounts and CO lines, the default music-on-hold source, messages whose audio file
// is gone, settings of an older layout, and the stored version.
void fix_upgrades();

// Loads cdrt, cdre, cdri, rates and adrbook, each with
// read_table(name, 10, 100), logging "Table %s: Finished reading %d rows" for those with rows.
// The caller holds ctrl_run_mutex; it is released for 10 ms after every 100 directory entries.
void load_cdr_tables();

// Starts a detached thread that waits delay_seconds (10 at start-up) and then runs
// load_cdr_tables() under ctrl_run_mutex. For use when no other background thread (the
// midnight loop) does it.
void start_cdr_table_loader(int delay_seconds = 10);

// Creates a domain with the default feature codes; returns its record id.
int create_default_domain(const str& name);
