#include "base/str.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>
#include <ostream>

#include "base/file_system.h"
#include "base/log.h"

// ---- Buffers ----------------------------------------------------------------------------------
//
// A block is a 20-byte header followed by the data area. The reference count replaces the ring
// of sharers: every str whose window lies in the block holds one reference. While a class block
// sits on its free list, its header holds the free-list link (in place of flags and class).

// Packed to 4 so that the header stays 20 bytes; blocks start 16-byte aligned, so the free-list
// link at offset 8 is still pointer-aligned (which leak checkers rely on to follow it).
#pragma pack(push, 4)
struct str::block {
  std::atomic<uint32_t> refs;
  uint32_t capacity;  // bytes in the data area
  union {
    struct {
      uint32_t flags;  // flag_raw: handed out by str::malloc
      int32_t cls;     // size class, or -1 for a block of its own
    };
    block* next_free;  // while the block is on its class's free list
  };
  uint32_t reserved;  // keeps the header at 20 bytes

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this) + header_size; }
};
#pragma pack(pop)
static_assert(sizeof(str::block) == str::header_size, "block header is 20 bytes");

namespace {

constexpr uint32_t flag_raw = 1;

// The global free lists are guarded by one mutex; the statistics are atomic so that the
// threads' caches below can keep them exact without taking it.
struct class_state {
  str::block* free_list = nullptr;
  std::atomic<uint64_t> in_use{0};
  std::atomic<uint64_t> free_count{0};  // on the global list and in the threads' caches
};

struct allocator_state {
  std::mutex mu;
  class_state classes[str::num_classes];
  std::atomic<uint64_t> bytes_obtained{0};
  std::atomic<uint64_t> bytes_handed_out{0};
  std::atomic<uint64_t> large_blocks{0};
  std::atomic<uint64_t> bytes_freed{0};
};

// Never destroyed: strs with static storage duration may release buffers after main returns.
allocator_state& allocator() {
  static allocator_state* a = new allocator_state;
  return *a;
}

// Each thread keeps a few free blocks of the small classes, so that the threads of both sides
// allocate and free their buffers without meeting on the allocator's mutex; the blocks move
// between a cache and the global list in batches. Classes of 8 KB and more are not cached.
constexpr int cached_classes = 7;
constexpr uint32_t cache_limit(int c) { return c < 5 ? 32 : c == 5 ? 8 : 4; }

struct block_cache {
  str::block* head[cached_classes] = {};
  uint32_t count[cached_classes] = {};
};

// With a.mu held: makes sure class c's global list is not empty, taking at least n blocks
// from the system when it is. false when the system has no memory.
bool fill_global_locked(allocator_state& a, int c, uint32_t n) {
  class_state& cs = a.classes[c];
  if (cs.free_list) return true;
  size_t block_bytes = str::class_capacity(c) + str::header_size;
  uint32_t count = std::max(str::class_refill(c), n);
  // Blocks stay 16-byte aligned; the data area of each starts 20 bytes in.
  size_t stride = (block_bytes + 15) / 16 * 16;
  auto* chunk = static_cast<uint8_t*>(std::malloc(stride * count));
  if (!chunk) return false;
  a.bytes_obtained += stride * count;
  for (uint32_t i = 0; i < count; ++i) {
    auto* nb = reinterpret_cast<str::block*>(chunk + i * stride);
    nb->capacity = str::class_capacity(c);
    nb->next_free = cs.free_list;
    cs.free_list = nb;
  }
  cs.free_count += count;
  return true;
}

// One block of class c straight from the global list (classes and threads without a cache).
str::block* take_global(int c) {
  allocator_state& a = allocator();
  std::lock_guard<std::mutex> g(a.mu);
  if (!fill_global_locked(a, c, 1)) return nullptr;
  class_state& cs = a.classes[c];
  str::block* b = cs.free_list;
  cs.free_list = b->next_free;
  return b;
}

void give_global(str::block* b, int c) {
  allocator_state& a = allocator();
  std::lock_guard<std::mutex> g(a.mu);
  class_state& cs = a.classes[c];
  b->next_free = cs.free_list;
  cs.free_list = b;
}

// Takes up to n blocks of class c from the global list onto the cache. false when the system
// has no memory.
bool cache_refill(block_cache& bc, int c, uint32_t n) {
  allocator_state& a = allocator();
  std::lock_guard<std::mutex> g(a.mu);
  if (!fill_global_locked(a, c, n)) return false;
  class_state& cs = a.classes[c];
  for (uint32_t i = 0; i < n && cs.free_list; ++i) {
    str::block* b = cs.free_list;
    cs.free_list = b->next_free;
    b->next_free = bc.head[c];
    bc.head[c] = b;
    bc.count[c]++;
  }
  return true;
}

// Returns all but keep blocks of class c from the cache to the global list.
void cache_drain(block_cache& bc, int c, uint32_t keep) {
  allocator_state& a = allocator();
  std::lock_guard<std::mutex> g(a.mu);
  class_state& cs = a.classes[c];
  while (bc.count[c] > keep) {
    str::block* b = bc.head[c];
    bc.head[c] = b->next_free;
    bc.count[c]--;
    b->next_free = cs.free_list;
    cs.free_list = b;
  }
}

// The cache lives in a thread_local of its own that hands everything back when the thread
// ends; after that (thread_local destructors run before a thread's last frees) the thread
// uses the global lists directly.
struct cache_owner {
  block_cache lists;
  ~cache_owner();
};
thread_local block_cache* thread_cache = nullptr;
thread_local bool thread_cache_gone = false;

cache_owner::~cache_owner() {
  for (int c = 0; c < cached_classes; ++c) cache_drain(lists, c, 0);
  thread_cache = nullptr;
  thread_cache_gone = true;
}

block_cache* cache() {
  if (thread_cache || thread_cache_gone) return thread_cache;
  static thread_local cache_owner owner;
  thread_cache = &owner.lists;
  return thread_cache;
}

}  // namespace

int str::block_class(size_t n) {
  for (int c = 0; c < num_classes; ++c)
    if (class_capacity(c) >= n) return c;
  return -1;
}

str::block* str::alloc_block(size_t n) {
  allocator_state& a = allocator();
  int c = block_class(n);
  block* b = nullptr;
  if (c < 0) {
    size_t total = large_block_size(n + header_size);
    if (total > UINT32_MAX) return nullptr;
    void* p = std::malloc(total);
    if (!p) return nullptr;
    b = static_cast<block*>(p);
    b->capacity = static_cast<uint32_t>(total - header_size);
    a.bytes_obtained += total;
    a.large_blocks++;
  } else {
    block_cache* bc = c < cached_classes ? cache() : nullptr;
    if (!bc) {
      b = take_global(c);
    } else if (bc->head[c] || cache_refill(*bc, c, cache_limit(c) / 2)) {
      b = bc->head[c];
      bc->head[c] = b->next_free;
      bc->count[c]--;
    }
    if (!b) return nullptr;
    class_state& cs = a.classes[c];
    cs.free_count--;
    cs.in_use++;
  }
  a.bytes_handed_out += b->capacity;
  new (&b->refs) std::atomic<uint32_t>(1);
  b->flags = 0;
  b->cls = c;
  b->reserved = 0;
  return b;
}

static_assert(std::is_standard_layout_v<str::block>, "refs_of relies on the layout");

void str::free_block(block* b) {
  allocator_state& a = allocator();
  a.bytes_handed_out -= b->capacity;
  if (b->cls < 0) {
    size_t total = size_t(b->capacity) + header_size;
    a.large_blocks--;
    a.bytes_freed += total;
    a.bytes_obtained -= total;
    std::free(b);
    return;
  }
  int c = b->cls;
  class_state& cs = a.classes[c];
  a.bytes_freed += b->capacity;
  cs.in_use--;
  cs.free_count++;
  block_cache* bc = c < cached_classes ? cache() : nullptr;
  if (!bc) {
    give_global(b, c);
    return;
  }
  b->next_free = bc->head[c];
  bc->head[c] = b;
  bc->count[c]++;
  if (bc->count[c] > cache_limit(c)) cache_drain(*bc, c, cache_limit(c) / 2);
}

str::meminfo str::get_meminfo_stats() {
  allocator_state& a = allocator();
  meminfo m{};
  m.bytes_obtained = a.bytes_obtained;
  m.bytes_handed_out = a.bytes_handed_out;
  m.large_blocks = a.large_blocks;
  m.bytes_freed = a.bytes_freed;
  for (int c = 0; c < num_classes; ++c) {
    m.blocks_in_use[c] = a.classes[c].in_use;
    m.blocks_free[c] = a.classes[c].free_count;
  }
  return m;
}

str str::get_meminfo() {
  meminfo m = get_meminfo_stats();
  str out;
  for (int c = 0; c < num_classes; ++c) {
    if (!m.blocks_in_use[c] && !m.blocks_free[c]) continue;
    out.appendf("class %u (%u bytes): %s in use, %s free\r\n", unsigned(c),
                unsigned(class_capacity(c)), from_uint64(m.blocks_in_use[c]),
                from_uint64(m.blocks_free[c]));
  }
  out.appendf("obtained %s bytes, handed out %s bytes, %s large blocks, freed %s bytes\r\n",
              from_uint64(m.bytes_obtained), from_uint64(m.bytes_handed_out),
              from_uint64(m.large_blocks), from_uint64(m.bytes_freed));
  return out;
}

void* str::malloc(size_t size) {
  block* b = alloc_block(size);
  if (!b) return nullptr;
  b->flags |= flag_raw;
  return b->data();
}

void str::free(void* p) {
  if (!p) return;
  release(reinterpret_cast<block*>(static_cast<uint8_t*>(p) - header_size));
}

// ---- Construction -----------------------------------------------------------------------------

const uint8_t* str::data() const { return buf_->data() + begin_; }

void str::adopt(block* b, uint32_t begin, uint32_t end) {
  buf_ = b;
  begin_ = begin;
  end_ = end;
}

str::str(const void* bytes, size_t n) : buf_(nullptr), begin_(0), end_(0) {
  if (!n) return;
  block* b = alloc_block(n + 1);
  if (!b) return;
  std::memcpy(b->data(), bytes, n);
  b->data()[n] = 0;
  adopt(b, 0, static_cast<uint32_t>(n));
}

str::str(const char* s) : str(s, s ? std::strlen(s) : 0) {}

str str::bytes(std::initializer_list<uint8_t> b) { return str(b.begin(), b.size()); }

str::str(char c, int n) : buf_(nullptr), begin_(0), end_(0) {
  if (n <= 0) return;
  std::memset(extend(static_cast<size_t>(n)), c, static_cast<size_t>(n));
}

namespace {

// Decimal digits of v into the end of tmp; returns the start.
char* format_decimal(uint64_t v, char* end) {
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  return p;
}

void append_number(str& out, bool negative, uint64_t magnitude, int width) {
  char tmp[24];
  char* end = tmp + sizeof tmp;
  char* p = format_decimal(magnitude, end);
  int digits = static_cast<int>(end - p);
  int pad = width - digits - (negative ? 1 : 0);
  if (negative) out += '-';
  if (pad > 0) std::memset(out.extend(pad), '0', pad);
  out.append(p, digits);
}

}  // namespace

str::str(int value, int width) : buf_(nullptr), begin_(0), end_(0) {
  int64_t v = value;
  append_number(*this, v < 0, static_cast<uint64_t>(v < 0 ? -v : v), width);
}

str::str(unsigned value, int width) : buf_(nullptr), begin_(0), end_(0) {
  append_number(*this, false, value, width);
}

str str::from_int64(int64_t v) {
  str out;
  uint64_t m = v < 0 ? uint64_t(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  append_number(out, v < 0, m, 0);
  return out;
}

str str::from_uint64(uint64_t v) {
  str out;
  append_number(out, false, v, 0);
  return out;
}


str& str::operator=(const str& o) noexcept {
  if (o.buf_) o.buf_->refs.fetch_add(1, std::memory_order_relaxed);
  block* old = buf_;
  buf_ = o.buf_;
  begin_ = o.begin_;
  end_ = o.end_;
  release(old);
  return *this;
}

str& str::operator=(str&& o) noexcept {
  if (this == &o) return *this;
  block* old = buf_;
  buf_ = o.buf_;
  begin_ = o.begin_;
  end_ = o.end_;
  o.buf_ = nullptr;
  o.begin_ = o.end_ = 0;
  release(old);
  return *this;
}

// ---- Sharing and writing ----------------------------------------------------------------------

uint32_t str::sharers() const { return buf_ ? buf_->refs.load() : 0; }

uint32_t str::capacity() const { return buf_ ? buf_->capacity : 0; }

void str::writable(size_t n) {
  size_t len = length();
  // One byte more than asked keeps room for the terminator that c_str() writes.
  if (buf_ && buf_->refs.load(std::memory_order_acquire) == 1 && !(buf_->flags & flag_raw) &&
      size_t(end_) + n + 1 <= buf_->capacity)
    return;
  size_t want = len + n + 1;
  // Large blocks grow geometrically so that repeated appends stay linear.
  if (want > class_capacity(num_classes - 1)) want += want / 2;
  block* b = alloc_block(want);
  if (!b) std::abort();  // out of memory: nothing sensible is left to do
  if (len) std::memcpy(b->data(), data(), len);
  release(buf_);
  adopt(b, 0, static_cast<uint32_t>(len));
}

char* str::extend(size_t n) {
  writable(n);
  if (!buf_) return nullptr;  // n == 0 on an empty string
  char* p = reinterpret_cast<char*>(buf_->data() + end_);
  end_ += static_cast<uint32_t>(n);
  return p;
}

void str::reserve(size_t n) {
  if (n > length()) writable(n - length());
}

char* str::buffer() {
  if (!buf_) return nullptr;
  writable(0);
  return reinterpret_cast<char*>(buf_->data() + begin_);
}

const char* str::c_str() const {
  if (!buf_) return "";
  uint8_t* d = buf_->data();
  if (end_ < buf_->capacity) {
    if (d[end_] == 0) return reinterpret_cast<const char*>(d + begin_);
    if (buf_->refs.load(std::memory_order_acquire) == 1) {
      d[end_] = 0;
      return reinterpret_cast<const char*>(d + begin_);
    }
  }
  // Shared and not terminated: this str takes a terminated copy of its own. Its value does not
  // change, so this is a const operation for every observer.
  str* self = const_cast<str*>(this);
  self->writable(0);
  self->buf_->data()[self->end_] = 0;
  return reinterpret_cast<const char*>(self->buf_->data() + self->begin_);
}

void str::set_character(size_t i, char c) {
  if (i >= length()) return;
  buffer()[i] = c;
}

str& str::append(const void* bytes, size_t n) {
  if (!n) return *this;
  // bytes may point into this string's own buffer, which writable() can release.
  if (buf_ && bytes >= buf_->data() && bytes < buf_->data() + buf_->capacity) {
    str keep(*this);
    std::memcpy(extend(n), bytes, n);
    return *this;
  }
  std::memcpy(extend(n), bytes, n);
  return *this;
}

str& str::operator+=(const str& o) {
  if (empty() && !o.empty()) return *this = o;
  str keep(o);  // o may be *this
  return append(keep.cbuffer(), keep.length());
}

str& str::operator+=(char c) {
  *extend(1) = c;
  return *this;
}

str& str::operator+=(const char* s) { return append(s, s ? std::strlen(s) : 0); }

str operator+(const str& a, const str& b) {
  str r;
  r.reserve(a.length() + b.length());
  r.append(a.cbuffer(), a.length());
  r.append(b.cbuffer(), b.length());
  return r;
}

str operator+(const str& a, const char* b) { return a + str(b); }

str operator+(const char* a, const str& b) { return str(a) + b; }

void str::compress() {
  if (!buf_ || buf_->cls == 0 || (buf_->flags & flag_raw)) return;
  int want = block_class(length() + 1);
  // A large buffer (class -1: a whole file or document) gives up any window that fits a class.
  if (want < 0 || (buf_->cls > 0 && want >= buf_->cls)) return;
  block* b = alloc_block(length() + 1);
  if (!b) return;
  std::memcpy(b->data(), data(), length());
  uint32_t len = static_cast<uint32_t>(length());
  release(buf_);
  adopt(b, 0, len);
}

// ---- Windows ------------------------------------------------------------------------------------


str str::substr(size_t from) const { return from >= length() ? str() : window(from, length()); }

str str::substr(size_t from, size_t n) const& {
  size_t len = length();
  if (from >= len) return str();
  return window(from, n > len - from ? len : from + n);
}

namespace {

// Length of the line end at p (CR LF, LF CR, LF or CR), or 0.
size_t line_end_length(const char* p, const char* end) {
  if (p >= end) return 0;
  if (*p == '\r') return (p + 1 < end && p[1] == '\n') ? 2 : 1;
  if (*p == '\n') return (p + 1 < end && p[1] == '\r') ? 2 : 1;
  return 0;
}

bool in_set(char c, const char* set) { return c && std::strchr(set, c); }

}  // namespace

str str::get_line(size_t i) const {
  const char* b = cbuffer();
  const char* e = b + length();
  const char* p = b;
  for (;;) {
    const char* q = p;
    while (q < e && *q != '\r' && *q != '\n') ++q;
    if (i == 0) return window(p - b, q - b);
    if (q >= e) return str();
    p = q + line_end_length(q, e);
    --i;
  }
}

str str::get_first_line() {
  const char* b = cbuffer();
  const char* e = b + length();
  const char* q = b;
  while (q < e && *q != '\r' && *q != '\n') ++q;
  str line = window(0, q - b);
  narrow((q - b) + line_end_length(q, e), length());
  return line;
}

namespace {

// Finds field n of [b, e): fields are separated by runs of separator bytes and end at CR or LF.
// Returns false when there is no such field.
template <class IsSep>
bool find_field(const char* b, const char* e, size_t n, IsSep is_sep, const char*& fb,
                const char*& fe) {
  const char* p = b;
  for (;;) {
    while (p < e && is_sep(*p)) ++p;
    if (p >= e || *p == '\r' || *p == '\n') return false;
    const char* q = p;
    while (q < e && !is_sep(*q) && *q != '\r' && *q != '\n') ++q;
    if (n == 0) {
      fb = p;
      fe = q;
      return true;
    }
    --n;
    p = q;
  }
}

}  // namespace

str str::get_field(size_t n, char sep) const {
  const char *fb, *fe, *b = cbuffer();
  if (!find_field(b, b + length(), n, [sep](char c) { return c == sep; }, fb, fe)) return str();
  return window(fb - b, fe - b);
}

str str::get_field(size_t n, const char* seps) const {
  const char *fb, *fe, *b = cbuffer();
  if (!find_field(b, b + length(), n, [seps](char c) { return in_set(c, seps); }, fb, fe))
    return str();
  return window(fb - b, fe - b);
}

str str::get_rest(size_t n, char sep) const {
  const char *fb, *fe, *b = cbuffer();
  if (!find_field(b, b + length(), n, [sep](char c) { return c == sep; }, fb, fe)) return str();
  return window(fb - b, length());
}

str str::get_rest(size_t n, const char* seps) const {
  const char *fb, *fe, *b = cbuffer();
  if (!find_field(b, b + length(), n, [seps](char c) { return in_set(c, seps); }, fb, fe))
    return str();
  return window(fb - b, length());
}

namespace {

// Bounds [from, to) of [b, b + n) without leading (left) and trailing (right) bytes of set.
void strip_bounds(const char* b, size_t n, const char* set, bool left, bool right, size_t& from,
                  size_t& to) {
  from = 0;
  to = n;
  if (left)
    while (from < to && in_set(b[from], set)) ++from;
  if (right)
    while (to > from && in_set(b[to - 1], set)) --to;
}

}  // namespace

str str::lstrip(const char* set) const {
  size_t f, t;
  strip_bounds(cbuffer(), length(), set, true, false, f, t);
  return window(f, t);
}

str str::rstrip(const char* set) const {
  size_t f, t;
  strip_bounds(cbuffer(), length(), set, false, true, f, t);
  return window(f, t);
}

str str::strip(const char* set) const& {
  size_t f, t;
  strip_bounds(cbuffer(), length(), set, true, true, f, t);
  return window(f, t);
}

str str::strip(const char* set) && {
  size_t f, t;
  strip_bounds(cbuffer(), length(), set, true, true, f, t);
  narrow(f, t);
  return std::move(*this);
}

str str::substr(size_t from, size_t n) && {
  size_t len = length();
  if (from >= len) return str();
  narrow(from, n > len - from ? len : from + n);
  return std::move(*this);
}

void str::narrow(size_t from, size_t to) {
  if (from >= to) {
    *this = str();
    return;
  }
  end_ = begin_ + static_cast<uint32_t>(to);
  begin_ += static_cast<uint32_t>(from);
}

namespace {

const char* one_char_set(char c, char (&set)[2]) {
  set[0] = c;
  set[1] = 0;
  return set;
}

}  // namespace

str str::lstrip(char c) const {
  char set[2];
  return c ? lstrip(one_char_set(c, set)) : *this;
}

str str::rstrip(char c) const {
  char set[2];
  return c ? rstrip(one_char_set(c, set)) : *this;
}

str str::strip(char c) const {
  char set[2];
  return c ? strip(one_char_set(c, set)) : *this;
}

// ---- Conversion -----------------------------------------------------------------------------------

namespace {

// Parses [sign] digits after spaces and tabs; unsigned arithmetic wraps instead of overflowing.
uint64_t parse_decimal(const char* p, const char* e, bool allow_sign, bool& negative) {
  negative = false;
  while (p < e && (*p == ' ' || *p == '\t')) ++p;
  if (allow_sign) {
    if (p < e && *p == '+') ++p;
    if (p < e && *p == '-') {
      negative = true;
      ++p;
    }
  }
  uint64_t v = 0;
  while (p < e && *p >= '0' && *p <= '9') v = v * 10 + uint64_t(*p++ - '0');
  return v;
}

}  // namespace

int str::value() const {
  bool neg;
  uint64_t v = parse_decimal(cbuffer(), cbuffer() + length(), true, neg);
  uint32_t u = static_cast<uint32_t>(v);
  return static_cast<int>(neg ? 0u - u : u);
}

unsigned str::uvalue() const {
  bool neg;
  return static_cast<unsigned>(parse_decimal(cbuffer(), cbuffer() + length(), false, neg));
}

int64_t str::value64() const {
  bool neg;
  uint64_t v = parse_decimal(cbuffer(), cbuffer() + length(), true, neg);
  return static_cast<int64_t>(neg ? 0 - v : v);
}

uint64_t str::uvalue64() const {
  bool neg;
  return parse_decimal(cbuffer(), cbuffer() + length(), false, neg);
}

bool str::is_number() const {
  const char* p = cbuffer();
  const char* e = p + length();
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (p < e && ws(*p)) ++p;
  if (p < e && *p == '-') ++p;
  const char* digits = p;
  while (p < e && *p >= '0' && *p <= '9') ++p;
  if (p == digits) return false;
  while (p < e && ws(*p)) ++p;
  return p == e;
}

bool str::is_true() const {
  str s = strip();
  return s.icmp("true") || s.icmp("yes") || s.icmp("on") || s == "1";
}

namespace {

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
inline char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

}  // namespace

str str::tolower() const {
  size_t n = length();
  const char* b = cbuffer();
  size_t i = 0;
  while (i < n && lower(b[i]) == b[i]) ++i;
  if (i == n) return *this;  // nothing to change: share
  str r(b, n);
  char* w = r.buffer();
  for (; i < n; ++i) w[i] = lower(w[i]);
  return r;
}

str str::toupper() const {
  size_t n = length();
  const char* b = cbuffer();
  size_t i = 0;
  while (i < n && upper(b[i]) == b[i]) ++i;
  if (i == n) return *this;
  str r(b, n);
  char* w = r.buffer();
  for (; i < n; ++i) w[i] = upper(w[i]);
  return r;
}

namespace {

template <class Op>
str bitwise(const str& a, const str& b, Op op) {
  size_t n = a.length() < b.length() ? a.length() : b.length();
  str r;
  if (!n) return r;
  char* w = r.extend(n);
  for (size_t i = 0; i < n; ++i) w[i] = static_cast<char>(op(a[i], b[i]));
  return r;
}

}  // namespace

str str::l_and(const str& o) const { return bitwise(*this, o, [](uint8_t x, uint8_t y) { return x & y; }); }
str str::l_or(const str& o) const { return bitwise(*this, o, [](uint8_t x, uint8_t y) { return x | y; }); }
str str::l_xor(const str& o) const { return bitwise(*this, o, [](uint8_t x, uint8_t y) { return x ^ y; }); }

str str::l_not() const {
  return bitwise(*this, *this, [](uint8_t x, uint8_t) { return static_cast<uint8_t>(~x); });
}

// ---- Comparison -----------------------------------------------------------------------------------

bool str::icmp(const str& o) const {
  if (length() != o.length()) return false;
  const char *a = cbuffer(), *b = o.cbuffer();
  for (size_t i = 0, n = length(); i < n; ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool str::icmp(const char* o) const {
  size_t n = o ? std::strlen(o) : 0;
  if (length() != n) return false;
  const char* a = cbuffer();
  for (size_t i = 0; i < n; ++i)
    if (lower(a[i]) != lower(o[i])) return false;
  return true;
}

long str::find(const str& o, size_t from) const {
  if (from > length()) return -1;
  size_t at = view().find(o.view(), from);
  return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

long str::find(char c, size_t from) const {
  if (from >= length()) return -1;
  const void* p = std::memchr(cbuffer() + from, c, length() - from);
  return p ? static_cast<const char*>(p) - cbuffer() : -1;
}

long str::ifind(const str& o, size_t from) const {
  size_t n = length(), m = o.length();
  if (m > n) return -1;
  for (size_t i = from; i + m <= n; ++i)
    if (window(i, i + m).icmp(o)) return static_cast<long>(i);
  return -1;
}

bool str::one_of(char c, const char* set) { return in_set(c, set); }

bool str::istarts_with(const str& p) const {
  return p.length() <= length() && window(0, p.length()).icmp(p);
}

bool str::ends_with(const str& p) const {
  return p.length() <= length() && view().substr(length() - p.length()) == p.view();
}

// ---- Records ---------------------------------------------------------------------------------------

str str::get_record(const str& name, const str& alt, char sep, const char* ws) const {
  const char* b = cbuffer();
  const char* e = b + length();
  const char* p = b;
  while (p < e) {
    const char* q = p;
    while (q < e && *q != '\r' && *q != '\n') ++q;
    str line = window(p - b, q - b);
    long at = line.find(sep);
    if (at >= 0) {
      str key = line.leftstr(at).strip(ws);
      if (key.icmp(name) || (!alt.empty() && key.icmp(alt))) return line;
    }
    p = q + line_end_length(q, e);
  }
  return str();
}

str str::get_record_content(const str& name, const str& alt, char sep, const char* ws) const {
  str line = get_record(name, alt, sep, ws);
  long at = line.find(sep);
  return at < 0 ? str() : line.substr(at + 1).strip(ws);
}

void str::set_record_content(const str& name, const str& value, char sep, const char* ws) {
  str line = get_record(name, str(), sep, ws);
  if (!line.empty()) {
    size_t start = line.begin_ - begin_;
    long at = line.find(sep);
    str rebuilt = leftstr(start + at + 1);
    rebuilt += ' ';
    rebuilt += value;
    rebuilt += substr(start + line.length());
    *this = rebuilt;
    return;
  }
  if (!empty() && (*this)[length() - 1] != '\n') *this += str_crlf;
  *this += name;
  *this += sep;
  *this += ' ';
  *this += value;
  *this += str_crlf;
}

// ---- Formatting --------------------------------------------------------------------------------------

str str::vformat(const char* format, const fmt_arg* args, size_t n) {
  str out;
  out.vappend(format, args, n);
  return out;
}

void str::vappend(const char* format, const fmt_arg* args, size_t n) {
  static const char lower_hex[] = "0123456789abcdef";
  static const char upper_hex[] = "0123456789ABCDEF";
  size_t next = 0;
  const char* p = format;
  while (*p) {
    const char* q = p;
    while (*q && *q != '%') ++q;
    if (q > p) append(p, q - p);
    if (!*q) break;
    p = q + 1;
    if (*p == '0') ++p;  // zero flag: numbers are zero-padded to the width in any case
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    char letter = *p;
    if (!letter) break;
    ++p;
    if (letter == '%') {
      *this += '%';
      continue;
    }
    if (!std::strchr("ducsSxhH", letter)) continue;  // unknown letter: consumes nothing
    if (next >= n) continue;                         // missing argument
    const fmt_arg& a = args[next++];
    switch (letter) {
      case 'd':
        if (a.kind == fmt_arg::k_int)
          append_number(*this, a.i < 0, a.i < 0 ? uint64_t(0) - uint64_t(int64_t(a.i)) : uint64_t(a.i),
                        width);
        break;
      case 'u':
        if (a.kind == fmt_arg::k_unsigned) append_number(*this, false, a.u, width);
        if (a.kind == fmt_arg::k_unsigned_char) append_number(*this, false, a.uc, width);
        break;
      case 'x': {
        unsigned v;
        if (a.kind == fmt_arg::k_unsigned)
          v = a.u;
        else if (a.kind == fmt_arg::k_unsigned_char)
          v = a.uc;
        else
          break;
        char h[4] = {upper_hex[(v >> 12) & 15], upper_hex[(v >> 8) & 15], upper_hex[(v >> 4) & 15],
                     upper_hex[v & 15]};
        append(h, 4);
        break;
      }
      case 'c':
        if (a.kind == fmt_arg::k_char) *this += a.c;
        if (a.kind == fmt_arg::k_unsigned_char) *this += static_cast<char>(a.uc);
        break;
      case 's':
        if (a.kind == fmt_arg::k_str) *this += *a.s;
        break;
      case 'S':
        if (a.kind == fmt_arg::k_cstr) *this += a.cs;
        break;
      case 'h':
      case 'H': {
        if (a.kind != fmt_arg::k_str) break;
        const char* digits = letter == 'h' ? lower_hex : upper_hex;
        str src = *a.s;  // keeps the bytes alive if the argument is this string
        char* w = extend(src.length() * 2);
        for (size_t i = 0; i < src.length(); ++i) {
          w[2 * i] = digits[src[i] >> 4];
          w[2 * i + 1] = digits[src[i] & 15];
        }
        break;
      }
    }
  }
}

// ---- Files --------------------------------------------------------------------------------------------

bool str::read_file(const str& name, str& out, bool log_errors) {
  out.clear();
  file_system::status s = fs().read(name, out);
  if (s == file_system::status::error && log_errors)
    log_printf(log_general, 2, "Could not fstat %s", name);
  return s == file_system::status::ok;
}

str str::read_file(const str& name, bool log_errors) {
  str out;
  read_file(name, out, log_errors);
  return out;
}

namespace {

std::atomic<uint32_t> temp_counter{0};

}  // namespace

namespace {

// Creates the missing parent directories of a file name, one level after the other; failures
// are left for the open that follows to report.
void create_parents(const str& name) {
  long slash = -1;
  for (size_t i = 0; i < name.length(); ++i)
    if (name[i] == '/') slash = static_cast<long>(i);
  if (slash > 0 && !fs().is_dir(name.leftstr(slash))) str::create_path(name.leftstr(slash));
}

}  // namespace

bool str::write_file(const str& name) const {
  // Through a symbolic link to its target, so that a file kept elsewhere (configuration
  // management) is the one updated, and the link stays.
  const file_system::existing_file existing = fs().inspect(name);
  const str& target = existing.target;
  create_parents(target);
  auto report = [&](file_system::status s) {
    log_printf(log_general, 0,
               s == file_system::status::not_found ? "Could not open %s for writing"
                                                   : "Could not write %s",
               name);
  };
  if (existing.links > 1) {
    // A file with other hard links is rewritten in place: a rename would leave the other
    // names on the old content.
    file_system::status s = fs().write(target, *this, false);
    if (s != file_system::status::ok) report(s);
    return s == file_system::status::ok;
  }
  // The bytes go to a temporary file beside the target that is then renamed over it, so a
  // crash leaves either the old or the new file, never a torn one. The new file takes the mode
  // and owner of the one it replaces.
  size_t dir_end = target.view().rfind('/');
  size_t base = dir_end == std::string_view::npos ? 0 : dir_end + 1;
  str temp = target.leftstr(base);
  temp.appendf(".%s.%u.tmp", target.substr(base), temp_counter.fetch_add(1));
  file_system::status s = fs().write(temp, *this, false);
  if (s != file_system::status::ok) {
    report(s);
    if (s == file_system::status::error) fs().remove(temp);
    return false;
  }
  fs().take_attributes(temp, existing);
  if (!fs().rename(temp, target)) {
    log_printf(log_general, 0, "Cannot rename file %s to %s", temp, target);
    fs().remove(temp);
    return false;
  }
  return true;
}

bool str::append_file(const str& name) const {
  create_parents(name);
  file_system::status s = fs().write(name, *this, true);
  if (s == file_system::status::not_found)
    log_printf(log_general, 0, "Could not open %s for writing", name);
  else if (s == file_system::status::error)
    log_printf(log_general, 0, "Could not write %s", name);
  return s == file_system::status::ok;
}

bool str::remove_file(const str& name, bool log_errors) {
  bool ok = fs().remove(name);
  if (!ok && log_errors) log_printf(log_general, 1, "Cannot remove file %s", name);
  return ok;
}

bool str::rename_file(const str& from, const str& to) {
  bool ok = fs().rename(from, to);
  if (!ok) log_printf(log_general, 2, "Cannot rename file %s to %s", from, to);
  return ok;
}

bool str::create_path(const str& path) {
  if (path.empty()) return false;
  for (size_t i = 1; i <= path.length(); ++i) {
    if (i < path.length() && path[i] != '/') continue;
    str prefix = path.leftstr(i);
    if (!fs().is_dir(prefix) && !fs().mkdir(prefix)) return false;
  }
  return true;
}

std::vector<str> str::get_dir(const str& path, bool dirs) {
  std::vector<str> names;
  if (!fs().list(path, dirs, names)) names.clear();
  return names;
}

int64_t str::file_size(const str& name) { return fs().size(name); }

// ---- Packing ----------------------------------------------------------------------------------------

namespace {

template <class It>
void pack_range(It begin, It end) {
  size_t total = 0;
  for (It it = begin; it != end; ++it) total += (*it)->length();
  if (total == 0) return;
  str all;
  all.reserve(total);
  // append, not +=: += on an empty string would share the first text's buffer.
  for (It it = begin; it != end; ++it) all.append((*it)->cbuffer(), (*it)->length());
  size_t at = 0;
  for (It it = begin; it != end; ++it) {
    const size_t n = (*it)->length();
    if (n) **it = all.substr(at, n);
    at += n;
  }
}

}  // namespace

void pack_texts(std::initializer_list<str*> texts) { pack_range(texts.begin(), texts.end()); }
void pack_texts(std::vector<str*>& texts) { pack_range(texts.begin(), texts.end()); }

// ---- Constants ------------------------------------------------------------------------------------------

const str str_null;
const str str_lws(" \t\r\n");
const str str_crlf("\r\n");
const str str_space(" ");
const str str_newline("\n");
const str str_t("true");
const str str_f("false");
const str str_zero("", 1);
const str str_one("\x01", 1);
const str str_ff("\xff", 1);
const str str_backslash("\\");
const str str_slash("/");
const str str_dot(".");
const str str_dotdot("..");
const str str_file("file");
const str str_dir("dir");

void PrintTo(const str& s, std::ostream* os) {
  *os << '"';
  for (size_t i = 0; i < s.length(); ++i) {
    uint8_t c = s[i];
    if (c == '"' || c == '\\') {
      *os << '\\' << static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      *os << static_cast<char>(c);
    } else {
      static const char hex[] = "0123456789abcdef";
      *os << "\\x" << hex[c >> 4] << hex[c & 15];
    }
  }
  *os << '"';
}
