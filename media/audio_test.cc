// WAV files, the audio thread's cache and queue, readers, recordings and the shared music ring,
// on an in-memory file system with the queue run by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log_capture_test_util.h"
#include "media/audio_player.h"
#include "media/g711.h"
#include "media/rtp_packet.h"

namespace {

std::string le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += char(uint8_t(v >> (8 * i)));
  return s;
}

// A WAV with the given fmt fields, an optional chunk between "fmt " and "data", and data.
std::string wav(int format, int channels, int rate, const std::string& between,
                const std::string& data) {
  std::string body = "WAVEfmt " + le(16, 4) + le(format, 2) + le(channels, 2) + le(rate, 4) +
                     le(rate * 2, 4) + le(2, 2) + le(16, 2) + between + "data" +
                     le(uint32_t(data.size()), 4) + data;
  return "RIFF" + le(uint32_t(body.size()), 4) + body;
}

std::string ramp(int samples) {  // linear samples 1, 2, 3, ...
  std::string s;
  for (int i = 1; i <= samples; ++i) s += le(uint32_t(i), 2);
  return s;
}

std::string all(read_file& f) {
  std::string out;
  for (str s; !(s = f.read(160)).empty();) out += std::string(s.view());
  return out;
}

class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_audio_store();
    reports.clear();
  }
  void TearDown() override {
    run_audio_requests();
    reset_audio_store();
    reset_moh_rtps();
  }
  memory_file_system files;
  scoped_file_system installed{&files};
  log_capture logs{9};
  // What recordings reported when done: "ok name" or "failed name".
  static inline std::vector<std::string> reports;
  static void report(const str& n, bool ok) {
    reports.push_back((ok ? "ok " : "failed ") + std::string(n.view()));
  }
};

// The GSM header with the sizes filled in (0 in its template).
std::string gsm_header(size_t riff, size_t data) {
  return "RIFF" + le(uint32_t(riff), 4) + "WAVEfmt " + le(20, 4) + le(49, 2) + le(1, 2) +
         le(8000, 4) + le(1625, 4) + le(65, 2) + le(0, 2) + le(2, 2) + le(320, 2) + "fact" +
         le(4, 4) + le(0, 4) + "data" + le(uint32_t(data), 4);
}

// One second of recording: 25 GSM blocks or 16000 bytes of linear PCM, the sizes patched into
// the header on close; trimming drops the chunks up to 410 bytes and keeps the last 13 back.
TEST_F(AudioTest, RecordingSizesArePatchedOnClose) {
  // The format, trimming on, the first and the last chunk kept.
  const std::tuple<int, bool, int, int> rows[] = {
      {wav_gsm, false, 1, 100}, {wav_linear, false, 1, 100}, {wav_linear, true, 3, 87}};
  for (const auto& [format, trim, first, last] : rows) {
    SCOPED_TRACE(std::to_string(format) + (trim ? " trimmed" : ""));
    reports.clear();
    write_file w;
    w.open("rec/one.wav", format, 60, false, report);
    w.set_trim(trim);
    std::string kept;
    for (int i = 1; i <= 100; ++i) {
      const std::string chunk(160, char(i));
      w.write(str(chunk.data(), chunk.size()));
      if (i >= first && i <= last) kept += chunk;
    }
    w.close();
    run_audio_requests();
    const std::string f = files.files["rec/one.wav"];
    if (format == wav_gsm) {
      EXPECT_EQ(f.substr(0, 60) + std::to_string(f.size() - 60), gsm_header(1677, 1625) + "1625");
    } else {
      EXPECT_EQ(f, wav(1, 1, 8000, "", kept));
    }
    EXPECT_EQ(reports, std::vector<std::string>{"ok rec/one.wav"});
    read_file back;  // the samples again, whatever the format
    back.open("rec/one.wav", false);
    run_audio_requests();
    EXPECT_EQ(all(back).size(), format == wav_gsm ? 16000u : kept.size());
  }
}

// A disk that fills up during a recording: the first failed write is reported at once, the
// partial file is removed, and the rest of the recording (its close included) writes nothing.
TEST_F(AudioTest, FailedRecordingLeavesNoFileAndIsReportedOnce) {
  write_file w;
  w.open("rec/full.wav", wav_linear, 600, false, report);
  w.set_trim(false);
  const str chunk(std::string(160, 'x').c_str(), 160);
  for (int i = 0; i < 450; ++i) w.write(chunk);  // one batch reaches the disk
  run_audio_requests();
  ASSERT_EQ(files.files.count("rec/full.wav"), 1u);
  files.fail_writes("rec/full.wav");
  for (int i = 0; i < 900; ++i) w.write(chunk);  // two more batches
  run_audio_requests();
  EXPECT_EQ(reports, std::vector<std::string>{"failed rec/full.wav"});
  EXPECT_EQ(files.files.count("rec/full.wav"), 0u);
  w.close();
  run_audio_requests();
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(files.files.count("rec/full.wav"), 0u);
}

// Other chunks are skipped; a stereo or 16 kHz file is logged and played all the same, and a
// truncated one (a copy cut short) is logged and played as far as it goes; at double speed
// every other sample.
TEST_F(AudioTest, ReaderSkipsChunksAndPlaysOddFiles) {
  const std::string list = "LIST" + le(4, 4) + "INFO", odd = "LIST" + le(5, 4) + "INFO.";
  const std::string ulaw = std::string("\x80\x7f\xff", 3);
  const std::string ulaw_pcm =
      le(uint16_t(decode_ulaw(0x80)), 2) + le(uint16_t(decode_ulaw(0x7f)), 2) + le(0, 2);
  std::string halved;
  for (int i = 1; i <= 200; i += 2) halved += le(uint32_t(i), 2);
  struct row {
    int format, channels, rate;
    std::string between, data, samples, log;
    size_t cut;  // bytes missing at the end of the file
    int speed = 100;
  } rows[] = {
      {1, 1, 8000, list, ramp(200), ramp(200), "", 0},
      {1, 2, 8000, "", ramp(200), ramp(200), "WAV: File w.wav has 2 channels (should be 1)", 0},
      {1, 1, 16000, list, ramp(200), ramp(200),
       "WAV: File w.wav has a sampling rate of 16000 (should be 8000)", 0},
      {7, 1, 8000, odd, ulaw, ulaw_pcm, "", 0},
      {1, 1, 8000, "", ramp(200), ramp(150), "WAV: File w.wav is truncated (300 of 400 bytes)",
       100},
      {1, 1, 8000, "", ramp(200), halved, "", 0, 200},
  };
  for (const row& r : rows) {
    logs.clear();
    const std::string whole = wav(r.format, r.channels, r.rate, r.between, r.data);
    files.files["w.wav"] = whole.substr(0, whole.size() - r.cut);
    read_file f;
    f.open("w.wav", false);
    f.set_speed(r.speed);
    EXPECT_TRUE(f.read(160).empty()) << "not in the cache before the audio thread ran";
    run_audio_requests();
    EXPECT_EQ(all(f), r.samples);
    EXPECT_TRUE(f.at_end());
    EXPECT_TRUE(r.log.empty() || log_capture::contains(r.log)) << r.log;
  }
}

// A reader of silence opens no file; a file's cache entry lives while readers reference it.
TEST_F(AudioTest, CacheEntryLivesWhileReadersReferenceIt) {
  read_file silence;
  ASSERT_TRUE(silence.open("space10", true));
  EXPECT_EQ(all(silence), std::string(16000, '\0'));
  EXPECT_TRUE(silence.at_end());
  EXPECT_EQ(audio_cache_entries(), 0);
  files.files["p.wav"] = wav(1, 1, 8000, "", ramp(10));
  read_file a, b, missing;
  a.open("p.wav", true);
  b.open("p.wav", true);
  missing.open("m.wav", true);
  EXPECT_EQ(run_audio_requests(), 2) << "the second cached reader needs no read";
  EXPECT_TRUE(log_capture::contains("Could not open WAV file m.wav"));
  EXPECT_TRUE(missing.at_end());
  missing.close();
  a.close();
  run_audio_requests();
  EXPECT_EQ(get_audio_stat(), "WAV cache: 1");
  EXPECT_EQ(all(b), ramp(10));
  b.close();
  run_audio_requests();
  EXPECT_EQ(get_audio_stat(), "WAV cache: 0");
}

// Music from a file loops without a gap; the volume scales it and ramps towards its goal.
TEST_F(AudioTest, MusicFileLoopsWithItsVolume) {
  files.files["m.wav"] = wav(1, 1, 8000, "", ramp(100));
  moh_file m;
  ASSERT_TRUE(m.open("m.wav"));
  run_audio_requests();
  int16_t got[80];
  m.read(got, 80);
  m.read(got, 80);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 160), ramp(100).substr(160) + ramp(60));
  std::pair<moh_volume, std::vector<int16_t>> rows[] = {
      // the volume, what is heard
      {{65536, 0, 65536}, {1000, 1000, 1000, 1000}},
      {{32768, 0, 32768}, {500, 500, 500, 500}},
      {{0, 16384, 65536}, {250, 500, 750, 1000}},
      {{-5, 0, 0}, {0, 0, 0, 0}}};
  for (auto& [volume, heard] : rows) {
    std::vector<int16_t> unit(4, 0), music(4, 1000);
    mix_moh(unit.data(), music.data(), 4, volume);
    EXPECT_EQ(unit, heard) << volume.value;
  }
}

// Every leg on the same RTP music port reads one ring; a leg joining starts half a ring
// behind the writer. Packet k carries the µ-law code 0x10 + k throughout.
TEST_F(AudioTest, MusicRingIsShared) {
  moh_file first, later;
  ASSERT_TRUE(first.open("rtp:5000"));
  EXPECT_EQ(first.position, 640);
  moh_rtp* ring = get_moh_rtp(5000, nullptr);
  ring->on_rtp(str("short"), ip_port());
  for (int k = 0; k < 10; ++k) {
    str packet = rtp_write_header(false, 0, uint16_t(k), uint32_t(160 * k), 1);
    packet += str(char(0x10 + k), 160);
    ring->on_rtp(packet, ip_port());
  }
  ASSERT_TRUE(later.open("rtp:5000"));
  EXPECT_EQ(moh_rtp_count(), 1);
  EXPECT_EQ(later.position, (1600 + 640) % 1280);
  for (auto [leg, packet] : {std::pair{&first, 4}, {&later, 6}}) {
    int16_t got[80];
    leg->read(got, 80);
    EXPECT_EQ(std::vector<int16_t>(got, got + 80),
              std::vector<int16_t>(80, decode_ulaw(uint8_t(0x10 + packet))));
  }
}

}  // namespace
