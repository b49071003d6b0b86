// The WAV files of prompts, music on hold and recordings: reading the header of a file held in
// memory, the header templates written for recordings, and joining two WAVs.
//
// Numbers in WAV files are little-endian. Format tags: 1 linear 16-bit PCM, 7 µ-law, 49 GSM
// 6.10 (65-byte blocks of two frames, 320 samples); 255 is our own tag for generated silence.
//
// Side-neutral: pure functions on byte strings (they log, but touch no file).
#pragma once

#include "base/str.h"

constexpr int wav_linear = 1;
constexpr int wav_ulaw = 7;
constexpr int wav_gsm = 49;
constexpr int wav_silence = 255;

constexpr int gsm_block_bytes = 65;     // two GSM 06.10 frames
constexpr int gsm_block_samples = 320;  // 40 ms

struct wav_header {
  int format = 0, channels = 0, rate = 0;
  int data_offset = 0;  // of the first data byte
  int data_length = 0;  // as the data chunk says (may be more than the file holds)
};

// Walks the chunks from offset 12 until "fmt " and then "data" were found; other chunks are
// skipped by their length, and nothing after the data chunk is read. A channel count other
// than 1 and a rate other than 8000 are logged ("WAV: File %s has %d channels (should be 1)",
// "... has a sampling rate of %d (should be 8000)") under name, and the file is still taken.
// False when file is not RIFF/WAVE or no "fmt " chunk comes before the data.
bool read_wav_header(const str& file, wav_header& h, const str& name);

// "RIFF" at 0 and "WAVE" at 8.
bool is_wav_file(const str& file);

// The header written when a recording is created, both sizes 0: 60 bytes for GSM (format 49),
// 44 bytes of linear PCM for any other format.
str wav_header_template(int format);

// Patches a whole file's two sizes: the RIFF size at 4 becomes the length minus 8, the data
// chunk's size the bytes after the data offset. False (file unchanged) when it is no WAV.
bool wav_set_sizes(str& file);

// The data chunk (cut to the bytes present) and format tag of a WAV in memory; false when it
// is no WAV.
bool get_audio_part(const str& wav, str& data, int& format);

// A WAV with a's header and a's data followed by b's, sizes patched. Refused (false, logged
// "Cannot append %s to %s: Different codec" with name_b and name_a) when the formats differ;
// false too when either is no WAV.
bool wav_add(const str& a, const str& b, str& out, const str& name_a = str(),
             const str& name_b = str());
