#include "sip/transaction.h"

#include <algorithm>
#include <vector>

#include "base/log.h"
#include "sip/pending_packet.h"
#include "sip/send_packet.h"
#include "sip/sip_transport.h"

namespace {

void restart_retransmission(pending_packet& p) {
  p.retransmit_timer.callback(transaction_queue(), ms2ticks(int64_t(p.interval) * 500),
                              callback_argument(resend_packet, p.number));
}

// Sends the stored text again (trace "Tr").
void send_again(pending_packet& p) {
  if (p.last_text.empty()) return;
  if (send_on_interface(p.port_name, p.destination, p.last_text, p.transport)) {
    ++sip_transmit;
    if (p.message) {
      trace_sip_message(*p.message, "Tr", p.transport, p.destination, p.last_text);
    } else {
      // A slimmed packet: the trace needs only what it kept.
      sip_message kept;
      kept.is_request = p.answered.request;
      if (kept.is_request) kept.method = p.answered.cseq_method;
      kept.code = p.answered.code;
      kept.cseq = p.answered.cseq;
      kept.cseq_method = p.answered.cseq_method;
      kept.call_id = p.answered.call_id;
      kept.call_port_index = p.answered.call_port_index;
      trace_sip_message(kept, "Tr", p.transport, p.destination, p.last_text);
    }
  }
}

}  // namespace

void resend_packet(int number) {
  pending_packet* p = find_pending_packet(number);
  if (!p) {
    log_printf(log_sip, 0, "resend_packet: Could not find packet with number %d", -number);
    return;
  }
  const bool discover = p->is_request() && p->message->method == m_discover;
  if (p->retransmit && p->destination.valid() && p->transport == transport_type::udp && !discover) {
    if (p->is_request() && p->message->method == m_invite) {
      p->interval *= 2;
    } else if (p->interval < 8) {
      p->interval *= 2;
    }
    if (send_to_destination(*p, transport_type::udp, p->destination, "Tr")) {
      restart_retransmission(*p);
    }
    return;
  }
  while (!p->resolve_list.empty()) {
    transport_type t;
    ip_port destination;
    if (!parse_direct_step(p->resolve_list.front(), t, destination)) {
      route_pending_packet(number);
      return;
    }
    p->resolve_list.pop_front();
    if (discover) {
      get_sip_transaction_user().add_trusted_address(*p->message, t, destination);
      continue;
    }
    if (send_to_destination(*p, t, destination, "Tx")) {
      if (t == transport_type::udp && p->retransmit) {
        p->interval = 1;
        restart_retransmission(*p);
      }
      return;
    }
  }
}

void pending_packet_timeout(int number) {
  pending_packet* p = find_pending_packet(number);
  if (!p) return;
  // A slimmed response is a final response to a request other than INVITE: it only ends.
  if (!p->final_received && p->message) {
    const sip_message& m = *p->message;
    if (m.is_request && m.method != m_ack) {
      sip_message response(408, "Request Timeout", m);
      response.call_port_index = m.call_port_index;
      response.transport = p->transport;
      response.peer = p->destination;
      // Erased first: the upper layer may send the request anew under the same Call-ID.
      erase_pending_packet(number);
      get_sip_transaction_user().travel_backward(response);
      return;
    }
    if (!m.is_request && m.cseq_method == m_invite && m.code >= 200) {
      log_printf(log_sip, 5, "Did not receive ACK, disconnecting call %s", m.call_id);
      const int index = m.call_port_index;
      erase_pending_packet(number);
      sip_transaction_user& user = get_sip_transaction_user();
      if (index >= 0) {
        if (!user.has_connect_time(index)) {
          user.ack_no_ok_timeout(index);
        } else {
          user.send_hangup_timeout(index);
        }
      }
      return;
    }
  }
  erase_pending_packet(number);
}

void on_connection_refused(transport_type transport, const ip_port& address) {
  log_printf(log_sip, 5, "Connection refused on %s:%s", transport.serialize(), address.readable());
  std::vector<int> numbers;
  for (auto& [number, p] : pending_packets) {
    if (p.transport == transport && p.destination == address) numbers.push_back(number);
  }
  if (numbers.empty()) {
    log_printf(log_sip, 2, "Could not find packet for connection refused");
    return;
  }
  for (int number : numbers) {
    pending_packet* p = find_pending_packet(number);
    if (!p) continue;
    p->retransmit_timer.clear();
    // Already moving on (a query for the next candidate is outstanding): its answer resumes
    // the routing; routing now as well would send twice.
    if (p->awaiting_dns) continue;
    route_pending_packet(number);
  }
}

void on_udp_connection_refused(const ip_port& address) {
  std::vector<ip_port> refused = get_sip_transport().take_refused_destinations();
  if (refused.empty()) refused.push_back(address.valid() ? address : last_udp_destination);
  // Several refusals of one destination move its packets on only once.
  std::sort(refused.begin(), refused.end());
  refused.erase(std::unique(refused.begin(), refused.end()), refused.end());
  for (const ip_port& destination : refused) {
    on_connection_refused(transport_type::udp, destination);
  }
}

bool message_repetition(sip_message& message, transport_type transport) {
  const str& from_tag = message.from.tag();
  bool repetition = false;
  if (!message.is_request) {
    // A repeated 2xx to an INVITE that this side already acknowledged gets the ACK again;
    // that is looked for first, since the INVITE itself is still pending too.
    int transaction = 0;
    for_each_pending_packet(message.call_id, [&](int number) {
      pending_packet* p = find_pending_packet(number);
      if (!p || !p->is_request() || p->cseq() != message.cseq || p->from_tag() != from_tag) {
        return true;
      }
      if (p->cseq_method() == m_ack && message.cseq_method == m_invite) {
        send_again(*p);
        repetition = true;
        return false;
      }
      if (p->cseq_method() == message.cseq_method && transaction == 0) transaction = number;
      return true;
    });
    if (repetition || transaction == 0) return repetition;
    pending_packet* p = find_pending_packet(transaction);
    const bool repeated_final = p->final_received && message.code >= 200;
    p->final_received = message.code >= 200;
    p->retransmit_timer.clear();
    if (message.code == 401 || message.code == 407) {
      // The repeat of a challenge already answered: answering it again would send a second
      // copy with credentials.
      if (repeated_final && p->challenge_answered) return true;
      if (p->message && get_sip_transaction_user().check_authentication(message, p->given())) {
        p->challenge_answered = true;
        return true;
      }
    }
    // Answered, the request only matches repeats of the answer from now on.
    if (message.code >= 200) keep_resend_bytes_only(transaction);
    return message.code < 180;
  }
  if (message.method == m_ack) {
    std::vector<int> acknowledged;
    for_each_pending_packet(message.call_id, [&](int number) {
      pending_packet* p = find_pending_packet(number);
      if (p && !p->is_request() && p->cseq() == message.cseq && p->from_tag() == from_tag &&
          p->cseq_method() == m_invite && p->code() >= 200) {
        p->final_received = true;
        p->retransmit_timer.clear();
        p->retransmit = false;
        acknowledged.push_back(number);
      }
      return true;
    });
    // An acknowledged final answer to an INVITE only answers repeats of the INVITE until its
    // transaction ends: like a final answer to any other request it keeps just its bytes (a
    // connected call's 200 with SDP and the INVITE it was a window on are freed 32 s early).
    // Slimmed after the walk, which re-links the Call-ID.
    for (int number : acknowledged) keep_resend_bytes_only(number);
    return false;
  }
  for_each_pending_packet(message.call_id, [&](int number) {
    pending_packet* p = find_pending_packet(number);
    if (!p || p->is_request() || p->cseq() != message.cseq || p->from_tag() != from_tag ||
        p->cseq_method() != message.method || p->retransmit_timer.pending()) {
      return true;
    }
    repetition = true;
    if (transport == transport_type::udp) send_again(*p);
    return false;
  });
  return repetition;
}

bool keep_resend_bytes_only(int number) {
  pending_packet* p = find_pending_packet(number);
  if (!p || !p->message) return false;
  const sip_message& m = *p->message;
  // A request once it is answered (an ACK at once); a final answer that no timer repeats.
  const bool done =
      m.is_request ? m.method == m_ack || p->final_received : m.code >= 200 && !p->retransmit;
  if (!done || p->awaiting_dns || !p->resolve_list.empty() || p->last_text.empty()) return false;
  // One small buffer for the three texts kept.
  const str& tag = m.from.tag();
  str texts;
  texts.reserve(m.call_id.length() + m.cseq_method.length() + tag.length());
  texts.append(m.call_id.cbuffer(), m.call_id.length());  // (+= would share the first)
  texts.append(m.cseq_method.cbuffer(), m.cseq_method.length());
  texts.append(tag.cbuffer(), tag.length());
  pending_packet::answered_fields& a = p->answered;
  a.request = m.is_request;
  a.code = m.code;
  a.cseq = m.cseq;
  a.call_port_index = m.call_port_index;
  a.call_id = texts.substr(0, m.call_id.length());
  a.cseq_method = texts.substr(m.call_id.length(), m.cseq_method.length());
  a.from_tag = texts.substr(m.call_id.length() + m.cseq_method.length());
  // The Call-ID link is re-made on the kept text: the old key is a window on the request.
  auto range = pending_packet_callids.equal_range(m.call_id);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == number) {
      pending_packet_callids.erase(it);
      link_pending_packet(a.call_id, number);
      break;
    }
  }
  // An answered request is never sent again (only an ACK is, for a repeated 2xx): its bytes go.
  const bool resent = !m.is_request || m.method == m_ack;
  p->message.reset();
  p->port_name.compress();
  if (resent) {
    p->last_text.compress();
  } else {
    p->last_text = str();
  }
  return true;
}

void stop_message_repetition(const str& call_id, uint32_t cseq, const str& method) {
  for_each_pending_packet(call_id, [&](int number) {
    pending_packet* p = find_pending_packet(number);
    if (p && !p->is_request() && p->code() < 200 && p->cseq() == cseq &&
        p->cseq_method() == method) {
      p->retransmit_timer.clear();
      return false;
    }
    return true;
  });
}
