#include "frame/connection_admission.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One step: at ms, address a ('A', 'B' or 'W' for an exempt one) connects ('+') or one of its
// connections ends ('-'); start is the service start expected in ms (-1: refused).
struct step {
  int ms;
  char address;
  char what;
  int start;
};

TEST(ConnectionAdmission, LimitAndPacingPerAddress) {
  // Limit 3, gap 500 ms.
  const step steps[] = {
      // clang-format off
      {0, 'A', '+', 0}, {0, 'A', '+', 500}, {0, 'A', '+', 1000}, {0, 'A', '+', -1},
      {0, 'B', '+', 0}, {10, 'B', '+', 500}, {0, 'W', '+', 0}, {0, 'W', '+', 0}, {0, 'W', '+', 0},
      {0, 'W', '+', 0}, {200, 'A', '-', 0}, {200, 'A', '+', 1500}, {200, 'A', '-', 0},
      {200, 'A', '-', 0}, {200, 'A', '-', 0}, {200, 'A', '-', 0}, {3000, 'A', '+', 3000},
      {3100, 'A', '+', 3500}, {5000, 'B', '-', 0}, {5000, 'B', '-', 0}, {5000, 'B', '+', 5000},
      // clang-format on
  };

  connection_admission admission;
  for (const step& s : steps) {
    const str address(std::string(1, s.address));
    const rtimestamp now = ms2ticks(1000 + s.ms);
    if (s.what == '-') {
      admission.release(address, now);
      continue;
    }
    connection_admission::decision d =
        admission.admit(address, s.address == 'W', 3, ms2ticks(500), now);
    const int start = d.admitted ? static_cast<int>(ticks2ms(d.start) - 1000) : -1;
    EXPECT_EQ(start, s.start) << s.address << " at " << s.ms;
  }
  EXPECT_EQ(admission.open("A"), 2);
  EXPECT_EQ(admission.open("B"), 1);
  EXPECT_EQ(admission.open("W"), 0);  // exempt: not counted
  // Without pacing or limit every connection starts at once; releases of unknown addresses are
  // ignored and the table forgets addresses whose connections are gone.
  connection_admission free;
  for (int i = 0; i < 200; i++) EXPECT_EQ(free.admit("C", false, 0, 0, 7).start, 7);
  free.release("D", 7);
  for (int i = 0; i < 200; i++) free.release("C", 7);
  EXPECT_EQ(free.addresses(), 0u);
}

}  // namespace
