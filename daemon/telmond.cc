// The composition root: the one file that includes every layer. It wires the layers' hooks
// into the frame, then runs the start-up sequence. Only the programs' mains include its header.
#include "daemon/telmond.h"

#include <unistd.h>

#include "apps/attendant.h"
#include "apps/extcall.h"
#include "apps/mailbox.h"
#include "base/certificate.h"
#include "db/persistence.h"
#include "db/schema.h"
#include "db/table.h"
#include "frame/clock.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/queues.h"
#include "frame/rtp_loop.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "frame/sip_loop.h"
#include "frame/startup.h"
#include "frame/threads.h"
#include "frame/timeout.h"
#include "media/audio_store.h"
#include "media/rtp_stream.h"
#include "pbx/address_list_table.h"
#include "pbx/dialog_events.h"
#include "pbx/email.h"
#include "pbx/email_client.h"
#include "pbx/perf_sampling.h"
#include "pbx/registration.h"
#include "pbx/trunks.h"
#include "sip/address_list.h"
#include "sip/call_port.h"
#include "sip/dns_resolver.h"
#include "sip/reg_in.h"
#include "sip/registrar_user.h"
#include "sip/send_packet.h"
#include "sip/sip_connection.h"
#include "sip/sip_ports.h"
#include "sip/sip_tls_certificate.h"
#include "sip/sip_transport.h"
#include "sip/sip_udp_receive.h"
#include "sip/srv_context.h"
#include "sip/trunk.h"
#include "web/web_server.h"

namespace {

// SIP over TLS: the server certificate lives in the certificates table (type "sip"); the first
// start makes and stores a self-signed one for the host name.
class certificate_table_store : public certificate_store {
 public:
  bool load(certificate_pair& out) override {
    for (int id = certificates.first(); id != 0; id = certificates.next(id)) {
      if (certificates.get(id, certificate_type) != "sip") continue;
      out.key_pem = certificates.get(id, certificate_private);
      out.certificate_pem = certificates.get(id, certificate_public);
      if (!out.key_pem.empty() && !out.certificate_pem.empty()) return true;
    }
    return false;
  }
  bool save(const certificate_pair& pair, const str& subject) override {
    int id = certificates.add_row(false);
    if (id == 0) return false;
    certificates.set(id, certificate_private, pair.key_pem, false);
    certificates.set(id, certificate_public, pair.certificate_pem, false);
    certificates.set(id, certificate_subject, subject, false);
    certificates.set(id, certificate_type, "sip", false);
    certificates.write_row(id);
    return true;
  }
};

void init_sip_tls_certificate() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  certificate_table_store store;
  setup_sip_tls_certificate(store, host, wall_now() / 1000);
}

// DNS servers: a resolv.conf in the working directory takes the place of /etc/resolv.conf, so
// that a test (or a host whose system resolver must not be used for SIP) names its own servers.
void use_local_resolv_conf() {
  if (access("resolv.conf", R_OK) != 0) return;
  global_dns_resolver.set_resolv_conf("resolv.conf");
  log_printf(log_sip, 4, "DNS: Using the name servers of resolv.conf in the working directory");
}

// The IP address access list: its rows in the accesslist table (ctrl side).
access_list_table& access_list_rows() {
  static access_list_table rows;
  return rows;
}

// Start-up, after the tables are read: every accesslist row into the address lists, and the
// expiry of automatic blocks once a minute on the ctrl timer.
void init_access_list() {
  access_list_load(access_list_rows());
  access_list_schedule_expiry(&access_list_rows(), http_thread_queue, 60000);
}

// Start-up, after the tables are read and before the threads run: the bindings whose date has
// not passed come back as bound reg_ins (srv); the rows of the others are deleted (ctrl).
void restore_registrations() {
  for (const kept_registration& k : registrations_after_restart(clock_now())) {
    registrar_restore(k.call_id, k.from, k.to, k.event, k.adr, k.contact, k.remaining_ms);
  }
}

// The program's own receiver of ctrl queue messages, tried first (daemon_extras); set once
// by run_telmond before the threads start.
bool (*extra_ctrl_handler)(const str& text) = nullptr;

// The receiver of the ctrl queue: the program's extra handler, then the registrar's messages,
// then the reports of blocked addresses (BlackListAdr). Runs under ctrl_run_mutex.
void ctrl_on_soap(const str& text) {
  if (extra_ctrl_handler && extra_ctrl_handler(text)) return;
  // Read once for both handlers: nearly every message of a call is a dialog event.
  soap_envelope e;
  const bool read = soap_parse(text, e);
  if (read && registration_on_soap(e)) return;
  if (read && dialog_events_on_soap(e)) return;
  if (trunks_on_soap(text)) return;
  soap_on_black_list_adr(text, access_list_rows(), wall_now());
}

}  // namespace

int run_telmond(int argc, char** argv, const daemon_extras& extras) {
  set_mutex_alert_writer(log_alert);
  extra_ctrl_handler = extras.ctrl_handler;

  // The collaborators of each side's layers: the srv side posts to the ctrl queue, sends
  // through the transaction layer and runs its timers on the SIP timer thread; the ctrl side
  // posts to the srv queue and runs its timers on the control timer thread.
  srv_context srv;
  srv.post = [](const str& message) { out_post(message); };
  srv.send = send_packet;
  srv.queue = &sip_thread_queue;
  // Media: each leg binds its RTP/RTCP sockets, which the RTP thread watches; the legs judge
  // their media time-outs by what it receives.
  srv.rtp_sockets = &udp_rtp_sockets();
  srv.media_running = true;
  set_rtp_socket_hooks(rtp_socket_hooks{rtp_streams_fill, rtp_streams_serve});
  // Audio files: the audio thread reads prompts into the cache and writes the recordings.
  // Mail: the mail thread delivers what the PBX puts into the spool.
  service_thread_entries services;
  services.audio_func = audio_func;
  services.email_loop = email_loop;
  set_service_threads(services);
  scoped_srv_context srv_side(srv);
  ctrl_context ctrl;
  ctrl.post = [](const str& message) { pbxsrv_post(message); };
  ctrl.queue = &http_thread_queue;
  scoped_ctrl_context ctrl_side(ctrl);

  // Data store: tables, start-up repairs, default domain, call records.
  fill_db_startup_hooks(frame_hooks());

  // SIP sockets: the SIP layer's port bindings; framing and processing of the UDP datagrams,
  // handed to the transaction layer; DNS answers on the DNS client sockets.
  set_sip_set_port([] {
    sip_set_port_bindings();
    trunks_ports_ready();
  });
  sip_udp_hooks udp;
  fill_sip_udp_receive_hooks(udp);
  install_transaction_layer(udp);
  udp.dns_pdu = dns_pdu_available;
  udp.stun_response = trunk_stun_response;  // the trunks' public address
  set_sip_udp_hooks(udp);

  // SIP over TCP and TLS: the connection event loops, connections in the transport, TLS
  // certificate. A connection from a blocked address is closed at the accept; white entries
  // are exempt from the per-address limit and pacing.
  install_sip_connections();
  set_sip_source_check([](const ip_port& remote) { return bw_valid_source(remote.address); });
  set_sip_source_exempt([](const ip_port& remote) { return bw_white_source(remote.address); });
  frame_hooks().init_certificates = [] {
    init_sip_tls_certificate();
    use_local_resolv_conf();
  };

  // Registrar: REGISTER and SUBSCRIBE go to reg_in (srv); its messages to the PBX half
  // (ctrl), which keeps the registrations rows.
  static no_dialog_user unmatched;
  set_sip_transaction_user(&unmatched);
  install_registrar();
  install_registration();

  // Call legs: new INVITEs and every message of a leg's dialog go to its call port (srv), in
  // front of the registrar; the PBX's commands share the srv queue's receiver with the
  // registrar's answers.
  install_call_ports();
  // Trunks: the answers to their REGISTERs and DISCOVERs and the challenges to them, in
  // front of the call legs; SetupTrunk and DeleteTrunk share the srv queue's receiver.
  install_trunks();
  set_handle_ssoap([](const str& text) {
    if (!call_port_on_soap(text) && !trunk_on_soap(text)) registrar_on_soap(text);
    return 0;
  });
  // The PBX applications that calls are routed to.
  install_attendant();
  install_mailbox();
  install_extcall();

  // Address blocking: the receive hooks of the transaction layer drop traffic from black
  // sources and count unauthenticated requests; blocks reach the ctrl queue as BlackListAdr,
  // which shares the queue's single receiver with the registrar.
  set_soap_on_request(ctrl_on_soap);

  // Mail to the administrators (start and restart): one to each address of the setting
  // email_list_performance.
  frame_hooks().email_admins = [](const str& subject, const str& body) {
    const str list = ctrl_read_registry(ctrl_settings::email_list_performance);
    for (size_t i = 0; !list.get_field(i, " ,;").empty(); i++)
      send_email(0, list.get_field(i, " ,;"), subject, "text/plain; charset=utf-8", str(), body);
  };

  // Web server: the frame's HTTP threads serve each connection through it; the working
  // directory's web folder gets the installed pages it lacks.
  install_web_server();
  frame_hooks().init_web_pages = init_web_pages;
  // Statistics over time: the keep-alive timer's sample of calls, legs, registrations and the
  // RTP thread's load (the hang-ups add the call quality themselves).
  frame_hooks().sample_statistics = perf_sample_now;

  // After the tables are read: the access list, and the bindings kept from before a restart.
  frame_hooks().init_ip = [] {
    init_access_list();
    restore_registrations();
    // Every trunk to the SIP side, and from now on every change of a trunks row.
    init_trunks();
  };

  // telmond_main returns only when start-up ends early (usage error, --version).
  return telmond_main(argc, argv);
}
