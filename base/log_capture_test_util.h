// Test support: a log_capture installs itself as the log sink for its lifetime and collects
// every line (text, group, level). Only included by *_test.cc.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"

struct log_line {
  std::string text;
  int group;
  int level;
};

class log_capture {
 public:
  log_capture() {
    clear();
    set_log_sink(sink);
  }
  ~log_capture() { set_log_sink(nullptr); }
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // A copy: lines may arrive from other threads meanwhile.
  std::vector<log_line> lines() const {
    std::lock_guard<std::mutex> l(state().m);
    return state().lines;
  }
  // A line whose text is exactly text.
  bool contains(const std::string& text) const {
    for (const log_line& l : lines())
      if (l.text == text) return true;
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> l(state().m);
    state().lines.clear();
  }

 private:
  struct shared {
    std::mutex m;
    std::vector<log_line> lines;
  };
  static shared& state() {
    static shared s;
    return s;
  }
  static void sink(int group, int level, const str& text) {
    std::lock_guard<std::mutex> l(state().m);
    state().lines.push_back({std::string(text.view()), group, level});
  }
};
