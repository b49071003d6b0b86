// The audio thread and its whole-file cache: the only place where audio files are opened,
// read, appended to, renamed and deleted. The RTP thread and the SIP threads read from the
// cache (read_something, a copy under audio_mutex) and hand what must be written to the
// request queue; neither ever waits for the disk.
//
// Files go through the file layer (base/file_system.h). Requests are handled in queue order,
// so a recording's appends, its rename and its final request reach the file in the order they
// were made.
//
// Sides: the request functions are called by the srv side (RTP thread, SIP threads) and take
// audio_mutex briefly; audio_func is the body of the "audio" thread, which holds no run mutex.
// run_audio_requests is its work and lets a test drive the queue by hand.
#pragma once

#include <cstddef>

#include "base/str.h"
#include "frame/mutex.h"
#include "frame/semaphore.h"

// Guards the request queue and the cache; wakes the audio thread.
extern mutex audio_mutex;
extern semaphore audio_sema;

// Called on the audio thread with a recording's name: once it was written and closed (ok), or
// at its first failed write (not ok: a full or read-only disk). A failed recording's partial
// file is removed and the rest of its data dropped, so no half-written file stays behind.
using file_written_fn = void (*)(const str& name, bool ok);

enum audio_request_type {
  audio_read = 0,        // read the whole file into the cache
  audio_read_close = 1,  // drop one cache reference; free the contents at zero
  audio_append = 2,      // create or append to a WAV file; the final one patches its sizes
  audio_delete = 3,      // forget the cached copy and remove the file
  audio_rename = 4,      // forget the cached copy, create the target's directories, rename
  audio_notify = 5,      // report the file as written
};

struct audio_request {
  int type = audio_read;
  str name;
  str data;
  int format = 1;
  bool create = false;  // a new recording: write the header (unless append keeps a file)
  bool final = false;
  bool append = false;  // with create: an existing file is continued, not replaced
  str name2;            // the target of a rename
  bool cache = false;
  file_written_fn written = nullptr;
};

// Where a cached file stands for its readers.
enum class cache_state { absent, loading, loaded, missing };

// Takes a reference to name's cache entry. With cache set and the entry there, that is all;
// otherwise the audio thread (re)reads the file ("Could not open WAV file %s" when it cannot,
// after which the entry is missing).
void read_open(const str& name, bool cache);
cache_state read_state(const str& name);
// The range of the cached contents (a window on the shared buffer, no copy). False when name
// is not loaded or fewer bytes exist.
bool read_something(const str& name, size_t offset, size_t length, str& out);
// The whole cached contents; empty when not loaded.
str read_contents(const str& name);
// Queues the drop of one reference.
void read_close(const str& name);

// Queues data for a recording (see audio_request).
void append_something(const str& name, const str& data, int format, bool create, bool append,
                      bool final, file_written_fn written);
void delete_something(const str& name);
void rename_something(const str& from, const str& to);
void notify_something(const str& name, file_written_fn written);

// Handles every queued request (including those queued meanwhile); the number handled.
int run_audio_requests();
// The audio thread: waits on audio_sema, then runs the queue, forever.
void* audio_func(void*);

// "WAV cache: %d", the number of cached files.
str get_audio_stat();
int audio_cache_entries();
// Forgets the queue and the cache (tests).
void reset_audio_store();
