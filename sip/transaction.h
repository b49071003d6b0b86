// The life of a transaction after its first send: UDP retransmission with back-off, fail-over
// to the next candidate when a destination refuses, the end of the transaction (with the
// locally made 408), and the recognition of repeated incoming messages so that only new ones
// reach the registrar and the call legs.
//
// Retransmission over UDP: the first send starts a 500 ms timer; each expiry doubles the
// interval (an INVITE request without limit, anything else only while below 4 s) and sends
// again, so an unanswered INVITE goes out at 0, 0.5, 1.5, 3.5, 7.5, 15.5 and 31.5 s and a
// REGISTER at 0, 0.5, 1.5, 3.5, 7.5, 11.5, ... s, until the transaction timer (default 32 s)
// or an answer ends it.
//
// srv side: timer callbacks run on the SIP timer thread, the others on the SIP socket thread
// or a connection thread, all under srv_run_mutex.
#pragma once

#include "base/ip_port.h"
#include "base/str.h"
#include "sip/sip_message.h"
#include "sip/transport_type.h"

// Retransmission timer callback.
void resend_packet(int number);
// Transaction timer callback.
void pending_packet_timeout(int number);
// A destination refused (ICMP for UDP; a lost connection with output pending for TCP/TLS):
// every packet currently sent there moves on to its next candidate.
void on_connection_refused(transport_type transport, const ip_port& address);
// The frame's UDP refusal hook (frame/sip_loop.h): the refused destinations are read from the
// transport's error queues; when it has none, the given address, or without one (the socket
// loop's read does not tell it) the last UDP destination.
void on_udp_connection_refused(const ip_port& address);
// True when an incoming message is a retransmission that has been dealt with here.
bool message_repetition(sip_message& message, transport_type transport);
// Stops retransmitting the first pending provisional response with that Call-ID, CSeq number
// and method (its PRACK arrived).
void stop_message_repetition(const str& call_id, uint32_t cseq, const str& method);
// A packet whose transaction only has repeats left to answer keeps just the bytes it sent:
// a final response that no timer retransmits (any final response to a request other than
// INVITE, a final response to an INVITE once its ACK arrived), a request once its final
// response arrived (without its bytes: it is never sent again), and an ACK once sent. Such a
// packet gives up its parsed message here, keeping only what matching, the trace and the end
// of the transaction read (Call-ID, CSeq, From tag, code, whether it is a request, call leg),
// each in a buffer of its own, so that the message and the packet its headers were windows on
// are freed 32 s early. True when packet number was slimmed; false (and nothing changed) for
// an unanswered request, a provisional or retransmitted response, or a packet still being
// routed (it may have to be serialised again for another destination).
bool keep_resend_bytes_only(int number);
