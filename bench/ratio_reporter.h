// For benchmarks that set our code against a reference (a library, a standard type): a
// console reporter that also keeps each run's time per iteration, so that main() can print
// the ratios after the table.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  enum class measure { real_time, cpu_time };
  explicit ratio_reporter(measure m = measure::real_time) : measure_(m) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      times_[r.benchmark_name()] =
          measure_ == measure::cpu_time ? r.GetAdjustedCPUTime() : r.GetAdjustedRealTime();
    }
  }
  // The time per iteration of the run of that name; 0 when it did not run.
  double time(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }
  // Prints "<what> <label> = <ratio>x", the time of first over the time of second, when both
  // ran.
  void print_ratio(const char* what, const std::string& first, const std::string& second,
                   const char* label = "ours / peer") const {
    const double a = time(first), b = time(second);
    if (a > 0 && b > 0) std::printf("%-36s %s = %.2fx\n", what, label, a / b);
  }

 private:
  measure measure_;
  std::map<std::string, double> times_;
};
