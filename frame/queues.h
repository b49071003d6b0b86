// The two text-message queues between the sides. Each message is a small SOAP-style XML
// document.
//
//   pbxsrv_post(text)  ctrl -> srv: appended to srv_queue; pbxsrv_soap drains it on the SIP
//                      timer thread (sip_thread_queue, under srv_run_mutex) and hands each
//                      message to handle_ssoap.
//   out_post(text)     srv -> ctrl: appended to ctrl_queue; telmond_soap drains it on the
//                      control timer thread (http_thread_queue, under ctrl_run_mutex) and hands
//                      each message to soap_on_request.
//
// Posting takes only the queue's own mutex (and timeout_mutex), never a run mutex, so either
// side may post at any time. The receivers are installed by the layers that own them.
//
// Side: the queues are the boundary; each drain function belongs to its receiving side.
#pragma once

#include <cstddef>

#include "base/str.h"
#include "frame/mutex.h"

extern mutex ctrl_queue_mutex;
extern mutex srv_queue_mutex;

// ctrl -> srv.
void pbxsrv_post(const str& text);
// srv -> ctrl.
void out_post(const str& text);
// The senders' names for the same operations: the PBX side sends with soap_send, the server
// side with soap_send_request.
inline void soap_send(const str& text) { pbxsrv_post(text); }
inline void soap_send_request(const str& text) { out_post(text); }

// Receivers. handle_ssoap (srv side) returns non-zero when the server should breathe: the
// drain then releases srv_run_mutex for 5 ms before the next message. Default: none (messages
// are dropped).
using ssoap_handler = int (*)(const str& text);
using soap_request_handler = void (*)(const str& text);
void set_handle_ssoap(ssoap_handler h);
void set_soap_on_request(soap_request_handler h);

// The drains (scheduled with zero delay by the posts; exposed for tests).
void pbxsrv_soap();
void telmond_soap();

// Pending messages (get_meminfo).
size_t srv_queue_size();
size_t ctrl_queue_size();

// The pause after a non-zero handle_ssoap; tests replace it so that they do not sleep.
using breathe_fn = void (*)(int ms);
void set_srv_breathe(breathe_fn f);
