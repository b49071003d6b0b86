// str: the one string and byte-buffer type of telmond.
//
// A str is a window [begin, end) on a shared, reference-counted buffer. Copying a str and every
// window operation (substr, get_field, strip, get_line, ...) share the buffer and copy no bytes.
// A str un-shares before any write, so a sharer never sees another sharer's writes. Buffers
// come from a size-class allocator of our own (20 classes, per-class free lists, refilled in
// batches, with a small cache of free blocks per thread); larger requests get their own block.
//
// Side-neutral. One str belongs to one thread at a time; strs that share a buffer may live on
// different threads (the reference count is atomic; a block freed on another thread than the
// one that took it simply joins the freeing thread's cache).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string_view>
#include <vector>

class str;

// One argument of str::sprintf. The conversion letter must match the wrapper:
//   d: arg_int; u, x: arg_unsigned_int or arg_unsigned_char; c: arg_char or arg_unsigned_char;
//   s, h, H: arg_str; S: arg_cstr.
// A mismatch produces an empty conversion (and consumes the argument).
struct fmt_arg {
  enum kind_t : uint8_t { k_int, k_unsigned, k_char, k_unsigned_char, k_str, k_cstr };
  kind_t kind;
  union {
    int i;
    unsigned u;
    char c;
    unsigned char uc;
    const str* s;
    const char* cs;
  };
  fmt_arg(int v) : kind(k_int), i(v) {}
  fmt_arg(unsigned v) : kind(k_unsigned), u(v) {}
  fmt_arg(char v) : kind(k_char), c(v) {}
  fmt_arg(unsigned char v) : kind(k_unsigned_char), uc(v) {}
  fmt_arg(const str& v) : kind(k_str), s(&v) {}
  fmt_arg(const char* v) : kind(k_cstr), cs(v) {}
};

inline fmt_arg arg_int(int v) { return fmt_arg(v); }
inline fmt_arg arg_unsigned_int(unsigned v) { return fmt_arg(v); }
inline fmt_arg arg_char(char v) { return fmt_arg(v); }
inline fmt_arg arg_unsigned_char(unsigned char v) { return fmt_arg(v); }
inline fmt_arg arg_str(const str& v) { return fmt_arg(v); }
inline fmt_arg arg_cstr(const char* v) { return fmt_arg(v); }

class str {
 public:
  // ---- Buffers and the allocator ------------------------------------------------------------
  static constexpr int num_classes = 20;
  static constexpr uint32_t header_size = 20;
  // Data capacity of class c: 2^(c+7) - 64 - 20.
  static constexpr uint32_t class_capacity(int c) { return (1u << (c + 7)) - 64 - header_size; }
  // Blocks taken from the system at once when class c's free list is empty.
  static constexpr uint32_t class_refill(int c) { return c < 6 ? (64u >> c) : 1u; }
  // Smallest class whose capacity is at least n, or -1 when n needs a block of its own.
  static int block_class(size_t n);
  // Size of a block of its own for n data bytes: rounded up to a multiple of 32768.
  static size_t large_block_size(size_t n) { return (n + 32767) / 32768 * 32768; }

  // Allocator statistics (for get_meminfo and tests).
  struct meminfo {
    uint64_t bytes_obtained;   // from the system, for class blocks and large blocks
    uint64_t bytes_handed_out; // data capacity currently handed out
    uint64_t large_blocks;     // large blocks currently handed out
    uint64_t bytes_freed;      // returned to free lists or the system, in total
    uint64_t blocks_in_use[num_classes];
    uint64_t blocks_free[num_classes];
  };
  static meminfo get_meminfo_stats();
  // The readable statistics dump, one line per class plus the totals.
  static str get_meminfo();

  // Raw memory: the data area of a class block (never compressed), aligned to 4 bytes only (it
  // starts after the 20-byte header). Returns nullptr on failure.
  static void* malloc(size_t size);
  static void free(void* p);

  // ---- Construction ----------------------------------------------------------------------------
  str() noexcept : buf_(nullptr), begin_(0), end_(0) {}
  str(const char* s);  // zero-terminated; nullptr gives the empty string
  str(const void* bytes, size_t n);
  explicit str(std::string_view v) : str(v.data(), v.size()) {}
  static str bytes(std::initializer_list<uint8_t> b);  // one to four (or more) bytes
  str(char c, int n);               // n copies of c
  str(int value, int width);        // decimal, zero-padded to width ("-" counts)
  str(unsigned value, int width);   // decimal, zero-padded to width
  str(const str& o) noexcept : buf_(o.buf_), begin_(o.begin_), end_(o.end_) { retain(buf_); }
  str(str&& o) noexcept : buf_(o.buf_), begin_(o.begin_), end_(o.end_) {
    o.buf_ = nullptr;
    o.begin_ = o.end_ = 0;
  }
  ~str() { release(buf_); }
  str& operator=(const str& o) noexcept;
  str& operator=(str&& o) noexcept;
  str& operator=(const char* s) { return *this = str(s); }

  // Decimal forms of wider integers (record ids, sizes, time stamps).
  static str from_int64(int64_t v);
  static str from_uint64(uint64_t v);

  // ---- Access ------------------------------------------------------------------------------------
  size_t length() const { return end_ - begin_; }
  size_t size() const { return end_ - begin_; }
  bool empty() const { return end_ == begin_; }
  // Bytes of the window; out-of-range indexes read as 0.
  uint8_t operator[](size_t i) const { return i < length() ? data()[i] : 0; }
  const char* cbuffer() const { return buf_ ? reinterpret_cast<const char*>(data()) : ""; }
  // Writable bytes of the window: un-shares first.
  char* buffer();
  // Zero-terminated bytes; valid until this str is next modified or destroyed. May un-share
  // this str (its value never changes).
  const char* c_str() const;
  void set_character(size_t i, char c);
  std::string_view view() const { return std::string_view(cbuffer(), length()); }

  // ---- Growth and concatenation ----------------------------------------------------------------
  str& operator+=(const str& o);
  str& operator+=(char c);
  str& operator+=(const char* s);
  str& append(const void* bytes, size_t n);
  // Makes room for n more bytes at the end (growing in place when alone and the capacity
  // covers it), extends the window by n and returns a pointer to the new bytes.
  char* extend(size_t n);
  // Reserves capacity for at least n bytes in total without changing the value.
  void reserve(size_t n);
  void clear() { *this = str(); }
  // Shortens the window to n bytes (no copy).
  void truncate(size_t n) {
    if (n < length()) end_ = begin_ + static_cast<uint32_t>(n);
  }
  friend str operator+(const str& a, const str& b);
  friend str operator+(const str& a, const char* b);
  friend str operator+(const char* a, const str& b);

  // ---- Windows (no byte copy) ---------------------------------------------------------------------
  str substr(size_t from) const;
  str substr(size_t from, size_t n) const&;
  str substr(size_t from, size_t n) &&;  // narrows a temporary without touching the count
  str leftstr(size_t n) const { return substr(0, n); }
  str rightstr(size_t n) const { return n >= length() ? *this : substr(length() - n); }
  // Line i (from 0); lines end at CR LF, LF, CR or LF CR. A missing line is empty.
  str get_line(size_t i) const;
  // Removes and returns the first line (without its end).
  str get_first_line();
  // Field n (from 0) separated by runs of sep (or of any byte of the set seps); a field also
  // ends at CR or LF. Leading separators are skipped. A missing field is empty.
  str get_field(size_t n, char sep = ' ') const;
  str get_field(size_t n, const char* seps) const;
  // From the start of field n to the end.
  str get_rest(size_t n, char sep = ' ') const;
  str get_rest(size_t n, const char* seps) const;
  // Strip bytes of the set (default: linear white space) from both ends, the left or the right.
  str strip(const char* set = " \t\r\n") const&;
  str strip(const char* set = " \t\r\n") &&;
  str lstrip(const char* set = " \t\r\n") const;
  str rstrip(const char* set = " \t\r\n") const;
  str strip(char c) const;
  str lstrip(char c) const;
  str rstrip(char c) const;

  // ---- Conversion --------------------------------------------------------------------------------
  int value() const;                 // signed decimal; no digit gives 0
  unsigned uvalue() const;           // unsigned decimal
  int64_t value64() const;           // signed decimal, 64 bits
  uint64_t uvalue64() const;         // unsigned decimal, 64 bits
  bool is_number() const;
  bool is_true() const;              // "true" (case-insensitive), "yes", "on" or "1"
  str tolower() const;
  str toupper() const;
  // Bitwise operations on equal-length byte strings (the shorter length when they differ).
  str l_and(const str& o) const;
  str l_or(const str& o) const;
  str l_xor(const str& o) const;
  str l_not() const;

  // ---- Comparison --------------------------------------------------------------------------------
  friend bool operator==(const str& a, const str& b) { return a.cmp(b); }
  friend bool operator==(const str& a, const char* b) { return a.view() == std::string_view(b ? b : ""); }
  friend bool operator!=(const str& a, const str& b) { return !a.cmp(b); }
  friend bool operator!=(const str& a, const char* b) { return !(a == b); }
  bool cmp(const str& o) const { return view() == o.view(); }
  bool icmp(const str& o) const;
  bool icmp(const char* o) const;
  friend bool operator<(const str& a, const str& b) { return a.view() < b.view(); }
  friend bool operator>(const str& a, const str& b) { return a.view() > b.view(); }
  // Offset of the first occurrence of o at or after from, or -1.
  long find(const str& o, size_t from = 0) const;
  long find(char c, size_t from = 0) const;
  long ifind(const str& o, size_t from = 0) const;  // ASCII case-insensitive
  bool contains_char(char c) const { return find(c) >= 0; }
  static bool one_of(char c, const char* set);
  bool starts_with(const str& p) const { return view().substr(0, p.length()) == p.view(); }
  bool istarts_with(const str& p) const;
  bool ends_with(const str& p) const;

  // ---- Records (lines of "name SEP value") ---------------------------------------------------------
  // The first line whose name (stripped of ws) equals name or alt case-insensitively;
  // empty when there is none.
  str get_record(const str& name, const str& alt = str(), char sep = ':',
                 const char* ws = " \t") const;
  str get_record_content(const str& name, const str& alt = str(), char sep = ':',
                         const char* ws = " \t") const;
  // Replaces the value of the first matching line, or appends "name: value\r\n".
  void set_record_content(const str& name, const str& value, char sep = ':',
                          const char* ws = " \t");

  // ---- Formatting -------------------------------------------------------------------------------------
  template <class... A>
  static str sprintf(const char* format, const A&... args) {
    const fmt_arg a[] = {fmt_arg(args)..., fmt_arg(0)};
    return vformat(format, a, sizeof...(A));
  }
  // Appends the formatted text to this string.
  template <class... A>
  str& appendf(const char* format, const A&... args) {
    const fmt_arg a[] = {fmt_arg(args)..., fmt_arg(0)};
    vappend(format, a, sizeof...(A));
    return *this;
  }
  static str vformat(const char* format, const fmt_arg* args, size_t n);
  void vappend(const char* format, const fmt_arg* args, size_t n);

  // ---- Files (through the file layer of base/file_system.h) ------------------------------------------
  // Whole-file read; empty on failure. The bool form tells a missing or unreadable file
  // from an empty one.
  static str read_file(const str& name, bool log_errors = true);
  static bool read_file(const str& name, str& out, bool log_errors = true);
  // Creates the missing parent directories, then creates or truncates the file and writes
  // this string (through a temporary file renamed over it). Logs "Could not open %s for
  // writing" or "Could not write %s" at level 0 on failure.
  bool write_file(const str& name) const;
  bool append_file(const str& name) const;
  static bool remove_file(const str& name, bool log_errors = true);
  static bool rename_file(const str& from, const str& to);
  // Creates every missing directory of path (like mkdir -p).
  static bool create_path(const str& path);
  // Names in directory path (without "." and ".."), sorted; dirs selects directories,
  // otherwise regular files. Empty when the directory cannot be read.
  static std::vector<str> get_dir(const str& path, bool dirs = false);
  // Size of the file in bytes, or -1.
  static int64_t file_size(const str& name);

  // ---- Sharing internals (tests and compress) -----------------------------------------------------------
  // Number of strs sharing this buffer (0 for the empty string).
  uint32_t sharers() const;
  // Data capacity of the buffer (0 for the empty string).
  uint32_t capacity() const;
  // When the buffer's class is above the smallest and this window fits a smaller class, or the
  // buffer is a large one (beyond the classes) and this window fits a class, moves this window
  // into a buffer of its own, so that a kept value does not keep a whole document alive.
  // Raw-memory blocks are never compressed.
  void compress();
  // True when both share one buffer.
  bool shares_with(const str& o) const { return buf_ && buf_ == o.buf_; }

  struct block;  // buffer header, defined in str.cc

 private:
  const uint8_t* data() const;
  void writable(size_t n);  // un-share and make room for n more bytes
  static block* alloc_block(size_t n);
  // The reference count is the first member of a block (a standard-layout type), so it is
  // reachable here without the block's definition; copies and windows stay inline.
  static std::atomic<uint32_t>& refs_of(block* b) {
    return *reinterpret_cast<std::atomic<uint32_t>*>(b);
  }
  static void retain(block* b) {
    if (b) refs_of(b).fetch_add(1, std::memory_order_relaxed);
  }
  static void release(block* b) {
    if (b && refs_of(b).fetch_sub(1, std::memory_order_acq_rel) == 1) free_block(b);
  }
  static void free_block(block* b);
  void adopt(block* b, uint32_t begin, uint32_t end);
  // Shares the buffer.
  str window(size_t from, size_t to) const {
    str r;
    if (from >= to || !buf_) return r;
    retain(buf_);
    r.buf_ = buf_;
    r.begin_ = begin_ + static_cast<uint32_t>(from);
    r.end_ = begin_ + static_cast<uint32_t>(to);
    return r;
  }
  void narrow(size_t from, size_t to);       // this window becomes [from, to) of itself

  block* buf_;
  uint32_t begin_;
  uint32_t end_;
};

// Predefined constants.
extern const str str_null;      // ""
extern const str str_lws;       // " \t\r\n"
extern const str str_crlf;      // "\r\n"
extern const str str_space;     // " "
extern const str str_newline;   // "\n"
extern const str str_t;         // "true"
extern const str str_f;         // "false"
extern const str str_zero;      // one byte 0x00
extern const str str_one;       // one byte 0x01
extern const str str_ff;        // one byte 0xFF
extern const str str_backslash; // "\\"
extern const str str_slash;     // "/"
extern const str str_dot;       // "."
extern const str str_dotdot;    // ".."
extern const str str_file;      // "file"
extern const str str_dir;       // "dir"

// Moves the texts into one new buffer of their own, each becoming a window on it, so that
// texts kept for a long time cost one small buffer together instead of one each, and keep
// no received packet or message alive through a window on it. Empty texts stay empty.
void pack_texts(std::initializer_list<str*> texts);
void pack_texts(std::vector<str*>& texts);

// Prints the bytes readably in test failure messages (GoogleTest finds it by name).
void PrintTo(const str& s, std::ostream* os);

// Hash for unordered containers.
struct str_hash {
  size_t operator()(const str& s) const { return std::hash<std::string_view>()(s.view()); }
};
