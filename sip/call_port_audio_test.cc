// A leg's play list and recording through its stream's hooks (no sockets): the samples the
// stream mixes, and the events the PBX gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log_capture_test_util.h"
#include "frame/settings.h"
#include "media/audio_store.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/srv_context.h"

namespace {

std::vector<str> posted;
void capture(const str& text) { posted.push_back(text); }

std::string le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += char(uint8_t(v >> (8 * i)));
  return s;
}

class CallPortAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_config();
    reset_call_ports();
    reset_audio_store();
    posted.clear();
    srv_context c;
    c.post = capture;
    context = std::make_unique<scoped_srv_context>(c);
    index = allocate_call_port("a1");
    id = str::sprintf("%d", index);
  }
  void TearDown() override {
    reset_call_ports();
    run_audio_requests();
    reset_audio_store();
  }
  std::vector<int16_t> unit() {
    std::vector<int16_t> u(80, 0);
    rtp_stream_of(index)->add_local_audio(u.data());
    return u;
  }
  memory_file_system files;
  scoped_file_system installed{&files};
  std::unique_ptr<scoped_srv_context> context;
  log_capture logs{9};
  int index = -1;
  str id;
};

// A missing prompt is skipped; a file of three units gives them, then the list ends with
// DialogEOF naming the list as the PBX sent it.
TEST_F(CallPortAudioTest, PlayListEndsWithDialogEof) {
  std::string data;
  for (int i = 0; i < 240; ++i) data += le(uint32_t(i * 7), 2);
  files.files["x.wav"] = "RIFF" + le(36 + 480, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
                         le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2) + "data" + le(480, 4) +
                         data;
  ASSERT_TRUE(call_port_on_soap(
      soap_write(msg::set_playfile{id, "$a/none.wav x.wav", "false", "true", ""})));
  ASSERT_TRUE(rtp_stream_of(index)->local_media);
  run_audio_requests();
  EXPECT_TRUE(log_capture::contains("Could not open WAV file audio_en/none.wav"));
  std::string heard;
  for (int u = 0; u < 4; ++u) {
    EXPECT_TRUE(posted.empty()) << "DialogEOF before the end, unit " << u;
    for (int16_t s : unit()) heard += le(uint16_t(s), 2);
    run_audio_requests();
  }
  EXPECT_EQ(heard, data + std::string(160, '\0'));
  EXPECT_EQ(posted, std::vector<str>{soap_write(msg::dialog_eof{id, "$a/none.wav x.wav"})});
  EXPECT_TRUE(get_port(index)->play_file.empty());
}

// A looping list with nothing to play ends once instead of every 10 ms.
TEST_F(CallPortAudioTest, LoopOfMissingFilesEndsOnceAfterASecond) {
  ASSERT_TRUE(
      call_port_on_soap(soap_write(msg::set_playfile{id, "$t/ringback.wav", "true", "true", ""})));
  run_audio_requests();
  // A second of silence, then the end, once.
  for (int u = 0; u < 99; ++u) EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  EXPECT_TRUE(posted.empty());
  for (int u = 0; u < 200; ++u) EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  EXPECT_EQ(posted, std::vector<str>{soap_write(msg::dialog_eof{id, "$t/ringback.wav"})});
  EXPECT_TRUE(log_capture::contains("Could not open WAV file audio_en/ringback.wav"));
}

// What the leg receives is recorded; stopping the recording reports the file.
TEST_F(CallPortAudioTest, RecordingOfReceivedAudioIsReported) {
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::set_recording{id, "rec/r.wav", ""})));
  for (int i = 0; i < 50; ++i) rtp_stream_of(index)->take_received(codec_ulaw, str('\xff', 160));
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::set_recording{id, "", ""})));
  run_audio_requests();
  // 50 packets of 20 ms, less 2 dropped and 13 held back 10 ms units.
  EXPECT_EQ(files.files["rec/r.wav"].size(), 44u + (100 - 15) * 160);
  EXPECT_EQ(posted, std::vector<str>{soap_write(msg::file_written{"rec/r.wav", ""})});
}

// MoveIVR: the other leg goes on with the list where it stands, the recording and DTMF analysis.
TEST_F(CallPortAudioTest, MoveIvrHandsListRecordingAndDigitsOver) {
  const int other = allocate_call_port("b1");
  const str other_id = str::sprintf("%d", other);
  files.files["x.wav"] = "RIFF" + le(36 + 320, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
                         le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2) + "data" + le(320, 4) +
                         std::string(320, '\x07');
  for (const str& c : {soap_write(msg::set_playfile{id, "x.wav", "false", "true", ""}),
                       soap_write(msg::set_recording{id, "rec/a.wav", ""}),
                       soap_write(msg::set_recording{other_id, "rec/b.wav", ""})})
    ASSERT_TRUE(call_port_on_soap(c));
  get_port(index)->analyse_dtmf = true;
  run_audio_requests();
  unit();  // the first leg plays the first 80 samples
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::move_ivr{id, other_id})));
  run_audio_requests();
  EXPECT_EQ(unit(), std::vector<int16_t>(80, 0));
  std::vector<int16_t> heard(80, 0);
  for (int i = 0; i < 3; ++i) rtp_stream_of(other)->add_local_audio(heard.data());
  EXPECT_EQ(heard, std::vector<int16_t>(80, 0x0707));  // 80 more samples, then the end
  for (int i = 0; i < 50; ++i) rtp_stream_of(other)->take_received(codec_ulaw, str('\xff', 160));
  ASSERT_TRUE(call_port_on_soap(soap_write(msg::set_recording{other_id, "", ""})));
  run_audio_requests();
  EXPECT_EQ(files.files["rec/a.wav"].size(), 44u + (100 - 15) * 160);
  EXPECT_EQ(posted, (std::vector<str>{soap_write(msg::file_written{"rec/b.wav", ""}),
                                      soap_write(msg::dialog_eof{other_id, "x.wav"}),
                                      soap_write(msg::file_written{"rec/a.wav", ""})}));
  EXPECT_EQ(int(get_port(index)->analyse_dtmf) * 10 + get_port(other)->analyse_dtmf, 1);
}

}  // namespace
