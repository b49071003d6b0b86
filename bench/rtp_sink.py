#!/usr/bin/python3
"""The receiving end of bench/call_load.sh's relay step: every call's RTP on one loopback port.

The callee's SDP names this port, so the daemon relays the media of every call here; the calls
are told apart by the SSRC of the daemon's leg. Each caller plays the same capture with sipp
(play_pcap_audio), and the daemon relays packet by packet, so the k-th packet of a stream is the
capture's k-th: what is missing is lost (between sipp and this socket, the daemon's receive
buffers included), and the difference between the arrival spacing and the capture's spacing is
the jitter the path added (RFC 3550 estimator, 1/16 smoothing, in ms).

  rtp_sink.py ADDRESS PORT CAPTURE SECONDS [CALLS]
Runs until SECONDS passed or, after the first packet, 3 s without one; prints one summary line.
With CALLS, a call whose stream never arrived counts as a whole capture lost.
"""
import socket
import struct
import sys
import time


def capture_times(path):
    data = open(path, "rb").read()
    at, times = 24, []
    while at + 16 <= len(data):
        sec, usec, incl, _ = struct.unpack("<IIII", data[at:at + 16])
        times.append(sec + usec / 1e6)
        at += 16 + incl
    return times


def main():
    address, port, capture, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
    calls = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    sent = capture_times(capture)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.bind((address, port))
    s.settimeout(0.5)
    streams = {}  # ssrc -> [count, last arrival, jitter (s), max jitter, last sequence, gaps]
    end, last, others = time.monotonic() + seconds, None, 0
    while time.monotonic() < end and (last is None or time.monotonic() - last < 3):
        try:
            packet = s.recv(2048)
        except socket.timeout:
            continue
        now = last = time.monotonic()
        if len(packet) < 12 or packet[0] >> 6 != 2 or packet[1] & 0x7f != 8:
            others += 1  # not the capture's PCMA (comfort noise, keep-alives)
            continue
        sequence, ssrc = struct.unpack("!H", packet[2:4])[0], packet[8:12]
        st = streams.setdefault(ssrc, [0, now, 0.0, 0.0, sequence - 1, 0])
        k = st[0]
        if 0 < k < len(sent):
            d = abs((now - st[1]) - (sent[k] - sent[k - 1]))
            st[2] += (d - st[2]) / 16
            st[3] = max(st[3], st[2])
        st[5] += (sequence - st[4] - 1) & 0xffff
        st[0], st[1], st[4] = k + 1, now, sequence
    n = len(streams)
    received = sum(v[0] for v in streams.values())
    expected = max(n, calls) * len(sent)
    jitters = sorted(v[2] * 1000 for v in streams.values())
    print("rtp sink: %d streams, %d of %d packets (%d lost, %.3f%%), %d sequence gaps, %d other "
          "packets; jitter added per stream at its end: mean %.2f ms, p99 %.2f ms, max %.2f ms; "
          "worst moment %.2f ms"
          % (n, received, expected, expected - received,
             100.0 * (expected - received) / max(expected, 1),
             sum(v[5] for v in streams.values()), others,
             sum(jitters) / max(n, 1), jitters[int((n - 1) * 0.99)] if n else 0,
             jitters[-1] if n else 0, max((v[3] * 1000 for v in streams.values()), default=0)))


if __name__ == "__main__":
    main()
