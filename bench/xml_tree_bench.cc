// Reading and writing the system's XML files with xml_tree, side by side with pugixml used
// directly (its own DOM, values read as string views, its own writer). Our reader runs pugixml
// underneath and then builds the tree of shared windows, so the ratio shows what the tree
// costs. Documents: a row file of 24 columns and a settings file of 237 settings.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "base/str.h"
#include "base/xml_tree.h"
#include "bench/ratio_reporter.h"

namespace {

std::string make_row() {
  std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row>";
  for (int i = 0; i < 24; ++i) {
    const std::string col = "column_" + std::to_string(i);
    s += "<" + col + ">" +
         (i % 5 == 0 ? "Reception &amp; Sales &lt;2&gt;" : "value " + std::to_string(i * 37)) +
         "</" + col + ">";
  }
  return s + "</row>";
}

std::string make_settings() {
  std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<pbx-config>";
  for (int i = 0; i < 237; ++i) {
    const std::string name = "setting_name_" + std::to_string(i);
    if (i % 7 == 0) {
      s += "<" + name + "/>";
    } else {
      s += "<" + name + ">" + std::to_string(i * 13) + "</" + name + ">";
    }
  }
  return s + "</pbx-config>";
}

const std::string row_text = make_row();
const std::string settings_text = make_settings();

size_t read_ours(const str& text) {
  xml_tree t;
  if (!xml_tree::parse(text, t)) return 0;
  size_t n = 0;
  for (const auto& c : t.children()) n += c.name().length() + c.body().length();
  return n;
}

const unsigned pugi_options =
    pugi::parse_escapes | pugi::parse_cdata | pugi::parse_ws_pcdata_single;

size_t read_pugixml(const std::string& text) {
  pugi::xml_document d;
  if (!d.load_buffer(text.data(), text.size(), pugi_options, pugi::encoding_utf8)) return 0;
  size_t n = 0;
  for (pugi::xml_node c : d.document_element().children())
    n += std::string_view(c.name()).size() + std::string_view(c.child_value()).size();
  return n;
}

void BM_parse_row_xml_tree(benchmark::State& state) {
  const str text(row_text.data(), row_text.size());
  for (auto _ : state) benchmark::DoNotOptimize(read_ours(text));
}
void BM_parse_row_pugixml(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(read_pugixml(row_text));
}
void BM_parse_settings_xml_tree(benchmark::State& state) {
  const str text(settings_text.data(), settings_text.size());
  for (auto _ : state) benchmark::DoNotOptimize(read_ours(text));
}
void BM_parse_settings_pugixml(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(read_pugixml(settings_text));
}

// Writing a row: build the tree from the values and serialise it with the declaration.
void BM_write_row_xml_tree(benchmark::State& state) {
  std::vector<std::pair<str, str>> values;
  for (int i = 0; i < 24; ++i)
    values.emplace_back(str(("column_" + std::to_string(i)).c_str()),
                        str(i % 5 == 0 ? "Reception & Sales <2>" : "value 123"));
  for (auto _ : state) {
    xml_tree t(str("row"));
    for (const auto& [k, v] : values) t.add_child(k, v);
    str out = c_xml_declaration;
    t.serialise_to(out);
    benchmark::DoNotOptimize(out.length());
  }
}

struct string_writer : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

void BM_write_row_pugixml(benchmark::State& state) {
  std::vector<std::pair<std::string, std::string>> values;
  for (int i = 0; i < 24; ++i)
    values.emplace_back("column_" + std::to_string(i),
                        i % 5 == 0 ? "Reception & Sales <2>" : "value 123");
  for (auto _ : state) {
    pugi::xml_document d;
    pugi::xml_node row = d.append_child("row");
    for (const auto& [k, v] : values) row.append_child(k.c_str()).text().set(v.c_str());
    string_writer w;
    w.out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    d.save(w, "", pugi::format_raw | pugi::format_no_declaration);
    benchmark::DoNotOptimize(w.out.size());
  }
}

BENCHMARK(BM_parse_row_xml_tree);
BENCHMARK(BM_parse_row_pugixml);
BENCHMARK(BM_parse_settings_xml_tree);
BENCHMARK(BM_parse_settings_pugixml);
BENCHMARK(BM_write_row_xml_tree);
BENCHMARK(BM_write_row_pugixml);

}  // namespace

int main(int argc, char** argv) {
  // Both readers must see the same content.
  const str row(row_text.data(), row_text.size());
  if (read_ours(row) != read_pugixml(row_text) || read_ours(row) == 0) {
    std::fprintf(stderr, "xml_tree_bench: the readers disagree\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.print_ratio("parse row file", "BM_parse_row_xml_tree", "BM_parse_row_pugixml",
                       "xml_tree / pugixml");
  reporter.print_ratio("parse settings", "BM_parse_settings_xml_tree", "BM_parse_settings_pugixml",
                       "xml_tree / pugixml");
  reporter.print_ratio("write row file", "BM_write_row_xml_tree", "BM_write_row_pugixml",
                       "xml_tree / pugixml");
  return 0;
}
