// Socket helpers of the frame's loops: opening UDP sockets and TCP listeners, reading and
// sending datagrams with their addresses, and waiting for a socket with the run mutex released.
//
// Side-neutral. Every function returns failure as a value (-1, false); nothing throws.
#pragma once

#include <sys/select.h>

#include <cstdint>

#include "base/ip_port.h"
#include <vector>

#include "base/str.h"
#include "frame/mutex.h"

// A UDP socket bound to local (port 0: ephemeral). No SO_REUSEADDR: a port in use fails.
// IPv6 sockets are IPv6-only. -1 on failure.
int udp_open(const ip_port& local);
// A listening TCP socket (SO_REUSEADDR, so a restart does not wait for TIME_WAIT; a port with
// a live listener still fails). -1 on failure.
int tcp_listen(const ip_port& local, int backlog = 128);
// The port a socket is bound to (0 on failure).
int socket_local_port(int fd);
void close_socket(int fd);

// Reads one datagram (at most 65536 bytes). false when nothing could be read (EAGAIN, error);
// an empty datagram with true means the kernel reported an ICMP refusal for the last send.
bool udp_receive(int fd, str& data, ip_port& source);
bool udp_send(int fd, const str& data, const ip_port& dest);
// Accepts one connection; -1 on failure.
int tcp_accept(int listen_fd, ip_port& remote);

// The any-address of a family as 4 or 16 zero bytes.
str any_address(bool ipv6);

// Waits until fd is readable (or writable when want_write) or timeout_ms ran out (negative:
// no limit), with run released meanwhile. Result: 1 ready, 0 time-out, -1 error.
int wait_socket(int fd, bool want_write, int timeout_ms, mutex& run);

// The read set of one select() pass over the sockets of a loop. Unlike fd_set it takes any
// descriptor, also those at FD_SETSIZE and above: a busy media thread watches four sockets
// per call leg, more than fd_set's 1024 with a full table of legs.
class read_set {
 public:
  // Empties the set, keeping its storage for the next pass of the loop.
  void clear();
  void add(int fd);
  bool ready(int fd) const;
  // The highest descriptor added, -1 for none.
  int max_fd() const { return maxfd_; }
  // select() for reading with run released meanwhile; wait_ms < 0 waits without a limit. An
  // empty set with a limit sleeps instead. Returns select's result (0 on time-out).
  int wait(int64_t wait_ms, mutex& run);
  // select() for reading for at most *limit (nullptr: no limit), with run released meanwhile.
  int select_for(timeval* limit, mutex& run);

 private:
  std::vector<unsigned long> bits_;  // select's bitmap layout: bit fd % 64 of word fd / 64
  int maxfd_ = -1;
};

// DSCP names ("ef", "cs5", "af41", ...) or a decimal value to the IP type-of-service byte;
// -1 when the text names nothing.
int tos_from_text(const str& text);
// Sets the type of service and (optionally) lingering on a connected socket.
void set_socket_tos(int fd, int tos);
void set_socket_linger(int fd, int seconds);
// Asks for a receive buffer of bytes (the kernel caps it at net.core.rmem_max).
void set_socket_receive_buffer(int fd, int bytes);
// Bytes the kernel holds in the socket's receive queue, waiting to be read (counted as the
// kernel charges them against the receive buffer: a datagram with its overhead); -1 when it
// cannot tell.
int64_t socket_queued_bytes(int fd);
