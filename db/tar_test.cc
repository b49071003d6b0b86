#include "db/tar.h"

#include <cstring>

#include "db/db_test_util.h"

namespace {

class TarTest : public db_test::store_test {
 protected:
  void SetUp() override {
    db_test::reset_store();
    // Something worth keeping: a domain row and a settings file.
    domains.set(1, domains_name, "keep.example");
    mfs.files["pbx.xml"] = "<pbx-config/>";
  }
  void expect_untouched() {
    EXPECT_EQ(domains.get(1, domains_name), "keep.example");
    EXPECT_EQ(mfs.files.count("domains/1.xml"), 1u);
    EXPECT_EQ(mfs.files.count("pbx.xml"), 1u);
  }
  // One header block for a hand-made entry.
  static str header(const std::string& name, const std::string& size_field, char type) {
    char h[512] = {};
    std::memcpy(h, name.data(), std::min<size_t>(name.size(), 100));
    std::memcpy(h + 124, size_field.data(), std::min<size_t>(size_field.size(), 12));
    h[156] = type;
    return str(h, 512);
  }
};

TEST_F(TarTest, WriteReadRoundTrip) {
  std::vector<tar_entry> in = {{str("domains/"), true, str()},
                               {str("domains/1.xml"), false, str("<row/>")},
                               {str("recordings/") + str(std::string(120, 'n')) + "/a.wav", false,
                                str(std::string(1500, 'x'))},
                               {str("empty-dir/"), true, str()}};
  str image = tar_write(in);
  EXPECT_EQ(image.length() % 512, 0u);
  EXPECT_EQ(db_test::tar_listing(image), "domains/= domains/1.xml=<row/> recordings/" +
                                             std::string(120, 'n') +
                                             "/a.wav=" + std::string(1500, 'x') + " empty-dir/= ");
  // The writer's header: size as 11 octal digits at 124, type at 156, a valid checksum.
  EXPECT_EQ(str(image.cbuffer() + 512 + 124, 11), "00000000006");
  EXPECT_EQ(image[512 + 156], '0');
  unsigned sum = 0;
  for (size_t i = 0; i < 512; i++) sum += (i >= 148 && i < 156) ? ' ' : image[512 + i];
  EXPECT_EQ(std::strtoul(std::string(image.cbuffer() + 512 + 148, 6).c_str(), nullptr, 8), sum);
}

TEST_F(TarTest, RefusedImagesChangeNothing) {
  const str good = header("domains/2.xml", "00000000006", '0') + str("<row/>") + str('\0', 506);
  auto x = [](const char* name) { return header(name, "00000000001", '0') + "x" + str('\0', 511); };
  const char* no_tar = "This is not a tar file";
  const std::tuple<const char*, str, const char*> cases[] = {
      {"nothing", str(), "No tar file specified"},
      {"a link", good + header("link", "00000000000", '2'), no_tar},
      {"an empty file", good + header("zero.txt", "00000000000", '0'), no_tar},
      {"up first", x("../escape.txt"), no_tar},
      {"up later", x("a/../../escape.txt"), no_tar},
      {"absolute", x("/etc/escape.txt"), no_tar},
      {"a directory without /", header("d", "00000000000", '5'), no_tar},
      {"no octal size", good + header("big.txt", "0000000x001", '0'), "Invalid length 0000000x001"},
      {"cut short", good + header("cut.txt", "00000001000", '0') + str("short"),
       "Invalid length 00000001000"},
      {"garbage", good + str("\0garbage", 8) + str('\0', 504), no_tar},
  };
  for (const auto& [name, image, line] : cases) {
    SCOPED_TRACE(name);
    log.clear();
    EXPECT_FALSE(put_tar(image));
    EXPECT_TRUE(log.contains(std::string("Configuration: ") + line)) << line;
    expect_untouched();
    EXPECT_EQ(mfs.files.count("domains/2.xml"), 0u);
    for (auto& [name, bytes] : mfs.files) EXPECT_EQ(name.find("escape"), std::string::npos);
  }
  // Larger than max_tar.
  ctrl_write_setting(ctrl_settings::max_tar, "1024");
  log.clear();
  EXPECT_FALSE(put_tar(good + good + good));
  EXPECT_FALSE(log.lines().empty());
  expect_untouched();
}

// The backup holds the tables, the settings and the recordings but not the logs; restoring it
// replaces the working directory (files made since are gone) with the same files.
TEST_F(TarTest, BackupHoldsAllButTheLogsAndRestoresTheSame) {
  str::create_path("recordings");
  mfs.files["recordings/msg1.wav"] = "RIFF";
  mfs.files["log-2026-12-06.txt"] = "log";
  mfs.files["recordings/empty.txt"] = "";  // the archive reader takes no empty file
  const str image = get_tar();
  EXPECT_EQ(db_test::tar_listing(image),
            "pbx.xml=<pbx-config/> domains/= domains/1.xml=" + mfs.files["domains/1.xml"] +
                " domains/index.txt=2 recordings/= recordings/msg1.wav=RIFF ");
  auto kept = mfs.files;
  kept.erase("log-2026-12-06.txt");
  kept.erase("recordings/empty.txt");
  mfs.files["recordings/new.wav"] = "new";
  domains.set(1, domains_name, "changed.example");
  ASSERT_TRUE(put_tar(image + str('\0', 100)));  // zero padding after the end is harmless
  EXPECT_TRUE(log.contains("Configuration: Successfully loaded configuration"));
  EXPECT_EQ(mfs.files, kept);
  EXPECT_EQ(domains.size(), 0);  // until the tables are read again
  init_tables();
  EXPECT_EQ(domains.get(1, domains_name), "keep.example");
}

}  // namespace
