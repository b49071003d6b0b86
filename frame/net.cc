#include "frame/net.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

int open_bound(const ip_port& local, int type) {
  sockaddr_storage ss;
  socklen_t len = local.to_sockaddr(ss);
  if (len == 0) return -1;
  int fd = socket(ss.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (ss.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

str any_address(bool ipv6) { return str('\0', ipv6 ? 16 : 4); }

int udp_open(const ip_port& local) { return open_bound(local, SOCK_DGRAM); }

int tcp_listen(const ip_port& local, int backlog) {
  int fd = open_bound(local, SOCK_STREAM);
  if (fd < 0) return -1;
  if (listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int socket_local_port(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  ip_port p;
  if (!p.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len)) return 0;
  return p.port;
}

void close_socket(int fd) {
  if (fd >= 0) close(fd);
}

bool udp_receive(int fd, str& data, ip_port& source) {
  static thread_local char buf[65536];
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&ss), &len);
  if (n < 0) {
    if (errno == ECONNREFUSED) {  // an ICMP port unreachable for an earlier send
      data = str();
      source = ip_port();
      return true;
    }
    return false;
  }
  data = str(buf, static_cast<size_t>(n));
  source = ip_port();
  source.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  return true;
}

bool udp_send(int fd, const str& data, const ip_port& dest) {
  sockaddr_storage ss;
  socklen_t len = dest.to_sockaddr(ss);
  if (len == 0 || fd < 0) return false;
  return sendto(fd, data.cbuffer(), data.length(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&ss),
                len) == static_cast<ssize_t>(data.length());
}

int tcp_accept(int listen_fd, ip_port& remote) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  if (fd < 0) return -1;
  remote = ip_port();
  remote.from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  return fd;
}

int wait_socket(int fd, bool want_write, int timeout_ms, mutex& run) {
  if (fd < 0) return -1;
  pollfd p{fd, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
  int n;
  {
    mutex_unlock u(run);
    n = poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  }
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n > 0 ? 1 : 0;
}

int tos_from_text(const str& text) {
  str t = text.strip().tolower();
  if (t.empty()) return -1;
  if (t.is_number()) return t.value() & 0xff;
  struct name {
    const char* n;
    int dscp;
  };
  static const name names[] = {
      {"ef", 46},   {"cs0", 0},   {"cs1", 8},   {"cs2", 16},  {"cs3", 24},  {"cs4", 32},
      {"cs5", 40},  {"cs6", 48},  {"cs7", 56},  {"af11", 10}, {"af12", 12}, {"af13", 14},
      {"af21", 18}, {"af22", 20}, {"af23", 22}, {"af31", 26}, {"af32", 28}, {"af33", 30},
      {"af41", 34}, {"af42", 36}, {"af43", 38},
  };
  for (const name& n : names) {
    if (t == n.n) return n.dscp << 2;
  }
  return -1;
}

void set_socket_tos(int fd, int tos) {
  if (tos < 0) return;
  setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos));
  setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof(tos));
}

void set_socket_linger(int fd, int seconds) {
  linger l{1, seconds};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

void set_socket_receive_buffer(int fd, int bytes) {
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

int64_t socket_queued_bytes(int fd) {
  uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof(meminfo);
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0 ||
      len <= SK_MEMINFO_RMEM_ALLOC * sizeof(uint32_t)) {
    return -1;
  }
  return meminfo[SK_MEMINFO_RMEM_ALLOC];
}

namespace {
constexpr int word_bits = 8 * sizeof(unsigned long);
}

void read_set::clear() {
  std::fill(bits_.begin(), bits_.end(), 0ul);
  maxfd_ = -1;
}

void read_set::add(int fd) {
  if (fd < 0) return;
  size_t word = static_cast<size_t>(fd / word_bits);
  if (word >= bits_.size()) bits_.resize(word + 1);
  bits_[word] |= 1ul << (fd % word_bits);
  if (fd > maxfd_) maxfd_ = fd;
}

bool read_set::ready(int fd) const {
  if (fd < 0 || static_cast<size_t>(fd / word_bits) >= bits_.size()) return false;
  return (bits_[static_cast<size_t>(fd / word_bits)] >> (fd % word_bits)) & 1;
}

int read_set::select_for(timeval* limit, mutex& run) {
  mutex_unlock u(run);
  // The kernel reads and writes (maxfd_ + 1) bits of the bitmap, whatever FD_SETSIZE says.
  auto* fds = maxfd_ < 0 ? nullptr : reinterpret_cast<fd_set*>(bits_.data());
  return select(maxfd_ + 1, fds, nullptr, nullptr, limit);
}

int read_set::wait(int64_t wait_ms, mutex& run) {
  if (wait_ms < 0) return select_for(nullptr, run);
  if (maxfd_ < 0) {
    mutex_unlock u(run);
    usleep(static_cast<useconds_t>(wait_ms) * 1000);
    return 0;
  }
  timeval tv{static_cast<time_t>(wait_ms / 1000), static_cast<suseconds_t>(wait_ms % 1000 * 1000)};
  return select_for(&tv, run);
}
