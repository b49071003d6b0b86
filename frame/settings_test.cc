#include "frame/settings.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "frame/log.h"

namespace {

using namespace ctrl_settings;

const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_file = "pbx.xml";
    clear_setting_hooks();
    init_config();
    log_reset();
    init_logging();
  }
  void TearDown() override {
    clear_setting_hooks();
    config_file = "pbx.xml";
    init_config();
    log_reset();
  }
  void load(const std::string& text) {
    files_.files["pbx.xml"] = text;
    init_config();
  }
  std::string saved() { return files_.files["pbx.xml"]; }

  memory_file_system files_;
  scoped_file_system use_{&files_};
};

TEST_F(SettingsTest, IndexesNamesAndDefaults) {
  // The ends, and the neighbours of the indexes that hold no name.
  // clang-format off
  const struct { int index; const char *name, *value; } cases[] = {
      {0, "log_level", "5"}, {22, "log_event_tftp", "true"}, {24, "log_event_pstn", "true"},
      {35, "email_trunk_change", "true"}, {37, "email_regstatus", "true"}, {53, "version", ""},
      {58, "upgrade_url", ""}, {240, "http_first_request_timeout", "10"}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(ctrl_variable_lookup(static_cast<setting>(c.index)), c.name) << c.index;
    EXPECT_EQ(ctrl_variable_lookup(str(c.name)), c.index) << c.name;
    EXPECT_EQ(ctrl_read_registry(c.index), c.value) << c.name;
  }
  // Index 23 and the licensing indexes hold no name (names are unique: settings_file_fuzz).
  for (int i : {23, 36, 54, 55, 56, 57}) EXPECT_EQ(ctrl_variable_lookup(setting(i)), "") << i;
  for (const char* n : {"", "no_such_setting"})
    EXPECT_EQ(ctrl_variable_lookup(str(n)), setting_count);
  EXPECT_EQ(ctrl_variable_lookup(str("Log_Level")), 0);
  EXPECT_EQ(ctrl_read_registry(-1) + ctrl_read_registry(setting_count), "");
  for (const char* n : {"ntp_host", "app_login_text", "app_footer", "app_link", "app_help"})
    EXPECT_FALSE(ctrl_read_registry(ctrl_variable_lookup(str(n))).empty()) << n;
}

// Any file loads, saves and loads again to the same values: settings_file_fuzz.
TEST_F(SettingsTest, SavedFileBytes) {
  ctrl_write_setting(log_sip_watchlist, "");
  ctrl_write_setting(sys_name, "A&B <\"x\"> 'y'");
  ASSERT_TRUE(save_config());
  std::string f = saved();
  EXPECT_EQ(f, std::string(serialize_settings_file().view()));
  ASSERT_EQ(f.rfind(decl, 0), 0u);
  std::string body = f.substr(decl.size());
  EXPECT_EQ(body.rfind("<pbx-config><log_level>5</log_level><log_filename>log-$.txt</log_filename>"
                       "<log_length>100</log_length><log_keep>3</log_keep>"
                       "<log_sip_register>false</log_sip_register>",
                       0),
            0u);
  EXPECT_NE(body.find("<log_event_tftp>true</log_event_tftp><log_event_pstn>true</log_event_pstn>"),
            std::string::npos);  // nothing for index 23
  EXPECT_NE(body.find("<log_sip_watchlist/>"), std::string::npos);
  EXPECT_NE(body.find("<sys_name>A&amp;B &lt;&quot;x&quot;&gt; &apos;y&apos;</sys_name>"),
            std::string::npos);
  EXPECT_NE(body.find("<codec_preference>0 8 9 18 2 3</codec_preference>"), std::string::npos);
  EXPECT_EQ(body.size() - std::string("</http_first_request_timeout></pbx-config>").size(),
            body.rfind("</http_first_request_timeout></pbx-config>"));
  EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos);
}

TEST_F(SettingsTest, LoadingRules) {
  load(decl +
       "<pbx-config><LOG_LEVEL>9</LOG_LEVEL><pw_user>root &amp; co</pw_user>"
       "<unknown_thing>1</unknown_thing><record_start>*41</record_start>"
       "<pw_trusted>  10.0.0.1  </pw_trusted></pbx-config>");
  // Names in any case, values unescaped and not stripped, absent ones at their defaults.
  EXPECT_EQ(ctrl_read_registry(log_level) + "|" + ctrl_read_registry(pw_user) + "|" +
                ctrl_read_registry(pw_trusted) + "|" + ctrl_read_registry(http_rate),
            "9|root & co|  10.0.0.1  |5");
  // Names of older layouts move into the domains (PersistenceTest.StartUpRepairs and
  // OperatorFilesE2E), once: a restart does not take them again.
  str v;
  EXPECT_TRUE(take_config_upgrade("record_start", v));
  EXPECT_EQ(v, "*41");
  EXPECT_FALSE(take_config_upgrade("record_start", v));
  // Unknown names are dropped at the next save.
  ASSERT_TRUE(save_config());
  EXPECT_EQ(saved().find("unknown_thing"), std::string::npos);
  EXPECT_NE(saved().find("<log_level>9</log_level>"), std::string::npos);
  // Another root, malformed XML, an unreadable or a missing file: every default stays, and a
  // file that is there is moved aside with its bytes, so no save can overwrite it.
  auto kept_aside = [this]() {
    std::string bytes = "(none)";
    for (auto it = files_.files.begin(); it != files_.files.end(); ++it) {
      if (it->first.rfind("pbx.xml.bad-", 0) != 0 || it->first.size() != 27) continue;
      bytes = it->second;
      files_.files.erase(it);
      break;
    }
    return files_.files.count("pbx.xml") ? "(pbx.xml still there)" : bytes;
  };
  const std::string bad[] = {decl + "<config><log_level>9</log_level></config>",
                             decl + "<pbx-config><log_level>9</log_level>",
                             "<pbx-config><log_level>9</log_level></pbx-config><second/>", "",
                             "\x01\x02 binary"};
  for (const std::string& b : bad) {
    load(b);
    EXPECT_EQ(ctrl_read_registry(log_level), "5") << b;
    EXPECT_EQ(kept_aside(), b);
  }
  const std::string good = decl + "<pbx-config><log_level>9</log_level></pbx-config>";
  files_.files["pbx.xml"] = good;
  files_.fail_reads("pbx.xml", 1);
  init_config();
  EXPECT_EQ(ctrl_read_registry(log_level), "5");
  EXPECT_EQ(kept_aside(), good);
  init_config();
  EXPECT_EQ(ctrl_read_registry(log_level), "5");
}

TEST_F(SettingsTest, AudioDirectoriesGiveLanguageLists) {
  for (const char* d : {"audio_de", "audio_fr", "audio_moh", "audio_es", "audio_", "recordings"})
    files_.mkdir(d);
  for (const char* f :
       {"audio_de/ringback.wav", "audio_de/bi_1.wav", "audio_fr/bi_1.wav", "audio_moh/ringback.wav",
        "audio_es/ringback.wav", "recordings/ringback.wav"})
    files_.files[f] = "RIFF";
  files_.files["audio_fr/ringback.wav"] = "";  // empty: not counted
  files_.files["audio_it"] = "a file, not a directory";
  init_config();
  EXPECT_EQ(ctrl_read_registry(languages_tones) + "|" + ctrl_read_registry(languages_audio) + "|" +
                ctrl_read_registry(languages_web),
            "de es|de fr|en");
  // Without audio files the defaults (or the file's values) stay.
  files_.files.clear();
  load(decl + "<pbx-config><languages_audio>nl</languages_audio></pbx-config>");
  EXPECT_EQ(ctrl_read_registry(languages_tones) + "|" + ctrl_read_registry(languages_audio),
            "en|nl");
}

std::vector<std::string> hook_calls;
void record_hook(int s, const str& v) {
  hook_calls.push_back(std::to_string(s) + "=" + std::string(v.view()));
}
// A side effect may read and write settings itself: the lock is not held while it runs.
void reentrant_hook(int, const str& v) {
  ctrl_write_setting(sys_name, v + "!" + ctrl_read_registry(pw_user));
}

TEST_F(SettingsTest, WriteRegistrySideEffectsAndSave) {
  hook_calls.clear();
  add_setting_hook(ip_sip_udp_port, record_hook);
  add_setting_hook(codec_preference, record_hook);
  add_setting_hook(email_from, reentrant_hook);
  ctrl_write_registry(email_from, "pbx@example.com");
  EXPECT_EQ(ctrl_read_registry(sys_name), "pbx@example.com!admin");
  ctrl_write_registry(ip_sip_udp_port, "5070");
  EXPECT_EQ(files_.files.count("pbx.xml"), 0u);        // not asked to save
  ctrl_write_registry(ip_sip_udp_port, "5070", true);  // unchanged: saved, no side effect
  EXPECT_NE(saved().find("<ip_sip_udp_port>5070</ip_sip_udp_port>"), std::string::npos);
  ctrl_write_registry(codec_preference, "alaw ulaw");
  ctrl_write_setting(ip_sip_udp_port, "5080");  // stores without effects
  EXPECT_EQ(hook_calls, (std::vector<std::string>{"69=5070", "141=alaw ulaw"}));
  EXPECT_EQ(ctrl_read_registry(ip_sip_udp_port), "5080");
  // Out of range: ignored, nothing saved.
  files_.files.erase("pbx.xml");
  ctrl_write_registry(setting_count, "x", true);
  ctrl_write_registry(-5, "x", true);
  ctrl_write_setting(1000, "x");
  EXPECT_EQ(files_.files.count("pbx.xml"), 0u);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFile) {
  ASSERT_TRUE(save_config());
  std::string before = saved();
  ctrl_write_setting(sys_name, "changed");
  for (auto fail : {&memory_file_system::fail_writes, &memory_file_system::fail_renames}) {
    (files_.*fail)("pbx.xml", 1);
    EXPECT_FALSE(save_config());
    EXPECT_EQ(saved(), before);
  }
  EXPECT_TRUE(save_config());
  EXPECT_NE(saved().find("<sys_name>changed</sys_name>"), std::string::npos);
  for (const auto& f : files_.files) EXPECT_EQ(f.first.find(".tmp"), std::string::npos) << f.first;
}

TEST_F(SettingsTest, CodecList) {
  const char* cases[][3] = {{"8", "g729 ulaw 101 alaw", "8 18 0"},
                            {"", "  8   0  ", "8 0"},
                            {"", "", "0 8 9 18 2 3"}};  // the stored list
  for (auto& c : cases) EXPECT_EQ(get_codec_list(c[0], c[1]), c[2]) << c[0] << "|" << c[1];
  ctrl_write_setting(codec_preference, "g729 ulaw 101 alaw");
  EXPECT_EQ(ctrl_read_registry(codec_preference), "18 0 8");
  EXPECT_EQ(get_codec_list("8"), "8 18 0");
  ctrl_write_setting(codec_preference, "");
  EXPECT_EQ(ctrl_read_registry(codec_preference), "");
  EXPECT_EQ(get_codec_list(""), "");
}

// Any list (names in any case among them): the result holds only allowed types, and is the stable
// partition of the input's allowed types with the preferred one first.
TEST_F(SettingsTest, CodecListProperty) {
  EXPECT_TRUE(rc::check([] {
    const std::vector<std::string> tokens = {"0",    "2",    "3",    "8",    "9",   "18",
                                             "4",    "101",  "ulaw", "ALAW", "gsm", "G729",
                                             "g726", "g722", "opus", "x"};
    auto picks = *rc::gen::nonEmpty(rc::gen::container<std::vector<int>>(rc::gen::inRange(0, 16)));
    int pref = *rc::gen::element(-1, 0, 8, 18);
    std::string list;
    std::vector<int> kept, first;
    const int types[] = {0, 2, 3, 8, 9, 18, -1, -1, 0, 8, 3, 18, 2, 9, -1, -1};
    for (int p : picks) {
      list += tokens[p] + " ";
      if (types[p] < 0) continue;
      (types[p] == pref ? first : kept).push_back(types[p]);
    }
    first.insert(first.end(), kept.begin(), kept.end());
    std::string expected;
    for (int t : first) expected += (expected.empty() ? "" : " ") + std::to_string(t);
    str preferred = pref < 0 ? str() : str::sprintf("%d", pref);
    RC_ASSERT(get_codec_list(preferred, str(list)) == str(expected));
  }));
}

}  // namespace
