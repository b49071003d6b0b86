#include "base/log.h"

#include <cstdio>

std::atomic<bool> log_up{true};
std::atomic<int> log_level_max{5};
std::atomic<uint32_t> log_groups_enabled{0xffffffffu};

namespace {

void stderr_sink(int group, int level, const str& text) {
  std::fprintf(stderr, "[%d:%d] %.*s\n", group, level, static_cast<int>(text.length()),
               text.cbuffer());
}

std::atomic<log_sink_fn> sink{stderr_sink};

}  // namespace

void set_log_sink(log_sink_fn s) { sink.store(s ? s : stderr_sink); }

void log_write(int group, int level, const str& text) { sink.load()(group, level, text); }
