// The media engine under load: relayed and transcoded RTP through two linked rtp_streams.
//
//   BM_relay_scripted       CPU per packet relayed in pass-through (a's on_rtp, relay, b's
//                           send_rtp_passthrough) with the sockets scripted: no system calls.
//   BM_relay_udp            the same over real loopback UDP sockets: a generator sends a batch
//                           of 32 packets to a's RTP port, the RTP thread's serve hook
//                           (rtp_streams_serve) reads them, b sends them to a sink, the sink is
//                           drained.
//   BM_relay_plain          the ceiling for BM_relay_udp: the same batch, generator and sink,
//                           relayed by a plain loop with one recvmmsg and one sendmmsg.
//   BM_relay_plain_single   the same plain loop with one recvfrom and one sendto per packet.
//   BM_transcode/<a>_<b>    CPU per 20 ms packet of a relayed into a media-aware leg that sends
//                           b: a's on_rtp (relay; take_media cuts it into 10 ms units) and b's
//                           send_rtp (the call the 10 ms clock makes every packet length:
//                           decode, mix, encode, send), sockets scripted.
//   BM_transcoded_call/<c>  one call with both directions (a PCMU peer on leg a, a <c> peer on
//                           leg b), one 20 ms packet each way per iteration; calls_per_core: the
//                           calls one core sustains in real time (50 packets each way per
//                           second of call).
//
// /inband and the runs without a suffix keep the default inband_decoding: every received packet
// is also decoded for in-band digits while its peer has sent no telephone event, as on most
// calls. /no_inband turns it off, which leaves the relay and the codecs alone.
//
// After the table: our relay over UDP against the plain loops (CPU time per batch).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "bench/ratio_reporter.h"
#include "frame/settings.h"
#include "media/codec_engine.h"
#include "media/rtp_clock.h"
#include "media/rtp_stream.h"

namespace {

constexpr int batch = 32;          // packets per iteration of the UDP relays
constexpr int pcmu_payload = 160;  // 20 ms of PCMU
constexpr int packet_bytes = 12 + pcmu_payload;
constexpr int prebuilt_packets = 1024;  // cycled; only a repeat of the last one is a duplicate

const ip_port peer_a = ip_port::from_text("127.0.0.5:7000");
const ip_port peer_b = ip_port::from_text("127.0.0.9:6000");

// Counts what the streams send; opens descriptors that mean nothing to the kernel.
struct counting_sockets : rtp_socket_ops {
  int64_t sent = 0, bytes = 0;
  int next_fd = 1000;
  int open(const ip_port&) override { return next_fd++; }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port&) override {
    ++sent;
    bytes += int64_t(d.length());
    return true;
  }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

// A speech-like signal: two tones under a slow envelope and some noise, 1 s long.
std::vector<int16_t> speech_second() {
  std::vector<int16_t> x(8000);
  uint32_t noise = 12345;
  for (int i = 0; i < 8000; ++i) {
    noise = noise * 1103515245u + 12345u;
    const double env = 0.6 + 0.4 * std::sin(2 * M_PI * i / 2000.0);
    x[size_t(i)] = int16_t(env * (6000 * std::sin(0.37 * i) + 3000 * std::sin(1.9 * i + 1)) +
                           int((noise >> 16) & 1023) - 512);
  }
  return x;
}

// count RTP packets of 20 ms (the speech signal, repeated each second) in codec c with payload
// type pt.
std::vector<str> packets_of(int c, int pt, int count = 50) {
  const std::vector<int16_t> pcm = speech_second();
  codec enc;
  std::vector<str> out;
  for (int n = 0; n < count; ++n) {
    const str payload = enc.encode(c, str(&pcm[size_t(n % 50) * 160], 320));
    out.push_back(rtp_write_header(false, pt, uint16_t(n), uint32_t(n) * 160, 0x5eed) + payload);
  }
  return out;
}

// The RTP payload type that the peers use for a codec.
int payload_type(int c) {
  switch (c) {
    case codec_ulaw:
      return 0;
    case codec_gsm:
      return 3;
    case codec_alaw:
      return 8;
    case codec_g722:
      return 9;
    case codec_g729:
      return 18;
    default:
      return 96;
  }
}

// Legs 1 (a) and 2 (b), linked both ways: a's peer speaks codec_a, b's peer codec_b. With equal
// codecs both are in pass-through; otherwise the first packet each way makes the receiving leg
// fall back to media-aware sending. inband: the inband_decoding setting (on by default: every
// received packet is decoded for in-band digits while its peer has sent no telephone event).
struct two_legs {
  timeout_queue queue;  // the 10 ms clock's timer lands here, never on the RTP thread's
  scoped_rtp_clock_context use_queue{rtp_clock_context{&queue}};
  call_sdp sdp_a, sdp_b;
  rtp_stream *a = nullptr, *b = nullptr;

  two_legs(rtp_socket_ops& ops, int codec_a, int codec_b, bool inband = true) {
    log_level_max = 0;  // the legs' log lines are not what is measured
    ctrl_write_setting(ctrl_settings::inband_decoding, inband ? "true" : "false");
    ctrl_write_setting(ctrl_settings::allow_pass_through, "true");
    ctrl_write_setting(ctrl_settings::port_bind4, "127.0.0.1");
    ctrl_write_setting(ctrl_settings::symmetrical_rtp, "true");
    sdp_a.codecs.add(payload_type(codec_a), codec_a);
    sdp_b.codecs.add(payload_type(codec_b), codec_b);
    sdp_a.send_codec = codec_a, sdp_b.send_codec = codec_b;
    sdp_a.packet_length = sdp_b.packet_length = 20;
    a = rtp_stream_open(1, "call-a", &sdp_a), b = rtp_stream_open(2, "call-b", &sdp_b);
    ok = a->allocate_ports(ops) && b->allocate_ports(ops);
    a->set_sdp_dest(peer_a), b->set_sdp_dest(peer_b);
    a->linked = {2}, b->linked = {1};
    a->determine_pt_mode(), b->determine_pt_mode();
  }
  ~two_legs() {
    rtp_stream_close(1), rtp_stream_close(2);
    stop_rtp_clock();
  }
  bool ok = false;
};

// ---- Pass-through -------------------------------------------------------------------------

void BM_relay_scripted(benchmark::State& state, bool inband) {
  counting_sockets io;
  two_legs legs(io, codec_ulaw, codec_ulaw, inband);
  const std::vector<str> packets = packets_of(codec_ulaw, 0, prebuilt_packets);
  size_t n = 0;
  for (auto _ : state) {
    legs.a->on_rtp(packets[n], peer_a, clock_now(), 0);
    if (++n == packets.size()) n = 0;
  }
  if (!legs.ok || !legs.b->pass_through || io.sent != int64_t(state.iterations()))
    state.SkipWithError("not every packet was relayed in pass-through");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_relay_scripted, inband, true);
BENCHMARK_CAPTURE(BM_relay_scripted, no_inband, false);

// A plain non-blocking UDP socket on 127.0.0.1 (port 0: any free one).
struct udp_socket {
  int fd = -1;
  ip_port address;
  udp_socket() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sin), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
      return;
    address.from_sockaddr(reinterpret_cast<sockaddr*>(&sin), len);
  }
  ~udp_socket() {
    if (fd >= 0) close(fd);
  }
};

// Batches of datagrams for sendmmsg/recvmmsg: the buffers, and the messages over them.
struct mmsg_batch {
  char data[batch][2048];
  iovec iov[batch];
  mmsghdr msgs[batch];
  sockaddr_storage peers[batch];
  // Every message over its buffer; length: the bytes to send (0: the buffer's size, to
  // receive); to: the destination of a send (nullptr: none, to receive).
  void prepare(size_t length, const ip_port* to) {
    sockaddr_storage dest{};
    const socklen_t dest_len = to ? to->to_sockaddr(dest) : 0;
    for (int i = 0; i < batch; ++i) {
      iov[i] = {data[i], length ? length : sizeof data[i]};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      peers[i] = dest;
      msgs[i].msg_hdr.msg_name = &peers[i];
      msgs[i].msg_hdr.msg_namelen = to ? dest_len : sizeof peers[i];
    }
  }
  void reset_receive() {
    for (int i = 0; i < batch; ++i) msgs[i].msg_hdr.msg_namelen = sizeof peers[i];
  }
};

// The traffic around a relay: the generator's batch (32 PCMU packets, fresh sequence numbers
// per batch) and the sink that the relayed packets reach.
struct loopback_traffic {
  udp_socket generator, sink;
  mmsg_batch out, drain;
  uint16_t sequence = 0;

  loopback_traffic() { drain.prepare(0, nullptr); }
  bool ok() const { return generator.fd >= 0 && sink.fd >= 0; }
  // Sends the next batch to the relay at to.
  bool send_batch(const ip_port& to) {
    out.prepare(packet_bytes, &to);
    for (int i = 0; i < batch; ++i) {
      const uint32_t ts = uint32_t(sequence) * 160;
      const uint8_t h[12] = {0x80,
                             0,
                             uint8_t(sequence >> 8),
                             uint8_t(sequence),
                             uint8_t(ts >> 24),
                             uint8_t(ts >> 16),
                             uint8_t(ts >> 8),
                             uint8_t(ts),
                             0,
                             0,
                             0x5e,
                             0xed};
      memcpy(out.data[i], h, sizeof h);
      memset(out.data[i] + 12, 0x9c, pcmu_payload);
      ++sequence;
    }
    return sendmmsg(generator.fd, out.msgs, batch, 0) == batch;
  }
  // The relayed packets that reached the sink.
  int drain_sink() {
    int got = 0;
    for (int n; (n = recvmmsg(sink.fd, drain.msgs, batch, MSG_DONTWAIT, nullptr)) > 0;) {
      got += n;
      drain.reset_receive();
    }
    return got;
  }
};

void BM_relay_udp(benchmark::State& state, bool inband) {
  loopback_traffic traffic;
  two_legs legs(udp_rtp_sockets(), codec_ulaw, codec_ulaw, inband);
  legs.b->set_sdp_dest(traffic.sink.address);
  const ip_port relay_in(ip_port::from_text("127.0.0.1:0").address, uint16_t(legs.a->local_port));
  read_set ready;
  ready.add(legs.a->rtp4);
  int64_t relayed = 0;
  bool failed = !traffic.ok() || !legs.ok;
  for (auto _ : state) {
    if (failed) break;
    failed = !traffic.send_batch(relay_in);
    const uint64_t target = legs.a->packets_received + batch;
    // The RTP thread's hook reads up to 16 per ready socket and call.
    for (int calls = 0; calls < 8 && legs.a->packets_received < target; ++calls)
      rtp_streams_serve(ready);
    relayed += traffic.drain_sink();
  }
  if (failed || !legs.b->pass_through || relayed != int64_t(state.iterations()) * batch)
    state.SkipWithError("not every packet was relayed over loopback");
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["cpu_per_packet"] =
      benchmark::Counter(double(state.iterations()) * batch,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_relay_udp, inband, true);
BENCHMARK_CAPTURE(BM_relay_udp, no_inband, false);

// The ceiling: receive the batch and send the same bytes on, nothing looked at.
void BM_relay_plain(benchmark::State& state, bool mmsg) {
  loopback_traffic traffic;
  udp_socket relay;
  mmsg_batch in;
  in.prepare(0, nullptr);
  sockaddr_storage sink{};
  const socklen_t sink_len = traffic.sink.address.to_sockaddr(sink);
  int64_t relayed = 0;
  bool failed = !traffic.ok() || relay.fd < 0;
  for (auto _ : state) {
    if (failed) break;
    failed = !traffic.send_batch(relay.address);
    if (mmsg) {
      in.reset_receive();
      const int n = recvmmsg(relay.fd, in.msgs, batch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) {
        in.iov[i].iov_len = in.msgs[i].msg_len;
        in.msgs[i].msg_hdr.msg_name = &sink;
        in.msgs[i].msg_hdr.msg_namelen = sink_len;
      }
      failed = failed || n != batch || sendmmsg(relay.fd, in.msgs, unsigned(n), 0) != n;
      for (int i = 0; i < batch; ++i) {
        in.iov[i].iov_len = sizeof in.data[i];
        in.msgs[i].msg_hdr.msg_name = &in.peers[i];
      }
    } else {
      char buf[2048];
      for (ssize_t len; (len = recv(relay.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        failed = failed || sendto(relay.fd, buf, size_t(len), 0, reinterpret_cast<sockaddr*>(&sink),
                                  sink_len) != len;
    }
    relayed += traffic.drain_sink();
  }
  if (failed || relayed != int64_t(state.iterations()) * batch)
    state.SkipWithError("not every packet was relayed over loopback");
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["cpu_per_packet"] =
      benchmark::Counter(double(state.iterations()) * batch,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_relay_plain, mmsg, true)->Name("BM_relay_plain");
BENCHMARK_CAPTURE(BM_relay_plain, single, false)->Name("BM_relay_plain_single");

// ---- Transcoding --------------------------------------------------------------------------

// One direction: leg a's peer sends from, leg b sends to in its media-aware mode.
void BM_transcode(benchmark::State& state, int from, int to) {
  counting_sockets io;
  two_legs legs(io, from, to);
  const std::vector<str> packets = packets_of(from, payload_type(from));
  // Warm-up: the first packet makes b fall back to media-aware sending.
  legs.a->on_rtp(packets[0], peer_a, clock_now(), 0);
  legs.b->send_rtp();
  const int64_t sent_before = io.sent;
  size_t n = 1;
  for (auto _ : state) {
    legs.a->on_rtp(packets[n], peer_a, clock_now(), 0);
    legs.b->send_rtp();
    if (++n == packets.size()) n = 0;
  }
  if (!legs.ok || legs.b->pass_through || io.sent - sent_before != int64_t(state.iterations()))
    state.SkipWithError("not every packet was transcoded and sent");
  state.SetItemsProcessed(state.iterations());
  state.counters["payload_bytes"] =
      double(io.bytes) / double(io.sent ? io.sent : 1) - 12;  // of what b sends
}
BENCHMARK_CAPTURE(BM_transcode, pcmu_pcma, codec_ulaw, codec_alaw);
BENCHMARK_CAPTURE(BM_transcode, pcmu_g722, codec_ulaw, codec_g722);
BENCHMARK_CAPTURE(BM_transcode, g722_pcmu, codec_g722, codec_ulaw);
BENCHMARK_CAPTURE(BM_transcode, pcmu_g729, codec_ulaw, codec_g729);
BENCHMARK_CAPTURE(BM_transcode, g729_pcmu, codec_g729, codec_ulaw);
BENCHMARK_CAPTURE(BM_transcode, pcmu_gsm, codec_ulaw, codec_gsm);
BENCHMARK_CAPTURE(BM_transcode, gsm_pcmu, codec_gsm, codec_ulaw);

// One call, both directions: a's peer speaks PCMU, b's peer other.
void BM_transcoded_call(benchmark::State& state, int other, bool inband) {
  counting_sockets io;
  two_legs legs(io, codec_ulaw, other, inband);
  const std::vector<str> from_a = packets_of(codec_ulaw, 0);
  const std::vector<str> from_b = packets_of(other, payload_type(other));
  legs.a->on_rtp(from_a[0], peer_a, clock_now(), 0);
  legs.b->on_rtp(from_b[0], peer_b, clock_now(), 0);
  legs.a->send_rtp(), legs.b->send_rtp();
  const int64_t sent_before = io.sent;
  size_t n = 1;
  for (auto _ : state) {
    legs.a->on_rtp(from_a[n], peer_a, clock_now(), 0);
    legs.b->on_rtp(from_b[n], peer_b, clock_now(), 0);
    legs.a->send_rtp();
    legs.b->send_rtp();
    if (++n == from_a.size()) n = 0;
  }
  if (!legs.ok || legs.a->pass_through || legs.b->pass_through ||
      io.sent - sent_before != 2 * int64_t(state.iterations()))
    state.SkipWithError("not every packet was transcoded and sent");
  // An iteration is 20 ms of the call: CPU seconds per call second = CPU time / (it * 0.02).
  state.counters["calls_per_core"] =
      benchmark::Counter(double(state.iterations()) * 0.02, benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_transcoded_call, g722, codec_g722, true);
BENCHMARK_CAPTURE(BM_transcoded_call, g729, codec_g729, true);
BENCHMARK_CAPTURE(BM_transcoded_call, gsm, codec_gsm, true);
BENCHMARK_CAPTURE(BM_transcoded_call, g722_no_inband, codec_g722, false);
BENCHMARK_CAPTURE(BM_transcoded_call, g729_no_inband, codec_g729, false);
BENCHMARK_CAPTURE(BM_transcoded_call, gsm_no_inband, codec_gsm, false);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter(ratio_reporter::measure::cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  for (const char* run : {"BM_relay_udp/inband", "BM_relay_udp/no_inband"}) {
    const std::string what = std::string("32 PCMU packets relayed, ") + (run + 13);
    reporter.print_ratio(what.c_str(), run, "BM_relay_plain", "ours / recvmmsg+sendmmsg");
    reporter.print_ratio(what.c_str(), run, "BM_relay_plain_single", "ours / recvfrom+sendto");
  }
  return 0;
}
