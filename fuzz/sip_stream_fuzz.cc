// libFuzzer target: framing of a SIP stream (TCP/TLS connections). The first byte of the input
// chooses how the rest is cut into reads; the framer must
// - neither lose nor invent bytes (the items and the unframed rest give back the stream, but
//   for the white space and NUL bytes skipped in front of a message),
// - frame the same items however the stream is cut (adjacent keep-alives merged),
// - cut every SIP item exactly as the message framing of a datagram does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sip/sip_message.h"
#include "sip/stream_framer.h"

namespace {

using item = std::pair<int, std::string>;

std::vector<item> frame(const std::string& stream, size_t chunk, std::string& rest) {
  stream_framer f;
  std::vector<item> out;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    f.append(str(stream.data() + at, std::min(chunk, stream.size() - at)));
    for (;;) {
      stream_framer::item it = f.next();
      if (it.type == stream_framer::kind::none) break;
      if (it.data.empty()) __builtin_trap();  // an empty item would loop forever
      int type = int(it.type);
      std::string data(it.data.view());
      if (!out.empty() && type == int(stream_framer::kind::keepalive) && out.back().first == type) {
        out.back().second += data;
      } else {
        out.emplace_back(type, data);
      }
    }
  }
  rest = std::string(f.input().view());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = size_t(data[0] % 64) + 1;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string rest_whole, rest_split;
  std::vector<item> whole = frame(stream, stream.size() + 1, rest_whole);
  std::vector<item> split = frame(stream, chunk, rest_split);
  if (whole != split || rest_whole != rest_split) __builtin_trap();

  // Walk the stream along the items: only the white space and NUL bytes that the message
  // framing skips in front of a message may lie between them.
  size_t at = 0;
  for (const item& i : whole) {
    if (i.first == int(stream_framer::kind::sip)) {
      while (at < stream.size() && stream.compare(at, i.second.size(), i.second) != 0) {
        char c = stream[at];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != 0) __builtin_trap();
        ++at;
      }
      str alone(i.second);
      if (std::string(get_first_packet(alone, true).view()) != i.second) __builtin_trap();
    }
    if (stream.compare(at, i.second.size(), i.second) != 0) __builtin_trap();
    at += i.second.size();
  }
  if (stream.compare(at, std::string::npos, rest_whole) != 0) __builtin_trap();
  return 0;
}
