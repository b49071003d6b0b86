#include "tests/e2e/harness_voicemail.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>

namespace e2e {

const std::string digits = "/usr/share/sip-tester/dtmf_2833_";

bool write_rtp_pcap(const std::string& path, const std::string& ulaw) {
  std::string out;
  const auto le32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
  };
  const auto be = [&](uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += char(v >> (8 * i));
  };
  le32(0xa1b2c3d4), out += std::string("\x02\x00\x04\x00", 4), le32(0), le32(0), le32(65535),
      le32(1);
  for (size_t at = 0, n = 0; at + 160 <= ulaw.size(); at += 160, ++n) {
    const uint32_t len = 14 + 20 + 8 + 12 + 160;
    le32(uint32_t(n / 50)), le32(uint32_t(n % 50 * 20000)), le32(len), le32(len);
    out += std::string(12, 0) + std::string("\x08\x00", 2);             // Ethernet
    be(0x4500, 2), be(len - 14, 2), be(0, 4), be(0x4011, 2), be(0, 2);  // IPv4, UDP
    be(0x7f000001, 4), be(0x7f000001, 4);
    be(6000, 2), be(6000, 2), be(len - 34, 2), be(0, 2);                         // UDP
    be(0x8000, 2), be(uint32_t(n), 2), be(uint32_t(n * 160), 4), be(0x1234, 4);  // RTP
    out += ulaw.substr(at, 160);
  }
  std::ofstream f(path, std::ios::binary);
  return bool(f << out);
}

std::string caller_scenario(const std::string& steps) {
  const auto invite = [](int cseq, const std::string& auth) {
    return "<send retrans=\"500\"><![CDATA[\nINVITE sip:[field2]@localhost SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n"
           "To: <sip:[field2]@localhost>\nCall-ID: [call_id]\nCSeq: " +
           std::to_string(cseq) +
           " INVITE\nContact: <sip:[field0]@[local_ip]:[local_port]>\nMax-Forwards: 70\n" + auth +
           "Content-Type: application/sdp\nContent-Length: [len]\n\n"
           "v=0\no=- 1 1 IN IP4 [local_ip]\ns=-\nc=IN IP4 [media_ip]\nt=0 0\n"
           "m=audio [media_port] RTP/AVP 0 101\na=rtpmap:0 PCMU/8000\n"
           "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\n]]></send>\n"
           "<recv response=\"100\" optional=\"true\"/>\n";
  };
  const std::string ack_and_bye_head =
      "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
      "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n[last_To:]\nCall-ID: [call_id]\n";
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"caller\">\n" +
         invite(1, "") + "<recv response=\"401\" auth=\"true\"/>\n" +
         "<send><![CDATA[\nACK sip:[field2]@localhost SIP/2.0\n[last_Via:]\n"
         "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n[last_To:]\n"
         "Call-ID: [call_id]\nCSeq: 1 ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n" +
         invite(2, "[authentication username=\"[field0]\" password=\"[field1]\"]\n") +
         "<recv response=\"180\" optional=\"true\"/>\n<recv response=\"183\" optional=\"true\"/>\n"
         "<recv response=\"200\" rrs=\"true\"/>\n<send><![CDATA[\nACK [next_url] SIP/2.0\n" +
         ack_and_bye_head + "CSeq: 2 ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n" +
         steps + "<send retrans=\"500\"><![CDATA[\nBYE [next_url] SIP/2.0\n" + ack_and_bye_head +
         "CSeq: 3 BYE\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n"
         "<recv response=\"200\"/>\n</scenario>\n";
}
std::string play(const std::string& pcap, int ms) {
  return "<nop><action><exec play_pcap_audio=\"" + pcap +
         "\"/></action></nop>\n<pause milliseconds=\"" + std::to_string(ms) + "\"/>\n";
}

std::string voicemail_tools_missing() {
  if (std::system("command -v sipp >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
    return "no sipp or sox";
  if (!std::ifstream(digits + "1.pcap")) return "no sipp captures of digits";
  return "";
}

int leave_voicemail(const telmond_process& t, const std::string& name, const std::string& source_ip,
                    const std::string& user, const std::string& to, int seconds) {
  const std::string tone = t.dir() + "/tone-" + name + ".pcap", raw = t.dir() + "/tone.ul";
  const std::string synth = "sox -n -r 8000 -c 1 -e u-law -t raw " + raw + " synth " +
                            std::to_string(seconds) + " sine 440 vol 0.5";
  if (std::system(synth.c_str()) != 0 || !write_rtp_pcap(tone, slurp(raw))) return -1;
  const std::string steps = "<pause milliseconds=\"1000\"/>\n" + play(digits + "pound.pcap", 1500) +
                            play(tone, seconds * 1000 + 500);
  return run_sipp(t, name, source_ip, caller_scenario(steps),
                  user + ";sip" + user + ";" + to + ";");
}

}  // namespace e2e
