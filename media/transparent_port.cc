#include "media/transparent_port.h"

#include "base/log.h"
#include "media/rtp_stream.h"

bool transparent_port::open(rtp_socket_ops& ops, const ip_port& bind) {
  for (int attempt = 0; fd < 0 && attempt < 10; ++attempt) {
    const int p = get_random_rtp_port();
    fd = ops.open(ip_port(bind.address, uint16_t(p)));
    if (fd >= 0) port = p;
    ipv6 = bind.is_ipv6();
  }
  return fd >= 0;
}

void transparent_port::close(rtp_socket_ops& ops) {
  if (fd >= 0) ops.close(fd);
  fd = -1;
  port = 0;
}

void transparent_port::set_destination(const ip_port& d) {
  if (d == destination) return;
  destination = d;
  log_printf(log_media, 5, "Passthrough: Setting destination to %s", d.readable());
}

bool transparent_port::relay(rtp_socket_ops& ops, const str& data, const ip_port& source,
                             transparent_port* partner) {
  if (partner && source.valid() && source != partner->destination) {
    log_printf(log_media, 5, "Passthrough: Changing destination");
    partner->destination = source;
  }
  if (fd < 0 || !destination.valid() || destination.is_ipv6() != ipv6) return false;
  if (!ops.send(fd, data, destination)) return false;
  ++relayed;
  return true;
}
