// libFuzzer target: the WAV reader. For any file it either refuses it or finds a format and a
// data chunk that starts inside the file; the data part is a window inside the file; patching
// the sizes keeps the format and makes the data size the rest of the file; joining the file
// to itself doubles its data.
#include <cstddef>
#include <cstdint>

#include "media/wav_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const str input(data, size);
  wav_header h;
  if (!read_wav_header(input, h, "fuzz")) return 0;
  if (!is_wav_file(input) || h.data_offset < 20 || size_t(h.data_offset) > size) __builtin_trap();
  str part;
  int format = -1;
  if (!get_audio_part(input, part, format) || format != h.format) __builtin_trap();
  if (part.length() > size - size_t(h.data_offset)) __builtin_trap();
  if (part != input.substr(size_t(h.data_offset), part.length())) __builtin_trap();
  str patched = input;
  wav_header p;
  if (!wav_set_sizes(patched) || !read_wav_header(patched, p, "fuzz")) __builtin_trap();
  if (p.format != h.format || size_t(p.data_length) != size - size_t(p.data_offset)) {
    __builtin_trap();
  }
  str joined;
  if (!wav_add(input, input, joined) ||
      joined.length() != size_t(h.data_offset) + 2 * part.length()) {
    __builtin_trap();
  }
  return 0;
}
