// The template scanner: copies text, finds the directives in braces and hands them on.
// ctrl side, under ctrl_run_mutex.

#include "web/template.h"

#include "base/log.h"
#include "pbx/accounts.h"
#include "web/pages.h"

namespace {

// The loop elements being rendered on this thread (a page renders on one thread from start
// to end, under ctrl_run_mutex).
thread_local std::vector<const page_row*> rows_in_render;

bool at(const str& text, size_t i, const char* word) {
  return text.view().substr(i).starts_with(std::string_view(word));
}

// The position of "<!--" followed only by spaces up to end, at or after from; -1 for none.
long comment_open_before(const str& text, size_t from, size_t end) {
  size_t k = end;
  while (k > from && text[k - 1] == ' ') k--;
  if (k < from + 4 || !at(text, k - 4, "<!--")) return -1;
  return static_cast<long>(k - 4);
}

// The position after spaces and "-->" that start at from; -1 when they are not there.
long comment_close_after(const str& text, size_t from) {
  size_t k = from;
  while (k < text.length() && text[k] == ' ') k++;
  return at(text, k, "-->") ? static_cast<long>(k + 3) : -1;
}

// Cuts out back to and including the last occurrence of c (nothing when there is none).
void cut_back_to(str& out, char c) {
  for (size_t k = out.length(); k > 0; k--) {
    if (out[k - 1] == c) {
      out.truncate(k - 1);
      return;
    }
  }
}

// The end of the "{loop end}" that closes the loop whose body starts at from, nested loops
// skipped: [body end, after the closing brace); false when it is missing.
bool find_loop_end(const str& text, size_t from, size_t& body_end, size_t& after) {
  int nesting = 0;
  for (long k = text.find('{', from); k >= 0; k = text.find('{', k + 1)) {
    if (at(text, k, "{loop start")) {
      nesting++;
    } else if (at(text, k, "{loop end")) {
      long close = text.find('}', k);
      if (close < 0) return false;
      if (nesting-- == 0) {
        body_end = k;
        after = close + 1;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

const std::vector<const page_row*>& loop_stack() { return rows_in_render; }

void filter_file(const str& text, web_request& r) {
  const size_t n = text.length();
  size_t i = 0;
  auto emit = [&](size_t from, size_t to) {
    if (r.depth == 0 && to > from) r.out.append(text.cbuffer() + from, to - from);
  };
  while (i < n && r.status == 200) {
    const long b = text.find('{', i);
    if (b < 0) {
      emit(i, n);
      break;
    }
    const long close = text.find('}', b);
    const bool ssi = close > 0 && at(text, b, "{ssi") && (text[b + 4] == ' ' || text[b + 4] == '}');
    if (ssi) {
      size_t after = close + 1;
      size_t text_end = b;
      const long open = comment_open_before(text, i, b);
      const long shut = comment_close_after(text, after);
      if (open >= 0 && shut >= 0) {
        text_end = open;
        after = shut;
      }
      emit(i, text_end);
      const int ret = handle_ssi(text.substr(b + 4, close - b - 4).strip(), r);
      if (ret == 1) cut_back_to(r.out, ' ');
      if (ret == 2) cut_back_to(r.out, '=');
      if (ret != 0 && text[after] == '"') after++;
      i = after;
    } else if (close > 0 && at(text, b, "{lng ")) {
      emit(i, b);
      if (r.depth == 0)
        r.out +=
            html_escape(translate(text.substr(b + 5, close - b - 5).strip(), page_language(r)));
      i = close + 1;
    } else if (close > 0 && at(text, b, "{loop start")) {
      size_t body_end = 0, after = 0;
      if (!find_loop_end(text, close + 1, body_end, after)) {
        emit(i, b + 1);  // an unclosed loop is plain text
        i = b + 1;
        continue;
      }
      emit(i, b);
      if (r.depth == 0) {
        if (r.s) {
          handle_loop(text.substr(b + 11, close - b - 11).strip(),
                      text.substr(close + 1, body_end - close - 1), r);
        } else {
          log_printf(log_web, 0, "Need a session");
        }
      }
      i = after;
    } else {
      emit(i, b + 1);
      i = b + 1;
    }
  }
}

void handle_loop(const str& arguments, const str& body, web_request& r) {
  std::vector<str> args = words(arguments);
  std::vector<page_row> rows;
  const str type = args.empty() ? str() : args[0];
  if (!loop_rows(type, args, r, rows)) {
    log_printf(log_web, 3, "Unknown loop type %s", type);
    return;
  }
  for (size_t k = 0; k < rows.size() && r.status == 200; k++) {
    rows[k]["index"] = str::sprintf("%d", static_cast<int>(k + 1));
    rows[k]["parity"] = k % 2 ? "odd" : "even";
    rows_in_render.push_back(&rows[k]);
    filter_file(body, r);
    rows_in_render.pop_back();
  }
}
