#include "base/random.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// splitmix64: expands one seed into the generator's 256-bit state.
uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct xoshiro256 {
  uint64_t s[4];
  bool seeded = false;

  void seed(uint64_t v) {
    for (auto& w : s) w = splitmix64(v);
    seeded = true;
  }

  uint64_t next() {
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};

// The seed of a thread's generator: 8 bytes of /dev/urandom, or else a mix of the clocks, a
// process-wide counter and the thread's identity, so that threads never share a sequence.
uint64_t fresh_seed() {
  uint64_t seed = 0;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t n = ::read(fd, &seed, sizeof seed);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof seed)) return seed;
  }
  static std::atomic<uint64_t> counter{0};
  timespec a{}, b{};
  clock_gettime(CLOCK_MONOTONIC, &a);
  clock_gettime(CLOCK_REALTIME, &b);
  uint64_t x = static_cast<uint64_t>(a.tv_sec) * 1000000007ull + static_cast<uint64_t>(a.tv_nsec);
  x ^= rotl(static_cast<uint64_t>(b.tv_nsec) + static_cast<uint64_t>(b.tv_sec), 21);
  x ^= rotl(counter.fetch_add(1) + 1, 42);
  x ^= std::hash<std::thread::id>()(std::this_thread::get_id());
  return splitmix64(x);
}

thread_local xoshiro256 generator;

// A forked child (the daemon, helper processes) must not repeat its parent's draws: it seeds
// afresh on its next draw.
void reseed_after_fork() { generator.seeded = false; }

const int fork_handler_registered = pthread_atfork(nullptr, nullptr, reseed_after_fork);

xoshiro256& gen() {
  if (!generator.seeded) generator.seed(fresh_seed());
  return generator;
}

const char k_hex_digits[] = "0123456789abcdef";
const char k_token_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

}  // namespace

uint64_t random_uint64() { return gen().next(); }

uint32_t random_uint32() { return static_cast<uint32_t>(gen().next() >> 32); }

// Lemire's multiply-and-reject: unbiased without a division in the common case.
uint32_t random_below(uint32_t bound) {
  if (bound == 0) return 0;
  uint64_t m = uint64_t{random_uint32()} * bound;
  uint32_t low = static_cast<uint32_t>(m);
  if (low < bound) {
    const uint32_t threshold = (0u - bound) % bound;
    while (low < threshold) {
      m = uint64_t{random_uint32()} * bound;
      low = static_cast<uint32_t>(m);
    }
  }
  return static_cast<uint32_t>(m >> 32);
}

int random_range(int low, int high) {
  if (high <= low) return low;
  const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(high) - low) + 1;
  if (span > 0xffffffffull) return static_cast<int>(static_cast<int64_t>(low) + random_uint32());
  return static_cast<int>(static_cast<int64_t>(low) + random_below(static_cast<uint32_t>(span)));
}

str random_bytes(size_t n) {
  str out;
  if (!n) return out;
  char* o = out.extend(n);
  auto& g = gen();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = g.next();
    for (int k = 0; k < 8; ++k) o[i + k] = static_cast<char>(v >> (8 * k));
  }
  if (i < n) {
    const uint64_t v = g.next();
    for (int k = 0; i < n; ++i, ++k) o[i] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

str random_hex(size_t n) {
  str out;
  if (!n) return out;
  char* o = out.extend(n);
  auto& g = gen();
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i % 16 == 0) v = g.next();
    o[i] = k_hex_digits[v & 15];
    v >>= 4;
  }
  return out;
}

str random_token(size_t n) {
  str out;
  if (!n) return out;
  char* o = out.extend(n);
  for (size_t i = 0; i < n; ++i) o[i] = k_token_chars[random_below(62)];
  return out;
}

str random_digits(size_t n) {
  str out;
  if (!n) return out;
  char* o = out.extend(n);
  for (size_t i = 0; i < n; ++i)
    o[i] = static_cast<char>('0' + (i == 0 && n > 1 ? 1 + random_below(9) : random_below(10)));
  return out;
}

str random_secure_bytes(size_t n) {
  str out;
  if (!n) return out;
  if (n > 0x7fffffffu) return str();
  char* o = out.extend(n);
  if (RAND_bytes(reinterpret_cast<unsigned char*>(o), static_cast<int>(n)) != 1) return str();
  return out;
}

void random_seed(uint64_t seed) { generator.seed(seed); }
