// Readers and writers of audio files, on top of the audio thread's cache and queue
// (media/audio_store.h). A reader hands out 16-bit linear samples at 8000 Hz whatever the
// file's format; a writer takes such samples and queues WAV data for the audio thread.
//
// Handles share their state: copying a read_file or write_file gives a second handle to the
// same reference, which lives until its last handle is closed or destroyed.
//
// srv side: readers and writers belong to a call leg and run under srv_run_mutex (RTP thread,
// SIP threads); the disk is only touched by the audio thread.
#pragma once

#include <deque>
#include <memory>

#include "base/str.h"
#include "media/audio_store.h"
#include "media/codec_engine.h"
#include "media/wav_format.h"

class read_file {
 public:
  struct reference {
    ~reference();  // the last handle gone: the cache reference is dropped
    str name;
    bool cached = false;  // holds a cache reference (not a silence reader)
    bool header_read = false;
    bool failed = false;  // missing, no WAV or of a format we cannot play
    int format = 0;
    int data_offset = 0;
    int data_length = 0;
    int limit = 0;     // bytes of data that may be read
    int position = 0;  // bytes into the data
    int max_seconds = 0;
    str decoded;  // GSM samples decoded ahead of the reader
    codec gsm;
    int speed = 100;  // percent
  };

  // A file of the cache (shared by every reader of the same name when cache is set), or
  // silence for "space" + N (N tenths of a second, no file). An empty name logs "Trying to
  // open file without filename" and leaves the reader closed. max_seconds > 0 limits the read
  // to that many seconds of linear data (16000 bytes each).
  bool open(const str& name, bool cache, int max_seconds = 0);
  // Up to bytes bytes (an even number) of linear samples; shorter at the end of the data,
  // empty past it, while the cache does not hold the file yet, or when it cannot be played.
  str read(int bytes);
  void seek_ms(int ms);
  void rewind() { seek_ms(0); }
  // To a random place of the file (music on hold, so that legs do not hear it in step).
  void random();
  // Milliseconds of audio; 0 while the header is not known.
  int get_duration();
  // Playback speed in percent (100: normal; 50..400 kept).
  void set_speed(int percent);
  bool is_open() const { return ref_ != nullptr; }
  // The cache holds the file (always for silence).
  bool is_available();
  // Read to its end, or unplayable: a player moves on.
  bool at_end();
  const str& name() const;
  void close() { ref_.reset(); }

 private:
  bool read_header();
  str read_raw(int bytes);  // linear samples at normal speed
  std::shared_ptr<reference> ref_;
};

class write_file {
 public:
  struct reference {
    ~reference();  // the last handle gone: the rest goes to the file with the final request
    str name;
    int format = wav_linear;
    int max_units = 0;  // 10 ms units
    int units = 0;
    int64_t bytes_written = 0;
    bool create = true;
    bool append = false;
    bool swap = false;  // the host is big-endian
    str pending;
    str gsm_input;
    codec gsm;
    bool trim = true;
    int64_t received = 0;     // bytes given to write, for the trim mode
    std::deque<str> delayed;  // the trim mode's delay list
    file_written_fn written = nullptr;
    void put(const str& samples);
  };

  // Starts a recording of format (49 GSM, else linear) limited to max_seconds; with append an
  // existing file is continued. written is called (on the audio thread) when the file is
  // complete.
  bool open(const str& name, int format, int max_seconds, bool append,
            file_written_fn written = nullptr);
  // Linear samples. In the trim mode (the default) the first 410 bytes are dropped and the
  // last ~2050 bytes are held back, so that what closes the recording is not in it.
  void write(const str& samples);
  void set_trim(bool on);
  // The recording is kept under name: what was written is renamed, what follows goes there.
  void change_filename(const str& name);
  bool is_open() const { return ref_ != nullptr; }
  const str& name() const;
  void close() { ref_.reset(); }

 private:
  std::shared_ptr<reference> ref_;
};
