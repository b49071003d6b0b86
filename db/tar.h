// Tar images: the POSIX tar layout (512-byte blocks; a header with the name, the size as octal
// digits at offset 124 and the type flag at offset 156, then the data padded to a block; zero
// blocks at the end). Used for complete-configuration backups (put_tar) and domain exports.
//
// Side: ctrl (put_tar changes tables and files under ctrl_run_mutex); the reader and writer
// themselves are side-neutral.
#pragma once

#include <cstdint>
#include <vector>

#include "base/str.h"

struct tar_entry {
  str name;
  bool directory = false;
  str data;
};

enum class tar_status {
  ok,
  not_tar,         // "Configuration: This is not a tar file"
  invalid_length,  // "Configuration: Invalid length %s" (bad_field holds the size field)
};

// Reads every entry of an image. Only regular files of at least one byte (type 0) and
// directories (type 5, size 0, name ending in "/") are accepted; any other header, a block
// without a name that is not all zero, or an entry whose name could leave the directory it is
// unpacked into (absolute, or with a ".." component) makes the image not_tar. Never reads
// beyond the image.
tar_status tar_read(const str& image, std::vector<tar_entry>& out, str& bad_field);

// tar_read for an uploaded archive: an empty image, one larger than max_bytes (0: the setting
// max_tar) or one tar_read refuses is logged with its "Configuration: ..." text and gives false.
bool tar_read_logged(const str& image, size_t max_bytes, std::vector<tar_entry>& out);

// Writes an image of the entries (ustar headers with checksums, directories with a trailing
// "/", two zero blocks at the end).
str tar_write(const std::vector<tar_entry>& entries);

// True when a relative name stays inside the directory it is resolved against.
bool tar_safe_name(const str& name);

// Replaces the whole working directory by the content of a tar image. The image is checked
// completely first: an empty image, one larger than max_bytes (0: the setting max_tar;
// no_tar_limit: none) or a refused one is logged and changes nothing. Otherwise every table is
// emptied, the working directory erased, the entries written, and "Configuration: Successfully
// loaded configuration" logged; the caller then restarts (reloads settings and tables). Every
// file is on disk when it returns (the file writer's queue included), so whatever reads the
// restored files back sees them. Returns whether it loaded.
constexpr size_t no_tar_limit = SIZE_MAX;
bool put_tar(const str& image, size_t max_bytes = 0);

// The backup of the working directory as a tar image: every folder and file below it (queued
// row writes first written), except the log files and empty files (which tar_read refuses, so
// that one of them would make the whole backup unusable); put_tar restores it.
str get_tar();

// Removes every file below path (recursively; "" is the working directory).
void erase_directory(const str& path);
