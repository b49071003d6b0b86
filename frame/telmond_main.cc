// The executable's composition root: wires the layers' hooks into the frame, then runs the
// start-up sequence. Layers add their wiring here as they arrive.
#include "db/persistence.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/sip_loop.h"
#include "frame/startup.h"
#include "sip/dns_resolver.h"
#include "sip/sip_ports.h"
#include "sip/sip_transport.h"
#include "sip/sip_udp_receive.h"

int main(int argc, char** argv) {
  set_mutex_alert_writer(log_alert);

  // Data store: tables, start-up repairs, default domain, call records.
  fill_db_startup_hooks(frame_hooks());

  // SIP sockets: the SIP layer's port bindings; framing and processing of the UDP datagrams,
  // handed to the transaction layer; DNS answers on the DNS client sockets.
  set_sip_set_port([] { sip_set_port_bindings(); });
  sip_udp_hooks udp;
  fill_sip_udp_receive_hooks(udp);
  install_transaction_layer(udp);
  udp.dns_pdu = dns_pdu_available;
  set_sip_udp_hooks(udp);

  // telmond_main returns only when start-up ends early (usage error, --version).
  process_exit(telmond_main(argc, argv));
}
