// Write-behind for the table store's files (row files, index files, table descriptions).
//
// A registrar under load changes thousands of rows a second, and every change replaces a whole
// file (a new temporary file renamed over the old one). Creating and renaming files costs far
// more than everything else a REGISTER does, so once the daemon runs, the files are handed to
// a writer thread: the thread that changed the row queues the name and the bytes and goes on.
// The writer lets the files queued within 20 ms of the first one gather before it takes them
// (a flush takes them at once); there is no periodic flush. Further versions of a file that is
// still waiting replace the waiting one, so a row changed ten times in a burst is written once
// or twice, always ending with its last content: a row that a call changes as it rings and
// again as it answers is written once for all the calls of the window, not twice per call. A
// removal queued after a write wins over it, and a write after a removal wins over the removal.
// Files are written in the order they were first queued.
//
// What reaches the disk is byte for byte what a synchronous write would have written, and
// every write still goes through a temporary file, so a crash never leaves a torn file; a
// crash can lose the changes of the last moments that were still queued.
//
// Reading a table back (start-up, a configuration reload, a restored backup) first waits until
// the queue is empty (flush_file_writer), so a reader never sees an older file than the
// tables hold. Before start_file_writer(), and after stop_file_writer(), every call writes or
// removes at once on the caller's thread: unit tests and start-up need no writer thread.
//
// Side: the queue is filled on the ctrl side, under ctrl_run_mutex. The writer thread belongs
// to neither side: it takes no run mutex and touches only the file layer and the log.
// Failures are logged by the file layer as for a synchronous write; the rows in memory stay
// authoritative, and the next change of a row rewrites its whole file.
#pragma once

#include <cstdint>

#include "base/str.h"

struct file_writer_stats {
  uint64_t queued = 0;     // writes and removals handed over
  uint64_t replaced = 0;   // waiting versions replaced by a newer one before being written
  uint64_t performed = 0;  // writes and removals made by the writer thread
};

// Starts the writer thread (idempotent).
void start_file_writer();
// Writes what is queued, then ends the writer thread; later calls work synchronously again.
void stop_file_writer();
// Returns when every write and removal queued before the call has been made.
void flush_file_writer();
bool file_writer_running();
file_writer_stats get_file_writer_stats();

// Replaces the whole file name with bytes, creating missing parent directories. Synchronous
// without the writer thread (false when the write failed); with it, queued (true).
bool write_whole_file(const str& name, const str& bytes);
// Removes the file name when it exists (no log line when it does not).
void remove_whole_file(const str& name);
