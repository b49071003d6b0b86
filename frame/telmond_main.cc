// The executable's composition root: wires the layers' hooks into the frame, then runs the
// start-up sequence. Layers add their wiring here as they arrive.
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/startup.h"

int main(int argc, char** argv) {
  set_mutex_alert_writer(log_alert);
  return telmond_main(argc, argv);
}
