// SIP stream framing benchmark: what a TCP/TLS connection spends on cutting messages from the
// bytes it reads.
// - frame_stream: a stream of everyday messages (REGISTER, INVITE with SDP, 200 OK) read in
//   1,400-byte chunks, as a busy connection delivers them;
// - drip_*: a peer sending one byte per read until the 64 KiB cut-off, through stream_framer
//   (incremental scan) and, side by side, through calling get_first_packet on the whole
//   buffer after every read (what a framer without scan state costs); compare the two.
// - tls_frame_stream: the same stream through a TLS session pair (base/tls.h) first.
#include <benchmark/benchmark.h>

#include <string>

#include "base/certificate.h"
#include "base/tls.h"
#include "sip/sip_message.h"
#include "sip/stream_framer.h"

namespace {

std::string everyday_stream() {
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n"
      "m=audio 4000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\n";
  const std::string head =
      "Via: SIP/2.0/TCP 192.0.2.1:5060;branch=z9hG4bK-1234;rport\r\n"
      "From: <sip:100@example.com>;tag=abc\r\nTo: <sip:101@example.com>\r\n"
      "Call-ID: 8d7f6e5d4c3b2a1@192.0.2.1\r\nMax-Forwards: 70\r\n"
      "Contact: <sip:100@192.0.2.1:5060;transport=tcp>\r\nUser-Agent: bench\r\n";
  std::string out;
  while (out.size() < 1 << 20) {
    out += "REGISTER sip:example.com SIP/2.0\r\n" + head +
           "CSeq: 1 REGISTER\r\nExpires: 3600\r\nContent-Length: 0\r\n\r\n";
    out += "INVITE sip:101@example.com SIP/2.0\r\n" + head +
           "CSeq: 2 INVITE\r\nContent-Type: application/sdp\r\nContent-Length: " +
           std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    out += "SIP/2.0 200 OK\r\n" + head + "CSeq: 2 INVITE\r\nContent-Length: 0\r\n\r\n\r\n\r\n";
  }
  return out;
}

const std::string& stream() {
  static const std::string s = everyday_stream();
  return s;
}

void frame_stream(benchmark::State& state) {
  const std::string& s = stream();
  size_t messages = 0;
  for (auto _ : state) {
    stream_framer f;
    for (size_t at = 0; at < s.size(); at += 1400) {
      f.append(str(s.data() + at, std::min<size_t>(1400, s.size() - at)));
      for (stream_framer::item it = f.next(); it.type != stream_framer::kind::none; it = f.next()) {
        if (it.type == stream_framer::kind::sip) ++messages;
      }
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
  state.counters["messages/s"] = benchmark::Counter(double(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(frame_stream)->Unit(benchmark::kMillisecond);

// One byte per read of a header that never ends, up to the cut-off.
void drip_stream_framer(benchmark::State& state) {
  const size_t n = size_t(state.range(0));
  for (auto _ : state) {
    stream_framer f;
    f.append(str("INVITE sip:x SIP/2.0\r\nSubject: "));
    for (size_t i = 0; i < n && !f.too_long(); ++i) {
      f.append(str("x"));
      benchmark::DoNotOptimize(f.next());
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(drip_stream_framer)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void drip_get_first_packet(benchmark::State& state) {
  const size_t n = size_t(state.range(0));
  for (auto _ : state) {
    str buffer("INVITE sip:x SIP/2.0\r\nSubject: ");
    for (size_t i = 0; i < n; ++i) {
      buffer += 'x';
      benchmark::DoNotOptimize(get_first_packet(buffer, true));
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(drip_get_first_packet)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

// The stream through TLS: the client encrypts, the server session decrypts, then framing.
void tls_frame_stream(benchmark::State& state) {
  certificate_pair pair;
  generate_self_signed_certificate("bench.example.com", 1767225600, pair);
  auto server_ctx = tls_context::make_server(pair.certificate_pem, pair.key_pem);
  auto client_ctx = tls_context::make_client();
  const std::string& s = stream();
  for (auto _ : state) {
    tls_session server(server_ctx);
    tls_session client(client_ctx, "bench.example.com");
    for (int i = 0; i < 10 && !client.established(); ++i) {
      server.on_input(client.take_output());
      client.on_input(server.take_output());
    }
    stream_framer f;
    for (size_t at = 0; at < s.size(); at += 16384) {
      client.write(str(s.data() + at, std::min<size_t>(16384, s.size() - at)));
      server.on_input(client.take_output());
      f.append(server.take_plain());
      for (stream_framer::item it = f.next(); it.type != stream_framer::kind::none; it = f.next()) {
      }
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(tls_frame_stream)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
