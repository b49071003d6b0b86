// The audio files of scripts/make-prompts as the daemon gets them: telephone WAVs (8 kHz, mono,
// 16-bit PCM) of a sensible length, music on hold that is music, and a file for every prompt
// name the call logic plays.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "tests/e2e/harness_phones.h"

namespace {

using e2e::output_of;

// A fresh temporary directory with the prompts linked into it.
struct linked_dir {
  std::string path = std::filesystem::temp_directory_path().string() + "/telmond-prompts-XXXXXX";
  std::string error;
  bool ok = mkdtemp(path.data()) != nullptr && e2e::link_prompts(path, error);
  ~linked_dir() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(PromptsE2E, FilesAreTelephoneWavsOfTheirLength) {
  linked_dir d;
  ASSERT_TRUE(d.ok) << d.error;
  const struct {
    const char* file;
    double min_seconds, max_seconds;
  } cases[] = {
      {"audio_en/aa_welcome_auto.wav", 1.0, 5.0},  // a sentence
      {"audio_en/bi_1.wav", 0.2, 1.5},             // one word
      {"audio_en/z.wav", 0.2, 1.5},                // one letter
      {"audio_en/ringback.wav", 6.0, 6.0},         // 2 s on, 4 s off
      {"audio_moh/mb_beep.wav", 0.5, 0.5},
      {"moh.wav", 20.0, 30.0},
  };
  for (const auto& c : cases) {
    const std::string f = d.path + "/" + c.file;
    EXPECT_EQ(output_of("for o in t r c b; do soxi -$o " + f + "; done 2>&1 | tr '\\n' ' '"),
              "wav 8000 1 16 ")
        << c.file;
    EXPECT_EQ(output_of("soxi -e " + f), "Signed Integer PCM\n") << c.file;
    const double seconds = std::stod("0" + output_of("soxi -D " + f));
    EXPECT_GE(seconds, c.min_seconds) << c.file;
    EXPECT_LE(seconds, c.max_seconds) << c.file;
  }
}

// Music, not silence and not a test tone: every stretch of a note's length is audible, and the
// pitch moves (a steady tone has the same rough frequency everywhere).
TEST(PromptsE2E, MusicOnHoldIsAudibleAndMoves) {
  linked_dir d;
  ASSERT_TRUE(d.ok) << d.error;
  const std::string moh = d.path + "/moh.wav";
  double low = 1e9, high = 0;
  for (double at = 1.0; at < 24.0; at += 1.6) {
    e2e::sound s;
    ASSERT_TRUE(e2e::measure(moh, s, "trim " + std::to_string(at) + " 0.8")) << at;
    EXPECT_GT(s.rms, 0.02) << "quiet at " << at << " s";
    low = std::min(low, s.hz);
    high = std::max(high, s.hz);
  }
  EXPECT_GT(low, 100);
  EXPECT_GT(high / low, 1.1) << "rough frequency stays between " << low << " and " << high;
}

// Every prompt the call logic names ("$a/x.wav", "$t/x.wav", "$m/x.wav", prompt("x") and the
// prompt tables of the applications) is there when the daemon starts in a linked directory.
TEST(PromptsE2E, EveryPromptTheCodePlaysExists) {
  e2e::telmond_options o;
  o.prompts = true;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  const std::regex named(R"re(\$([atm])/([a-z0-9_]+)\.wav|prompt\("([a-z0-9_]+)"\))re"
                         R"re(|"((?:aa|bi|mb|ex|pb|co|wk|acd)_[a-z0-9_]+)")re");
  std::set<std::string> files;
  for (const char* folder : {"apps", "pbx"}) {
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(TELMOND_SOURCE_DIR) + "/" + folder)) {
      const std::string path = e.path().string();
      if (!path.ends_with(".cc") || path.ends_with("_test.cc")) continue;
      const std::string text = e2e::slurp(path);
      for (std::sregex_iterator m(text.begin(), text.end(), named), end; m != end; ++m) {
        const std::string dir = (*m)[1] == "m" ? "audio_moh/" : "audio_en/";
        files.insert(dir + (*m)[2].str() + (*m)[3].str() + (*m)[4].str() + ".wav");
      }
    }
  }
  // Both kinds of naming are found: "$t/...wav" and the attendant's prompt table.
  EXPECT_EQ(files.count("audio_en/ringback.wav") + files.count("audio_en/aa_try_valid.wav"), 2u);
  for (const std::string& f : files) EXPECT_TRUE(t.file_exists(f)) << f;
  EXPECT_TRUE(t.running());
}
