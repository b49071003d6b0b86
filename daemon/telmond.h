// The daemon's whole start-up: wires every layer and runs the start-up sequence. The telmond
// program calls it with no extras; a test program adds a handler of its own (a stand-in for a
// part of the PBX that is not there yet).
//
// Side: called once from main, before any thread runs.
#pragma once

#include "base/str.h"

struct daemon_extras {
  // Tried before the daemon's own receivers for every message on the ctrl queue (ctrl side,
  // under ctrl_run_mutex); true when it took the message. None when null.
  bool (*ctrl_handler)(const str& text) = nullptr;
};

// Returns only when start-up ends early (usage error, --version), with the exit status for
// process_exit.
int run_telmond(int argc, char** argv, const daemon_extras& extras = daemon_extras());
