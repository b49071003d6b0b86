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
  // With level_max >= 0 the log level is raised (or lowered) to it while the capture lives.
  explicit log_capture(int level_max = -1) : previous_level_(log_level_max.load()) {
    clear();
    set_log_sink(sink);
    if (level_max >= 0) log_level_max = level_max;
  }
  ~log_capture() {
    set_log_sink(nullptr);
    log_level_max = previous_level_;
  }
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // A copy: lines may arrive from other threads meanwhile.
  static std::vector<log_line> lines() {
    std::lock_guard<std::mutex> l(state().m);
    return state().lines;
  }
  // A line whose text is exactly text (at that level when one is given).
  static bool contains(const std::string& text, int level = -1) {
    for (const log_line& l : lines())
      if (l.text == text && (level < 0 || l.level == level)) return true;
    return false;
  }
  // A line whose "group:level text" contains fragment.
  static bool mentions(const std::string& fragment) {
    for (const log_line& l : lines())
      if ((std::to_string(l.group) + ":" + std::to_string(l.level) + " " + l.text).find(fragment) !=
          std::string::npos)
        return true;
    return false;
  }
  // The texts in order; with with_level each after its level ("2 text").
  static std::vector<std::string> texts(bool with_level = false) {
    std::vector<std::string> out;
    for (const log_line& l : lines())
      out.push_back((with_level ? std::to_string(l.level) + " " : std::string()) + l.text);
    return out;
  }
  static void clear() {
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
  int previous_level_;
};
