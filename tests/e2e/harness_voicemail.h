// Voicemail steps shared by the end-to-end tests: sipp callers that play RTP captures (tones,
// RFC 4733 digits from sipp's own captures) into a call, and leaving a message with them.
#pragma once

#include <string>

#include "tests/e2e/harness.h"

namespace e2e {

// The folder and name prefix of sipp's captures of RFC 4733 digits ("1.pcap", "pound.pcap").
extern const std::string digits;

// A pcap of PCMU RTP packets carrying the u-law samples, 20 ms each, for play_pcap_audio.
bool write_rtp_pcap(const std::string& path, const std::string& ulaw);
// A sipp caller: [field0] (password [field1]) calls [field2], answers the challenge, and after
// the answer does the steps, then hangs up.
std::string caller_scenario(const std::string& steps);
// Steps that play a capture and wait ms.
std::string play(const std::string& pcap, int ms);

// Why leave_voicemail cannot run here ("" when it can).
std::string voicemail_tools_missing();
// user (password "sip" + user) calls `to` from source_ip, skips the greeting with "#", plays
// `seconds` of a 440 Hz tone and hangs up. sipp's exit status (0: the call went through).
int leave_voicemail(const telmond_process& t, const std::string& name, const std::string& source_ip,
                    const std::string& user, const std::string& to, int seconds);

}  // namespace e2e
