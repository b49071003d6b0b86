// What the layers of the SIP and media side reach beyond themselves: the ctrl side's queue,
// their timer queue and the sending of SIP messages through the transaction layer. The
// composition root builds the context of the running daemon and installs it; a test builds its
// own (a capturing send, a private timer queue) and installs it for its lifetime, so a layer
// takes its collaborators from here instead of offering setters of its own.
//
// Side: srv. Installed before the threads start (or, in a test, before the code under test
// runs); read under srv_run_mutex.
#pragma once

#include "base/str.h"
#include "frame/side_context.h"
#include "frame/timeout.h"

class rtp_socket_ops;
class sip_message;

struct srv_context {
  // Posts a message to the ctrl side's queue (the daemon: out_post).
  void (*post)(const str& message) = out_post_default;
  // Sends a request or response through the transaction layer; the number of its transaction,
  // 0 when none was made (the daemon: send_packet).
  int (*send)(const sip_message& message) = send_default;
  // The SIP timer queue (the daemon: sip_thread_queue).
  timeout_queue* queue = &sip_thread_queue;
  // Sends an administrator mail to address (empty: none is configured, nothing is sent) with
  // the SIP messages of a call as attachment (the default logs it, group e-mail, level 3).
  void (*admin_mail)(const str& address, const str& subject, const str& text,
                     const str& attachment) = admin_mail_default;
  // The CPU meter in percent that performance_limit compares; nullptr: not measured.
  int (*cpu_meter)() = nullptr;
  // The RTP engine receives the legs' media, so that a leg without media for its media
  // time-out is hung up. Without it nothing is ever received and no leg is judged by it.
  bool media_running = false;
  // The sockets of the legs' media (media/rtp_stream.h; the daemon: udp_rtp_sockets). nullptr:
  // a leg only picks its port number and opens no socket.
  rtp_socket_ops* rtp_sockets = nullptr;

  static void out_post_default(const str& message);
  static int send_default(const sip_message& message);
  static void admin_mail_default(const str& address, const str& subject, const str& text,
                                 const str& attachment);
};

using scoped_srv_context = scoped_context<srv_context>;
inline const srv_context& srv_ctx() { return scoped_srv_context::current(); }
