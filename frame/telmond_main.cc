// The executable's composition root: wires the layers' hooks into the frame, then runs the
// start-up sequence. Layers add their wiring here as they arrive.
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/sip_loop.h"
#include "frame/startup.h"
#include "sip/sip_udp_receive.h"

int main(int argc, char** argv) {
  set_mutex_alert_writer(log_alert);
  sip_udp_hooks udp_hooks;
  fill_sip_udp_receive_hooks(udp_hooks);
  set_sip_udp_hooks(udp_hooks);
  // telmond_main returns only when start-up ends early (usage error, --version).
  process_exit(telmond_main(argc, argv));
}
