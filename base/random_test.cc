#include "base/random.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

bool all_of_set(const str& s, const char* set) {
  for (size_t i = 0; i < s.length(); ++i)
    if (!str::one_of(static_cast<char>(s[i]), set)) return false;
  return true;
}

// A seed makes the draws repeatable: the SIP tests that seed them expect exact outcomes
// (RoutingTable.TargetFromUriDnsRouteAndProxy, ResortList.WeightsDecideTheFirstChoice).
TEST(Random, TextFormsUseTheirAlphabets) {
  const str nonce = random_hex(32), token = random_token(26);
  EXPECT_TRUE(nonce.length() == 32 && all_of_set(nonce, "0123456789abcdef")) << nonce.c_str();
  EXPECT_TRUE(token.length() == 26 &&
              all_of_set(token, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"))
      << token.c_str();
  for (int i = 0; i < 200; ++i) {
    const str d = random_digits(6);
    ASSERT_EQ(d.length(), 6u);
    ASSERT_TRUE(all_of_set(d, "0123456789"));
    ASSERT_NE(d[0], '0');
  }
  EXPECT_TRUE(random_hex(0).empty());
  EXPECT_EQ(random_bytes(1).length(), 1u);
  EXPECT_EQ(random_secure_bytes(30).length(), 30u);
  EXPECT_NE(random_secure_bytes(16), random_secure_bytes(16));
}

// Every value of a small range turns up and no value outside it; a rough uniformity check with
// a bound far beyond what chance produces (expected 1000 per bucket).
TEST(Random, BelowAndRangeStayInBoundsAndCoverThem) {
  random_seed(7);
  std::vector<int> counts(10, 0);
  for (int i = 0; i < 10000; ++i) {
    const uint32_t v = random_below(10);
    ASSERT_LT(v, 10u);
    ++counts[v];
  }
  for (int c : counts) EXPECT_TRUE(c > 800 && c < 1200) << c;
  std::set<int> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(random_range(96, 159));
  EXPECT_EQ(seen.size(), 64u);  // within the bounds: the property below
  EXPECT_EQ(random_below(0) + random_below(1), 0u);
  EXPECT_EQ(random_range(5, 5) + random_range(5, 1), 10);
  // The full range does not overflow into one sign.
  std::set<bool> signs;
  for (int i = 0; i < 64; ++i) signs.insert(random_range(INT32_MIN, INT32_MAX) < 0);
  EXPECT_EQ(signs.size(), 2u);
  // Bits of the hex nonce are balanced: each digit occurs.
  std::set<char> digits;
  const str h = random_hex(400);
  for (size_t i = 0; i < h.length(); ++i) digits.insert(static_cast<char>(h[i]));
  EXPECT_EQ(digits.size(), 16u);
}

RC_GTEST_PROP(Random, RangeIsInclusive, (int a, int b)) {
  const int lo = std::min(a, b), hi = std::max(a, b);
  const int v = random_range(lo, hi);
  RC_ASSERT(v >= lo);
  RC_ASSERT(v <= hi);
}

// A forked child draws a sequence of its own, not the continuation of its parent's.
TEST(Random, ForkedChildReseeds) {
  random_uint64();  // the parent's generator is in use
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const uint64_t v = random_uint64();
    const ssize_t n = write(fds[1], &v, sizeof v);
    _exit(n == sizeof v ? 0 : 1);
  }
  const uint64_t parent = random_uint64();
  uint64_t child = 0;
  ASSERT_EQ(read(fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(child, parent);
}

// Threads seeded from /dev/urandom draw different sequences.
TEST(Random, ThreadsHaveTheirOwnGenerators) {
  std::vector<uint64_t> first(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([t, &first] { first[t] = random_uint64(); });
  for (auto& th : threads) th.join();
  const std::set<uint64_t> distinct(first.begin(), first.end());
  EXPECT_EQ(distinct.size(), 4u);
}

}  // namespace
