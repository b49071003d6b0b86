// The SIP layer's side of the SIP socket loop: cutting the first message from a UDP datagram
// and handing it to process_pdu with the name of the local port it arrived on.
//
// srv side: the hooks run on the SIP socket thread under srv_run_mutex.
#pragma once

#include "base/str.h"
#include "frame/sip_loop.h"

// Fills the framing and receive entries of the SIP socket loop's hooks (the other entries
// belong to other layers); the composition root installs the result with set_sip_udp_hooks.
void fill_sip_udp_receive_hooks(sip_udp_hooks& hooks);

// Bytes waiting in the kernel's receive queues of the SIP UDP sockets: requests that arrived
// and have not been read yet. It grows when requests come faster than the SIP side serves them.
int64_t sip_udp_backlog();

// The name of SIP UDP socket socket_index as carried in sip_message::port_name ("udp" and the
// index).
str sip_udp_port_name(int socket_index);
