// Random numbers, bytes and tokens.
//
// A fast generator of our own (xoshiro256**), one per thread, so drawing takes no lock. Each
// thread's generator is seeded on first use from /dev/urandom (falling back to the clocks and
// the thread's identity when the device cannot be read). Tests make a thread's draws
// repeatable with random_seed.
//
// These numbers are not for secrets. Keys (SRTP master keys, TLS) come from
// random_secure_bytes, which draws from OpenSSL's generator.
//
// Side-neutral and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/str.h"

uint32_t random_uint32();
uint64_t random_uint64();
// Uniform in [0, bound); 0 when bound is 0.
uint32_t random_below(uint32_t bound);
// Uniform in [low, high] (inclusive); low when high < low.
int random_range(int low, int high);

// n pseudo-random bytes.
str random_bytes(size_t n);
// n lower-case hexadecimal digits ("0123456789abcdef"), as digest nonces use them.
str random_hex(size_t n);
// n characters from letters and digits (A-Z, a-z, 0-9): tags, boundaries, session ids.
str random_token(size_t n);
// n decimal digits, the first not 0 (unless n is 1).
str random_digits(size_t n);

// n bytes from a cryptographically secure generator; empty when it fails.
str random_secure_bytes(size_t n);

// Re-seeds the calling thread's generator: the same seed gives the same sequence of draws.
void random_seed(uint64_t seed);
